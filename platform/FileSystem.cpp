#include "FileSystem.h"

#include "Conversions.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#endif

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<TFileSystem *> InUse{nullptr};

#ifndef _WIN32
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
#endif

} // namespace

std::string LinkTarget(const std::string &fileName) {
    QFileInfo target(ToQString(fileName));
    if (!target.isSymbolicLink())
        return fileName;
    for (int hops = 0; target.isSymbolicLink() && hops < 32; ++hops)
        target.setFile(target.symLinkTarget());
    return FromQString(QDir::toNativeSeparators(target.filePath()));
}

#ifndef _WIN32
bool ReadDescriptor(int fd, std::string &bytes) {
    struct stat info {};
    return ReadFd(fd, ::fstat(fd, &info) == 0 ? std::size_t(std::max<off_t>(info.st_size, 0)) : 0,
                  bytes);
}
#endif

TFileSystem &TFileSystem::Current() {
    static TFileSystem system;
    TFileSystem *fs = InUse.load();
    return fs ? *fs : system;
}

TFileSystem::TUse::TUse(TFileSystem &fs) : FOld(InUse.exchange(&fs)) {}

TFileSystem::TUse::~TUse() {
    InUse.store(FOld);
}

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string &fileName) {
    return ToQString(fileName).toStdWString();
}

} // namespace

// The handle shares reading, writing and deletion, and is closed at once: the expert's profile
// API opens the file on every call and must never find it held against a write, and a replace
// must not be refused because of a read.
bool TFileSystem::Read(const std::string &fileName, std::string &bytes) {
    bytes.clear();
    const HANDLE file = CreateFileW(Wide(fileName).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = GetFileType(file) == FILE_TYPE_DISK;
    char buffer[65536];
    for (DWORD got = 0; ok;) {
        ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr);
        if (!ok || got == 0)
            break;
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    if (!ok)
        bytes.clear();
    return ok;
}

int TFileSystem::Write(const TFileHandle &file, std::string_view content) {
    const auto handle = static_cast<HANDLE>(file.Native);
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN))
        return int(GetLastError());
    for (std::size_t at = 0; at < content.size();) {
        DWORD wrote = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - at, 1 << 20));
        if (!WriteFile(handle, content.data() + at, chunk, &wrote, nullptr))
            return int(GetLastError());
        if (wrote == 0)
            return ERROR_WRITE_FAULT;
        at += wrote;
    }
    return SetEndOfFile(handle) ? 0 : int(GetLastError());
}

int TFileSystem::Sync(const TFileHandle &file) {
    return FlushFileBuffers(static_cast<HANDLE>(file.Native)) ? 0 : int(GetLastError());
}

// Written through: the rename is on the disk when it returns.
int TFileSystem::Rename(const std::string &from, const std::string &to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : int(GetLastError());
}

bool TFileSystem::Held(int error) const {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

int TFileSystem::SyncFolder(const std::string &) {
    return 0;
}

bool TFileSystem::WatchTellsWriters(const std::string &) {
    return false;
}

#else

// O_NONBLOCK: a pipe in the file's place must not hold the read up.
bool TFileSystem::Read(const std::string &fileName, std::string &bytes) {
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

int TFileSystem::Write(const TFileHandle &file, std::string_view content) {
    for (std::size_t at = 0; at < content.size();) {
        const ssize_t n =
            ::pwrite(file.Native, content.data() + at, content.size() - at, off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        at += std::size_t(n);
    }
    return ::ftruncate(file.Native, off_t(content.size())) == 0 ? 0 : errno;
}

int TFileSystem::Sync(const TFileHandle &file) {
    return ::fsync(file.Native) == 0 ? 0 : errno;
}

int TFileSystem::Rename(const std::string &from, const std::string &to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool TFileSystem::Held(int) const {
    return false;
}

int TFileSystem::SyncFolder(const std::string &folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

// The kernel's own file systems, whose every write goes through this machine. A network or
// shared folder (NFS, SMB, 9p, a virtual machine's share, FUSE) is written from elsewhere too.
bool TFileSystem::WatchTellsWriters(const std::string &folder) {
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0)
        return false;
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // xfs
    case 0x9123683EUL: // btrfs
    case 0x01021994UL: // tmpfs
    case 0x858458F6UL: // ramfs
    case 0xF2F52010UL: // f2fs
    case 0x2FC12FC1UL: // zfs
    case 0xCA451A4EUL: // bcachefs
    case 0x52654973UL: // reiserfs
    case 0x3153464AUL: // jfs
    case 0x7366746EUL: // ntfs3
    case 0x4D44UL:     // vfat
    case 0x2011BAB0UL: // exfat
    case 0x794C7630UL: // overlayfs
        return true;
    default:
        return false;
    }
}

#endif
