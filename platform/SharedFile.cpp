#include "SharedFile.h"

#include "Conversions.h"
#include "Exception.h"

#include <QDir>
#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a replace waits for another copy of Kivo to finish its own.
constexpr milliseconds LockWait(5000);
// How long Windows is asked again to replace a file that another program holds open.
constexpr milliseconds HeldWait(1000);

// The last read of each file that was verified whole, or written by this process.
class TStableReads {
public:
    bool Matches(const std::string &fileName, const std::string &bytes) {
        const std::lock_guard lock(FMutex);
        const auto it = FBytes.find(fileName);
        return it != FBytes.end() && it->second == bytes;
    }
    void Remember(const std::string &fileName, const std::string &bytes) {
        const std::lock_guard lock(FMutex);
        if (FBytes.size() >= MaxFiles && FBytes.find(fileName) == FBytes.end())
            FBytes.clear();
        FBytes[fileName] = bytes;
    }

private:
    static constexpr std::size_t MaxFiles = 16;
    std::mutex FMutex;
    std::unordered_map<std::string, std::string> FBytes;
};

TStableReads &StableReads() {
    static TStableReads cache;
    return cache;
}

[[noreturn]] void ThrowWriteError(const std::string &fileName, const std::string &reason) {
    throw Exception("Cannot write file " + fileName + ": " + reason);
}

// Where a replace goes: the file, or the end of its chain of symbolic links, whose link stays.
std::string ReplaceTarget(const std::string &fileName) {
    QFileInfo target(ToQString(fileName));
    if (!target.isSymbolicLink())
        return fileName;
    for (int hops = 0; target.isSymbolicLink() && hops < 32; ++hops)
        target.setFile(target.symLinkTarget());
    return FromQString(QDir::toNativeSeparators(target.filePath()));
}

#ifdef _WIN32

// File names are UTF-8: every character a Windows name may hold, whatever the ANSI code page.
std::wstring Wide(const std::string &fileName) {
    return ToQString(fileName).toStdWString();
}

std::string SystemMessage(DWORD error) {
    return SystemErrorMessage(static_cast<int>(error));
}

// The handle shares reading, writing and deletion, and is closed at once: the expert's profile
// API opens the file on every call and must never find it held against a write, and a replace
// must not be refused because of a read.
bool ReadAllBytes(const std::string &fileName, std::string &bytes) {
    bytes.clear();
    const HANDLE file = CreateFileW(Wide(fileName).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return true;
}

// Windows refuses to replace a file while another process holds it open without delete sharing,
// as the expert's profile API does for the moment of each call: worth trying again shortly.
bool HeldByAnother(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

#else

// A read lease is broken by a writer's open with SIGIO, whose default ends the process; the read
// under the lease ends by itself, so the signal has nothing to do.
void IgnoreLeaseBreaks() {
    static const bool ignored = [] {
        struct sigaction action {};
        if (::sigaction(SIGIO, nullptr, &action) == 0 && action.sa_handler == SIG_DFL)
            ::signal(SIGIO, SIG_IGN);
        return true;
    }();
    (void)ignored;
}

std::string ErrnoMessage(int error) {
    return SystemErrorMessage(error);
}

// Reads from the start to the end; the file may grow or shrink meanwhile.
bool ReadFd(int fd, std::size_t sizeHint, std::string &bytes) {
    std::size_t got = 0;
    bytes.resize(sizeHint + 1);
    for (;;) {
        const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            bytes.clear();
            return false;
        }
        if (n == 0)
            break;
        got += std::size_t(n);
        if (got == bytes.size())
            bytes.resize(2 * bytes.size());
    }
    bytes.resize(got);
    return true;
}

bool ReadAllBytes(const std::string &fileName, std::string &bytes) {
    bytes.clear();
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                    ReadFd(fd, std::size_t(std::max<off_t>(info.st_size, 0)), bytes);
    ::close(fd);
    return ok;
}

void SyncFolderOf(const std::string &fileName) {
    const std::size_t slash = fileName.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : fileName.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

#endif

} // namespace

#ifdef _WIN32

TFileRead ReadShared(const std::string &fileName) {
    TFileRead read;
    read.Exists = ReadAllBytes(fileName, read.Bytes);
    return read;
}

#else

TFileRead ReadShared(const std::string &fileName) {
    TFileRead read;
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return read;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return read;
    }
    IgnoreLeaseBreaks();
    bool leased = false;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        leased = true;
        read.Writers = TWriters::None;
    } else if (errno == EAGAIN) {
        read.Writers = TWriters::Writing;
    }
    read.Exists = ReadFd(fd, std::size_t(std::max<off_t>(info.st_size, 0)), read.Bytes);
    if (leased)
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    return read;
}

#endif

std::string ReadFileStable(const std::string &fileName) {
    constexpr auto Pause = milliseconds(2);
    constexpr auto Limit = milliseconds(50);
    // Read again at least this often even when the time is up: a thread held off the processor
    // through the whole limit must still look once more before it takes an empty or cut-off read.
    constexpr int MinRereads = 3;

    TFileRead read = ReadShared(fileName);
    if (!read.Exists)
        return {}; // missing or unreadable: nothing to wait for
    TStableReads &cache = StableReads();
    if (read.Writers == TWriters::None ||
        (read.Writers == TWriters::Unknown && !read.Bytes.empty() &&
         cache.Matches(fileName, read.Bytes))) {
        cache.Remember(fileName, read.Bytes);
        return std::move(read.Bytes);
    }

    const auto start = Clock::now();
    for (int rereads = 1;; ++rereads) {
        std::this_thread::sleep_for(Pause);
        TFileRead next = ReadShared(fileName);
        if (next.Writers == TWriters::None || (next.Writers == TWriters::Unknown &&
                                               !next.Bytes.empty() && next.Bytes == read.Bytes)) {
            cache.Remember(fileName, next.Bytes);
            return std::move(next.Bytes);
        }
        read = std::move(next);
        if (rereads >= MinRereads && Clock::now() - start + Pause > Limit)
            return std::move(read.Bytes);
    }
}

TReplaceLock::TReplaceLock(std::string fileName)
    : FFileName(std::move(fileName)), FTarget(ReplaceTarget(FFileName)),
      FStaged(FTarget + ".kivo-save") {
    Acquire();
}

TReplaceLock::~TReplaceLock() {
    Discard();
}

#ifdef _WIN32

// A lock on a byte far past the end is the lock (LockFileEx: released with the handle, also when
// the process dies). The handle shares everything, so that the expert may open the file at once
// after the rename, and the rename may go through while the handle lives. The staged name may be
// renamed away or deleted by the holder between another process's open and its lock: a lock is
// only taken on the file the name still leads to.
void TReplaceLock::Acquire() {
    const std::wstring staged = Wide(FStaged);
    const auto deadline = Clock::now() + LockWait;
    for (;;) {
        const HANDLE handle = CreateFileW(staged.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // Deleted by another copy and not yet gone. Denied for a file that is not there means
            // the folder takes no new file, and for a folder in its place, no file.
            const DWORD attributes = GetFileAttributesW(staged.c_str());
            if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
                (attributes & FILE_ATTRIBUTE_DIRECTORY))
                ThrowWriteError(FFileName, SystemMessage(error));
        } else {
            OVERLAPPED beyond{};
            beyond.Offset = 0xFFFFFFFF;
            beyond.OffsetHigh = 0x7FFFFFFF;
            if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &beyond)) {
                BY_HANDLE_FILE_INFORMATION held{};
                BY_HANDLE_FILE_INFORMATION named{};
                const HANDLE byName = CreateFileW(
                    staged.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                const bool same = byName != INVALID_HANDLE_VALUE &&
                                  GetFileInformationByHandle(handle, &held) &&
                                  GetFileInformationByHandle(byName, &named) &&
                                  held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                                  held.nFileIndexHigh == named.nFileIndexHigh &&
                                  held.nFileIndexLow == named.nFileIndexLow;
                if (byName != INVALID_HANDLE_VALUE)
                    CloseHandle(byName);
                if (same) {
                    FHandle = handle;
                    return;
                }
            }
            CloseHandle(handle);
        }
        if (Clock::now() >= deadline)
            ThrowWriteError(FFileName, "another copy of Kivo keeps it locked");
        std::this_thread::sleep_for(milliseconds(2));
    }
}

void TReplaceLock::Discard() {
    if (!FHandle)
        return;
    DeleteFileW(Wide(FStaged).c_str()); // gone once the handle is closed
    CloseHandle(static_cast<HANDLE>(FHandle));
    FHandle = nullptr;
}

bool TReplaceLock::Replace(const std::string &content, const std::string *expected) {
    if (!FHandle)
        Acquire();
    const auto handle = static_cast<HANDLE>(FHandle);
    LARGE_INTEGER start{};
    bool written = SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
    for (std::size_t at = 0; written && at < content.size();) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - at, 1 << 20));
        written = WriteFile(handle, content.data() + at, chunk, &wrote, nullptr) && wrote > 0;
        at += wrote;
    }
    if (!written || !FlushFileBuffers(handle)) {
        const std::string reason =
            "the data could not be written (" + SystemMessage(GetLastError()) + ")";
        Discard();
        ThrowWriteError(FFileName, reason);
    }

    // A write the other program makes while its handle blocks the rename must not be put back:
    // the file is compared before every try.
    const std::wstring staged = Wide(FStaged);
    const std::wstring target = Wide(FTarget);
    const auto deadline = Clock::now() + HeldWait;
    std::string current;
    for (;;) {
        if (expected) {
            ReadAllBytes(FFileName, current);
            if (current != *expected)
                return false;
        }
        if (MoveFileExW(staged.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        const DWORD error = GetLastError();
        if (!HeldByAnother(error) || Clock::now() >= deadline) {
            Discard();
            ThrowWriteError(FFileName, SystemMessage(error));
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    // The handle now holds the file under its new name; the staged name is free again.
    CloseHandle(handle);
    FHandle = nullptr;
    StableReads().Remember(FFileName, content);
    return true;
}

#else

// flock on the staged file is the lock. Its name may be renamed away or deleted by the holder
// between another process's open and its flock: a lock is only taken on the file the name still
// leads to.
void TReplaceLock::Acquire() {
    const auto deadline = Clock::now() + LockWait;
    for (;;) {
        const int fd = ::open(FStaged.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            ThrowWriteError(FFileName, ErrnoMessage(errno));
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat held {};
            struct stat named {};
            if (::fstat(fd, &held) == 0 && ::stat(FStaged.c_str(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                FFd = fd;
                return;
            }
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            const int error = errno;
            ::close(fd);
            ThrowWriteError(FFileName, ErrnoMessage(error));
        }
        ::close(fd);
        if (Clock::now() >= deadline)
            ThrowWriteError(FFileName, "another copy of Kivo keeps it locked");
        std::this_thread::sleep_for(milliseconds(2));
    }
}

void TReplaceLock::Discard() {
    if (FFd < 0)
        return;
    // Unlinked while still locked: a process waiting on this file finds the name gone.
    ::unlink(FStaged.c_str());
    ::close(FFd);
    FFd = -1;
}

bool TReplaceLock::Replace(const std::string &content, const std::string *expected) {
    if (FFd < 0)
        Acquire();
    bool written = ::ftruncate(FFd, 0) == 0;
    for (std::size_t at = 0; written && at < content.size();) {
        const ssize_t n = ::pwrite(FFd, content.data() + at, content.size() - at, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        if (written)
            at += std::size_t(n);
    }
    written = written && ::fsync(FFd) == 0;
    if (!written) {
        const std::string reason = "the data could not be written (" + ErrnoMessage(errno) + ")";
        Discard();
        ThrowWriteError(FFileName, reason);
    }
    // The new file keeps the old one's permissions.
    if (struct stat old{}; ::stat(FTarget.c_str(), &old) == 0)
        ::fchmod(FFd, old.st_mode & 07777);

    if (expected) {
        std::string current;
        ReadAllBytes(FFileName, current); // a missing file reads as empty
        if (current != *expected)
            return false;
    }
    if (::rename(FStaged.c_str(), FTarget.c_str()) != 0) {
        const int error = errno;
        Discard();
        ThrowWriteError(FFileName, ErrnoMessage(error));
    }
    // The rename is on the disk only once its folder is: without this a power loss can bring the
    // old file back and leave the staged one.
    SyncFolderOf(FTarget);
    ::close(FFd);
    FFd = -1;
    StableReads().Remember(FFileName, content);
    return true;
}

#endif

void WriteAtomically(const std::string &fileName, const std::string &content) {
    TReplaceLock(fileName).Replace(content);
}
