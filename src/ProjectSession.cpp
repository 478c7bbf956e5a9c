#include "ProjectSession.h"

#include "CodePage.h"
#include "Conversions.h"
#include "Exception.h"
#include "ProjectData.h"
#include "SharedFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

namespace {

QDateTime Utc(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

std::string Shown(const std::string &title) {
    return FromQString(ProjectToQString(title));
}

// What the user is told when changes are not saved, and what to do about it.
void Explain(TProjectSession::TResult &result, const TVarChange &first, const std::string &reason,
             bool otherKivo) {
    using TOutcome = TProjectFile::TOutcome;
    const char *const notSaved = ". The new value is not saved.";
    switch (result.Outcome) {
    case TOutcome::Saved:
        return;
    case TOutcome::NotThere:
        result.Message = "Project file has changed. The new value is not saved.";
        result.Detail = "The variable is no longer where it was: the expert has changed its list "
                        "of variables. Find it in the grid again and try once more.";
        return;
    case TOutcome::Missing:
        result.Message = std::string("The project file is gone") + notSaved;
        result.Detail = "Kivo shows the file again as soon as it is back; then try again.";
        return;
    case TOutcome::NotWhole:
        result.Message =
            std::string("The project file is incomplete or still being written") + notSaved;
        result.Detail = "The expert may be writing it right now. Try again in a moment.";
        return;
    case TOutcome::KeptChanging:
        result.Message = std::string("Another program kept changing the project file") + notSaved;
        result.Detail = "Try again in a moment.";
        return;
    case TOutcome::ReadOnly:
        result.Message = "The project file cannot be written: " + reason + notSaved;
        result.Detail = "Make the file writable for your user, then try again.";
        return;
    case TOutcome::Changed:
        result.Message =
            std::string(otherKivo ? "Another copy of Kivo" : "The expert") + " has changed " +
            Shown(first.Title) +
            (first.Undo ? " since. Nothing is undone." : " again" + std::string(notSaved));
        if (!first.Undo)
            result.Detail = "Look at its value now, then press OK once more.";
        return;
    }
}

} // namespace

TProjectSession::TProjectSession(QObject *parent)
    : QObject(parent), FFile(new TProjectFile(this)),
      FKivo(QString::number(QRandomGenerator::system()->generate(), 16)) {
    connect(FFile, &TProjectFile::Changed, this, &TProjectSession::FileChanged);
}

TProjectSession::~TProjectSession() = default;

void TProjectSession::SetProject(const std::string &path) {
    if (path == FProject)
        return;
    FProject = path;
    FFile->SetPath(path);
    FState.Reset();
    FUndo.clear();
    FOpenMark.reset();
    FOtherKivo = false;
    FJournalRead = 0;
    FPresets = {};
    FPresetsError.clear();
    FAtOpen = {};
    FAtOpenTaken = false;
    if (path.empty())
        return;
    (void)FPresets.Read(TProjectPresets::FileFor(ToQString(path)), FPresetsError);
    // What the journal held before is history, not news.
    FJournalFile = TJournal::FileFor(ToQString(path));
    FJournalRead = QFileInfo(FJournalFile).size();
    MarkOpen();
}

// A mark of this copy's beside those of every other copy of Kivo that has the project open, held
// for as long as it is open (TProcessMark: gone with its process). Another's that nobody holds is
// left over from a copy that ended without removing it.
void TProjectSession::MarkOpen() {
    const QString mark = ProjectDataFile(ToQString(FProject), QStringLiteral("open"),
                                         QLatin1Char('.') + FKivo + QStringLiteral(".mark"));
    if (mark.isEmpty())
        return;
    const QFileInfo info(mark);
    QDir folder(info.absolutePath());
    if (!folder.mkpath(QStringLiteral(".")))
        return;
    const QString prefix = info.fileName().section(QLatin1Char('.'), 0, 0) + QLatin1Char('.');
    for (const QString &name : folder.entryList({prefix + QStringLiteral("*.mark")}, QDir::Files)) {
        if (name != info.fileName() && TProcessMark::HeldByAnother(FromQString(
                                           QDir::toNativeSeparators(folder.filePath(name)))))
            FOtherKivo = true;
    }
    FOpenMark = std::make_unique<TProcessMark>(FromQString(QDir::toNativeSeparators(mark)));
}

// Another copy of Kivo journals its saves where this one does: what it saved is not the expert's.
void TProjectSession::ReadOtherKivos() {
    if (FJournalFile.isEmpty() || QFileInfo(FJournalFile).size() <= FJournalRead)
        return;
    const QString project = ToQString(FProject);
    for (const TJournalRecord &record : TJournal::LoadFrom(project, FJournalRead)) {
        if (record.Kivo == FKivo || record.Kivo.isEmpty() ||
            record.Outcome != QLatin1String("saved") || record.Project != project)
            continue;
        FOtherKivo = true;
        TVarEntry after;
        after.Status = record.NewStatus;
        if (ProjectFromQString(record.Title, after.Title) &&
            ProjectFromQString(record.NewValue, after.Value))
            FState.OtherSaved(record.Variable - 1, after.Title, after);
    }
}

bool TProjectSession::Refresh(TVarTable &vars, std::int32_t &count) {
    ReadOtherKivos();
    if (!FFile->Read(vars, count)) {
        FState.FileIncomplete();
        return false;
    }
    if (FFile->Found() == TProjectFile::TFound::Missing) {
        FState.FileMissing();
        return true;
    }
    if (!FAtOpenTaken && count > 0) {
        FAtOpenTaken = true;
        FAtOpen = FromTable(QStringLiteral("Values at open"), vars, count);
    }
    std::optional<std::int64_t> writtenAt;
    if (FFile->News() && FFile->LastWriteByOthers().isValid())
        writtenAt = FFile->LastWriteByOthers().toMSecsSinceEpoch();
    Journal(FState.Refreshed(vars, count, writtenAt));
    return true;
}

TProjectSession::TResult TProjectSession::Save(const std::vector<TVarChange> &changes,
                                               const TVarTable &table) {
    std::vector<TVarEntry> shown;
    for (const TVarChange &change : changes)
        shown.push_back(change.Index >= 0 && change.Index < MaxVars
                            ? table[std::size_t(change.Index)]
                            : TVarEntry{});
    // A set is one group in the journal, numbered by its time, so that groups of different
    // sessions differ.
    const std::int64_t group = changes.size() > 1 ? std::max(FState.Now(), FNextGroup + 1) : 0;
    if (group)
        FNextGroup = group;
    const auto notSaved = [&](const std::vector<TVarEntry> &befores, const std::string &reason) {
        for (std::size_t i = 0; i < changes.size(); ++i) {
            const TVarChange &change = changes[i];
            const TVarEntry before = i < befores.size() ? befores[i] : TVarEntry{};
            TVarEntry intended = before;
            if (change.SetsValue)
                intended.Value = change.Value;
            else
                intended.Status = change.Status;
            TJournalRecord record = Record(change, before, intended, QStringLiteral("not saved"));
            record.Reason = QString::fromUtf8(reason.data(), qsizetype(reason.size()));
            record.Group = group;
            Append(record);
        }
    };

    TProjectFile::TSaveResult saved;
    try {
        saved = FFile->Save(changes);
    } catch (const std::exception &e) {
        notSaved(shown, e.what());
        throw;
    }
    TResult result{saved.Outcome, saved.Before, saved.After, {}, {}};
    if (!result.Saved()) {
        Explain(result, changes.front(), saved.Reason, FOtherKivo);
        notSaved(saved.Outcome == TProjectFile::TOutcome::Changed ? saved.Before : shown,
                 result.Message);
        return result;
    }
    TUndo undo;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const TVarChange &change = changes[i];
        const TVarEntry &before = saved.Before[i];
        const TVarEntry &after = saved.After[i];
        Journal(FState.Saved(change, before, after));
        TJournalRecord record = Record(change, before, after, QStringLiteral("saved"));
        // The time an answer names, so that the history finds the change it answers.
        const std::vector<const TExpertState::TChange *> waiting = FState.Waiting();
        if (!waiting.empty() && waiting.back()->Change.Index == change.Index)
            record.Time = Utc(waiting.back()->SavedAt);
        record.Group = group;
        Append(record);

        TVarChange back = change;
        back.Undo = true;
        back.Requires = true;
        if (change.SetsValue) {
            back.Value = before.Value;
            back.RequiredValue = after.Value;
        } else {
            back.Status = before.Status;
            back.RequiredStatus = after.Status;
        }
        undo.Changes.push_back(back);
        undo.Before.push_back(before);
        undo.After.push_back(after);
    }
    if (!changes.front().Undo) {
        if (changes.size() > 1)
            undo.What = "change of " + std::to_string(changes.size()) + " variables";
        else if (changes.front().SetsValue)
            undo.What = "change of " + changes.front().Title;
        else
            undo.What = (saved.After.front().Status == vsIdle ? "cancel of " : "activation of ") +
                        changes.front().Title;
        FUndo.push_back(std::move(undo));
    }
    return result;
}

void TProjectSession::SavePresets() {
    QString error;
    if (!FPresets.Write(TProjectPresets::FileFor(ToQString(FProject)), error))
        throw Exception(FromQString(error));
    FPresetsError.clear();
}

std::vector<TBrokenLimit> TProjectSession::Broken(const TVarChange &change,
                                                  const TVarEntry &now) const {
    const TLimit *limit = change.SetsValue ? FPresets.LimitFor(change.Title, change.Type) : nullptr;
    return limit ? CheckLimits(*limit, change.Type, now.Value, change.Value)
                 : std::vector<TBrokenLimit>();
}

void TProjectSession::DropUndoable() {
    if (!FUndo.empty())
        FUndo.pop_back();
}

std::string TProjectSession::UndoQuestion(const TVarTable &vars, std::int32_t count) const {
    const TUndo *undo = Undoable();
    if (!undo)
        return {};
    if (undo->Changes.size() > 1)
        return "Do you want to undo the " + undo->What + "?";
    const TVarChange &change = undo->Changes.front();
    const TVarEntry &wrote = undo->After.front();
    if (change.Index < 0 || change.Index >= count)
        return {};
    // One that no longer holds it is not asked about: the save says so.
    const TVarEntry &now = vars[std::size_t(change.Index)];
    if (change.SetsValue ? now.Value != wrote.Value : now.Status != wrote.Status)
        return {};
    if (!change.SetsValue)
        return change.Status == vsIdle ? "Do you want to cancel action activation?"
                                       : "Do you want to activate this action?";
    if (change.Type == vtBoolean)
        return wrote.Value == "1" ? "Do you want to change TRUE to FALSE?"
                                  : "Do you want to change FALSE to TRUE?";
    return {};
}

TStatusLine TProjectSession::Line(int ackWarnSeconds, int expertSilentSeconds) const {
    TStatusSettings settings;
    settings.AckWarnSeconds = ackWarnSeconds;
    settings.ExpertSilentSeconds = expertSilentSeconds;
    TStatusLine line = StatusLineFor(FState, settings);
    if (FOtherKivo && line.Tone == TStatusLine::Plain)
        line.Before = QStringLiteral("Another copy of Kivo has this project open") +
                      (line.Text().isEmpty() ? QString() : QStringLiteral(". ")) + line.Before;
    return line;
}

std::string TProjectSession::WhyNoChange() const {
    const std::int64_t since = (FState.Now() - FState.FileSince()) / 1000;
    if (since < TStatusSettings().IncompleteAfterSeconds)
        return {};
    if (FState.File() == TExpertState::TFile::Missing)
        return "The project file is gone. Nothing can be changed until it is back.";
    if (FState.File() == TExpertState::TFile::Incomplete)
        return "The project file has been incomplete for " + FromQString(LineDuration(since)) +
               ". Nothing can be changed until it is whole again.";
    return {};
}

TJournalRecord TProjectSession::Record(const TVarChange &change, const TVarEntry &before,
                                       const TVarEntry &after, const QString &outcome) const {
    TJournalRecord record;
    record.Time = Utc(FState.Now());
    record.Project = ToQString(FProject);
    record.Variable = change.Index + 1;
    record.Title = ProjectToQString(change.Title);
    record.OldValue = ProjectToQString(before.Value);
    record.NewValue = ProjectToQString(after.Value);
    record.OldStatus = before.Status;
    record.NewStatus = after.Status;
    record.Kind = change.Undo ? QStringLiteral("undo") : QStringLiteral("change");
    record.Outcome = outcome;
    record.Kivo = FKivo;
    return record;
}

// The expert's answers, each as a record that names the change it answers.
void TProjectSession::Journal(const std::vector<TExpertState::TEvent> &events) {
    for (const TExpertState::TEvent &event : events) {
        static const char *const outcomes[] = {"taken", "overwritten", "superseded", "gone"};
        const TExpertState::TChange &change = event.Change;
        TJournalRecord record =
            Record(change.Change, change.Before, change.After,
                   QString::fromLatin1(outcomes[static_cast<int>(event.Answer)]));
        record.Time = Utc(event.At);
        record.ChangeTime = Utc(change.SavedAt);
        record.TakenAfter = event.Seconds();
        switch (event.Answer) {
        case TExpertState::TAnswer::Taken:
            break;
        case TExpertState::TAnswer::Overwritten:
            record.Reason = QStringLiteral("by the expert: ") + ProjectToQString(event.Now.Value);
            break;
        case TExpertState::TAnswer::Superseded:
            record.Reason = event.ByOtherKivo ? QStringLiteral("by another copy of Kivo")
                                              : QStringLiteral("by a later change");
            break;
        case TExpertState::TAnswer::Gone:
            record.Reason = QStringLiteral("the variable is no longer in the project file");
            break;
        }
        Append(record);
    }
}

// A journal that cannot be written never stands in the way of a save.
void TProjectSession::Append(const TJournalRecord &record) {
    if (!FJournal.Append(record))
        FJournalFailed = true;
}
