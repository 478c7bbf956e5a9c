// What the once-a-second refresh and a save cost, next to what a developer would otherwise have
// used to read the project file: QSettings, or a profile API without a cache, which scans the
// text from the start for every key it is asked.
//
// Google Benchmark's report goes to stderr; a table of the medians, with the ratios against the
// alternatives, goes to stdout. ./bench.sh builds this in Release and prints the table.

#include "Aboutformunit.h"
#include "Application.h"
#include "Conversions.h"
#include "Grid.h"
#include "IniFile.h"
#include "Journal.h"
#include "Mainformunit.h"
#include "Varchangeformunit.h"
#include "Vars.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char *const Section = "Kivo 1.0";
const int Sizes[] = {16, 64, 256};
int Repetitions = 9;

std::unique_ptr<QTemporaryDir> FilesDir;
std::string LastError; // an exception the application object showed

std::string FilePath(const std::string &name) {
    return QDir(FilesDir->path()).filePath(QString::fromStdString(name)).toStdString();
}

// Truncates and writes the file in place, keeping the same file, as the expert does.
void WriteInPlace(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) {
        std::cerr << "kivo_bench: cannot write " << path << "\n";
        std::exit(1);
    }
}

std::string ReadAll(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

// The project as the expert publishes it (the layout of tools/expert-sim): CRLF, no blank lines,
// one section, Var_Cnt first; variable 1 is the integer "tick", the types rotate from variable 2.
std::string ProjectText(int count, long tick = 0) {
    static const char *const titles[] = {"Flag", "Note", "Count", "Price", "Date", "Action"};
    std::string text = "[Kivo 1.0]\r\nVar_Cnt=" + std::to_string(count) + "\r\n";
    for (int index = 1; index <= count; ++index) {
        const std::string number = std::to_string(index);
        std::string title = "tick";
        int type = vtInteger;
        std::string value = std::to_string(tick);
        if (index > 1) {
            type = (index - 2) % 6;
            title = titles[type] + number;
            switch (type) {
            case vtBoolean:
                value = (index - 2) / 6 % 2 ? "0" : "1";
                break;
            case vtString:
                value = "Note text " + number;
                break;
            case vtInteger:
                value = std::to_string(index * 10);
                break;
            case vtDouble:
                value = number + ".25";
                break;
            case vtDate: {
                char date[16];
                std::snprintf(date, sizeof date, "01/%02d/2024", index % 28 + 1);
                value = date;
                break;
            }
            default:
                value.clear(); // an action carries no value
                break;
            }
        }
        const std::string key = "Var" + number;
        text += key + "_Title=" + title + "\r\n";
        text += key + "_Type=" + std::to_string(type) + "\r\n";
        text += key + "_Status=0\r\n";
        text += key + "_Value=" + value + "\r\n";
    }
    return text;
}

// The key names the main window asks for, built the same way for every reader below: the four
// keys of a variable share their "Var<n>" start, made once.
std::string VarPrefix(int index) {
    return "Var" + IntToStr(index + 1);
}

// ---- The three readers: each reads Var_Cnt and the 4 keys of every variable into a table. ----

// Var_Cnt, then the four keys of each variable the table has room for, in the main window's
// order; the readers differ only in how they answer one key.
template <class ReadString, class ReadInteger>
std::int32_t FillTable(ReadString readString, ReadInteger readInteger, TVarTable &table) {
    const std::int32_t count = std::clamp<std::int32_t>(readInteger("Var_Cnt"), 0, MaxVars);
    for (int i = 0; i < count; ++i) {
        TVarEntry &slot = table[i];
        const std::string var = VarPrefix(i);
        slot.Title = readString(var + "_Title");
        slot.Type = readInteger(var + "_Type");
        slot.Status = readInteger(var + "_Status");
        slot.Value = readString(var + "_Value");
    }
    return count;
}

std::int32_t ReadWithIniFile(const std::string &path, TVarTable &table) {
    const TIniFile ini(path);
    const std::string section = Section;
    const std::string none;
    return FillTable([&](const std::string &key) { return ini.ReadString(section, key, none); },
                     [&](const std::string &key) { return ini.ReadInteger(section, key, 0); },
                     table);
}

// A new QSettings object per read, as a fresh read of the file would use.
std::int32_t ReadWithQSettings(const std::string &path, TVarTable &table) {
    QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(Section));
    const auto readString = [&](const std::string &key) {
        return FromQString(
            settings.value(QLatin1String(key.data(), qsizetype(key.size()))).toString());
    };
    const auto readInteger = [&](const std::string &key) {
        bool ok = false;
        const int value =
            settings.value(QLatin1String(key.data(), qsizetype(key.size()))).toInt(&ok);
        return ok ? value : 0;
    };
    return FillTable(readString, readInteger, table);
}

constexpr bool IsBlank(char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1A;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
        };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// One look-up the way a profile API without a cache answers it: line by line from the start of
// the text to the first section of that name, then to the first key of that name in it. Names
// match without regard to ASCII case; a value between a pair of quotes reads without them.
bool ScanKey(std::string_view text, std::string_view section, std::string_view key,
             std::string &value) {
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end;
        while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n'))
            ++pos;
        if (line.empty())
            continue;
        if (line.front() == '[') {
            if (const std::size_t close = line.rfind(']'); close != std::string_view::npos) {
                if (inSection)
                    return false; // the first section of the name ended without the key
                inSection = EqualsIgnoringAsciiCase(Trim(line.substr(1, close - 1)), section);
                continue;
            }
        }
        if (!inSection)
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos ||
            !EqualsIgnoringAsciiCase(Trim(line.substr(0, equals)), key))
            continue;
        std::string_view found = Trim(line.substr(equals + 1));
        if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
            found.back() == found.front())
            found = found.substr(1, found.size() - 2);
        value.assign(found);
        return true;
    }
    return false;
}

// The file is read once; each of the 1 + 4 x N look-ups then scans its text from the start.
std::int32_t ReadWithScan(const std::string &path, TVarTable &table) {
    const std::string text = ReadAll(path);
    std::string value;
    const auto readString = [&](const std::string &key) {
        return ScanKey(text, Section, key, value) ? value : std::string();
    };
    const auto readInteger = [&](const std::string &key) {
        std::int32_t result = 0;
        if (ScanKey(text, Section, key, value))
            TryStrToInt(value, result);
        return result;
    };
    return FillTable(readString, readInteger, table);
}

using TReader = std::int32_t (*)(const std::string &, TVarTable &);

// The readers must agree with each other and with what was written, or the race is void.
void CheckReaders(int count) {
    const std::string path = FilePath("check-" + std::to_string(count) + ".kvo");
    WriteInPlace(path, ProjectText(count, 12345));
    TVarTable expected;
    if (ReadWithIniFile(path, expected) != count || expected[0].Title != "tick" ||
        expected[0].Value != "12345" || expected[count - 1].Title.empty()) {
        std::cerr << "kivo_bench: TIniFile misread the project of " << count << " variables\n";
        std::exit(1);
    }
    const std::pair<const char *, TReader> others[] = {{"QSettings", ReadWithQSettings},
                                                       {"the per-key scan", ReadWithScan}};
    for (const auto &[name, reader] : others) {
        TVarTable table;
        const bool same = reader(path, table) == count &&
                          std::equal(table.begin(), table.begin() + count, expected.begin(),
                                     [](const TVarEntry &a, const TVarEntry &b) {
                                         return a.Title == b.Title && a.Type == b.Type &&
                                                a.Status == b.Status && a.Value == b.Value;
                                     });
        if (!same) {
            std::cerr << "kivo_bench: " << name << " reads the project of " << count
                      << " variables differently from TIniFile\n";
            std::exit(1);
        }
    }
}

void BenchParse(benchmark::State &state, TReader reader, int count, bool touch) {
    const std::string path = FilePath("parse-" + std::to_string(count) + ".kvo");
    WriteInPlace(path, ProjectText(count));
    TVarTable table;
    namespace fs = std::filesystem;
    const fs::file_time_type base = fs::last_write_time(path);
    long round = 0;
    for (auto _ : state) {
        if (touch) {
            // QSettings keeps the parsed keys of a file it has seen and skips the parse while
            // the file's time and size stay the same: a new time makes each read a fresh one.
            state.PauseTiming();
            fs::last_write_time(path, base + std::chrono::seconds(++round % 2));
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(reader(path, table));
        benchmark::ClobberMemory();
    }
}

// ---- The main window ----

QTableWidget *Grid() {
    return MainForm->findChild<QTableWidget *>(QStringLiteral("StringGrid1"));
}

// Opens the project the way a start with it in the settings does.
bool OpenProject(const std::string &path, int count) {
    TIniFile settings(MainForm->SettingsFileName());
    settings.WriteString("Kivo", "Project", path);
    settings.UpdateFile();
    MainForm->FormShow();
    QCoreApplication::processEvents();
    return MainForm->ProjectOpen && MainForm->VarCount == count &&
           GridRowCount(Grid()) == count + 1;
}

// With paint, the events the tick left are handled too, as the message loop does after it:
// the repaint of what the tick changed.
void BenchTick(benchmark::State &state, int count, bool changing, bool paint) {
    const std::string path =
        FilePath((changing ? "tick-changing-" : "tick-") + std::to_string(count) + ".kvo");
    long tick = 0;
    WriteInPlace(path, ProjectText(count, tick));
    if (!OpenProject(path, count)) {
        state.SkipWithError("the project did not open");
        return;
    }
    for (auto _ : state) {
        if (changing) {
            state.PauseTiming();
            WriteInPlace(path, ProjectText(count, ++tick));
            state.ResumeTiming();
        }
        MainForm->Timer1Timer();
        if (paint)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    if (!LastError.empty() || GridCell(Grid(), 3, 1) != std::to_string(tick) ||
        GridRowCount(Grid()) != count + 1)
        state.SkipWithError("the grid does not show the file");
}

void BenchSave(benchmark::State &state, int count) {
    const std::string path = FilePath("save-" + std::to_string(count) + ".kvo");
    WriteInPlace(path, ProjectText(count));
    if (!OpenProject(path, count)) {
        state.SkipWithError("the project did not open");
        return;
    }
    TVarChange change;
    change.Index = 1; // "Flag2", a boolean
    change.Title = "Flag2";
    change.Type = vtBoolean;
    change.SetsValue = true;
    bool value = true; // published as "1"
    for (auto _ : state) {
        value = !value;
        change.Value.assign(1, value ? '1' : '0');
        if (!MainForm->SaveProject(change)) {
            state.SkipWithError("the change was not saved");
            return;
        }
    }
    const std::string expected = "Var2_Value=" + std::string(value ? "1" : "0") + "\r\n";
    if (!LastError.empty() || ReadAll(path).find(expected) == std::string::npos)
        state.SkipWithError("the file does not hold the change");
}

// A set of ten changes applied in one save: ten number or string variables, each set anew.
void BenchSaveSet(benchmark::State &state, int count) {
    const std::string path = FilePath("set-" + std::to_string(count) + ".kvo");
    WriteInPlace(path, ProjectText(count));
    if (!OpenProject(path, count)) {
        state.SkipWithError("the project did not open");
        return;
    }
    std::vector<TVarChange> changes;
    for (int i = 0; i < count && changes.size() < 10; ++i) {
        const std::int32_t type = MainForm->Vars[std::size_t(i)].Type;
        if (i == 0 || (type != vtString && type != vtInteger && type != vtDouble))
            continue;
        TVarChange change;
        change.Index = i;
        change.Title = MainForm->Vars[std::size_t(i)].Title;
        change.Type = type;
        change.SetsValue = true;
        changes.push_back(change);
    }
    long round = 0;
    for (auto _ : state) {
        ++round;
        for (TVarChange &change : changes)
            change.Value = std::to_string(round);
        if (!MainForm->SaveProject(changes)) {
            state.SkipWithError("the set was not saved");
            return;
        }
    }
    const TIniFile ini(path);
    const bool whole = std::all_of(changes.begin(), changes.end(), [&](const TVarChange &change) {
        return ini.ReadString("Kivo 1.0", "Var" + std::to_string(change.Index + 1) + "_Value",
                              "") == std::to_string(round);
    });
    if (changes.size() != 10 || !whole)
        state.SkipWithError("the file does not hold the set");
}

// What a developer would have written with QSettings: set the one key, write the file out.
void BenchSaveQSettings(benchmark::State &state, int count) {
    const std::string path = FilePath("save-qsettings-" + std::to_string(count) + ".kvo");
    WriteInPlace(path, ProjectText(count));
    const QString file = QString::fromStdString(path);
    const QString key = QStringLiteral("Kivo 1.0/Var2_Value");
    bool value = true;
    for (auto _ : state) {
        value = !value;
        QSettings settings(file, QSettings::IniFormat);
        settings.setValue(key, value ? QStringLiteral("1") : QStringLiteral("0"));
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            state.SkipWithError("QSettings could not write the file");
            return;
        }
    }
}

// The record a save adds to the journal: open, append one line, close.
void BenchJournal(benchmark::State &state) {
    TJournal journal;
    TJournalRecord record;
    record.Project = QString::fromStdString(FilePath("save-256.kvo"));
    record.Variable = 2;
    record.Title = QStringLiteral("Flag2");
    record.OldValue = QStringLiteral("1");
    record.NewValue = QStringLiteral("0");
    record.NewStatus = vsChanged;
    record.Kind = QStringLiteral("change");
    record.Outcome = QStringLiteral("saved");
    for (auto _ : state) {
        record.Time = QDateTime::currentDateTimeUtc();
        if (!journal.Append(record)) {
            state.SkipWithError(journal.Error().toStdString().c_str());
            return;
        }
    }
    const std::vector<TJournalRecord> last = TJournal::Load(record.Project, 4096);
    if (last.empty() || last.back().Time != record.Time)
        state.SkipWithError("the journal does not hold the last record");
}

// ---- The table ----

// Keeps the medians and passes everything on to the console report.
class TMedians : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;
    struct TTimes {
        double Real = 0; // microseconds
        double Cpu = 0;
    };
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median" ||
                run.error_occurred)
                continue;
            const double toMicro = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            Medians[run.run_name.function_name] = {run.GetAdjustedRealTime() * toMicro,
                                                   run.GetAdjustedCPUTime() * toMicro};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, TTimes> Medians;
};

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    if (!(in >> one >> five))
        return "?";
    return one + " (1 min), " + five + " (5 min)";
}

std::string Time(double micro) {
    char text[32];
    if (micro >= 10000)
        std::snprintf(text, sizeof text, "%.1f ms", micro / 1000);
    else if (micro >= 1000)
        std::snprintf(text, sizeof text, "%.2f ms", micro / 1000);
    else if (micro >= 100)
        std::snprintf(text, sizeof text, "%.0f us", micro);
    else
        std::snprintf(text, sizeof text, "%.1f us", micro);
    return text;
}

std::string Ratio(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value >= 10 ? "%.0fx" : "%.1fx", value);
    return text;
}

void PrintTable(const TMedians &report, const std::string &loadBefore) {
    const auto find = [&](const std::string &name) -> const TMedians::TTimes * {
        const auto it = report.Medians.find(name);
        return it == report.Medians.end() ? nullptr : &it->second;
    };
    const auto row = [&](const std::string &label, auto cell) {
        std::printf("%-44s", label.c_str());
        for (const int count : Sizes)
            std::printf("%14s", cell(std::to_string(count)).c_str());
        std::printf("\n");
    };
    const auto time = [&](const std::string &name, bool cpu = false) {
        return [&, name, cpu](const std::string &count) {
            const TMedians::TTimes *t = find(name + "/" + count);
            return t ? Time(cpu ? t->Cpu : t->Real) : std::string("-");
        };
    };
    // How many times the second takes as long as the first.
    const auto ratio = [&](const std::string &fast, const std::string &slow) {
        return [&, fast, slow](const std::string &count) {
            const TMedians::TTimes *a = find(fast + "/" + count);
            const TMedians::TTimes *b = find(slow + "/" + count);
            return a && b && a->Real > 0 ? Ratio(b->Real / a->Real) : std::string("-");
        };
    };

    std::printf("\nKivo: medians of %d repetitions, wall time unless marked CPU "
                "(load average %s before, %s after)\n\n",
                Repetitions, loadBefore.c_str(), LoadAverage().c_str());
    row("variables in the project", [](const std::string &count) { return count; });
    row("parse: TIniFile, Var_Cnt + 4 keys each", time("parse/TIniFile"));
    row("parse: QSettings, the same keys", time("parse/QSettings"));
    row("parse: per-key scan, the same keys", time("parse/scan"));
    row("  TIniFile faster than QSettings", ratio("parse/TIniFile", "parse/QSettings"));
    row("  TIniFile faster than the per-key scan", ratio("parse/TIniFile", "parse/scan"));
    row("tick: file unchanged", time("tick/unchanged"));
    row("  faster than a QSettings parse alone", ratio("tick/unchanged", "parse/QSettings"));
    row("tick + repaint: file unchanged", time("tick+paint/unchanged"));
    row("tick: file changed every time", time("tick/changed"));
    row("tick: file changed every time (CPU)", time("tick/changed", true));
    row("tick + repaint: file changed (CPU)", time("tick+paint/changed", true));
    row("  faster than a QSettings parse alone (CPU)", [&](const std::string &count) {
        const TMedians::TTimes *a = find("tick/changed/" + count);
        const TMedians::TTimes *b = find("parse/QSettings/" + count);
        return a && b && a->Cpu > 0 ? Ratio(b->Cpu / a->Cpu) : std::string("-");
    });
    row("save: one boolean, merge + replace + flush", time("save/Kivo"));
    row("save: a set of 10 changes, in one save", time("save/set10"));
    row("save: QSettings setValue + sync", time("save/QSettings"));
    row("  Kivo save vs QSettings (>1: Kivo faster)", ratio("save/Kivo", "save/QSettings"));
    const TMedians::TTimes *journal = find("journal/append");
    std::printf("%-44s%14s\n", "journal: one record (open, append, close)",
                journal ? Time(journal->Real).c_str() : "-");
    std::printf("\nOn a local disk under Linux a changed file is read once: the folder's watch "
                "tells that no writer\nis at work. Where it cannot, the tick waits a few ms for "
                "a second, equal read (wall, not CPU).\nThe save includes the flush of the file "
                "and, on Linux, of its folder after the rename.\n");
}

} // namespace

int main(int argc, char **argv) {
    // Our own option, taken out before Google Benchmark sees the rest.
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--kivo_repetitions=", 19) == 0)
            Repetitions = std::max(1, std::atoi(argv[i] + 19));
        else
            args.push_back(argv[i]);
    }
    int benchArgc = static_cast<int>(args.size());
    benchmark::Initialize(&benchArgc, args.data());
    if (benchmark::ReportUnrecognizedArguments(benchArgc, args.data()))
        return 1;

    qputenv("QT_QPA_PLATFORM", "offscreen");
    int appArgc = 1;
    TApplication app(appArgc, argv);
    // The files go beside the working folder, on a real disk, so that the flush reaches one.
    FilesDir = std::make_unique<QTemporaryDir>(QDir::current().filePath("kivo-bench-XXXXXX"));
    if (!FilesDir->isValid()) {
        std::cerr << "kivo_bench: cannot make a folder in " << QDir::currentPath().toStdString()
                  << "\n";
        return 1;
    }
    // The journal goes there too, not into the user's data folder.
    qputenv("XDG_DATA_HOME", QFile::encodeName(QString::fromStdString(FilePath("data"))));
    Application->SetExeName(FilePath("kivo"));
    Application->SetMessageBoxHook([](const std::string &text, const std::string &, int) {
        LastError = text;
        return IDNO;
    });
    Application->SetExceptionHook([](const std::string &message) { LastError = message; });
    Application->Initialize();
    Application->CreateForm(MainForm);
    Application->CreateForm(AboutForm);
    Application->CreateForm(VarChangeForm);
    MainForm->show();
    MainForm->Timer1->stop(); // the benchmark calls the tick itself
    QCoreApplication::processEvents();

    for (const int count : Sizes)
        CheckReaders(count);

    const auto configure = [](benchmark::internal::Benchmark *b) {
        b->Unit(benchmark::kMicrosecond)
            ->UseRealTime()
            ->Repetitions(Repetitions)
            ->ReportAggregatesOnly(true);
    };
    for (const int count : Sizes) {
        const std::string n = "/" + std::to_string(count);
        configure(benchmark::RegisterBenchmark(("parse/TIniFile" + n).c_str(), BenchParse,
                                               ReadWithIniFile, count, false));
        configure(benchmark::RegisterBenchmark(("parse/QSettings" + n).c_str(), BenchParse,
                                               ReadWithQSettings, count, true));
        configure(benchmark::RegisterBenchmark(("parse/scan" + n).c_str(), BenchParse, ReadWithScan,
                                               count, false));
    }
    for (const int count : Sizes) {
        const std::string n = "/" + std::to_string(count);
        configure(benchmark::RegisterBenchmark(("tick/unchanged" + n).c_str(), BenchTick, count,
                                               false, false));
        configure(benchmark::RegisterBenchmark(("tick/changed" + n).c_str(), BenchTick, count, true,
                                               false));
        configure(benchmark::RegisterBenchmark(("tick+paint/unchanged" + n).c_str(), BenchTick,
                                               count, false, true));
        configure(benchmark::RegisterBenchmark(("tick+paint/changed" + n).c_str(), BenchTick, count,
                                               true, true));
    }
    for (const int count : Sizes) {
        const std::string n = "/" + std::to_string(count);
        configure(benchmark::RegisterBenchmark(("save/Kivo" + n).c_str(), BenchSave, count));
        configure(benchmark::RegisterBenchmark(("save/set10" + n).c_str(), BenchSaveSet, count));
        configure(benchmark::RegisterBenchmark(("save/QSettings" + n).c_str(), BenchSaveQSettings,
                                               count));
    }

    configure(benchmark::RegisterBenchmark("journal/append", BenchJournal));

    const std::string loadBefore = LoadAverage();
    TMedians report(benchmark::ConsoleReporter::OO_Tabular);
    report.SetOutputStream(&std::cerr);
    report.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();
    PrintTable(report, loadBefore);

    Application->DestroyForms();
    MainForm = nullptr;
    AboutForm = nullptr;
    VarChangeForm = nullptr;
    return 0;
}
