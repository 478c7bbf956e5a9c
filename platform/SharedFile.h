#pragma once

#include <string>

// File I/O for files that another program reads and writes while Kivo does: the expert's project
// file, and kivo.ini, which a second copy of Kivo may write. File names are the platform's 8-bit
// names. No INI rules here (IniText.h); IniFile.h joins the two.

// What one read can tell about other writers of the file.
enum class TWriters {
    None,    // nobody had the file open for writing during the read: the bytes are what it holds
    Writing, // somebody had it open for writing: the bytes may be a rewrite half done
    Unknown, // the system cannot tell here (Windows, or a file system without read leases)
};

struct TFileRead {
    bool Exists = false; // false: missing, or not a regular file that can be read
    std::string Bytes;
    TWriters Writers = TWriters::Unknown;
};

// One read of the whole file, shared with every other opener: it never makes another program's
// open or write fail, and never blocks it for longer than the read. On Linux the read is made
// under a read lease where the file system grants one, which tells whether a writer held the
// file open (the lease is granted only while nobody does, and a writer that opens meanwhile
// waits until the read is done).
TFileRead ReadShared(const std::string &fileName);

// Reads a file that another program may be rewriting in place. A read that no writer overlapped
// is taken at once. Otherwise an empty read, or one that differs from a second read a few
// milliseconds later, is read again (about 50 ms at most); then what the last read gave is taken.
// A first read that gives exactly the bytes last verified for that file name (or last written by
// this process) is taken at once. A missing or unreadable file gives "".
std::string ReadFileStable(const std::string &fileName);

// The right to replace one file, held against every other copy of Kivo: saves and settings writes
// of several processes are serialised, so that none of them stages over another's staged copy.
//
// The lock is the staged copy itself, "<file>.kivo-save" beside the file (beside the target of a
// symbolic link), held with flock on Linux and by an exclusive share mode on Windows. A process
// that dies holding it releases it with its handles; the copy it leaves is taken over by the next
// save, so there is never more than one.
class TReplaceLock {
public:
    // Takes the lock, waiting about five seconds for another process's replace. Throws Exception
    // naming the file when the folder takes no new file or the wait is over.
    explicit TReplaceLock(std::string fileName);
    ~TReplaceLock();
    TReplaceLock(const TReplaceLock &) = delete;
    TReplaceLock &operator=(const TReplaceLock &) = delete;

    // Replaces the file with content in one step, on the disk (the folder too, on Linux), while
    // the file still holds expected (when given; a missing file holds ""). False, writing
    // nothing, when it does not. On Windows a file that another program holds open is tried
    // again for about a second, comparing before every try. Throws Exception naming the file when
    // it cannot be written; the old file then stays as it was. The lock may be used again.
    bool Replace(const std::string &content, const std::string *expected = nullptr);

private:
    void Acquire();
    void Discard();

    std::string FFileName;
    std::string FTarget;
    std::string FStaged;
#ifdef _WIN32
    void *FHandle = nullptr;
#else
    int FFd = -1;
#endif
};

// Replaces the file in one step under its lock. Throws Exception naming the file on failure.
void WriteAtomically(const std::string &fileName, const std::string &content);
