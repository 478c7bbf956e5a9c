#include "FileWatch.h"

#include "Conversions.h"
#include "FileSystem.h"

#include <QFileInfo>
#include <QMetaObject>

#include <utility>

#ifdef Q_OS_LINUX
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>
#else
#include <QFileSystemWatcher>
#endif

#ifdef Q_OS_LINUX

// One inotify instance per watch, on the file's folder: events name the file, whichever inode
// holds the name. Reads and opens are not asked for: every read of the expert would wake Kivo.
struct TFileWatch::TImpl {
    static constexpr std::uint32_t Mask = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                          IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                          IN_MOVE_SELF | IN_ONLYDIR;

    TFileWatch *Q;
    int Fd = -1;
    int Wd = -1;
    QSocketNotifier *Notifier = nullptr;
    std::string Folder;
    std::string Name;
    bool Local = false;
    bool Writing = false;
    bool Lost = false; // events were dropped: nothing is known until the writer's next close
    std::uint64_t Events = 0;
    bool Posted = false;
    bool PendingModified = false;
    bool PendingClosed = false;

    explicit TImpl(TFileWatch *q) : Q(q) {
        Fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (Fd < 0)
            return;
        Notifier = new QSocketNotifier(Fd, QSocketNotifier::Read, q);
        QObject::connect(Notifier, &QSocketNotifier::activated, q, [this] { Drain(); });
    }
    ~TImpl() {
        if (Fd >= 0)
            ::close(Fd);
    }

    void Unwatch() {
        if (Wd >= 0)
            ::inotify_rm_watch(Fd, Wd);
        Wd = -1;
    }

    void Watch() {
        if (Fd < 0 || Wd >= 0 || Folder.empty())
            return;
        Wd = ::inotify_add_watch(Fd, Folder.c_str(), Mask);
        if (Wd >= 0) {
            // What happened while nothing was watched is unknown.
            Local = TFileSystem::Current().WatchTellsWriters(Folder);
            Writing = false;
            Lost = false;
            ++Events;
        }
    }

    // Signals go out from the event loop: State() drains inside a refresh or a save.
    void Post(bool modified, bool closed) {
        PendingModified |= modified;
        PendingClosed |= closed;
        if (Posted || !(PendingModified || PendingClosed))
            return;
        Posted = true;
        QMetaObject::invokeMethod(
            Q,
            [this] {
                Posted = false;
                const bool m = std::exchange(PendingModified, false);
                const bool c = std::exchange(PendingClosed, false);
                if (m)
                    emit Q->Modified();
                if (c)
                    emit Q->Closed();
            },
            Qt::QueuedConnection);
    }

    void Drain() {
        if (Fd < 0)
            return;
        alignas(inotify_event) char buffer[16384];
        bool modified = false;
        bool closed = false;
        for (;;) {
            const ssize_t n = ::read(Fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW) {
                    Lost = true;
                    ++Events;
                    closed = true;
                    continue;
                }
                if (event->wd != Wd)
                    continue;
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                    // The folder went: watched again at the next Rewatch.
                    Unwatch();
                    ++Events;
                    closed = true;
                    continue;
                }
                if (event->len == 0 || Name != event->name)
                    continue;
                ++Events;
                if (event->mask & IN_MODIFY) {
                    Writing = true;
                    modified = true;
                }
                if (event->mask &
                    (IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
                    // Closed, or another file (or none) under the name now.
                    Writing = false;
                    Lost = false;
                    closed = true;
                }
            }
        }
        Post(modified, closed);
    }

    void SetFile(const std::string &fileName) {
        Unwatch();
        Folder.clear();
        Name.clear();
        if (fileName.empty())
            return;
        const QFileInfo target(ToQString(LinkTarget(fileName)));
        Folder = FromQString(target.absolutePath());
        Name = FromQString(target.fileName());
        Watch();
    }

    TState State() {
        Drain();
        return {Wd >= 0 && Local && !Lost, Writing, Events};
    }
};

#else

// The system tells only that the file or its folder changed; a replaced file is watched anew
// at the next Rewatch, and the folder's watch notices a new file meanwhile.
struct TFileWatch::TImpl {
    TFileWatch *Q;
    QFileSystemWatcher *Watcher;
    QString File;
    QString Folder;
    std::uint64_t Events = 0;

    explicit TImpl(TFileWatch *q) : Q(q), Watcher(new QFileSystemWatcher(q)) {
        const auto changed = [this] {
            ++Events;
            emit Q->Modified();
        };
        QObject::connect(Watcher, &QFileSystemWatcher::fileChanged, q, changed);
        QObject::connect(Watcher, &QFileSystemWatcher::directoryChanged, q, changed);
    }

    void Watch() {
        if (File.isEmpty())
            return;
        if (!Watcher->directories().contains(Folder) && QFileInfo::exists(Folder))
            Watcher->addPath(Folder);
        // Only a file: a watch holds a folder of that name open, and Windows then cannot
        // delete it.
        if (!Watcher->files().contains(File) && QFileInfo(File).isFile())
            Watcher->addPath(File);
    }

    void SetFile(const std::string &fileName) {
        const QStringList paths = Watcher->files() + Watcher->directories();
        if (!paths.isEmpty())
            Watcher->removePaths(paths);
        File.clear();
        Folder.clear();
        if (fileName.empty())
            return;
        File = ToQString(fileName);
        Folder = QFileInfo(File).absolutePath();
        Watch();
    }

    TState State() { return {false, false, Events}; }
};

#endif

TFileWatch::TFileWatch(QObject *parent) : QObject(parent), d(std::make_unique<TImpl>(this)) {}

TFileWatch::~TFileWatch() = default;

void TFileWatch::SetFile(const std::string &fileName) {
    d->SetFile(fileName);
}

void TFileWatch::Rewatch() {
    d->Watch();
}

TFileWatch::TState TFileWatch::State() {
    return d->State();
}
