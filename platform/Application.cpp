#include "Application.h"

#include "Conversions.h"

#include <QDir>
#include <QMessageBox>

TApplication *Application = nullptr;

namespace {

// Catches what escapes an event handler and shows it, as the class library's message loop does,
// instead of letting it unwind through Qt.
class TQtApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            if (Application)
                Application->HandleException();
            return false;
        }
    }
};

} // namespace

TApplication::TApplication(int &argc, char **argv) {
    if (!QApplication::instance())
        FQtApp = std::make_unique<TQtApplication>(argc, argv);
    Application = this;
}

TApplication::~TApplication() {
    DestroyForms();
    if (Application == this)
        Application = nullptr;
}

void TApplication::Initialize() {}

void TApplication::Adopt(QWidget *form) {
    if (!FMainForm)
        FMainForm = form;
    FForms.emplace_back(form);
}

void TApplication::Run() {
    if (!FMainForm)
        return;
    FMainForm->show();
    QApplication::exec();
}

void TApplication::DestroyForms() {
    while (!FForms.empty()) {
        delete FForms.back().data();
        FForms.pop_back();
    }
    FMainForm = nullptr;
}

int TApplication::MessageBox(const std::string &text, const std::string &caption, int flags) {
    if (FMessageBoxHook)
        return FMessageBoxHook(text, caption, flags);

    QMessageBox box(QApplication::activeModalWidget() ? QApplication::activeModalWidget()
                                                      : FMainForm);
    box.setWindowTitle(ToQString(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(ToQString(text));
    const bool yesNo = (flags & 0x0F) == MB_YESNO;
    if ((flags & 0xF0) == MB_ICONEXCLAMATION)
        box.setIcon(QMessageBox::Warning);
    if (yesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int pressed = box.exec();
    if (!yesNo)
        return IDOK;
    return pressed == QMessageBox::Yes ? IDYES : IDNO;
}

void TApplication::ShowException(const std::exception &e) {
    const std::string message = e.what();
    if (FExceptionHook) {
        FExceptionHook(message);
        return;
    }
    QMessageBox box(QApplication::activeModalWidget() ? QApplication::activeModalWidget()
                                                      : FMainForm);
    box.setWindowTitle(QApplication::applicationName());
    box.setIcon(QMessageBox::Critical);
    box.setTextFormat(Qt::PlainText);
    box.setText(ToQString(message));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void TApplication::HandleException() {
    try {
        throw;
    } catch (const std::exception &e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception(""));
    }
}

std::string TApplication::ExeName() const {
    if (!FExeName.empty())
        return FExeName;
    // Qt gives '/' on every system; the callers split the path at the platform's delimiter.
    return FromQString(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
}
