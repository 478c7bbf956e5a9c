#pragma once

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

// The open-file dialog: set InitialDir, Filter ("Description (*.ext)|*.ext") and DefaultExt,
// call Execute(); on true, FileName holds the full path the user chose or typed. With
// SelectFolder it chooses an existing folder; with SaveFile it names a file to write.
class TOpenDialog {
public:
    explicit TOpenDialog(QWidget *owner = nullptr) : FOwner(owner) {}

    std::string InitialDir;
    std::string Filter;
    std::string DefaultExt;
    std::string FileName;
    // Chooses a folder instead of a file; FileName is then the folder's full path.
    bool SelectFolder = false;
    // Names a file to write, FileName (when set) proposed; the system's dialog asks before an
    // existing file is chosen.
    bool SaveFile = false;

    // Modal; false when the user cancelled. The file need not exist.
    bool Execute();

    // Test seam: when set, Execute asks it instead of showing a window; nullopt is Cancel.
    using ExecuteHook = std::function<std::optional<std::string>(const TOpenDialog &dialog)>;
    static void SetExecuteHook(ExecuteHook hook);

private:
    QWidget *FOwner;
};
