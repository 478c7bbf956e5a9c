#pragma once

#include <QObject>

#include <cstdint>
#include <memory>
#include <string>

// Watches one file that other programs write, and tells, where the system can, whether a writer
// is at work on it now.
//
// On Linux the watch is on the file's folder (a file replaced by a rename stays watched) and
// hears every write as it happens: a file modified and not yet closed by its writer is being
// written. Nothing here opens the file, so no writer can feel the watch. Elsewhere, and on a
// file system written from other machines too, the watch only says that the file changed.
class TFileWatch : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TFileWatch)

public:
    explicit TFileWatch(QObject *parent = nullptr);
    ~TFileWatch() override;

    // The file to watch (the end of its chain of symbolic links); "" for none.
    void SetFile(const std::string &fileName);
    // Watches again what went away: the folder, or the file itself where it is watched.
    void Rewatch();

    struct TState {
        bool Known = false;   // the system tells of writers here
        bool Writing = false; // known: a writer has modified the file and not yet closed it
        // Counts what happened to the file: equal counts mean nothing did in between.
        std::uint64_t Events = 0;
    };
    // The state now, with everything the system has reported so far.
    TState State();

signals:
    // The file was written; its writer may not be done.
    void Modified();
    // A writer closed the file, another file took its name, or it went away: worth reading now.
    void Closed();

private:
    struct TImpl;
    std::unique_ptr<TImpl> d;
};
