#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The few profile (INI) operations the expert uses, with the reading and writing rules of the
// Windows profile API. Kept apart from the application's own class on purpose: the expert
// rewrites the file in place, one key at a time, and that is what this tool must reproduce.
namespace profile {

// The keys of one section as read: ASCII-lowercased name to value, the first key of a name wins.
using Keys = std::map<std::string, std::string>;

std::string lower(std::string_view text);

// The keys of the first section of that name, or nothing when the text has no such section.
std::optional<Keys> readSection(std::string_view text, std::string_view section);

// As GetPrivateProfileInt reads a value: leading blanks, a sign, digits up to the first
// non-digit; anything else reads as 0. Saturates at the 32-bit limits.
std::int32_t toInt(std::string_view value);

// The text with the key set the way WritePrivateProfileString sets it: an existing key's value is
// replaced where it stands, a new key goes at the end of its section, a new section at the end
// of the text; lines end in CRLF. Returns nothing when the key already holds that value.
std::optional<std::string> setKey(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view value);

// The whole file, or nothing when it cannot be opened (missing, or locked by another writer).
std::optional<std::string> readFile(const std::filesystem::path &path);

// Truncates the file and writes the content into it, keeping the same file (inode) when it
// exists. Opens by path every time: the other side replaces the file by rename.
bool rewriteInPlace(const std::filesystem::path &path, std::string_view content);

enum class WriteResult {
    Written,
    Unchanged, // the key held that value already, and the file was not touched
    Refused,   // the file lacks the key the write requires, and was left alone
    Failed,
};

// One section of one file, reached the way the expert reaches it: key by key. On Windows this is
// the profile API itself, with its own caching, sharing and rewriting; elsewhere the emulation
// above stands in for it.
class Section {
public:
    virtual ~Section() = default;

    // Starts a round of reads. The emulation reads the file once here and answers the round from
    // that text; through the API every read below goes to the file on its own, as the expert's do.
    virtual void refresh() = 0;

    // The value as GetPrivateProfileString returns it, or nothing when the key, the section or
    // the file is missing.
    virtual std::optional<std::string> read(std::string_view key) = 0;

    // The value as GetPrivateProfileInt returns it, 0 when missing.
    virtual std::int32_t readInt(std::string_view key) = 0;

    // Sets one key as WritePrivateProfileString does, in place. With a requiredKey, only a file
    // whose section holds that key is written: a file that went missing is not recreated with one
    // key in it. An empty requiredKey writes in any case.
    virtual WriteResult write(std::string_view key, std::string_view value,
                              std::string_view requiredKey) = 0;

    // Replaces the whole content in place, keeping the same file.
    virtual bool rewrite(std::string_view content) = 0;
};

// The section of that name in the file, through the API on Windows and the emulation elsewhere.
std::unique_ptr<Section> openSection(const std::string &file, std::string_view section);

// What the system said about the last call that failed, for the log.
std::string lastError();

} // namespace profile
