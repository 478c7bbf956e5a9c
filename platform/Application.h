#pragma once

#include "Exception.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Message box flags and results, as the callers pass and test them: the buttons (MB_TYPEMASK),
// the icon and the default button (the first unless MB_DEFBUTTON2 makes it the second).
constexpr int MB_OK = 0;
constexpr int MB_YESNO = 4;
constexpr int MB_ICONEXCLAMATION = 48;
constexpr int MB_DEFBUTTON2 = 0x100;
constexpr int MB_TYPEMASK = 0x0F;
constexpr int MB_ICONMASK = 0xF0;
constexpr int MB_DEFMASK = 0xF00;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The application object: owns the forms, runs the message loop, shows messages and errors.
class TApplication {
public:
    TApplication(int &argc, char **argv);
    ~TApplication();
    TApplication(const TApplication &) = delete;
    TApplication &operator=(const TApplication &) = delete;

    void Initialize();
    bool MainFormOnTaskBar = false;

    // Builds a form, stores it in the variable and takes ownership; the first is the main form.
    template <class TForm> void CreateForm(TForm *&variable) {
        variable = new TForm(nullptr);
        Adopt(variable);
    }
    // Shows the main form and runs the message loop until it is closed.
    void Run();
    // Destroys the forms in the reverse order of their creation.
    void DestroyForms();

    // A modal box with the text shown as plain text; returns IDOK, IDYES or IDNO. Yes and No
    // answer to Alt+Y and Alt+N. A valid uncovered (in global coordinates) is left visible: the
    // box moves above or below it where the screen has room. A detail goes as a second
    // paragraph under the text, for what the text alone leaves open.
    int MessageBox(const std::string &text, const std::string &caption, int flags,
                   const QRect &uncovered = QRect(), const std::string &detail = std::string());
    // The standard exception display: a modal box with the exception's message.
    void ShowException(const std::exception &e);
    // Shows whatever is being handled now (call from a catch block).
    void HandleException();

    // Full path of the running executable.
    std::string ExeName() const;
    // The command line's arguments after the program's name (those of the toolkit taken out),
    // in UTF-8.
    std::vector<std::string> Arguments() const;

    QWidget *MainForm() const { return FMainForm; }

    // Test seam: answer message boxes and exception displays without a window.
    using MessageBoxHook =
        std::function<int(const std::string &text, const std::string &caption, int flags)>;
    // Told each message box's detail (empty for none) just before the box is shown or answered.
    using MessageDetailHook = std::function<void(const std::string &detail)>;
    using ExceptionHook = std::function<void(const std::string &message)>;
    void SetMessageBoxHook(MessageBoxHook hook) { FMessageBoxHook = std::move(hook); }
    void SetMessageDetailHook(MessageDetailHook hook) { FMessageDetailHook = std::move(hook); }
    void SetExceptionHook(ExceptionHook hook) { FExceptionHook = std::move(hook); }
    void SetExeName(std::string path) { FExeName = std::move(path); }
    void SetArguments(std::vector<std::string> arguments) {
        FArguments = std::move(arguments);
        FArgumentsSet = true;
    }

private:
    void Adopt(QWidget *form);

    std::unique_ptr<QApplication> FQtApp;
    std::vector<QPointer<QWidget>> FForms;
    QWidget *FMainForm = nullptr;
    MessageBoxHook FMessageBoxHook;
    MessageDetailHook FMessageDetailHook;
    ExceptionHook FExceptionHook;
    std::string FExeName;
    std::vector<std::string> FArguments;
    bool FArgumentsSet = false;
};

extern TApplication *Application;

// Places a window about to be shown for the first time beside the main form, so that both show:
// on the side with room, made narrower where that keeps it beside (down to its minimum width);
// otherwise against the screen's edge on the side where the main form leaves more.
void PlaceBesideMainForm(QWidget *window);

// Wraps an event handler so that an exception escaping it is shown by the application object
// and the message loop goes on, as the class library's loop does.
template <class F> auto Guarded(F handler) {
    return [handler](auto &&...) {
        try {
            handler();
        } catch (...) {
            Application->HandleException();
        }
    };
}
