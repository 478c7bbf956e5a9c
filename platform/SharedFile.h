#pragma once

#include <functional>
#include <optional>
#include <string>

// File I/O for files that another program reads and writes while Kivo does: the expert's project
// file, and kivo.ini, which a second copy of Kivo may write. File names are UTF-8. No INI rules
// here (IniText.h); IniFile.h joins the two. Every operation goes through TFileSystem::Current()
// (FileSystem.h), which a test may wrap.

struct TFileRead {
    bool Exists = false; // false: missing, or not a regular file that can be read
    std::string Bytes;
};

// One read of the whole file, shared with every other opener: it never makes another program's
// open or write fail, and never holds one up for longer than the read.
TFileRead ReadShared(const std::string &fileName);

// Reads a file that another program may be rewriting in place. Two equal reads a few
// milliseconds apart are taken; otherwise the file is read again, for about 50 ms and at least
// three times, and then what the last read gave is taken. A first read that gives exactly the
// bytes last taken for that file name (or last written by this process) is taken at once. A
// missing or unreadable file gives "".
std::string ReadFileStable(const std::string &fileName);

// The right to replace one file, held against every other copy of Kivo, and the replace itself.
//
// On Linux the lock is the file itself (flock on a descriptor open for reading, which no writer
// can feel), taken again when another replace has put a new file under the name. Nothing is
// opened for writing but a staged copy this process creates anew ("<file>.kivo-save", never
// through a link) or the file itself. On Windows the staged copy is the lock, held with a
// byte-range lock on a handle that shares everything. A process that dies holding the lock
// releases it with its handles; the copy it leaves is taken over by the next save.
class TReplaceLock {
public:
    // Takes the lock, waiting about five seconds for another process's replace. Throws Exception
    // naming the file when the wait is over.
    explicit TReplaceLock(std::string fileName);
    ~TReplaceLock();
    TReplaceLock(const TReplaceLock &) = delete;
    TReplaceLock &operator=(const TReplaceLock &) = delete;

    enum class TResult {
        Replaced,
        Changed,  // the file no longer held what was expected, or unchanged() said no
        ReadOnly, // the file may not be written (Reason says why); nothing was
    };

    // Puts content in the file's place, on the disk, the file keeping its owner, group, mode,
    // extended attributes and links, while it still holds expected (when given; a missing file
    // holds "") and unchanged() (when given) holds; unchanged is asked last, right before the
    // file is replaced. Where a replace cannot keep the file's identity (another user's file, a
    // second hard link, a folder that takes no new file), the file is written in place, as the
    // profile API writes it. A file without write permission is not written. On Windows a
    // file that another program holds open is tried again for about a second, comparing before
    // every try. Throws Exception naming the file when it cannot be written; the old file then
    // stays as it was. The lock may be used again.
    [[nodiscard]] TResult Replace(const std::string &content, const std::string *expected = nullptr,
                                  const std::function<bool()> &unchanged = {});

    // Why the last Replace gave ReadOnly.
    const std::string &Reason() const { return FReason; }
    // What a writer put into the file in the moment before the last Replace put it aside: one
    // that had opened the old file wrote there, not into the new one (perhaps only emptied it
    // so far). None when nobody did, and where the system cannot tell (Windows, no lock).
    const std::optional<std::string> &Overtaken() const { return FOvertaken; }
    // What that file put aside holds now, after something was Overtaken: a writer held off the
    // processor partway finishes its write there.
    std::string PutAside() const;
    // Whether another program still has that file open, and so may write there yet; false
    // where the system cannot tell.
    bool PutAsideInUse() const;

private:
    void Acquire();
    void Release();

    std::string FFileName;
    std::string FTarget;
    std::string FReason;
    std::optional<std::string> FOvertaken;
#ifdef _WIN32
    std::string FStaged;
    void *FHandle = nullptr;
#else
    int FFd = -1; // the file, locked; -1 where there is none or no such lock
#endif
};

// Appends bytes to the end of an existing file in one write that another process appending at the
// same moment cannot interleave with or overwrite (O_APPEND; FILE_APPEND_DATA on Windows). "" when
// it went through, else why not.
std::string AppendShared(const std::string &fileName, const std::string &bytes);

// A file that marks something as this process's for as long as the object lives: held with a lock
// of the system's (flock; LockFileEx on Windows), which goes with the process, however it ends.
class TProcessMark {
public:
    // Makes the file, or takes it over from a process that is gone. Held() is false when it could
    // not be made.
    explicit TProcessMark(std::string fileName);
    ~TProcessMark();
    TProcessMark(const TProcessMark &) = delete;
    TProcessMark &operator=(const TProcessMark &) = delete;
    bool Held() const;

    // True when a running process holds the mark at fileName; one that nobody holds is removed.
    static bool HeldByAnother(const std::string &fileName);

private:
    std::string FFileName;
#ifdef _WIN32
    void *FHandle = nullptr;
#else
    int FFd = -1;
#endif
};

// Replaces the file in one step under its lock. Throws Exception naming the file on failure,
// and for a file that may not be written.
void WriteAtomically(const std::string &fileName, const std::string &content);
