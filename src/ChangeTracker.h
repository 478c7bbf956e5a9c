#pragma once

#include "Journal.h"
#include "Vars.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>

#include <string>
#include <vector>

// What became of the user's changes. Each change the user confirmed is journalled, saved or not;
// a saved one then waits until a refresh shows that the expert took it, which is journalled with
// how long it took; and this session's saved changes can be undone, newest first.
//
// The expert has taken a change when the status Kivo set to "changed by Kivo" is another now, or,
// for a variable whose status Kivo leaves alone (vsIdle2), when the expert has written the
// variable again (its value or status is no longer what Kivo wrote). An action's cancellation
// sets no status for the expert to answer, and waits for nothing.
class TChangeTracker {
public:
    struct TChange {
        QString Project;
        TVarChange Change;
        TVarEntry Before;
        TVarEntry After;
        QDateTime Time; // of the journal record
        QElapsedTimer Waited;
    };

    explicit TChangeTracker(TJournal &journal) : FJournal(journal) {}

    // A change saved into the project: journalled, waiting for the expert, and undoable.
    void Saved(const QString &project, const TVarChange &change, const TVarEntry &before,
               const TVarEntry &after);
    // A change the user confirmed that was not saved, with the reason the user was shown.
    void NotSaved(const QString &project, const TVarChange &change, const TVarEntry &before,
                  const std::string &reason);
    // A refresh's table of the project: journals each waiting change the expert has taken, and
    // forgets those whose variable is gone.
    void Refreshed(const QString &project, const TVarTable &vars, std::int32_t count);

    // The changes of the project still waiting, oldest first.
    std::vector<const TChange *> Waiting(const QString &project) const;
    // The newest saved change of the project that Undo would take back, or nullptr.
    const TChange *Undoable(const QString &project) const;
    // Takes it off the list of undoable changes.
    void DropUndoable(const QString &project);

    // True once a journal record could not be written; the first failure is told to the user.
    bool JournalFailed() const { return FJournalFailed; }
    QString JournalError() const { return FJournal.Error(); }

private:
    static TJournalRecord Record(const QString &project, const TVarChange &change,
                                 const TVarEntry &before, const TVarEntry &after,
                                 const QString &outcome);
    void Append(const TJournalRecord &record);

    TJournal &FJournal;
    std::vector<TChange> FWaiting;
    std::vector<TChange> FUndoable;
    bool FJournalFailed = false;
};
