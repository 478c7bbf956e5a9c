#include "ProjectFile.h"

#include "Conversions.h"
#include "Exception.h"
#include "FileSystem.h"
#include "FileWatch.h"
#include "IniText.h"
#include "SharedFile.h"

#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <thread>
#include <utility>

const char *const ProjectSection = "Kivo 1.0";

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a refresh reads again for two equal reads where the system cannot tell of writers;
// counted in reads as well, so that a file slower to read than this is still taken.
constexpr milliseconds RefreshWait(100);
constexpr int RefreshReads = 2;
// A writer that keeps the file open, and has left it whole and unchanged this long, is shown
// (never merged into).
constexpr milliseconds HeldQuiet(1000);
// How soon a file that could not be taken yet is read again.
constexpr int RetryMs = 50;
// How often a save merges again when another writer changed the file in the meantime.
constexpr int SaveAttempts = 10;
// How often a save reads the file it put aside for the rest of a write that went there.
constexpr int PutAsideReads = 50;

// "Var<n>", the start of the four key names of slot index.
std::string VarPrefix(int index) {
    return "Var" + IntToStr(index + 1);
}

// An integer as the expert's profile API reads it: leading blanks, a sign, then digits up to
// the first other character; none reads as 0, and too many wrap as they do there.
std::int32_t ProfileInt(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+'))
        negative = text[at++] == '-';
    std::uint32_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = value * 10U + std::uint32_t(text[at] - '0');
    if (negative)
        value = 0U - value;
    return std::int32_t(value);
}

} // namespace

struct TProjectFile::TSnapshot {
    std::string Bytes;
    std::int32_t FileCount = 0; // Var_Cnt as the file states it
    std::int32_t Count = 0;     // the variables the table holds: FileCount within 0..MaxVars
    bool Complete = false;      // ends with a line break, and every variable has its four keys
    TVarTable Table;

    // Reads the bytes as the profile API reads them: a missing key gives its default.
    void Parse(std::string bytes) {
        const TIniText text(std::move(bytes));
        const std::string_view section = ProjectSection;
        const auto count = text.Lookup(section, "Var_Cnt");
        FileCount = count ? ProfileInt(*count) : 0;
        Count = std::clamp<std::int32_t>(FileCount, 0, MaxVars);
        Complete = text.EndsWithLineBreak();
        // Four keys for each variable: a count the file cannot hold is not looked up key by key.
        if (FileCount > 0 && std::size_t(FileCount) > text.KeyCount() / 4)
            Complete = false;
        const std::int32_t checked = Complete ? FileCount : Count;
        for (std::int32_t i = 0; i < checked; ++i) {
            // The four keys of a variable share their start: made once, for the refresh's sake.
            const std::string var = VarPrefix(i);
            const auto title = text.Lookup(section, var + "_Title");
            const auto type = text.Lookup(section, var + "_Type");
            const auto status = text.Lookup(section, var + "_Status");
            const auto value = text.Lookup(section, var + "_Value");
            if (!title || !type || !status || !value)
                Complete = false;
            if (i >= MaxVars)
                continue;
            TVarEntry &slot = Table[std::size_t(i)];
            slot.Title = title ? std::string(*title) : std::string();
            slot.Type = type ? ProfileInt(*type) : 0;
            slot.Status = status ? ProfileInt(*status) : 0;
            slot.Value = value ? std::string(*value) : std::string();
        }
        Bytes = text.Bytes();
    }
};

TProjectFile::TProjectFile(QObject *parent)
    : QObject(parent), FLast(std::make_unique<TSnapshot>()), FWatch(new TFileWatch(this)),
      FSettleTimer(new QTimer(this)) {
    FSettleTimer->setSingleShot(true);
    connect(FSettleTimer, &QTimer::timeout, this, [this] {
        FReported.start();
        emit Changed();
    });
    connect(FWatch, &TFileWatch::Modified, this, [this] { Notified(false); });
    connect(FWatch, &TFileWatch::Closed, this, [this] { Notified(true); });
}

TProjectFile::~TProjectFile() = default;

void TProjectFile::SetPath(const std::string &path) {
    if (path == FPath)
        return;
    FSettleTimer->stop();
    FPath = path;
    FValid = false;
    FSeen.clear();
    FSeenReads = 0;
    FLastWriteByOthers = QDateTime();
    FWatch->SetFile(path);
}

// Reads until the file can be taken or the wait is over; a taken snapshot is left in FLast. A
// missing file reads as empty, as the profile API reads it.
TProjectFile::TState TProjectFile::Take(milliseconds wait, bool forSave) {
    TFileSystem &fs = TFileSystem::Current();
    const auto deadline = Clock::now() + wait;
    for (int reads = 1;; ++reads) {
        const TFileWatch::TState before = FWatch->State();
        std::string bytes;
        const bool exists = fs.Read(FPath, bytes);
        const TFileWatch::TState after = FWatch->State();
        const auto now = Clock::now();
        if (!exists) {
            FSeenReads = 0;
            return TState::Missing;
        }
        const bool known = before.Known && after.Known;
        // Modified and not yet closed, or written while it was read.
        const bool writing =
            known && (before.Writing || after.Writing || before.Events != after.Events);
        if (FSeenReads > 0 && bytes == FSeen) {
            ++FSeenReads;
        } else {
            FSeen = bytes;
            FSeenSince = now;
            FSeenReads = 1;
        }
        const auto seenFor = now - FSeenSince;

        const bool same = FValid && bytes == FLast->Bytes;
        if (!same) {
            if (!bytes.empty())
                FLastWriteByOthers = QFileInfo(ToQString(FPath)).lastModified();
            FLast->Parse(std::move(bytes));
            FValid = false;
        }
        const bool stable = FSeenReads >= StableReads && seenFor >= milliseconds(StableMs);
        bool take = false;
        if (writing) {
            // Never merged into; shown once it has stayed whole and unchanged for long.
            take = !forSave && FLast->Complete && FSeenReads >= StableReads && seenFor >= HeldQuiet;
        } else if (known) {
            take = same || FLast->Complete || stable;
        } else {
            // Two reads agree. An expert that never pauses for longer than a few milliseconds
            // leaves no longer time to take the file in; and a rewrite cut off where the part
            // written looks whole is all the system lets pass here.
            take = (FLast->Complete && (same || FSeenReads >= 2)) || stable;
        }
        if (take) {
            FValid = true;
            FNews = !same;
            FTakenEvents = after.Events;
            return TState::Whole;
        }
        // Only reads can tell whether a whole-looking file was written to the end, where the
        // system tells nothing of writers; a writer at work is heard of when it closes the file.
        const bool agreeing = !known && FLast->Complete;
        const bool timeUp = reads >= RefreshReads && now >= deadline;
        if (!forSave && !(agreeing && !timeUp)) {
            if (!writing && !FSettleTimer->isActive())
                FSettleTimer->start(RetryMs); // to see whether it stays so
            return TState::NotWhole;
        }
        if (timeUp)
            return TState::NotWhole;
        std::this_thread::sleep_for(milliseconds(agreeing || writing ? 2 : 20));
    }
}

bool TProjectFile::Read(TVarTable &table, std::int32_t &count) {
    FNews = false;
    switch (Take(RefreshWait, false)) {
    case TState::Missing:
        FFound = TFound::Missing;
        count = 0;
        return true;
    case TState::NotWhole:
        FFound = TFound::NotWhole;
        return false;
    case TState::Whole:
        break;
    }
    FFound = TFound::Whole;
    std::copy(FLast->Table.begin(), FLast->Table.begin() + FLast->Count, table.begin());
    count = FLast->Count;
    return true;
}

TProjectFile::TSaveResult TProjectFile::Save(const std::vector<TVarChange> &changes) {
    // Held for the whole merge: another copy of Kivo saving the same file waits, then merges
    // into what this one wrote.
    TReplaceLock lock(FPath);
    const auto deadline = Clock::now() + milliseconds(SaveWaitMs);
    // Saved already, and merged again into what a writer wrote into the file the replace put
    // aside, so that its write is not lost; the outcome stays Saved whatever this finds.
    std::unique_ptr<TSnapshot> overtaken;
    TSaveResult saved;
    for (int attempt = 1;; ++attempt) {
        if (!overtaken) {
            const auto left = std::max(
                milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
            switch (Take(left, true)) {
            case TState::Missing:
                return {TOutcome::Missing, {}, {}, {}};
            case TState::NotWhole:
                return {TOutcome::NotWhole, {}, {}, {}};
            case TState::Whole:
                break;
            }
        }
        const TSnapshot &fresh = overtaken ? *overtaken : *FLast;
        TSaveResult result;
        TIniText text(fresh.Bytes);
        bool asWritten = false; // the overtaken write kept as it is
        for (const TVarChange &change : changes) {
            if (change.Index < 0 || change.Index >= fresh.Count ||
                fresh.Table[std::size_t(change.Index)].Title != change.Title ||
                fresh.Table[std::size_t(change.Index)].Type != change.Type) {
                if (!overtaken)
                    return {TOutcome::NotThere, {}, {}, {}};
                // The writer moved the variables meanwhile: what it wrote is put back as it is.
                asWritten = true;
                break;
            }
            const TVarEntry &before = fresh.Table[std::size_t(change.Index)];
            if (!overtaken && change.Requires &&
                (change.SetsValue ? before.Value != change.RequiredValue
                                  : before.Status != change.RequiredStatus))
                return {TOutcome::Changed, {before}, {before}, {}};
            const TVarEntry after = Applied(change, before);
            // Only what changes is written: every other line stays as read, the spelling of
            // other variables' numbers included.
            const std::string var = VarPrefix(change.Index);
            const char *refused = nullptr;
            if (after.Value != before.Value)
                refused = text.Set(ProjectSection, var + "_Value", after.Value);
            if (!refused && after.Status != before.Status)
                refused = text.Set(ProjectSection, var + "_Status", IntToStr(after.Status));
            if (refused)
                throw Exception("Cannot write key " + var + " of file " + FPath + ": " + refused);
            result.Before.push_back(before);
            result.After.push_back(after);
        }
        result.Outcome = TOutcome::Saved;
        if (overtaken)
            result = saved;
        else if (!text.Modified())
            return result;
        std::string content = asWritten ? fresh.Bytes : text.Build();
        // The last look for another writer comes right before the file is replaced; over what a
        // writer left in the file put aside, only over what this one wrote.
        const std::string expected = overtaken ? FLast->Bytes : fresh.Bytes;
        const auto unchanged = [this] {
            const TFileWatch::TState now = FWatch->State();
            return !now.Known || (!now.Writing && now.Events == FTakenEvents);
        };
        switch (lock.Replace(content, &expected, unchanged)) {
        case TReplaceLock::TResult::Replaced:
            FLast->Parse(std::move(content));
            FValid = true;
            FSeen = FLast->Bytes;
            FSeenSince = Clock::now();
            FSeenReads = StableReads;
            FTakenEvents = FWatch->State().Events;
            if (!lock.Overtaken() || attempt >= SaveAttempts)
                return result;
            saved = result;
            overtaken = std::make_unique<TSnapshot>();
            overtaken->Parse(*lock.Overtaken());
            // A writer held off partway finishes there; one that never does, or still has the
            // file open, is not merged into. Nor one that left it as it was.
            for (int reads = 1;
                 (!overtaken->Complete || lock.PutAsideInUse()) && reads < PutAsideReads; ++reads) {
                std::this_thread::sleep_for(milliseconds(2));
                overtaken->Parse(lock.PutAside());
            }
            if (!overtaken->Complete || lock.PutAsideInUse() || overtaken->Bytes == expected)
                return result;
            continue;
        case TReplaceLock::TResult::ReadOnly:
            return overtaken ? saved : TSaveResult{TOutcome::ReadOnly, {}, {}, lock.Reason()};
        case TReplaceLock::TResult::Changed:
            break;
        }
        // Changed again under a merge of what was overtaken: the newer write stands.
        if (overtaken)
            return saved;
        if (attempt >= SaveAttempts)
            return {TOutcome::KeptChanging, {}, {}, {}};
    }
}

void TProjectFile::Watch() {
    FWatch->Rewatch();
}

void TProjectFile::RefreshSoon() {
    FSettleTimer->start(0);
}

// Where the system tells of writers, the file is read when its writer closes it. Elsewhere the
// report waits until the notifications pause, so that the refresh reads the file once, whole,
// yet no later than MaxWaitMs for a writer that never pauses.
void TProjectFile::Notified(bool closed) {
    if (closed && FWatch->State().Known) {
        const qint64 gap =
            FReported.isValid() ? std::max<qint64>(0, MinGapMs - FReported.elapsed()) : 0;
        if (!FSettleTimer->isActive() || FSettleTimer->remainingTime() > gap)
            FSettleTimer->start(int(gap));
        return;
    }
    if (!FSettleTimer->isActive())
        FBurst.start();
    const qint64 left = MaxWaitMs - FBurst.elapsed();
    if (FWatch->State().Known) {
        if (!FSettleTimer->isActive())
            FSettleTimer->start(int(std::clamp<qint64>(left, 0, MaxWaitMs)));
        return;
    }
    FSettleTimer->start(int(std::clamp<qint64>(left, 0, QuietMs)));
}
