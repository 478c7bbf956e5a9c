#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
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

} // namespace profile
