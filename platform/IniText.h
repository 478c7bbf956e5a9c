#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The text of a profile (INI) file, read by the rules of the Windows profile API and changed so
// that the API reads back what was meant. Bytes only: no file is touched here (SharedFile.h does
// the I/O, IniFile.h joins the two).
//
// Lookups answer from the bytes as parsed, with the changes held so far. Section and key names
// are trimmed as the API trims them and matched without regard to ASCII letter case; the first
// section of a name and its first key win.
class TIniText {
public:
    explicit TIniText(std::string bytes = {});
    ~TIniText();
    TIniText(const TIniText &) = delete;
    TIniText &operator=(const TIniText &) = delete;

    // Parses new bytes; held changes are dropped.
    void Reset(std::string bytes);
    // The bytes as parsed, without the held changes.
    const std::string &Bytes() const;

    // The value of the key, or nothing when the section or key is missing. The view lasts until
    // the next Set or Reset.
    std::optional<std::string_view> Lookup(std::string_view section, std::string_view key) const;
    // How many keys the bytes and the held changes hold, in every section.
    std::size_t KeyCount() const;
    // True when the bytes end with CR or LF: the profile API ends every line it writes so.
    bool EndsWithLineBreak() const;

    // Holds a change of one key, creating the section or key where missing. Returns why the
    // change could not be read back as meant (a CR, LF or NUL, a ']' in a section name, a key
    // that is empty, holds '=' or starts with '['), or nullptr when it is held. A value the key
    // holds already is accepted whatever it holds: nothing is written for it.
    [[nodiscard]] const char *Set(std::string_view section, std::string_view key,
                                  std::string_view value);
    // True when changes are held that would change the bytes.
    bool Modified() const;
    // The bytes with the held changes spliced in; every other byte stays as it was.
    std::string Build() const;

private:
    struct Data;
    std::unique_ptr<Data> d;
};
