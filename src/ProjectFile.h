#pragma once

#include "Vars.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTimer;
class TFileWatch;

extern const char *const ProjectSection;

// The open project's file as this side sees it: snapshots taken when no writer is at work, a
// watch that says when the expert has written it, and saves that merge changes into what it
// holds, touching nothing else.
//
// The expert's profile API rewrites the file in place, one key at a time. A snapshot is taken:
// - on Linux, where the watch hears every write, when no writer has the file modified and not
//   yet closed; elsewhere, when two reads a moment apart agree;
// - and when the file ends with a line break and every Var1 ... Var<Var_Cnt> has its four keys.
//   A file that lacks them may be a rewrite half done, so it is read again; once it has stayed
//   the same for a while with no writer at work, it is taken as the profile API reads it,
//   missing keys giving their defaults.
// A save never merges into a file a writer is at work on.
class TProjectFile : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TProjectFile)

public:
    explicit TProjectFile(QObject *parent = nullptr);
    ~TProjectFile() override;

    // The file that reads, saves and the watch go to; "" for none. A new path forgets what was
    // read from the old one and moves the watch.
    void SetPath(const std::string &path);
    const std::string &Path() const { return FPath; }

    // Fills table and count from a snapshot: the first MaxVars variables, and how many of them
    // there are. A missing or unreadable file counts, with no variables. False, leaving both
    // untouched, when the file cannot be taken yet: a writer is at work, or it lacks keys or its
    // end and has not stayed so for long; another read follows by itself.
    [[nodiscard]] bool Read(TVarTable &table, std::int32_t &count);
    // What the last Read found, and whether it found the file written by another hand than this
    // Kivo's since the read before (then LastWriteByOthers says when).
    enum class TFound { Whole, Missing, NotWhole };
    TFound Found() const { return FFound; }
    bool News() const { return FNews; }

    // How a save ended, and each changed variable before and after it (as the merge found and
    // wrote it).
    enum class TOutcome {
        Saved,
        NotThere,     // a variable is no longer where its change was meant for
        Missing,      // the file is gone, or no file stands in its place
        NotWhole,     // the file could not be taken within about a second
        KeptChanging, // another writer changed the file under every attempt
        Changed,      // a variable no longer holds the value or status its change requires
        ReadOnly,     // the file may not be written; Reason says why
    };
    struct TSaveResult {
        TOutcome Outcome = TOutcome::NotThere;
        std::vector<TVarEntry> Before;
        std::vector<TVarEntry> After;
        std::string Reason;
    };

    // Merges the changes into what the file holds now and replaces it in one step, all of them
    // or none, serialised with the saves of every other copy of Kivo. Only the changed keys are
    // written: every other line stays as read, whatever another writer wrote since the last
    // read. Writes nothing unless the outcome is Saved. Throws Exception naming the file when it
    // cannot be written; the old file then stays as it was.
    TSaveResult Save(const std::vector<TVarChange> &changes);

    // When another program last wrote the file, as its time stamp said when a refresh found its
    // content changed by another hand than this one's; invalid before the first read.
    QDateTime LastWriteByOthers() const { return FLastWriteByOthers; }

    // Watches the file again where the watch was lost (the folder or file deleted and made
    // anew). Called before every refresh.
    void Watch();
    // Reports a change soon, from the event loop, as if the file had been written.
    void RefreshSoon();

    // Where the system cannot tell of writers, a change to the watched file is reported once the
    // file has been quiet for QuietMs, and no later than MaxWaitMs after the first notification
    // of a burst of writes. Where it can, it is reported when the writer closes the file, or
    // MaxWaitMs after its first write for one that keeps it open.
    int QuietMs = 30;
    int MaxWaitMs = 200;
    // Refreshes at a writer's close come at least this far apart: an expert that writes every
    // few milliseconds is shown as often as the eye can follow, not at each of its writes.
    int MinGapMs = 40;
    // How long a save waits for a snapshot before the user is told the value was not saved: an
    // expert that publishes its variables key by key leaves gaps.
    int SaveWaitMs = 1000;
    // A file that lacks keys or its end is taken once it has read the same this long, in at
    // least StableReads reads, with no writer at work.
    int StableMs = 300;
    static constexpr int StableReads = 3;

signals:
    // The file was written and its writer is done.
    void Changed();

private:
    struct TSnapshot;
    enum class TState { Missing, Whole, NotWhole };
    TState Take(std::chrono::milliseconds wait, bool forSave);
    void Notified(bool closed);

    std::string FPath;

    // The last snapshot parsed, and whether it was taken: a refresh that finds the file
    // unchanged takes its table again instead of parsing once more.
    std::unique_ptr<TSnapshot> FLast;
    bool FValid = false;
    std::uint64_t FTakenEvents = 0; // the watch's count when the taken snapshot was read

    // The bytes the last reads agreed on, since when, and how many reads in a row.
    std::string FSeen;
    std::chrono::steady_clock::time_point FSeenSince;
    int FSeenReads = 0;

    QDateTime FLastWriteByOthers;
    TFound FFound = TFound::Whole;
    bool FNews = false;

    TFileWatch *FWatch;
    QTimer *FSettleTimer;
    QElapsedTimer FBurst;
    QElapsedTimer FReported; // since the last Changed
};
