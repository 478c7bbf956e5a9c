// TIniFile over arbitrary bytes: reading must not crash or hang, and a write must read back as
// written while every key it did not touch reads as before, in the object and after the commit.
// The conversions the values go through are exercised on every value read.

#include "Conversions.h"
#include "Exception.h"
#include "IniFile.h"

#include <QTemporaryDir>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_inifile: broken: %s\n", what);
        std::abort();
    }
}

std::string Shown(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    return out;
}

// Checks that an entry reads as expected; tells which one when it does not.
void CheckRead(const TIniFile &ini, const std::string &section, const std::string &key,
               const std::string &expected, const char *what) {
    const std::string got = ini.ReadString(section, key, "\x01<def>");
    if (got != expected)
        std::fprintf(stderr, "[%s] %s: read \"%s\", expected \"%s\"\n", Shown(section).c_str(),
                     Shown(key).c_str(), Shown(got).c_str(), Shown(expected).c_str());
    Check(got == expected, what);
}

const std::string &FilePath() {
    static QTemporaryDir dir;
    static const std::string path = dir.filePath("f.ini").toStdString();
    return path;
}

void WriteFile(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    Check(bool(out), "the input file could not be written");
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names match as the profile API matches them: trimmed, ASCII letter case ignored.
bool IsBlank(char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1A;
}
std::string Normal(std::string_view name) {
    while (!name.empty() && IsBlank(name.front()))
        name.remove_prefix(1);
    while (!name.empty() && IsBlank(name.back()))
        name.remove_suffix(1);
    std::string out(name);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return out;
}

// A small deterministic generator seeded from the input, so that a crash reproduces.
class TRandom {
public:
    explicit TRandom(std::string_view bytes) {
        for (const char c : bytes)
            FState = (FState ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    std::uint64_t Next() {
        FState ^= FState >> 33;
        FState *= 0xff51afd7ed558ccdull;
        FState ^= FState >> 33;
        return FState;
    }
    std::size_t Below(std::size_t n) { return n == 0 ? 0 : std::size_t(Next() % n); }

private:
    std::uint64_t FState = 14695981039346656037ull;
};

// Section and key names as the input spells them, untrimmed, plus the project's own.
void CollectNames(std::string_view bytes, std::vector<std::string> &sections,
                  std::vector<std::string> &keys) {
    sections = {"", "Kivo 1.0", "kivo"};
    keys = {"Var_Cnt", "Var1_Value", "Project"};
    std::size_t pos = 0;
    while (pos < bytes.size() && (sections.size() < 10 || keys.size() < 20)) {
        std::size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t close = line.rfind(']');
        const std::size_t open = line.find('[');
        if (open != std::string_view::npos && close != std::string_view::npos && open < close) {
            if (sections.size() < 10)
                sections.emplace_back(line.substr(open + 1, close - open - 1));
            continue;
        }
        if (const std::size_t equals = line.find('='); equals != std::string_view::npos) {
            if (keys.size() < 20)
                keys.emplace_back(line.substr(0, equals));
        }
    }
}

void CheckConversions(const std::string &text) {
    std::int32_t value = 0;
    const bool isInt = TryStrToInt(text, value);
    try {
        const std::int32_t thrown = StrToInt(text);
        Check(isInt, "StrToInt accepts what TryStrToInt refuses");
        Check(thrown == value, "StrToInt and TryStrToInt give different numbers");
    } catch (const EConvertError &) {
        Check(!isInt, "StrToInt refuses what TryStrToInt accepts");
    }
    if (isInt) {
        std::int32_t again = 0;
        Check(TryStrToInt(IntToStr(value), again) && again == value,
              "IntToStr does not round-trip");
    }
    try {
        Check(std::isfinite(StrToFloat(text)), "StrToFloat gave a non-finite number");
    } catch (const EConvertError &) {
    }
    for (const auto order : {TShortDateFormat::DMY, TShortDateFormat::MDY, TShortDateFormat::YMD}) {
        try {
            Check(StrToDate(text, TShortDateFormat{order, '.'}, 2024).isValid(),
                  "StrToDate gave an invalid date");
        } catch (const EConvertError &) {
        }
    }
}

struct TProbe {
    std::string Section;
    std::string Key;
    std::string Before;
};

struct TWrite {
    std::string Section;
    std::string Key;
    std::string Value;
};

bool SameEntry(const TProbe &p, const TWrite &w) {
    return Normal(p.Section) == Normal(w.Section) && Normal(p.Key) == Normal(w.Key);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const std::string &path = FilePath();
    WriteFile(path, bytes);

    TIniFile ini(path);
    Check(ini.Snapshot() == bytes, "the snapshot differs from the file");
    Check(!ini.Modified(), "a fresh object holds writes");

    std::vector<std::string> sections;
    std::vector<std::string> keys;
    CollectNames(bytes, sections, keys);
    std::vector<TProbe> probes;
    std::set<std::string> converted; // each value once: a refused conversion costs a throw
    for (const std::string &section : sections) {
        for (const std::string &key : keys) {
            const std::string value = ini.ReadString(section, key, "\x01<def>");
            probes.push_back({section, key, value});
            if (converted.insert(value).second)
                CheckConversions(value);
            std::int32_t asInt = 0;
            const bool isInt = TryStrToInt(value, asInt);
            Check(ini.ReadInteger(section, key, -7) == (isInt ? asInt : -7),
                  "ReadInteger differs from TryStrToInt of ReadString");
        }
    }

    // Writes picked from the input: names it holds or new ones, values that need quoting.
    TRandom random(bytes);
    const std::string slice(bytes.substr(random.Below(size + 1), random.Below(40)));
    const std::vector<std::string> values = {"",    "1",    " padded ", "\"q\"", "'s'", "a=b",
                                             "[S]", "\x1a", "\"",       "x\v",   slice};
    std::vector<TWrite> writes;
    const std::size_t count = 1 + random.Below(4);
    for (std::size_t i = 0; i < count; ++i) {
        TWrite w;
        w.Section = random.Below(6) == 0 ? "New section" : sections[random.Below(sections.size())];
        w.Key = random.Below(6) == 0 ? "NewKey" : keys[random.Below(keys.size())];
        const bool asInteger = random.Below(3) == 0;
        std::int32_t number = 0;
        if (asInteger) {
            const std::int32_t numbers[] = {0, -1, 7, INT_MAX, INT_MIN};
            number = numbers[random.Below(std::size(numbers))];
            w.Value = IntToStr(number);
        } else {
            w.Value = values[random.Below(values.size())];
        }

        const std::string snapshotBefore = ini.Snapshot();
        std::vector<std::string> readsBefore;
        for (const TProbe &p : probes)
            readsBefore.push_back(ini.ReadString(p.Section, p.Key, "\x01<def>"));
        const bool wasModified = ini.Modified();
        try {
            if (asInteger)
                ini.WriteInteger(w.Section, w.Key, number);
            else
                ini.WriteString(w.Section, w.Key, w.Value);
        } catch (const Exception &) {
            // Refused: the object must be as it was.
            Check(ini.Modified() == wasModified, "a refused write changed Modified()");
            for (std::size_t j = 0; j < probes.size(); ++j)
                Check(ini.ReadString(probes[j].Section, probes[j].Key, "\x01<def>") ==
                          readsBefore[j],
                      "a refused write changed a read");
            continue;
        }
        constexpr std::string_view forbidden("\r\n\0", 3);
        Check(w.Section.find_first_of(forbidden) == std::string::npos &&
                  w.Key.find_first_of(forbidden) == std::string::npos,
              "a name with a line break or NUL was accepted");
        Check(ini.Snapshot() == snapshotBefore, "a held write changed the snapshot");
        CheckRead(ini, w.Section, w.Key, w.Value, "a held write does not read back");
        if (asInteger)
            Check(ini.ReadInteger(w.Section, w.Key, 3) == number,
                  "a held integer does not read back");
        writes.push_back(w);
    }

    // What each probe must read now: the last write to its entry, else what it read before.
    std::vector<std::string> expected;
    for (const TProbe &p : probes) {
        std::string value = p.Before;
        for (const TWrite &w : writes) {
            if (SameEntry(p, w))
                value = w.Value;
        }
        expected.push_back(value);
        CheckRead(ini, p.Section, p.Key, value,
                  "an entry reads otherwise than written or as before");
    }

    const bool modified = ini.Modified();
    if (random.Below(2) == 0)
        Check(ini.UpdateFileIfUnchanged(), "an unchanged file was reported changed");
    else
        ini.UpdateFile();
    Check(!ini.Modified(), "writes are still held after the commit");
    const std::string written = ReadFile(path);
    Check(written == ini.Snapshot(), "the snapshot differs from what was committed");
    if (!modified)
        Check(written == bytes, "a commit without changes changed the file");

    const TIniFile reread(path);
    for (std::size_t j = 0; j < probes.size(); ++j) {
        const TProbe &p = probes[j];
        CheckRead(reread, p.Section, p.Key, expected[j],
                  "after the commit an entry reads otherwise than written or as before");
        CheckRead(ini, p.Section, p.Key, expected[j],
                  "the committed object reads otherwise than before the commit");
    }
    for (const TWrite &w : writes) {
        std::string value = w.Value;
        for (const TWrite &later : writes) {
            if (Normal(later.Section) == Normal(w.Section) && Normal(later.Key) == Normal(w.Key))
                value = later.Value;
        }
        CheckRead(reread, w.Section, w.Key, value, "after the commit a write does not read back");
    }
    return 0;
}
