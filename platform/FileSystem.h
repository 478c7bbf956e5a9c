#pragma once

#include <string>
#include <string_view>

// The file a name leads to: the end of its chain of symbolic links, or the name itself.
std::string LinkTarget(const std::string &fileName);

#ifndef _WIN32
// Reads an open file from its start to its end, whatever its offset; the file may grow or shrink
// meanwhile. False, with bytes empty, on an error.
bool ReadDescriptor(int fd, std::string &bytes);
#endif

// A file a save has open for writing: its staged copy, or the file itself when it is written in
// place. Name is the name it was opened by, for a wrapper that keeps track of files.
struct TFileHandle {
#ifdef _WIN32
    void *Native = nullptr;
#else
    int Native = -1;
#endif
    std::string Name;
};

// The file operations that Kivo's reads and saves are made of, in one place, so that a test can
// put a wrapper in their place: to fail a given call, to lose what was not synced as a power cut
// does, or to play another system's rules. The base class is the system itself; a wrapper
// derives from it and calls the base for what it does not change. Errors are the system's own
// numbers (errno, or GetLastError on Windows), 0 for none; SystemErrorMessage names them.
class TFileSystem {
public:
    TFileSystem() = default;
    virtual ~TFileSystem() = default;
    TFileSystem(const TFileSystem &) = delete;
    TFileSystem &operator=(const TFileSystem &) = delete;

    // One read of the whole file, shared with every other opener: it never makes another
    // program's open or write fail, and never holds one up for longer than the read. False,
    // with bytes empty, for a missing file, one that cannot be read, or no regular file.
    virtual bool Read(const std::string &fileName, std::string &bytes);
    // Writes content into the open file from its start and cuts the file to its length.
    virtual int Write(const TFileHandle &file, std::string_view content);
    // Puts what was written into the file on the disk.
    virtual int Sync(const TFileHandle &file);
    // Renames from over to, which it replaces.
    virtual int Rename(const std::string &from, const std::string &to);
    // True when a Rename failed only because another program holds the file for a moment (on
    // Windows, the expert's profile API does for each call): worth trying again shortly.
    virtual bool Held(int error) const;
    // Puts the folder's entries, the name a Rename gave included, on the disk.
    virtual int SyncFolder(const std::string &folder);
    // True when a watch of the folder tells of every write to its files as it happens, so that
    // a writer at work can be seen: a local file system on Linux. Not on Windows, nor on a network
    // or shared file system, whose other writers the watch never hears of.
    virtual bool WatchTellsWriters(const std::string &folder);

    // The operations in use: the system's, unless a test has put others in their place.
    static TFileSystem &Current();

    // Puts fs in place of the operations in use for as long as it lives.
    class TUse {
    public:
        explicit TUse(TFileSystem &fs);
        ~TUse();
        TUse(const TUse &) = delete;
        TUse &operator=(const TUse &) = delete;

    private:
        TFileSystem *FOld;
    };
};
