#include "SharedFile.h"

#include "Conversions.h"
#include "Exception.h"
#include "FileSystem.h"

#include <QRandomGenerator>

#ifdef _WIN32
#include <aclapi.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a replace waits for another copy of Kivo to finish its own.
constexpr milliseconds LockWait(5000);

// The last read of each file that was taken as stable, or written by this process.
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

std::string Unwritten(int error) {
    return "the data could not be written (" + SystemErrorMessage(error) + ")";
}

// What the file holds now; a missing file holds "".
std::string Current(const std::string &fileName) {
    std::string bytes;
    (void)TFileSystem::Current().Read(fileName, bytes);
    return bytes;
}

// Whether the file still holds expected and unchanged() still says so, each where given: asked
// last, right before the file is written.
bool StillAsTaken(const std::string &fileName, const std::string *expected,
                  const std::function<bool()> &unchanged) {
    return (!expected || Current(fileName) == *expected) && (!unchanged || unchanged());
}

std::string RandomSuffix() {
    return QString::number(QRandomGenerator::system()->generate64(), 36).toStdString();
}

std::string FolderOf(const std::string &fileName) {
    const std::size_t slash = fileName.find_last_of(
#ifdef _WIN32
        "\\/"
#else
        "/"
#endif
    );
    return slash == std::string::npos ? "." : fileName.substr(0, slash + 1);
}

} // namespace

TFileRead ReadShared(const std::string &fileName) {
    TFileRead read;
    read.Exists = TFileSystem::Current().Read(fileName, read.Bytes);
    return read;
}

std::string ReadFileStable(const std::string &fileName) {
    constexpr auto Pause = milliseconds(2);
    constexpr auto Limit = milliseconds(50);
    // Counted as well as timed: a read slower than the limit, or a thread held off the
    // processor through all of it, must still look again before it takes a changing file.
    constexpr int MinReads = 3;

    TFileRead read = ReadShared(fileName);
    if (!read.Exists)
        return {}; // missing or unreadable: nothing to wait for
    TStableReads &cache = StableReads();
    if (!read.Bytes.empty() && cache.Matches(fileName, read.Bytes))
        return std::move(read.Bytes);

    const auto start = Clock::now();
    for (int reads = 2;; ++reads) {
        std::this_thread::sleep_for(Pause);
        TFileRead next = ReadShared(fileName);
        if (!next.Bytes.empty() && next.Bytes == read.Bytes) {
            cache.Remember(fileName, next.Bytes);
            return std::move(next.Bytes);
        }
        read = std::move(next);
        if (reads >= MinReads && Clock::now() - start + Pause > Limit)
            return std::move(read.Bytes);
    }
}

TReplaceLock::TReplaceLock(std::string fileName)
    : FFileName(std::move(fileName)), FTarget(LinkTarget(FFileName)) {
#ifdef _WIN32
    FStaged = FTarget + ".kivo-save";
#endif
    Acquire();
}

TReplaceLock::~TReplaceLock() {
    Release();
}

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string &fileName) {
    return ToQString(fileName).toStdWString();
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION one{};
    BY_HANDLE_FILE_INFORMATION two{};
    return GetFileInformationByHandle(a, &one) && GetFileInformationByHandle(b, &two) &&
           one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
           one.nFileIndexHigh == two.nFileIndexHigh && one.nFileIndexLow == two.nFileIndexLow;
}

// The attributes a new file can take over; read-only is refused before, the rest is the
// system's own.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Gives the staged copy the file's attributes and its own access list, where it has one.
void KeepIdentity(const std::wstring &target, HANDLE staged, DWORD attributes) {
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(staged, FileBasicInfo, &basic, sizeof basic)) {
        basic.FileAttributes =
            (attributes & KeptAttributes) ? attributes & KeptAttributes : FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(staged, FileBasicInfo, &basic, sizeof basic);
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        if (dacl && (control & SE_DACL_PROTECTED))
            SetSecurityInfo(staged, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
        LocalFree(descriptor);
    }
}

} // namespace

// A lock on a byte far past the end of the staged copy is the lock (LockFileEx: released with
// the handle, also when the process dies). The handle shares everything, so that the expert may
// open the file at once after the rename, and the rename may go through while the handle lives.
// The staged name may be renamed away or deleted by the holder between another process's open
// and its lock: a lock is only taken on the file the name still leads to. A link planted at the
// name is removed, never followed; a copy that cannot be opened (another user's) is left alone,
// and this process stages under a name of its own, unlocked.
void TReplaceLock::Acquire() {
    if (FHandle)
        return;
    std::wstring staged = Wide(FStaged);
    const auto deadline = Clock::now() + LockWait;
    const auto deniedUntil = Clock::now() + milliseconds(200);
    for (;;) {
        const HANDLE handle =
            CreateFileW(staged.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            const DWORD attributes = GetFileAttributesW(staged.c_str());
            // Denied for a file that is not there means the folder takes no new file, and for a
            // folder in its place, no file. Denied for a file of someone else's, for good; for
            // one being deleted by another copy, for a moment.
            if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
                (attributes & FILE_ATTRIBUTE_DIRECTORY))
                ThrowWriteError(FFileName, SystemErrorMessage(int(error)));
            if (Clock::now() >= deniedUntil) {
                FStaged = FTarget + ".kivo-save-" + RandomSuffix();
                staged = Wide(FStaged);
                const HANDLE own =
                    CreateFileW(staged.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (own == INVALID_HANDLE_VALUE)
                    ThrowWriteError(FFileName, SystemErrorMessage(int(GetLastError())));
                FHandle = own;
                return;
            }
        } else {
            BY_HANDLE_FILE_INFORMATION info{};
            if (GetFileInformationByHandle(handle, &info) &&
                (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                CloseHandle(handle);
                DeleteFileW(staged.c_str()); // the link, not what it leads to
                continue;
            }
            OVERLAPPED beyond{};
            beyond.Offset = 0xFFFFFFFF;
            beyond.OffsetHigh = 0x7FFFFFFF;
            if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &beyond)) {
                const HANDLE byName = CreateFileW(
                    staged.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
                const bool same = byName != INVALID_HANDLE_VALUE && SameFile(handle, byName);
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

void TReplaceLock::Release() {
    if (!FHandle)
        return;
    DeleteFileW(Wide(FStaged).c_str()); // gone once the handle is closed
    CloseHandle(static_cast<HANDLE>(FHandle));
    FHandle = nullptr;
    FStaged = FTarget + ".kivo-save";
}

TReplaceLock::TResult TReplaceLock::Replace(const std::string &content, const std::string *expected,
                                            const std::function<bool()> &unchanged) {
    TFileSystem &fs = TFileSystem::Current();
    FReason.clear();
    const std::wstring target = Wide(FTarget);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
        FReason = "it is read-only";
        return TResult::ReadOnly;
    }

    // A file with a second name would lose it to a replace: written in place, as the expert's
    // profile API writes, through a handle that shares everything.
    if (exists && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const HANDLE file = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) &&
            info.nNumberOfLinks > 1) {
            if (!StillAsTaken(FFileName, expected, unchanged)) {
                CloseHandle(file);
                return TResult::Changed;
            }
            const TFileHandle handle{file, FTarget};
            int error = fs.Write(handle, content);
            if (!error)
                error = fs.Sync(handle);
            CloseHandle(file);
            if (error)
                ThrowWriteError(FFileName, Unwritten(error));
            StableReads().Remember(FFileName, content);
            return TResult::Replaced;
        }
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }

    Acquire();
    const auto handle = static_cast<HANDLE>(FHandle);
    const TFileHandle staged{handle, FStaged};
    int error = fs.Write(staged, content);
    if (!error && exists)
        KeepIdentity(target, handle, attributes);
    if (!error)
        error = fs.Sync(staged);
    if (error) {
        Release();
        ThrowWriteError(FFileName, Unwritten(error));
    }

    // A write the other program makes while its handle blocks the rename must not be put back:
    // the file is compared before every try.
    const auto deadline = Clock::now() + milliseconds(1000);
    for (;;) {
        if (!StillAsTaken(FFileName, expected, unchanged))
            return TResult::Changed;
        error = fs.Rename(FStaged, FTarget);
        if (!error)
            break;
        if (!fs.Held(error) || Clock::now() >= deadline) {
            Release();
            ThrowWriteError(FFileName, SystemErrorMessage(error));
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    // The handle now holds the file under its new name; the staged name is free again.
    CloseHandle(handle);
    FHandle = nullptr;
    FStaged = FTarget + ".kivo-save";
    if (const int error = fs.SyncFolder(FolderOf(FTarget)))
        ThrowWriteError(FFileName,
                        "its folder could not be flushed (" + SystemErrorMessage(error) + ")");
    StableReads().Remember(FFileName, content);
    return TResult::Replaced;
}

// Nothing is ever Overtaken here: the rename replaces a file nobody holds open.
std::string TReplaceLock::PutAside() const {
    return {};
}

bool TReplaceLock::PutAsideInUse() const {
    return false;
}

#else

namespace {

bool SameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The staged copy, made anew: never through a link, never into a file of another's. Under the
// lock a leftover of a save that died is removed first, so that at most one is ever left; a
// leftover this process may not remove, and every save without the lock, stage under a name of
// their own.
int CreateStaged(const std::string &target, bool locked, std::string &staged, int &error) {
    const auto create = [&](const std::string &name) {
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        error = fd < 0 ? errno : 0;
        if (fd >= 0)
            staged = name;
        return fd;
    };
    if (locked) {
        const std::string name = target + ".kivo-save";
        int fd = create(name);
        if (fd < 0 && error == EEXIST && ::unlink(name.c_str()) == 0)
            fd = create(name);
        if (fd >= 0 || error != EEXIST)
            return fd;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = create(target + ".kivo-save-" + RandomSuffix());
        if (fd >= 0 || error != EEXIST)
            return fd;
    }
    return -1;
}

std::string ReadWhole(int fd) {
    std::string bytes;
    (void)ReadDescriptor(fd, bytes);
    return bytes;
}

// Whether another process has the file of this descriptor open, asked by trying a write lease,
// which only a file nobody else has open takes, and letting it go at once. Asked only of a file
// no name leads to any more, so that no open can meet the lease. None where the system cannot
// tell (a file of another user, a file system without leases).
std::optional<bool> OpenElsewhere(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_nlink != 0)
        return std::nullopt;
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
        (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN || errno == EBUSY)
        return true;
    return std::nullopt;
}

void Discard(int fd, const std::string &staged) {
    ::unlink(staged.c_str());
    ::close(fd);
}

// Gives the staged copy the file's owner, group, mode and extended attributes (access lists,
// the DOS attributes a Windows layer keeps there, ...). False when this process may not.
bool KeepIdentity(const std::string &target, int staged, const struct stat &old) {
    struct stat mine {};
    if (::fstat(staged, &mine) != 0)
        return false;
    if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
        ::fchown(staged, old.st_uid, old.st_gid) != 0)
        return false;
    if (::fchmod(staged, old.st_mode & 07777) != 0)
        return false;
    const ssize_t size = ::llistxattr(target.c_str(), nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    std::string names(std::size_t(size), '\0');
    const ssize_t got = ::llistxattr(target.c_str(), names.data(), names.size());
    if (got < 0)
        return false;
    names.resize(std::size_t(got));
    for (std::size_t at = 0; at < names.size();) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        const ssize_t length = ::lgetxattr(target.c_str(), name.c_str(), nullptr, 0);
        if (length < 0)
            return false;
        std::string value(std::size_t(length), '\0');
        const ssize_t read = ::lgetxattr(target.c_str(), name.c_str(), value.data(), value.size());
        if (read < 0 || ::fsetxattr(staged, name.c_str(), value.data(), std::size_t(read), 0) != 0)
            return false;
    }
    return true;
}

std::string OwnerName(uid_t uid) {
    struct passwd entry {};
    struct passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_name;
    return "user " + std::to_string(uid);
}

// The file written where it stands, keeping everything it is, as the profile API writes it.
TReplaceLock::TResult WriteInPlace(const std::string &fileName, const std::string &target,
                                   const struct stat &old, const std::string &content,
                                   const std::string *expected,
                                   const std::function<bool()> &unchanged, std::string &reason) {
    using TResult = TReplaceLock::TResult;
    TFileSystem &fs = TFileSystem::Current();
    const int fd = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error != EACCES && error != EPERM)
            ThrowWriteError(fileName, SystemErrorMessage(error));
        reason = "it is read-only for you (it belongs to " + OwnerName(old.st_uid) + ")";
        return TResult::ReadOnly;
    }
    struct stat now {};
    if (::fstat(fd, &now) != 0 || !SameFile(now, old)) {
        ::close(fd);
        return TResult::Changed;
    }
    if (!StillAsTaken(fileName, expected, unchanged)) {
        ::close(fd);
        return TResult::Changed;
    }
    // Room first: a full disk must fail before a byte of the file changes. (A watch hears this
    // as a write: it comes after the last look.)
    if (content.size() > std::size_t(now.st_size) &&
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(content.size())) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        const int error = errno;
        ::close(fd);
        ThrowWriteError(fileName, Unwritten(error));
    }
    const TFileHandle handle{fd, target};
    int error = fs.Write(handle, content);
    if (!error)
        error = fs.Sync(handle);
    if (error) {
        if (expected)
            (void)fs.Write(handle, *expected); // what it held, where the disk still takes it
        ::close(fd);
        ThrowWriteError(fileName, Unwritten(error));
    }
    ::close(fd);
    StableReads().Remember(fileName, content);
    // A writer at work in the same moment may have mixed its bytes with these: merged again.
    return Current(fileName) == content ? TResult::Replaced : TResult::Changed;
}

} // namespace

void TReplaceLock::Acquire() {
    struct stat held {};
    struct stat named {};
    if (FFd >= 0) {
        if (::fstat(FFd, &held) == 0 && ::stat(FTarget.c_str(), &named) == 0 &&
            SameFile(held, named))
            return;
        Release(); // another file took the name: that one is locked now
    }
    const auto deadline = Clock::now() + LockWait;
    for (;;) {
        // Missing, not to be read, or no file: nothing to lock, and the replace says what is
        // wrong with it.
        const int fd = ::open(FTarget.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return;
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            return;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (::stat(FTarget.c_str(), &named) == 0 && SameFile(held, named)) {
                FFd = fd;
                return;
            }
            ::close(fd); // replaced while this one waited: lock the new file
            continue;
        }
        const int error = errno;
        ::close(fd);
        // A file system without such locks (over a network): saves of several copies of Kivo
        // are then kept apart by their checks alone.
        if (error != EWOULDBLOCK && error != EINTR)
            return;
        if (Clock::now() >= deadline)
            ThrowWriteError(FFileName, "another copy of Kivo keeps it locked");
        std::this_thread::sleep_for(milliseconds(2));
    }
}

void TReplaceLock::Release() {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

TReplaceLock::TResult TReplaceLock::Replace(const std::string &content, const std::string *expected,
                                            const std::function<bool()> &unchanged) {
    TFileSystem &fs = TFileSystem::Current();
    FReason.clear();
    FOvertaken.reset();
    Acquire();
    struct stat old {};
    const bool regular = ::stat(FTarget.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    // Not a file without any write permission, as the expert's side would find it under a
    // Windows layer, nor one this user may not write.
    if (regular && ((old.st_mode & 0222) == 0 ||
                    (::faccessat(AT_FDCWD, FTarget.c_str(), W_OK, AT_EACCESS) != 0 &&
                     (errno == EACCES || errno == EPERM)))) {
        FReason = old.st_uid == ::geteuid()
                      ? "it is read-only"
                      : "it is read-only for you (it belongs to " + OwnerName(old.st_uid) + ")";
        return TResult::ReadOnly;
    }

    std::string staged;
    int fd = -1;
    if (!regular || old.st_nlink == 1) {
        int error = 0;
        fd = CreateStaged(FTarget, FFd >= 0, staged, error);
        // A folder that takes no new file leaves the file's own place to write in.
        if (fd < 0 && !(regular && (error == EACCES || error == EPERM)))
            ThrowWriteError(FFileName, SystemErrorMessage(error));
    }
    if (fd >= 0) {
        const TFileHandle handle{fd, staged};
        if (const int error = fs.Write(handle, content)) {
            Discard(fd, staged);
            ThrowWriteError(FFileName, Unwritten(error));
        }
        if (regular && !KeepIdentity(FTarget, fd, old)) {
            Discard(fd, staged);
            fd = -1;
        } else if (const int error = fs.Sync(handle)) {
            Discard(fd, staged);
            ThrowWriteError(FFileName, Unwritten(error));
        }
    }
    if (fd < 0)
        return WriteInPlace(FFileName, FTarget, old, content, expected, unchanged, FReason);

    if (!StillAsTaken(FFileName, expected, unchanged)) {
        Discard(fd, staged);
        return TResult::Changed;
    }
    if (const int error = fs.Rename(staged, FTarget)) {
        Discard(fd, staged);
        ThrowWriteError(FFileName, SystemErrorMessage(error));
    }
    ::close(fd);
    // The rename is on the disk only once its folder is: without this a power cut can bring the
    // old file back, or leave none.
    if (const int error = fs.SyncFolder(FolderOf(FTarget)))
        ThrowWriteError(FFileName,
                        "its folder could not be flushed (" + SystemErrorMessage(error) + ")");
    StableReads().Remember(FFileName, content);
    // The lock's descriptor still reads the file put aside: changed since the last look, it was
    // written by someone who opened it just before the rename. Read once they have closed it,
    // where the system tells; elsewhere once it holds still. Waited for here, before the save
    // takes note of the watch's count, so that the writer's close is not taken for a new write.
    if (FFd >= 0 && expected) {
        if (const std::optional<bool> open = OpenElsewhere(FFd)) {
            bool held = *open;
            for (int tries = 1; held && tries < 25; ++tries) {
                std::this_thread::sleep_for(milliseconds(2));
                held = OpenElsewhere(FFd).value_or(false);
            }
            std::string old = ReadWhole(FFd);
            // Still open: whoever has it may write yet, so it is told, the same bytes too.
            if (old != *expected || held)
                FOvertaken = std::move(old);
            return TResult::Replaced;
        }
        std::string old = ReadWhole(FFd);
        for (int reads = 1; old != *expected && reads < 25; ++reads) {
            std::this_thread::sleep_for(milliseconds(2));
            std::string again = ReadWhole(FFd);
            if (again == old)
                break;
            old = std::move(again);
        }
        if (old != *expected)
            FOvertaken = std::move(old);
    }
    return TResult::Replaced;
}

std::string TReplaceLock::PutAside() const {
    return FFd >= 0 ? ReadWhole(FFd) : std::string();
}

bool TReplaceLock::PutAsideInUse() const {
    return FFd >= 0 && OpenElsewhere(FFd).value_or(false);
}

#endif

#ifdef _WIN32

// Append-only access writes at the end, and a lock far past the end keeps the appends of
// several processes apart where the system does not (a Windows layer may not).
std::string AppendShared(const std::string &fileName, const std::string &bytes) {
    const HANDLE file = CreateFileW(Wide(fileName).c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return SystemErrorMessage(int(GetLastError()));
    OVERLAPPED beyond{};
    beyond.Offset = 0xFFFFFFFE;
    beyond.OffsetHigh = 0x7FFFFFFF;
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond);
    LARGE_INTEGER end{};
    DWORD wrote = 0;
    const bool ok = SetFilePointerEx(file, end, nullptr, FILE_END) &&
                    WriteFile(file, bytes.data(), DWORD(bytes.size()), &wrote, nullptr) &&
                    wrote == DWORD(bytes.size());
    const DWORD error = GetLastError();
    if (locked)
        UnlockFileEx(file, 0, 1, 0, &beyond);
    CloseHandle(file);
    return ok ? std::string() : SystemErrorMessage(int(error ? error : ERROR_WRITE_FAULT));
}

namespace {

// An exclusive lock on the mark's first byte, taken at once or not at all.
bool LockMark(HANDLE file) {
    OVERLAPPED first{};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first);
}

HANDLE OpenMark(const std::string &fileName, DWORD disposition) {
    return CreateFileW(Wide(fileName).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TProcessMark::TProcessMark(std::string fileName) : FFileName(std::move(fileName)) {
    const HANDLE file = OpenMark(FFileName, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (LockMark(file))
        FHandle = file;
    else
        CloseHandle(file);
}

TProcessMark::~TProcessMark() {
    if (!FHandle)
        return;
    DeleteFileW(Wide(FFileName).c_str()); // gone once the handle is closed
    CloseHandle(static_cast<HANDLE>(FHandle));
}

bool TProcessMark::HeldByAnother(const std::string &fileName) {
    const HANDLE file = OpenMark(fileName, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    const bool held = !LockMark(file);
    if (!held)
        DeleteFileW(Wide(fileName).c_str());
    CloseHandle(file);
    return held;
}

#else

std::string AppendShared(const std::string &fileName, const std::string &bytes) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return SystemErrorMessage(errno);
    ssize_t wrote;
    do
        wrote = ::write(fd, bytes.data(), bytes.size());
    while (wrote < 0 && errno == EINTR);
    const int error = wrote < 0 ? errno : 0;
    ::close(fd);
    if (error)
        return SystemErrorMessage(error);
    return std::size_t(wrote) == bytes.size() ? std::string() : SystemErrorMessage(ENOSPC);
}

TProcessMark::TProcessMark(std::string fileName) : FFileName(std::move(fileName)) {
    const int fd = ::open(FFileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        FFd = fd;
    else
        ::close(fd);
}

TProcessMark::~TProcessMark() {
    if (FFd < 0)
        return;
    ::unlink(FFileName.c_str());
    ::close(FFd);
}

bool TProcessMark::HeldByAnother(const std::string &fileName) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!held)
        ::unlink(fileName.c_str());
    ::close(fd);
    return held;
}

#endif

bool TProcessMark::Held() const {
#ifdef _WIN32
    return FHandle != nullptr;
#else
    return FFd >= 0;
#endif
}

void WriteAtomically(const std::string &fileName, const std::string &content) {
    TReplaceLock lock(fileName);
    if (lock.Replace(content) == TReplaceLock::TResult::ReadOnly)
        ThrowWriteError(fileName, lock.Reason());
}
