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

#include <cerrno>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace profile {
namespace {

bool isBlank(char c) {
    return (c >= 0x09 && c <= 0x0D) || c == ' ' || c == 0x1A;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Lines are whatever lies between runs of CR and LF, so empty lines do not exist.
std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", pos);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > pos)
            lines.emplace_back(text.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return lines;
}

bool sameName(std::string_view a, std::string_view b) {
    return lower(a) == lower(b);
}

// The section name when the line is a header.
std::optional<std::string_view> headerName(std::string_view line) {
    line = trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    const std::size_t close = line.rfind(']');
    return trim(close == std::string_view::npos ? line : line.substr(0, close));
}

struct KeyLine {
    std::string_view name;
    std::string_view value; // trimmed, quotes still on
};

KeyLine splitKeyLine(std::string_view line) {
    line = trim(line);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return {line, {}};
    return {trim(line.substr(0, eq)), trim(line.substr(eq + 1))};
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

} // namespace

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::optional<Keys> readSection(std::string_view text, std::string_view section) {
    std::optional<Keys> keys;
    bool inside = false;
    for (const std::string &line : splitLines(text)) {
        if (const auto name = headerName(line)) {
            if (keys)
                break; // only the first section of the name counts
            inside = sameName(*name, section);
            if (inside)
                keys.emplace();
            continue;
        }
        if (!inside || trim(line).empty())
            continue;
        const KeyLine kl = splitKeyLine(line);
        keys->emplace(lower(kl.name), std::string(unquote(kl.value)));
    }
    return keys;
}

std::int32_t toInt(std::string_view value) {
    while (!value.empty() && isBlank(value.front()))
        value.remove_prefix(1);
    bool negative = false;
    if (!value.empty() && (value.front() == '-' || value.front() == '+')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            break;
        if (n < limit)
            n = n * 10 + (c - '0');
    }
    if (n > limit)
        n = limit;
    if (negative)
        return static_cast<std::int32_t>(-n);
    return static_cast<std::int32_t>(n == limit ? limit - 1 : n);
}

std::optional<std::string> setKey(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view value) {
    std::vector<std::string> lines = splitLines(text);
    const std::string newLine = std::string(key) + "=" + std::string(value);

    std::size_t header = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = headerName(lines[i]);
        if (name && sameName(*name, section)) {
            header = i;
            break;
        }
    }
    if (header == lines.size()) {
        // Appended rather than "[" + ...: GCC 12 sees a false overlap there (-Wrestrict) at -O2.
        lines.push_back(std::string("[").append(section).append("]"));
        lines.push_back(newLine);
    } else {
        std::size_t insertAt = header + 1;
        bool replaced = false;
        for (std::size_t i = header + 1; i < lines.size() && !headerName(lines[i]); ++i) {
            if (trim(lines[i]).empty())
                continue;
            insertAt = i + 1;
            const KeyLine kl = splitKeyLine(lines[i]);
            if (!sameName(kl.name, key))
                continue;
            if (kl.value == value)
                return std::nullopt;
            lines[i] = std::string(kl.name) + "=" + std::string(value);
            replaced = true;
            break;
        }
        if (!replaced)
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
    }

    std::string out;
    for (const std::string &line : lines)
        out += line + "\r\n";
    return out;
}

std::optional<std::string> readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return text;
}

bool rewriteInPlace(const std::filesystem::path &path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return !out.fail();
}

#ifdef _WIN32

namespace {

// A full path: given a bare file name, the API would look in the Windows folder instead.
std::string fullPath(const std::string &file) {
    const DWORD size = GetFullPathNameA(file.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return file;
    std::string path(size, '\0');
    const DWORD length = GetFullPathNameA(file.c_str(), size, path.data(), nullptr);
    if (length == 0 || length >= size)
        return file;
    path.resize(length);
    return path;
}

class ApiSection final : public Section {
public:
    ApiSection(const std::string &file, std::string_view section)
        : path_(fullPath(file)), section_(section) {}

    void refresh() override {}

    std::optional<std::string> read(std::string_view key) override {
        // Values are single lines, so a default holding a line break tells a missing key apart.
        static constexpr char absent[] = "<\n>";
        static constexpr std::size_t maxSize = std::size_t{1} << 20;
        const std::string name(key);
        std::string value(256, '\0');
        for (;;) {
            const DWORD length =
                GetPrivateProfileStringA(section_.c_str(), name.c_str(), absent, value.data(),
                                         static_cast<DWORD>(value.size()), path_.c_str());
            // A value that fills the buffer may have been cut: ask again with room to spare.
            if (length + 1 < value.size() || value.size() >= maxSize) {
                value.resize(length);
                break;
            }
            value.resize(value.size() * 2);
        }
        if (value == absent)
            return std::nullopt;
        return value;
    }

    std::int32_t readInt(std::string_view key) override {
        return static_cast<std::int32_t>(
            GetPrivateProfileIntA(section_.c_str(), std::string(key).c_str(), 0, path_.c_str()));
    }

    // The API cannot tell an unchanged key from a written one, so nothing reads as Unchanged. The
    // required key is read before the write, not with it: the API has no way to do both at once.
    WriteResult write(std::string_view key, std::string_view value,
                      std::string_view requiredKey) override {
        if (!requiredKey.empty() && !read(requiredKey))
            return WriteResult::Refused;
        return WritePrivateProfileStringA(section_.c_str(), std::string(key).c_str(),
                                          std::string(value).c_str(), path_.c_str())
                   ? WriteResult::Written
                   : WriteResult::Failed;
    }

    bool rewrite(std::string_view content) override {
        const HANDLE file =
            CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        const bool ok =
            (content.empty() || (WriteFile(file, content.data(), static_cast<DWORD>(content.size()),
                                           &written, nullptr) &&
                                 written == content.size())) &&
            SetEndOfFile(file);
        return CloseHandle(file) && ok;
    }

private:
    std::string path_;
    std::string section_;
};

} // namespace

std::unique_ptr<Section> openSection(const std::string &file, std::string_view section) {
    return std::make_unique<ApiSection>(file, section);
}

#else

namespace {

class EmulatedSection final : public Section {
public:
    EmulatedSection(const std::string &file, std::string_view section)
        : path_(file), section_(section) {}

    void refresh() override {
        const auto text = readFile(path_);
        keys_ = text ? readSection(*text, section_) : std::nullopt;
    }

    std::optional<std::string> read(std::string_view key) override {
        if (!keys_)
            return std::nullopt;
        const auto it = keys_->find(lower(key));
        if (it == keys_->end())
            return std::nullopt;
        return it->second;
    }

    std::int32_t readInt(std::string_view key) override {
        return toInt(read(key).value_or(std::string()));
    }

    // One read of the file serves both the check and the change.
    WriteResult write(std::string_view key, std::string_view value,
                      std::string_view requiredKey) override {
        const std::optional<std::string> text = readFile(path_);
        if (!requiredKey.empty()) {
            const auto keys = text ? readSection(*text, section_) : std::nullopt;
            if (!keys || !keys->count(lower(requiredKey)))
                return WriteResult::Refused;
        }
        const auto out = setKey(text.value_or(std::string()), section_, key, value);
        if (!out)
            return WriteResult::Unchanged;
        return rewriteInPlace(path_, *out) ? WriteResult::Written : WriteResult::Failed;
    }

    bool rewrite(std::string_view content) override { return rewriteInPlace(path_, content); }

private:
    std::filesystem::path path_;
    std::string section_;
    std::optional<Keys> keys_;
};

} // namespace

std::unique_ptr<Section> openSection(const std::string &file, std::string_view section) {
    return std::make_unique<EmulatedSection>(file, section);
}

#endif

std::string lastError() {
#ifdef _WIN32
    return "error=" + std::to_string(GetLastError());
#else
    return std::string("errno=") + std::to_string(errno);
#endif
}

} // namespace profile
