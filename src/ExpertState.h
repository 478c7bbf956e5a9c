#pragma once

#include "Vars.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What Kivo knows of the expert's side of the project file, judged from the refreshes' tables and
// from this Kivo's own saves: which changes wait for the expert and since when; which it took,
// wrote over, or which a later change replaced; whether the expert looks alive; whether the file
// is there and whole. Pure logic: no widgets and no files, on a clock that tests set.
//
// The rules:
// - A saved change waits for the expert when it set the status to "changed by Kivo" (1), or set
//   a value beside status 2, which Kivo leaves alone. An action's cancellation (status 0) waits
//   for nothing.
// - Status 1: taken when a refresh shows the status changed and the value still the one Kivo
//   wrote; overwritten when it shows another value, whatever the status. An action has no value
//   of Kivo's: it is taken when its status is no longer 1.
// - Status 2: judged at the expert's next write of the file (a refresh that found the file
//   written by another hand): taken when the value is still Kivo's, overwritten when not.
// - Superseded: a later change of the same variable, saved before the expert answered the earlier
//   one; also a value or status that another copy of Kivo saved over it (OtherSaved), which is
//   never taken for the expert's.
// - Gone: the variable is no longer where the change was made (the count fell, or another title
//   or type stands there).
class TExpertState {
public:
    // Milliseconds since the epoch, UTC.
    using TClock = std::function<std::int64_t()>;
    // The system's clock when none is given.
    explicit TExpertState(TClock clock = {});

    struct TChange {
        std::uint64_t Id = 0; // in the order saved, from 1
        TVarChange Change;
        TVarEntry Before;
        TVarEntry After;
        std::int64_t SavedAt = 0;
    };
    enum class TAnswer { Taken, Overwritten, Superseded, Gone };
    struct TEvent {
        TAnswer Answer = TAnswer::Taken;
        TChange Change;
        TVarEntry Now;            // the variable as the refresh showed it (Overwritten)
        bool ByOtherKivo = false; // Superseded by another copy of Kivo
        std::int64_t At = 0;      // when it was seen
        double Seconds() const { return double(At - Change.SavedAt) / 1000.0; }
    };

    // The inputs, as they happen. Each gives the answers it decided, for the journal.

    // A change this Kivo saved; an earlier change of the variable still waiting is superseded.
    std::vector<TEvent> Saved(const TVarChange &change, const TVarEntry &before,
                              const TVarEntry &after);
    // A refresh that took the file. writtenAt: when another hand (not this Kivo's save) last
    // wrote it, as its time stamp says, when this refresh found it so written; otherwise none.
    std::vector<TEvent> Refreshed(const TVarTable &vars, std::int32_t count,
                                  std::optional<std::int64_t> writtenAt);
    // A refresh that found no file, or one it could not take (incomplete, a writer at work).
    void FileMissing();
    void FileIncomplete();
    // A save another copy of Kivo made on the project, as its journal record tells.
    void OtherSaved(int index, const std::string &title, const TVarEntry &after);
    // Another project, or the same opened anew: nothing waits, nothing is known.
    void Reset();

    // The answers.

    std::vector<const TChange *> Waiting() const; // oldest first
    // When the expert last wrote the file, and how often it usually does: the median of its
    // last 20 intervals, none before it has shown three.
    std::optional<std::int64_t> LastWrite() const;
    std::optional<std::int64_t> UsualInterval() const;
    // Silent: it usually writes, and has not for longer than the larger of silentMs and five
    // usual intervals.
    bool Silent(std::int64_t silentMs) const;

    enum class TFile { Unknown, Whole, Missing, Incomplete };
    TFile File() const { return FFile; }
    // Since when the file has been as File() says.
    std::int64_t FileSince() const { return FFileSince; }

    // The last taken or overwritten change, for a moment's announcement.
    const std::optional<TEvent> &LastAnswer() const { return FLastAnswer; }

    std::int64_t Now() const;

private:
    TClock FClock;
    std::uint64_t FNextId = 1;
    std::vector<TChange> FWaiting;
    std::vector<std::int64_t> FWrites; // the expert's last writes, oldest first
    TFile FFile = TFile::Unknown;
    std::int64_t FFileSince = 0;
    std::optional<TEvent> FLastAnswer;
    struct TOtherSave {
        int Index = 0;
        std::string Title;
        TVarEntry After;
        std::int64_t At = 0;
    };
    std::vector<TOtherSave> FOtherSaves;
};

// The line under the grid: the file's own state first, then an alarm (a change waiting too long,
// an expert that went silent), then a moment's announcement of a change taken or overwritten,
// then when the expert last wrote and what waits. Title is the part to shorten when the line is
// too long; the rest stays whole.
struct TStatusLine {
    enum TTone { Plain, Good, Amber, Problem };
    TTone Tone = Plain;
    QString Before;
    QString Title;
    QString After;
    QString Text() const { return Before + Title + After; }
};
struct TStatusSettings {
    int AckWarnSeconds = 10;
    int ExpertSilentSeconds = 10;
    int IncompleteAfterSeconds = 3;
    int AnnounceSeconds = 5;
};
TStatusLine StatusLineFor(const TExpertState &state, const TStatusSettings &settings);

// "3 s", "20 s", "5 min", "2 h": how long, rounded down to its largest unit, and to ten seconds
// from ten on, so that the line is drawn anew a few times a minute at most.
QString LineDuration(std::int64_t seconds);
