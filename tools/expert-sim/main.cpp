// A stand-in for the expert on the other side of the project file: publishes variables and
// then behaves as a live expert, writing one key at a time in place, as the profile API does.

#include "profile.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kSection = "Kivo 1.0";
constexpr const char *kCountKey = "Var_Cnt";
constexpr int kTypeInteger = 2;
constexpr int kTypeAction = 5;
constexpr int kStatusChanged = 1;

// A status found at 1 again, with the value already acknowledged for that variable, this soon
// after our own reset of it, is counted as an old state written back by the other side. A user
// who really sets the same value again (or fires the same action twice) within the window is
// counted too: the file cannot tell them apart. Either way it is acknowledged once more.
constexpr auto kRevertWindow = std::chrono::milliseconds(1500);

// Var_Cnt above this is taken as garbage rather than looped over.
constexpr std::int32_t kMaxVars = 100000;

const char *const kUsage =
    R"(Usage:
  expert-sim publish FILE N [--bulk]
      Write a fresh project of N variables, every type in rotation; variable 1 is the
      integer "tick". Key by key, each write an in-place rewrite of the whole file
      (4*N+1 writes); --bulk writes the whole content in one in-place write.
  expert-sim run FILE [--seconds S] [--interval-ms M] [--seed X] [--tick TITLE] [--verbose]
      Act as a live expert for S seconds (default 10): every M ms (default 100) count
      "tick" up and set every status 1 back to 0. --seed X jitters each interval
      between M/2 and 3M/2, reproducibly. --tick counts the integer of that title
      instead of "tick". --verbose logs acks and reverts to stderr.
  expert-sim hold FILE MS
      Open FILE for reading and writing as the profile API opens it for a write (sharing
      reading and writing, not deletion), print "held", keep it open MS milliseconds,
      then close it. On Windows nobody can replace or delete the file meanwhile.
  expert-sim --help

publish and run print a summary on stdout, one key=value per line.
)";

struct Var {
    std::string title;
    std::int32_t type = 0;
    std::int32_t status = 0;
    std::string value;
};

std::string varKey(std::size_t index, const char *field) {
    return "Var" + std::to_string(index) + "_" + field;
}

// The variables, read key by key as the expert reads them, or nothing when the file is missing,
// empty or has no Var_Cnt.
std::optional<std::vector<Var>> readProject(profile::Section &project) {
    project.refresh();
    const auto count = project.read(kCountKey);
    if (!count)
        return std::nullopt;
    const std::int32_t n = std::clamp(profile::toInt(*count), 0, kMaxVars);
    std::vector<Var> vars(static_cast<std::size_t>(n));
    for (std::size_t i = 1; i <= vars.size(); ++i) {
        Var &v = vars[i - 1];
        v.title = project.read(varKey(i, "Title")).value_or(std::string());
        v.type = project.readInt(varKey(i, "Type"));
        v.status = project.readInt(varKey(i, "Status"));
        v.value = project.read(varKey(i, "Value")).value_or(std::string());
    }
    return vars;
}

using profile::WriteResult;

Var publishedVar(std::size_t index) {
    if (index == 1)
        return {"tick", kTypeInteger, 0, "0"};
    static const char *const titles[] = {"Flag", "Note", "Count", "Price", "Date", "Action"};
    const auto type = static_cast<std::int32_t>((index - 2) % 6);
    const std::string n = std::to_string(index);
    std::string value;
    switch (type) {
    case 0:
        value = (index - 2) / 6 % 2 ? "0" : "1"; // alternates between rounds
        break;
    case 1:
        value = "Note text " + n;
        break;
    case 2:
        value = std::to_string(index * 10);
        break;
    case 3:
        value = n + ".25";
        break;
    case 4: {
        char date[16];
        std::snprintf(date, sizeof date, "01/%02d/2024", static_cast<int>(index % 28 + 1));
        value = date;
        break;
    }
    default:
        break; // an action carries no value
    }
    return {titles[type] + n, type, 0, value};
}

int publish(const std::string &file, std::size_t n, bool bulk) {
    std::vector<std::pair<std::string, std::string>> keys{{kCountKey, std::to_string(n)}};
    for (std::size_t i = 1; i <= n; ++i) {
        const Var v = publishedVar(i);
        keys.emplace_back(varKey(i, "Title"), v.title);
        keys.emplace_back(varKey(i, "Type"), std::to_string(v.type));
        keys.emplace_back(varKey(i, "Status"), std::to_string(v.status));
        keys.emplace_back(varKey(i, "Value"), v.value);
    }

    // A fresh project: empty the file first, in place, so no key of an older project survives.
    const auto project = profile::openSection(file, kSection);
    if (!project->rewrite({})) {
        std::cerr << "expert-sim: cannot write " << file << "\n";
        return 1;
    }
    std::size_t writes = 0;
    if (bulk) {
        std::string text = std::string("[") + kSection + "]\r\n";
        for (const auto &[key, value] : keys)
            text += key + "=" + value + "\r\n";
        if (!project->rewrite(text)) {
            std::cerr << "expert-sim: cannot write " << file << "\n";
            return 1;
        }
        writes = 1;
    } else {
        for (const auto &[key, value] : keys) {
            switch (project->write(key, value, {})) {
            case WriteResult::Written:
                ++writes;
                break;
            case WriteResult::Unchanged:
                break;
            case WriteResult::Refused:
            case WriteResult::Failed:
                std::cerr << "expert-sim: cannot write " << key << " to " << file << "\n";
                return 1;
            }
        }
    }
    std::cout << "writes=" << writes << "\n";
    return 0;
}

struct RunOptions {
    double seconds = 10;
    long intervalMs = 100;
    std::optional<std::uint64_t> seed;
    std::string tickTitle = "tick";
    bool verbose = false;
};

struct Summary {
    std::uint64_t intervals = 0;
    std::uint64_t writes = 0;
    std::uint64_t ticks = 0;
    std::uint64_t acks = 0;
    std::uint64_t acksActions = 0;
    std::uint64_t revertedTicks = 0;
    std::uint64_t revertedAcks = 0;
    std::uint64_t missingFileReads = 0;
    std::uint64_t failedWrites = 0;
};

// What was last acknowledged for a variable, to recognise the same change coming back.
struct LastAck {
    std::string title;
    std::string value;
    Clock::time_point resetAt;
};

class Expert {
public:
    Expert(const std::string &file, const RunOptions &options)
        : project_(profile::openSection(file, kSection)), options_(options) {}

    void step() {
        ++summary_.intervals;
        const auto vars = readProject(*project_);
        if (!vars) {
            ++summary_.missingFileReads;
            return;
        }
        const auto tick = std::find_if(vars->begin(), vars->end(), [this](const Var &v) {
            return v.title == options_.tickTitle;
        });
        // A tick the user changed is acknowledged below and counted on from there.
        if (tick != vars->end() && tick->status != kStatusChanged)
            writeTick(static_cast<std::size_t>(tick - vars->begin()) + 1, *tick);
        for (std::size_t i = 1; i <= vars->size(); ++i) {
            const Var &v = (*vars)[i - 1];
            if (v.status == kStatusChanged)
                acknowledge(i, v, tick != vars->end() && &v == &*tick);
        }
    }

    const Summary &summary() const { return summary_; }

private:
    // In a live run a file that does not read as a project is left alone rather than recreated
    // with a single key in it.
    WriteResult write(const std::string &key, const std::string &value) {
        const WriteResult result = project_->write(key, value, kCountKey);
        if (result == WriteResult::Written)
            ++summary_.writes;
        else if (result == WriteResult::Refused)
            ++summary_.missingFileReads;
        else if (result == WriteResult::Failed) {
            ++summary_.failedWrites;
            if (options_.verbose)
                std::cerr << "failed_write key=" << key << " " << profile::lastError() << "\n";
        }
        return result;
    }

    void writeTick(std::size_t index, const Var &v) {
        const std::int64_t seen = profile::toInt(v.value);
        std::int64_t base = seen;
        if (lastTick_) {
            if (seen < *lastTick_) {
                ++summary_.revertedTicks;
                if (options_.verbose)
                    std::cerr << "reverted_tick file=" << seen << " written=" << *lastTick_ << "\n";
            }
            // Count on from our own value, so that an old tick put back is overwritten.
            base = std::max(seen, *lastTick_);
        }
        const std::int64_t next = base + 1;
        const WriteResult r = write(varKey(index, "Value"), std::to_string(next));
        if (r == WriteResult::Written || r == WriteResult::Unchanged) {
            lastTick_ = next;
            ++summary_.ticks;
        }
    }

    // The status goes back to 0 and the value stays as the user set it; for an action, that
    // reset is what carrying it out amounts to here.
    void acknowledge(std::size_t index, const Var &v, bool isTick) {
        const auto now = Clock::now();
        const auto last = lastAcks_.find(index);
        const bool revert = last != lastAcks_.end() && last->second.title == v.title &&
                            last->second.value == v.value &&
                            now - last->second.resetAt <= kRevertWindow;
        const WriteResult r = write(varKey(index, "Status"), "0");
        if (r != WriteResult::Written && r != WriteResult::Unchanged)
            return; // tried again on the next interval
        if (revert) {
            ++summary_.revertedAcks;
            if (options_.verbose)
                std::cerr << "reverted_ack var=" << index << " title=" << v.title << "\n";
        }
        ++summary_.acks;
        if (v.type == kTypeAction)
            ++summary_.acksActions;
        if (isTick)
            lastTick_ = profile::toInt(v.value);
        lastAcks_[index] = {v.title, v.value, Clock::now()};
        if (options_.verbose)
            std::cerr << "ack var=" << index << " title=" << v.title << " type=" << v.type
                      << " value=" << v.value << "\n";
    }

    std::unique_ptr<profile::Section> project_;
    RunOptions options_;
    Summary summary_;
    std::optional<std::int64_t> lastTick_;
    std::map<std::size_t, LastAck> lastAcks_;
};

int run(const std::string &file, const RunOptions &options) {
    Expert expert(file, options);
    std::mt19937_64 rng(options.seed.value_or(0));
    std::uniform_int_distribution<long> jitter(options.intervalMs / 2,
                                               options.intervalMs + options.intervalMs / 2);

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    auto next = start;
    while (Clock::now() < end) {
        expert.step();
        const long delay = options.seed ? jitter(rng) : options.intervalMs;
        next += std::chrono::milliseconds(delay);
        const auto now = Clock::now();
        if (next < now)
            next = now; // fell behind: no burst of catch-up steps
        std::this_thread::sleep_until(std::min(next, end));
    }

    const Summary &s = expert.summary();
    std::cout << "writes=" << s.writes << "\n"
              << "ticks=" << s.ticks << "\n"
              << "acks=" << s.acks << "\n"
              << "acks_actions=" << s.acksActions << "\n"
              << "reverted_ticks=" << s.revertedTicks << "\n"
              << "reverted_acks=" << s.revertedAcks << "\n"
              << "missing_file_reads=" << s.missingFileReads << "\n"
              << "failed_writes=" << s.failedWrites << "\n"
              << "intervals=" << s.intervals << "\n";
    return 0;
}

int hold(const std::string &file, long ms) {
#ifdef _WIN32
    const HANDLE handle =
        CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::cerr << "expert-sim: cannot open " << file << " (error " << GetLastError() << ")\n";
        return 1;
    }
#else
    std::FILE *const handle = std::fopen(file.c_str(), "r+b");
    if (!handle) {
        std::cerr << "expert-sim: cannot open " << file << "\n";
        return 1;
    }
#endif
    std::cout << "held" << std::endl;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#ifdef _WIN32
    CloseHandle(handle);
#else
    std::fclose(handle);
#endif
    return 0;
}

template <typename T> bool parseNumber(const std::string &text, T &out) {
    try {
        std::size_t used = 0;
        if constexpr (std::is_floating_point_v<T>)
            out = static_cast<T>(std::stod(text, &used));
        else
            out = static_cast<T>(std::stoull(text, &used));
        return used == text.size() && text.front() != '-';
    } catch (const std::exception &) {
        return false;
    }
}

int usageError(const std::string &message) {
    std::cerr << "expert-sim: " << message << "\n\n" << kUsage;
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usageError("no command");
    if (std::find_if(args.begin(), args.end(), [](const std::string &a) {
            return a == "--help" || a == "-h";
        }) != args.end()) {
        std::cout << kUsage;
        return 0;
    }

    const std::string &command = args[0];
    std::vector<std::string> positional;
    RunOptions options;
    bool bulk = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--bulk") {
            bulk = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else if (a == "--tick") {
            if (!hasValue)
                return usageError(a + " needs a value");
            options.tickTitle = args[++i];
        } else if (a == "--seconds" || a == "--interval-ms" || a == "--seed") {
            if (!hasValue)
                return usageError(a + " needs a value");
            const std::string &v = args[++i];
            bool ok = false;
            if (a == "--seconds") {
                ok = parseNumber(v, options.seconds) && options.seconds >= 0;
            } else if (a == "--interval-ms") {
                ok = parseNumber(v, options.intervalMs) && options.intervalMs > 0;
            } else {
                std::uint64_t seed = 0;
                ok = parseNumber(v, seed);
                options.seed = seed;
            }
            if (!ok)
                return usageError("bad value for " + a + ": " + v);
        } else if (a.size() > 1 && a.front() == '-') {
            return usageError("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }

    if (command == "publish") {
        std::size_t n = 0;
        if (positional.size() != 2 || !parseNumber(positional[1], n) || n == 0)
            return usageError("publish needs FILE and a count N of 1 or more");
        return publish(positional[0], n, bulk);
    }
    if (command == "run") {
        if (positional.size() != 1)
            return usageError("run needs FILE");
        return run(positional[0], options);
    }
    if (command == "hold") {
        long ms = 0;
        if (positional.size() != 2 || !parseNumber(positional[1], ms))
            return usageError("hold needs FILE and a time MS in milliseconds");
        return hold(positional[0], ms);
    }
    return usageError("unknown command " + command);
}
