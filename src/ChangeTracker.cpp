#include "ChangeTracker.h"

#include "CodePage.h"

#include <algorithm>

namespace {

// Waits for the expert: a status set to "changed by Kivo", or a value written beside vsIdle2.
bool Awaits(const TVarChange &change, const TVarEntry &after) {
    return after.Status == vsChanged || (change.SetsValue && after.Status == vsIdle2);
}

bool Taken(const TChangeTracker::TChange &waiting, const TVarEntry &now) {
    if (waiting.After.Status == vsChanged)
        return now.Status != vsChanged;
    return now.Value != waiting.After.Value || now.Status != waiting.After.Status;
}

// The same variable as the change was made to: in its place, of its title and type.
bool Same(const TVarChange &change, const TVarTable &vars, std::int32_t count) {
    return change.Index >= 0 && change.Index < count &&
           vars[std::size_t(change.Index)].Title == change.Title &&
           vars[std::size_t(change.Index)].Type == change.Type;
}

} // namespace

TJournalRecord TChangeTracker::Record(const QString &project, const TVarChange &change,
                                      const TVarEntry &before, const TVarEntry &after,
                                      const QString &outcome) {
    TJournalRecord record;
    record.Time = QDateTime::currentDateTimeUtc();
    record.Project = project;
    record.Variable = change.Index + 1;
    record.Title = ProjectToQString(change.Title);
    record.OldValue = ProjectToQString(before.Value);
    record.NewValue = ProjectToQString(after.Value);
    record.OldStatus = before.Status;
    record.NewStatus = after.Status;
    record.Kind = change.Undo ? QStringLiteral("undo") : QStringLiteral("change");
    record.Outcome = outcome;
    return record;
}

// A journal that cannot be written never stands in the way of a save.
void TChangeTracker::Append(const TJournalRecord &record) {
    if (!FJournal.Append(record))
        FJournalFailed = true;
}

void TChangeTracker::Saved(const QString &project, const TVarChange &change,
                           const TVarEntry &before, const TVarEntry &after) {
    const TJournalRecord record = Record(project, change, before, after, QStringLiteral("saved"));
    Append(record);
    TChange saved{project, change, before, after, record.Time, {}};
    saved.Waited.start();
    // A newer change of the variable is what the expert answers now.
    std::erase_if(FWaiting, [&](const TChange &old) {
        return old.Project == project && old.Change.Index == change.Index;
    });
    if (Awaits(change, after))
        FWaiting.push_back(saved);
    if (!change.Undo)
        FUndoable.push_back(std::move(saved));
}

void TChangeTracker::NotSaved(const QString &project, const TVarChange &change,
                              const TVarEntry &before, const std::string &reason) {
    TVarEntry intended = before;
    if (change.SetsValue)
        intended.Value = change.Value;
    else
        intended.Status = change.Status;
    TJournalRecord record = Record(project, change, before, intended, QStringLiteral("not saved"));
    record.Reason = QString::fromUtf8(reason.data(), qsizetype(reason.size()));
    Append(record);
}

void TChangeTracker::Refreshed(const QString &project, const TVarTable &vars, std::int32_t count) {
    std::erase_if(FWaiting, [&](const TChange &waiting) {
        if (waiting.Project != project)
            return false;
        if (!Same(waiting.Change, vars, count))
            return true;
        const TVarEntry &now = vars[std::size_t(waiting.Change.Index)];
        if (!Taken(waiting, now))
            return false;
        TJournalRecord record =
            Record(project, waiting.Change, waiting.Before, waiting.After, QStringLiteral("taken"));
        record.ChangeTime = waiting.Time;
        record.TakenAfter = double(waiting.Waited.elapsed()) / 1000.0;
        Append(record);
        return true;
    });
}

std::vector<const TChangeTracker::TChange *> TChangeTracker::Waiting(const QString &project) const {
    std::vector<const TChange *> waiting;
    for (const TChange &change : FWaiting) {
        if (change.Project == project)
            waiting.push_back(&change);
    }
    return waiting;
}

const TChangeTracker::TChange *TChangeTracker::Undoable(const QString &project) const {
    const auto newest =
        std::find_if(FUndoable.rbegin(), FUndoable.rend(),
                     [&](const TChange &change) { return change.Project == project; });
    return newest == FUndoable.rend() ? nullptr : &*newest;
}

void TChangeTracker::DropUndoable(const QString &project) {
    const auto newest =
        std::find_if(FUndoable.rbegin(), FUndoable.rend(),
                     [&](const TChange &change) { return change.Project == project; });
    if (newest != FUndoable.rend())
        FUndoable.erase(std::next(newest).base());
}
