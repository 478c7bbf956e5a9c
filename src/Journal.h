#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <string>
#include <vector>

// One record of the journal: a change the user confirmed (saved or not), or the moment the expert
// took a saved change. Text is Unicode here and UTF-8 in the file: titles and values have been
// converted from the expert's code page.
struct TJournalRecord {
    QDateTime Time;   // UTC, with milliseconds; a record without one is not read back
    QString Project;  // the project file's full path
    int Variable = 0; // its number in the file, from 1
    QString Title;
    QString OldValue;
    QString NewValue;
    int OldStatus = 0;
    int NewStatus = 0;
    QString Kind; // "change", or "undo" for a change made by Edit > Undo
    // "saved" or "not saved"; then the expert's answer to a saved change: "taken",
    // "overwritten", "superseded" or "gone"
    QString Outcome;
    QString Reason;        // not saved: the text the user was shown; an answer: its details
    QDateTime ChangeTime;  // an answer: the Time of the saved change it answers
    double TakenAfter = 0; // taken, overwritten: seconds from the save to the refresh that saw it
    qint64 Group = 0;      // changes saved as one set share it; 0 for a change alone
    QString Kivo;          // the copy of Kivo that wrote the record
};

// The journal of every project's changes: one CSV file per project (RFC 4180, UTF-8, a header
// row) in the per-user data folder, under journal/, named after the project and a short hash of
// its full path. Each record is appended and flushed at once. Nothing is written beside the
// project. A spreadsheet or a script reads the file as it stands: times in ISO 8601 UTC with
// milliseconds, taken_after_s in seconds with three decimals, CRLF line ends, a byte order mark.
// A text that begins with a character a spreadsheet would evaluate ("=+-@", a tab, a carriage
// return), and not a plain number, is written with a ' in front, as is one that begins with '
// itself: a reader takes exactly one leading ' away. Only the copy of Kivo that makes the file
// writes the header.
class TJournal : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TJournal)

public:
    explicit TJournal(QObject *parent = nullptr);
    ~TJournal() override;

    // The journal file of the project at that full path (it need not exist yet).
    static QString FileFor(const QString &project);
    // Appends the record to its project's journal, making the folder and the header row where
    // missing. False when the file cannot be written; Error() then says why, naming the file.
    [[nodiscard]] bool Append(const TJournalRecord &record);
    QString Error() const { return FError; }
    // The project's journal, in the order written; none for a missing or unreadable file. Rows
    // that are not records (a header, a broken line) are skipped; text has its leading ' taken
    // away. Only the last tailBytes of the file are read, so that a journal grown over years
    // gives its newest records rather than all of them at once.
    static constexpr qint64 LoadTailBytes = 8 << 20; // some 40 000 records
    static std::vector<TJournalRecord> Load(const QString &project,
                                            qint64 tailBytes = LoadTailBytes);
    // The records appended since offset (0: from the start), up to the last whole line; offset
    // moves on to where the next read starts.
    static std::vector<TJournalRecord> LoadFrom(const QString &project, qint64 &offset);

signals:
    // A record was appended (emitted also when the write failed: the record happened).
    void Appended(const TJournalRecord &record);

private:
    QString FError;
};
