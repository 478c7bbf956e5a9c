#include "ProjectFile.h"

#include "Conversions.h"
#include "IniFile.h"
#include "IniText.h"
#include "SharedFile.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <algorithm>
#include <thread>
#include <utility>

const char *const ProjectSection = "Kivo 1.0";

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a refresh waits for a writer at work before it keeps the last view; the watch brings
// another refresh once the writer pauses.
constexpr milliseconds RefreshWait(100);
// How often a save merges again when another writer changed the file in the meantime.
constexpr int SaveAttempts = 10;

// "Var<n>", the start of the four key names of slot index.
std::string VarPrefix(int index) {
    return "Var" + IntToStr(index + 1);
}

// As ReadInteger reads it: the StrToInt rules, 0 for anything else.
std::int32_t ToInteger(std::string_view text) {
    std::int32_t value = 0;
    return TryStrToInt(std::string(text), value) ? value : 0;
}

} // namespace

struct TProjectFile::TSnapshot {
    std::string Bytes;
    std::int32_t FileCount = 0; // Var_Cnt as the file states it
    std::int32_t Count = 0;     // the variables the table holds: FileCount within 0..MaxVars
    TVarTable Table;

    // Parses the bytes; false when they are not a whole project file.
    bool Parse(std::string bytes) {
        const TIniText text(std::move(bytes));
        FileCount = 0;
        if (const auto count = text.Lookup(ProjectSection, "Var_Cnt"))
            FileCount = ToInteger(*count);
        Count = std::clamp<std::int32_t>(FileCount, 0, MaxVars);
        if (!text.EndsWithLineBreak())
            return false;
        // Four keys for each variable: a count the file cannot hold is not looked up key by key.
        if (FileCount > 0 && std::size_t(FileCount) > text.KeyCount() / 4)
            return false;
        const std::string_view section = ProjectSection;
        for (std::int32_t i = 0; i < FileCount; ++i) {
            // The four keys of a variable share their start: made once, for the refresh's sake.
            const std::string var = VarPrefix(i);
            const auto title = text.Lookup(section, var + "_Title");
            const auto type = text.Lookup(section, var + "_Type");
            const auto status = text.Lookup(section, var + "_Status");
            const auto value = text.Lookup(section, var + "_Value");
            if (!title || !type || !status || !value)
                return false;
            if (i >= MaxVars)
                continue;
            TVarEntry &slot = Table[std::size_t(i)];
            slot.Title = *title;
            slot.Type = ToInteger(*type);
            slot.Status = ToInteger(*status);
            slot.Value = *value;
        }
        Bytes = text.Bytes();
        return true;
    }
};

TProjectFile::TProjectFile(QObject *parent)
    : QObject(parent), FLast(std::make_unique<TSnapshot>()), FWatcher(new QFileSystemWatcher(this)),
      FSettleTimer(new QTimer(this)) {
    FSettleTimer->setSingleShot(true);
    connect(FSettleTimer, &QTimer::timeout, this, &TProjectFile::Changed);
    connect(FWatcher, &QFileSystemWatcher::fileChanged, this, [this] { Notified(); });
    connect(FWatcher, &QFileSystemWatcher::directoryChanged, this, [this] { Notified(); });
}

TProjectFile::~TProjectFile() = default;

void TProjectFile::SetPath(const std::string &path) {
    if (path == FPath)
        return;
    Unwatch();
    FPath = path;
    FValid = false;
    FWriterStayed = false;
    FLastWriteByOthers = QDateTime();
    if (FPath.empty())
        return;
    FWatchedFile = ToQString(FPath);
    FWatchedDir = QFileInfo(FWatchedFile).absolutePath();
    Watch();
}

// A missing file reads as empty, as the profile API reads it. A read that overlapped a writer,
// or one the system cannot tell about and that differs from the read before it, is read again
// until the wait is over. A whole snapshot is left in FLast.
TProjectFile::TState TProjectFile::ReadWhole(milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    std::string previous;
    bool previousParsed = false; // previous is what FLast was parsed from
    bool previousWhole = false;
    FWriterStayed = false;
    for (;;) {
        TFileRead read = ReadShared(FPath);
        if (!read.Exists)
            return TState::Missing;
        if (read.Writers == TWriters::Writing) {
            previousParsed = false;
        } else {
            // Bytes verified whole before are whole now: the table parsed from them is taken.
            if (FValid && read.Bytes == FLast->Bytes)
                return TState::Whole;
            // Changed, and not by a save of this one's, whose bytes FLast holds.
            if (!read.Bytes.empty())
                FLastWriteByOthers = QFileInfo(ToQString(FPath)).lastModified();
            const bool again = previousParsed && read.Bytes == previous;
            const bool whole = again ? previousWhole : FLast->Parse(read.Bytes);
            FValid = false;
            if (read.Writers == TWriters::None || again) {
                FValid = whole;
                return whole ? TState::Whole : TState::NotWhole;
            }
            previousParsed = true;
            previousWhole = whole;
        }
        previous = std::move(read.Bytes);
        FWriterStayed = read.Writers == TWriters::Writing;
        if (Clock::now() >= deadline)
            return TState::NotWhole;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

bool TProjectFile::Read(TVarTable &table, std::int32_t &count) {
    // A writer that kept the file open through the last refresh's wait is not waited for again
    // at every refresh: the grid must not stall while it holds the file.
    const bool held = std::exchange(FWriterStayed, false);
    switch (ReadWhole(held ? milliseconds(0) : RefreshWait)) {
    case TState::Missing:
        count = 0;
        return true;
    case TState::NotWhole:
        return false;
    case TState::Whole:
        break;
    }
    std::copy(FLast->Table.begin(), FLast->Table.begin() + FLast->Count, table.begin());
    count = FLast->Count;
    return true;
}

TProjectFile::TSaveResult TProjectFile::Save(const TVarChange &change) {
    // Held for the whole merge: another copy of Kivo saving the same file waits, then merges
    // into what this one wrote.
    TReplaceLock lock(FPath);
    const auto deadline = Clock::now() + milliseconds(SaveWaitMs);
    for (int attempt = 1;; ++attempt) {
        const auto left = std::max(
            milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
        const TState state = ReadWhole(left);
        if (state == TState::Missing)
            return {TOutcome::NotThere, {}, {}};
        if (state == TState::NotWhole) {
            if (Clock::now() >= deadline)
                return {TOutcome::NotWhole, {}, {}};
            std::this_thread::sleep_for(milliseconds(10));
            continue;
        }
        const TSnapshot &fresh = *FLast;
        if (change.Index < 0 || change.Index >= fresh.Count ||
            fresh.Table[std::size_t(change.Index)].Title != change.Title ||
            fresh.Table[std::size_t(change.Index)].Type != change.Type)
            return {TOutcome::NotThere, {}, {}};

        const TVarEntry &before = fresh.Table[std::size_t(change.Index)];
        if (change.Undo && (change.SetsValue ? before.Value != change.RequiredValue
                                             : before.Status != change.RequiredStatus))
            return {TOutcome::Changed, before, before};
        TVarEntry target = before;
        if (change.SetsValue) {
            target.Value = change.Value;
            if (target.Status != vsIdle2)
                target.Status = vsChanged;
        } else {
            target.Status = change.Status;
        }

        // Every key of every variable is written back as read (integers as numbers): the file
        // holds them all, so nothing is added, and only the change and odd spellings of
        // integers differ.
        TIniFile ini(FPath, fresh.Bytes);
        ini.WriteInteger(ProjectSection, "Var_Cnt", fresh.FileCount);
        for (std::int32_t i = 0; i < fresh.Count; ++i) {
            const TVarEntry &slot = i == change.Index ? target : fresh.Table[std::size_t(i)];
            const std::string var = VarPrefix(i);
            ini.WriteString(ProjectSection, var + "_Title", slot.Title);
            ini.WriteInteger(ProjectSection, var + "_Type", slot.Type);
            ini.WriteInteger(ProjectSection, var + "_Status", slot.Status);
            ini.WriteString(ProjectSection, var + "_Value", slot.Value);
        }
        // The expert writes without a lock: when it changed the file since the read above,
        // merge again rather than put its older state back.
        if (ini.UpdateFileIfUnchanged(lock)) {
            TSaveResult saved{TOutcome::Saved, before, target};
            FLast->Bytes = ini.Snapshot();
            FLast->Table[std::size_t(change.Index)] = target;
            return saved;
        }
        if (attempt >= SaveAttempts)
            return {TOutcome::KeptChanging, {}, {}};
    }
}

void TProjectFile::Watch() {
    if (FPath.empty())
        return;
    if (!FWatcher->directories().contains(FWatchedDir) && QFileInfo::exists(FWatchedDir))
        FWatcher->addPath(FWatchedDir);
    // Only a file: a watch holds a folder of that name open, and Windows then cannot delete it.
    if (!FWatcher->files().contains(FWatchedFile) && QFileInfo(FWatchedFile).isFile())
        FWatcher->addPath(FWatchedFile);
}

void TProjectFile::RefreshSoon() {
    FSettleTimer->start(0);
}

void TProjectFile::Unwatch() {
    FSettleTimer->stop();
    const QStringList paths = FWatcher->files() + FWatcher->directories();
    if (!paths.isEmpty())
        FWatcher->removePaths(paths);
    FWatchedFile.clear();
    FWatchedDir.clear();
}

// The expert rewrites the file key by key: the report waits until the notifications pause, so
// that the refresh reads the file once, whole, yet no later than MaxWaitMs for a writer that
// never pauses.
void TProjectFile::Notified() {
    if (!FSettleTimer->isActive())
        FBurst.start();
    const qint64 left = MaxWaitMs - FBurst.elapsed();
    FSettleTimer->start(int(std::clamp<qint64>(left, 0, QuietMs)));
}
