#pragma once

#include <cstdint>
#include <memory>
#include <string>

// A profile (INI) file, read and written the way the Windows profile API reads it.
//
// The constructor takes one snapshot of the file (a missing or unreadable file reads as empty);
// every read answers from that snapshot. Writes are held in the object until UpdateFile()
// replaces the file atomically; the destructor discards writes that were not committed.
//
// Reads also answer the writes the object holds, as the file will read once they are committed.
// Section and key names are trimmed as the API trims them. UpdateFile() splices the writes into
// the snapshot's bytes (every other byte stays) and makes what it wrote the new snapshot.
class TIniFile {
public:
    explicit TIniFile(std::string fileName);
    // The same on bytes the caller has already read from the file (ReadFileStable).
    TIniFile(std::string fileName, std::string snapshot);
    ~TIniFile();
    TIniFile(const TIniFile &) = delete;
    TIniFile &operator=(const TIniFile &) = delete;

    const std::string &FileName() const;

    // The value of the key, or def when the section or key is missing. Sections and keys match
    // without regard to ASCII letter case; the first section of a name and its first key win.
    std::string ReadString(const std::string &section, const std::string &key,
                           const std::string &def) const;
    // The value converted by the StrToInt rules, or def when missing or not an integer.
    std::int32_t ReadInteger(const std::string &section, const std::string &key,
                             std::int32_t def) const;

    // Set a key, creating the section or key where missing. Throws Exception for a section,
    // key or value that holds CR, LF or NUL, or a key or section that could not be read back.
    // A value the key holds already is accepted whatever it holds: nothing is written for it.
    void WriteString(const std::string &section, const std::string &key, const std::string &value);
    void WriteInteger(const std::string &section, const std::string &key, std::int32_t value);

    // True when writes are held that would change the file.
    bool Modified() const;
    // Replace the file with the changed content (nothing happens when nothing changed). Throws
    // Exception naming the file and the reason when the write fails; the old file is then intact.
    void UpdateFile();
    // As UpdateFile, but only while the file on disk still holds the bytes of the snapshot.
    // Returns false, writing nothing, when another writer changed the file since.
    bool UpdateFileIfUnchanged();

    // The bytes the snapshot was taken from.
    const std::string &Snapshot() const;

private:
    struct Data;
    std::unique_ptr<Data> d;
};

// Reads a file that another program may be rewriting in place: an empty read, or one that
// differs from a second read a few milliseconds later, is read again (about 50 ms at most);
// then what the last read gave is taken. A missing or unreadable file gives "".
// A first read that gives exactly the bytes last verified stable for that file name (two equal
// reads, or what UpdateFile wrote) is taken at once, so polling an unchanged file reads it once.
std::string ReadFileStable(const std::string &fileName);
