#include "ExpertState.h"

#include "CodePage.h"

#include <QDateTime>

#include <algorithm>

namespace {

// Twenty intervals, for the usual one.
constexpr std::size_t KeptWrites = 21;
constexpr std::size_t KeptOtherSaves = 64;

using TAnswer = TExpertState::TAnswer;

// Waits for the expert: a status set to "changed by Kivo", or a value written beside vsIdle2.
bool Awaits(const TVarChange &change, const TVarEntry &after) {
    return after.Status == vsChanged || (change.SetsValue && after.Status == vsIdle2);
}

// What the expert made of a waiting change, as the variable stands now; none while it waits.
std::optional<TAnswer> Judge(const TExpertState::TChange &waiting, const TVarEntry &now,
                             bool expertWrote) {
    if (waiting.After.Status == vsChanged) {
        // The value first: an expert that puts its own value back and clears the status has not
        // taken Kivo's.
        if (waiting.Change.SetsValue && now.Value != waiting.After.Value)
            return TAnswer::Overwritten;
        if (now.Status != vsChanged)
            return TAnswer::Taken;
        return std::nullopt;
    }
    // Status 2 never changes to tell: only the expert's own write of the file does.
    if (waiting.After.Status == vsIdle2 && expertWrote)
        return now.Value == waiting.After.Value ? TAnswer::Taken : TAnswer::Overwritten;
    return std::nullopt;
}

QString Changes(std::size_t count) {
    return count == 1 ? QStringLiteral("1 change") : QStringLiteral("%1 changes").arg(count);
}

// "0.8 s" below ten seconds, "12 s" from there.
QString TakenAfter(std::int64_t ms) {
    ms = std::max<std::int64_t>(0, ms);
    if (ms < 10000)
        return QStringLiteral("%1.%2 s").arg(ms / 1000).arg(ms / 100 % 10);
    return QStringLiteral("%1 s").arg(ms / 1000);
}

} // namespace

TExpertState::TExpertState(TClock clock) : FClock(std::move(clock)) {
    if (!FClock)
        FClock = [] {
            return QDateTime::currentMSecsSinceEpoch();
        };
}

std::int64_t TExpertState::Now() const {
    return FClock();
}

std::vector<TExpertState::TEvent>
TExpertState::Saved(const TVarChange &change, const TVarEntry &before, const TVarEntry &after) {
    const std::int64_t now = Now();
    std::vector<TEvent> events;
    // A newer change of the variable is what the expert answers now.
    std::vector<TChange> still;
    for (TChange &waiting : FWaiting) {
        if (waiting.Change.Index == change.Index)
            events.push_back({TAnswer::Superseded, std::move(waiting), after, false, now});
        else
            still.push_back(std::move(waiting));
    }
    FWaiting = std::move(still);
    if (Awaits(change, after))
        FWaiting.push_back({FNextId, change, before, after, now});
    ++FNextId;
    return events;
}

std::vector<TExpertState::TEvent> TExpertState::Refreshed(const TVarTable &vars, std::int32_t count,
                                                          std::optional<std::int64_t> writtenAt) {
    const std::int64_t now = Now();
    if (FFile != TFile::Whole) {
        FFile = TFile::Whole;
        FFileSince = now;
    }
    if (writtenAt && (FWrites.empty() || *writtenAt > FWrites.back())) {
        FWrites.push_back(*writtenAt);
        if (FWrites.size() > KeptWrites)
            FWrites.erase(FWrites.begin());
    }

    std::vector<TEvent> events;
    std::vector<TChange> still;
    for (TChange &waiting : FWaiting) {
        const int i = waiting.Change.Index;
        const bool inTable = i >= 0 && i < count && i < MaxVars;
        const TVarEntry current = inTable ? vars[std::size_t(i)] : TVarEntry{};
        const bool there =
            inTable && current.Title == waiting.Change.Title && current.Type == waiting.Change.Type;
        // What another copy of Kivo saved since is its own, not the expert's answer.
        const bool byOther =
            there && std::any_of(FOtherSaves.begin(), FOtherSaves.end(), [&](const TOtherSave &o) {
                return o.Index == i && o.Title == waiting.Change.Title && o.At >= waiting.SavedAt &&
                       o.After.Value == current.Value && o.After.Status == current.Status;
            });
        std::optional<TAnswer> answer = TAnswer::Gone;
        if (there)
            answer = byOther ? TAnswer::Superseded : Judge(waiting, current, writtenAt.has_value());
        if (!answer) {
            still.push_back(std::move(waiting));
            continue;
        }
        events.push_back({*answer, std::move(waiting), current, byOther, now});
        if (*answer == TAnswer::Taken || *answer == TAnswer::Overwritten)
            FLastAnswer = events.back();
    }
    FWaiting = std::move(still);
    return events;
}

void TExpertState::FileMissing() {
    if (FFile != TFile::Missing) {
        FFile = TFile::Missing;
        FFileSince = Now();
    }
}

void TExpertState::FileIncomplete() {
    if (FFile != TFile::Incomplete) {
        FFile = TFile::Incomplete;
        FFileSince = Now();
    }
}

void TExpertState::OtherSaved(int index, const std::string &title, const TVarEntry &after) {
    FOtherSaves.push_back({index, title, after, Now()});
    if (FOtherSaves.size() > KeptOtherSaves)
        FOtherSaves.erase(FOtherSaves.begin());
}

void TExpertState::Reset() {
    FWaiting.clear();
    FWrites.clear();
    FFile = TFile::Unknown;
    FFileSince = 0;
    FLastAnswer.reset();
    FOtherSaves.clear();
}

std::vector<const TExpertState::TChange *> TExpertState::Waiting() const {
    std::vector<const TChange *> waiting;
    waiting.reserve(FWaiting.size());
    for (const TChange &change : FWaiting)
        waiting.push_back(&change);
    return waiting;
}

std::optional<std::int64_t> TExpertState::LastWrite() const {
    if (FWrites.empty())
        return std::nullopt;
    return FWrites.back();
}

std::optional<std::int64_t> TExpertState::UsualInterval() const {
    if (FWrites.size() < 4)
        return std::nullopt;
    std::vector<std::int64_t> intervals;
    for (std::size_t i = 1; i < FWrites.size(); ++i)
        intervals.push_back(FWrites[i] - FWrites[i - 1]);
    std::sort(intervals.begin(), intervals.end());
    const std::size_t half = intervals.size() / 2;
    return intervals.size() % 2 ? intervals[half] : (intervals[half - 1] + intervals[half]) / 2;
}

bool TExpertState::Silent(std::int64_t silentMs) const {
    const std::optional<std::int64_t> usual = UsualInterval();
    return usual && Now() - *LastWrite() > std::max(silentMs, 5 * *usual);
}

TStatusLine StatusLineFor(const TExpertState &state, const TStatusSettings &settings) {
    const std::int64_t now = state.Now();
    const auto secondsSince = [&](std::int64_t since) {
        return std::max<std::int64_t>(0, now - since) / 1000;
    };
    TStatusLine line;
    if (state.File() == TExpertState::TFile::Missing) {
        line.Tone = TStatusLine::Problem;
        line.Before = QStringLiteral("The project file is gone (since %1)")
                          .arg(QDateTime::fromMSecsSinceEpoch(state.FileSince())
                                   .toLocalTime()
                                   .toString(QStringLiteral("HH:mm:ss")));
        return line;
    }
    if (state.File() == TExpertState::TFile::Incomplete &&
        secondsSince(state.FileSince()) >= settings.IncompleteAfterSeconds) {
        line.Tone = TStatusLine::Amber;
        line.Before = QStringLiteral("The project file has been incomplete for ") +
                      LineDuration(secondsSince(state.FileSince()));
        return line;
    }
    const std::vector<const TExpertState::TChange *> waiting = state.Waiting();
    if (!waiting.empty() && secondsSince(waiting.front()->SavedAt) >= settings.AckWarnSeconds) {
        line.Tone = TStatusLine::Amber;
        line.Before = QStringLiteral("Waiting %1 for the expert to take ")
                          .arg(LineDuration(secondsSince(waiting.front()->SavedAt)));
        line.Title = ProjectToQString(waiting.front()->Change.Title);
        line.After = QStringLiteral(" (%1 waiting)").arg(Changes(waiting.size()));
        return line;
    }
    if (state.Silent(std::int64_t(settings.ExpertSilentSeconds) * 1000)) {
        line.Tone = TStatusLine::Amber;
        line.Before =
            QStringLiteral("The expert has not written for %1 (it usually writes every %2)")
                .arg(LineDuration(secondsSince(*state.LastWrite())),
                     LineDuration(std::max<std::int64_t>(1, *state.UsualInterval() / 1000)));
        return line;
    }
    if (const std::optional<TExpertState::TEvent> &answer = state.LastAnswer();
        answer && now - answer->At < std::int64_t(settings.AnnounceSeconds) * 1000) {
        line.Title = ProjectToQString(answer->Change.Change.Title);
        if (answer->Answer == TExpertState::TAnswer::Taken) {
            line.Tone = TStatusLine::Good;
            line.After =
                QStringLiteral(" taken after ") + TakenAfter(answer->At - answer->Change.SavedAt);
        } else {
            line.Tone = TStatusLine::Amber;
            line.After = QStringLiteral(" overwritten by the expert: ") +
                         ProjectToQString(answer->Now.Value);
        }
        return line;
    }
    if (const std::optional<std::int64_t> wrote = state.LastWrite()) {
        const std::int64_t ago = secondsSince(*wrote);
        line.Before = ago < 1 ? QStringLiteral("The expert wrote just now")
                              : QStringLiteral("The expert wrote %1 ago").arg(LineDuration(ago));
    }
    if (!waiting.empty())
        line.Before += (line.Before.isEmpty() ? QString() : QStringLiteral(". ")) +
                       Changes(waiting.size()) + QStringLiteral(" waiting to be taken");
    return line;
}

QString LineDuration(std::int64_t seconds) {
    if (seconds < 10)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds / 10 * 10);
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    return QStringLiteral("%1 h").arg(seconds / 3600);
}
