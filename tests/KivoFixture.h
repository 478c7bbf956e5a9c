#pragma once

// Drives the real forms the way a user would, with scripted answers to message boxes and the
// open dialog, in a temporary folder that stands in for the executable's directory. The user's
// configuration folder is the folder "config" in it, so that no test touches the real one.

#include "Aboutformunit.h"
#include "Application.h"
#include "FileSystem.h"
#include "Grid.h"
#include "Historyformunit.h"
#include "Mainformunit.h"
#include "OpenDialog.h"
#include "Varchangeformunit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#endif

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TShownMessage {
    std::string Text;
    std::string Caption;
    int Flags = 0;
    std::string Detail;
};

class TKivoFixture {
public:
    TKivoFixture() {
        static int argc = 1;
        static char name[] = "kivo";
        static char *argv[] = {name, nullptr};
        if (!Application)
            FApp = std::make_unique<TApplication>(argc, argv);
        Application->SetExeName(Path("kivo"));
        Application->SetArguments({}); // not the test runner's own
        FOldConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(QString::fromStdString(Path("config"))));
        // The journal too: the user's data folder is the folder "data".
        FOldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(QString::fromStdString(Path("data"))));
        Application->SetMessageDetailHook([this](const std::string &detail) { FDetail = detail; });
        Application->SetMessageBoxHook(
            [this](const std::string &text, const std::string &caption, int flags) {
                Messages.push_back({text, caption, flags, std::exchange(FDetail, {})});
                if (OnMessage)
                    OnMessage(Messages.back());
                if ((flags & MB_TYPEMASK) != MB_YESNO)
                    return IDOK;
                if (Answers.empty()) {
                    UnexpectedQuestions.push_back(text);
                    return IDNO;
                }
                const int answer = Answers.front();
                Answers.pop_front();
                return answer;
            });
        Application->SetExceptionHook(
            [this](const std::string &message) { Exceptions.push_back(message); });
        TOpenDialog::SetExecuteHook([this](const TOpenDialog &dialog) {
            OpenInitialDirs.push_back(dialog.InitialDir);
            return OpenAnswer;
        });
    }

    ~TKivoFixture() {
        Application->DestroyForms();
        MainForm = nullptr;
        HistoryForm = nullptr;
        AboutForm = nullptr;
        VarChangeForm = nullptr;
        Application->SetMessageBoxHook({});
        Application->SetMessageDetailHook({});
        Application->SetExceptionHook({});
        TOpenDialog::SetExecuteHook({});
        for (const auto &[name, old] : {std::pair{"XDG_CONFIG_HOME", FOldConfigHome},
                                        std::pair{"XDG_DATA_HOME", FOldDataHome}}) {
            if (old.isNull())
                qunsetenv(name);
            else
                qputenv(name, old);
        }
    }

    TKivoFixture(const TKivoFixture &) = delete;
    TKivoFixture &operator=(const TKivoFixture &) = delete;

    // Creates the three forms as the entry point does; Show runs FormShow.
    void Create() {
        FCreated = true;
        Application->CreateForm(MainForm);
        Application->CreateForm(AboutForm);
        Application->CreateForm(VarChangeForm);
    }
    void Show() {
        if (!FCreated)
            Create();
        MainForm->show();
    }

    std::string Path(const std::string &name) const {
        return QDir(Dir.path()).filePath(QString::fromStdString(name)).toStdString();
    }
    void Write(const std::string &name, const std::string &content) const {
        QFile file(QString::fromStdString(Path(name)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content.data(), qint64(content.size()));
    }
    std::string Read(const std::string &name) const {
        QFile file(QString::fromStdString(Path(name)));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return file.readAll().toStdString();
    }
    bool Exists(const std::string &name) const {
        return QFileInfo::exists(QString::fromStdString(Path(name)));
    }

    // Runs a handler the way the message loop does: an escaping exception is shown.
    template <class F> void Handle(F handler) { Guarded(handler)(); }

    QTemporaryDir Dir;
    std::vector<TShownMessage> Messages;
    std::deque<int> Answers;
    std::vector<std::string> UnexpectedQuestions;
    std::vector<std::string> Exceptions;
    std::function<void(const TShownMessage &)> OnMessage;
    std::optional<std::string> OpenAnswer;
    std::vector<std::string> OpenInitialDirs;

private:
    std::unique_ptr<TApplication> FApp;
    bool FCreated = false;
    std::string FDetail; // of the message box being answered
    QByteArray FOldConfigHome;
    QByteArray FOldDataHome;
};

// Puts the user's own configuration folder, where the per-user kivo.ini lives, into folder for
// as long as it lives: XDG_CONFIG_HOME on Linux, the roaming folder (%APPDATA%) that the user's
// shell folders name in the registry on Windows.
class TConfigFolder {
public:
    explicit TConfigFolder(const QString &folder) {
#ifdef Q_OS_WIN
        DWORD size = sizeof FOld;
        FMoved = RegGetValueW(HKEY_CURRENT_USER, ShellFolders, L"AppData",
                              RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, FOld,
                              &size) == ERROR_SUCCESS &&
                 Set(QDir::toNativeSeparators(folder).toStdWString().c_str());
#else
        FOld = qgetenv("XDG_CONFIG_HOME");
        FMoved = qputenv("XDG_CONFIG_HOME", folder.toUtf8());
#endif
    }
    ~TConfigFolder() {
#ifdef Q_OS_WIN
        if (FMoved)
            Set(FOld);
#else
        qputenv("XDG_CONFIG_HOME", FOld);
#endif
    }
    TConfigFolder(const TConfigFolder &) = delete;
    TConfigFolder &operator=(const TConfigFolder &) = delete;
    bool Moved() const {
        return FMoved;
    }

private:
#ifdef Q_OS_WIN
    static constexpr const wchar_t *ShellFolders =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static bool Set(const wchar_t *path) {
        return RegSetKeyValueW(HKEY_CURRENT_USER, ShellFolders, L"AppData", REG_EXPAND_SZ, path,
                               DWORD((wcslen(path) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    wchar_t FOld[MAX_PATH] = {};
#else
    QByteArray FOld;
#endif
    bool FMoved = false;
};

// The system's file operations, but a call that Fails names (the operation, and the file or
// folder it works on) fails as a faulty disk would, for as long as it is in use.
class TFaultyFileSystem : public TFileSystem {
public:
#ifdef Q_OS_WIN
    static constexpr int Error = ERROR_WRITE_FAULT;
#else
    static constexpr int Error = EIO;
#endif
    std::function<bool(const std::string &operation, const std::string &name)> Fails;

    int Write(const TFileHandle &file, std::string_view content) override {
        return Fault("write", file.Name) ? Error : TFileSystem::Write(file, content);
    }
    int Sync(const TFileHandle &file) override {
        return Fault("sync", file.Name) ? Error : TFileSystem::Sync(file);
    }
    int Rename(const std::string &from, const std::string &to) override {
        return Fault("rename", to) ? Error : TFileSystem::Rename(from, to);
    }
    int SyncFolder(const std::string &folder) override {
        return Fault("sync folder", folder) ? Error : TFileSystem::SyncFolder(folder);
    }

private:
    bool Fault(const std::string &operation, const std::string &name) const {
        return Fails && Fails(operation, name);
    }
    TUse FInUse{*this};
};

// A project file of the layout the expert writes: CRLF, one section.
struct TProjectVar {
    std::string Title;
    int Type = 0;
    int Status = 0;
    std::string Value;
};

// A change of the value of the variable in slot index, which holds slot.
inline TVarChange ValueChange(int index, const TVarEntry &slot, const std::string &value) {
    TVarChange change;
    change.Index = index;
    change.Title = slot.Title;
    change.Type = slot.Type;
    change.SetsValue = true;
    change.Value = value;
    return change;
}

// Writes a whole file at a path of its own; false when any of it is not written.
inline bool WriteText(const std::string &path, const std::string &text) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(text.data(), qint64(text.size())) == qint64(text.size());
}

inline std::string ProjectText(const std::vector<TProjectVar> &vars, int count = -1) {
    std::string text =
        "[Kivo 1.0]\r\nVar_Cnt=" + std::to_string(count < 0 ? int(vars.size()) : count) + "\r\n";
    for (size_t i = 0; i < vars.size(); ++i) {
        const std::string n = "Var" + std::to_string(i + 1);
        text += n + "_Title=" + vars[i].Title + "\r\n";
        text += n + "_Type=" + std::to_string(vars[i].Type) + "\r\n";
        text += n + "_Status=" + std::to_string(vars[i].Status) + "\r\n";
        text += n + "_Value=" + vars[i].Value + "\r\n";
    }
    return text;
}

inline QTableWidget *Grid() {
    return MainForm->findChild<QTableWidget *>("StringGrid1");
}

// Plays a user at the change dialog that a double-click opens: each step runs inside its modal
// loop, in order; whatever is still open at the end is cancelled so that a failing test cannot
// hang.
inline void RunDialog(TKivoFixture &f, std::vector<std::function<void()>> steps) {
    auto queue = std::make_shared<std::deque<std::function<void()>>>(steps.begin(), steps.end());
    auto next = std::make_shared<std::function<void()>>();
    auto schedule = [next] {
        QTimer::singleShot(0, [next] {
            if (*next)
                (*next)();
        });
    };
    *next = [queue, schedule] {
        if (!VarChangeForm->isVisible())
            return;
        if (queue->empty()) {
            VarChangeForm->reject();
            return;
        }
        auto step = queue->front();
        queue->pop_front();
        step();
        schedule();
    };
    schedule();
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    *next = nullptr;
}

inline QLineEdit *Edit1() {
    return VarChangeForm->findChild<QLineEdit *>("Edit1");
}

// Dialog steps: type a text into the edit box, press OK.
inline auto Type(const QString &text) {
    return [text] {
        Edit1()->setText(text);
    };
}
inline auto PressOk() {
    return [] {
        QTest::mouseClick(VarChangeForm->findChild<QPushButton *>("Button1"), Qt::LeftButton);
    };
}

// The four cells of a grid row, row 0 being the header.
using Cells = std::vector<std::string>;
inline Cells Row(int row) {
    Cells cells;
    for (int col = 0; col < 4; ++col)
        cells.push_back(GridCell(Grid(), col, row));
    return cells;
}

// A small project with one variable of each kind the grid shows differently.
inline const std::vector<TProjectVar> FiveVars = {
    {"Alpha", 0, 0, "1"},   {"Beta", 3, 1, "0.25"}, {"Gamma", 5, 2, "run"},
    {"Delta", 2, 0, "007"}, {"Eps", 1, 0, "text"},
};
