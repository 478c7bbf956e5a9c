#pragma once

#include "Vars.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class QFileSystemWatcher;
class QTimer;

extern const char *const ProjectSection;

// The open project's file as this side sees it: whole snapshots of it, a watch that says when the
// expert has written it, and saves that merge one change into what it holds.
//
// Whole means: no writer holds the file open (on Linux, where the file system grants read
// leases), the file ends with a line break, and every Var1 ... Var<Var_Cnt> has its four keys.
// The expert's profile API rewrites the file in place, one key at a time: a snapshot taken while
// it does may be cut short, and one taken while it publishes may lack the later variables. Such a
// snapshot is never shown and never merged into.
class TProjectFile : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TProjectFile)

public:
    explicit TProjectFile(QObject *parent = nullptr);
    ~TProjectFile() override;

    // The file that reads, saves and the watch go to; "" for none. A new path forgets the table
    // read from the old one and moves the watch.
    void SetPath(const std::string &path);
    const std::string &Path() const { return FPath; }

    // Fills table and count from a whole snapshot: the first MaxVars variables, and how many of
    // them there are. A missing or unreadable file counts as whole, with no variables. False,
    // leaving both untouched, when no whole snapshot came within a short wait: a writer is at
    // work, or the file lacks keys or its end.
    bool Read(TVarTable &table, std::int32_t &count);

    // How a save ended, and the variable before and after it (as the merge found and wrote it).
    enum class TOutcome {
        Saved,
        NotThere,     // the variable is no longer where the change was meant for
        NotWhole,     // no whole snapshot came within about a second
        KeptChanging, // another writer changed the file under every attempt
        Changed,      // an undo, and the variable no longer holds what the undone change wrote
    };
    struct TSaveResult {
        TOutcome Outcome = TOutcome::NotThere;
        TVarEntry Before;
        TVarEntry After;
    };

    // Merges one change into what the file holds now and replaces the file, serialised with the
    // saves of every other copy of Kivo. Values and statuses another writer wrote since the last
    // read stay as written. Writes nothing unless the outcome is Saved. Throws Exception naming
    // the file when it cannot be written; the old file then stays as it was.
    TSaveResult Save(const TVarChange &change);

    // When another program last wrote the file, as its time stamp said when a refresh found its
    // content changed by another hand than this one's; invalid before the first read.
    QDateTime LastWriteByOthers() const { return FLastWriteByOthers; }

    // Watches the file and its folder. Called before every refresh: a replace of Kivo's own, or a
    // writer that deletes and creates the file, ends the watch of the file; the folder's watch
    // notices the new file.
    void Watch();
    // Reports a change soon, from the event loop, as if the file had been written.
    void RefreshSoon();

    // A change to the watched file is reported once the file has been quiet for QuietMs, and no
    // later than MaxWaitMs after the first notification of a burst of writes.
    int QuietMs = 30;
    int MaxWaitMs = 200;
    // How long a save waits for a whole snapshot before the user is told the value was not
    // saved: an expert that publishes its variables key by key leaves gaps.
    int SaveWaitMs = 1000;

signals:
    // The file was written and its writer has paused.
    void Changed();

private:
    struct TSnapshot;
    enum class TState { Missing, Whole, NotWhole };
    TState ReadWhole(std::chrono::milliseconds wait);
    void Unwatch();
    void Notified();

    std::string FPath;

    // The last snapshot parsed, and whether it was whole: a refresh that finds the file
    // unchanged takes its table again instead of parsing once more.
    std::unique_ptr<TSnapshot> FLast;
    bool FValid = false;

    QDateTime FLastWriteByOthers;
    bool FWriterStayed = false; // the last read, at the end of its wait, found a writer

    QFileSystemWatcher *FWatcher;
    QTimer *FSettleTimer;
    QElapsedTimer FBurst;
    QString FWatchedFile;
    QString FWatchedDir;
};
