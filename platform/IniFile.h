#pragma once

#include "IniText.h"

#include <cstdint>
#include <string>

// A profile (INI) file, read and written the way the Windows profile API reads it: the text rules
// of IniText.h on one snapshot of the file, and the shared reads and locked replace of
// SharedFile.h.
//
// The constructor takes one snapshot of the file (a missing or unreadable file reads as empty);
// every read answers from that snapshot and from the writes the object holds, as the file will
// read once they are committed. Writes are held until UpdateFile() replaces the file atomically;
// the destructor discards writes that were not committed.
class TIniFile {
public:
    explicit TIniFile(std::string fileName);
    // The same on bytes the caller has already read from the file.
    TIniFile(std::string fileName, std::string snapshot);

    const std::string &FileName() const;

    // The value of the key, or def when the section or key is missing.
    std::string ReadString(const std::string &section, const std::string &key,
                           const std::string &def) const;
    // The value converted by the StrToInt rules, or def when missing or not an integer.
    std::int32_t ReadInteger(const std::string &section, const std::string &key,
                             std::int32_t def) const;
    // True when the section holds the key, whatever its value.
    bool ValueExists(const std::string &section, const std::string &key) const;

    // Set a key, creating the section or key where missing. Throws Exception naming the file for
    // a section, key or value that could not be read back as written (a CR, LF or NUL, ...).
    void WriteString(const std::string &section, const std::string &key, const std::string &value);
    void WriteInteger(const std::string &section, const std::string &key, std::int32_t value);

    // True when writes are held that would change the file.
    bool Modified() const;
    // Replace the file with the changed content (nothing happens when nothing changed). Throws
    // Exception naming the file and the reason when the write fails; the old file is then intact.
    void UpdateFile();
    // As UpdateFile, but only while the file on disk still holds the bytes of the snapshot.
    // Returns false, writing nothing, when another writer changed the file since.
    [[nodiscard]] bool UpdateFileIfUnchanged();

    // The bytes the snapshot was taken from (what UpdateFile wrote, once it has).
    const std::string &Snapshot() const;

private:
    std::string FFileName;
    TIniText FText;
};
