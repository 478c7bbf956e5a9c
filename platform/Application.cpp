#include "Application.h"

#include "Conversions.h"

#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <QShowEvent>
#include <QWindow>
#include <algorithm>

#include <cstdlib>
#include <utility>

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

// A message box that keeps a rectangle of the screen visible. Its size is final only once
// QMessageBox has laid it out on showing, before the window reaches the screen: it moves then.
class TMessageBox final : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

    QRect Uncovered;

protected:
    void showEvent(QShowEvent *event) override {
        QMessageBox::showEvent(event);
        if (Uncovered.isValid() && !event->spontaneous())
            MoveOffUncovered();
    }

private:
    void MoveOffUncovered() {
        // A window that has never been shown has no frame yet: its owner's is the best guess.
        const QWidget *owner = parentWidget() ? parentWidget()->window() : this;
        const QMargins frame =
            owner->windowHandle() ? owner->windowHandle()->frameMargins() : QMargins();
        const QRect outer = geometry().marginsAdded(frame);
        if (!outer.intersects(Uncovered))
            return;
        constexpr int Gap = 8;
        QRect nearer = outer, farther = outer;
        nearer.moveTop(Uncovered.bottom() + 1 + Gap);
        farther.moveBottom(Uncovered.top() - 1 - Gap);
        if (std::abs(farther.top() - outer.top()) < std::abs(nearer.top() - outer.top()))
            std::swap(nearer, farther);
        // Below or above, the side nearer to where the box was put first; where neither fits on
        // the screen, it stays where it was.
        const QRect room = owner->screen()->availableGeometry();
        for (const QRect &place : {nearer, farther}) {
            if (room.contains(place)) {
                move(place.topLeft()); // a window's position is its frame's
                return;
            }
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

int TApplication::MessageBox(const std::string &text, const std::string &caption, int flags,
                             const QRect &uncovered, const std::string &detail) {
    if (FMessageDetailHook)
        FMessageDetailHook(detail);
    if (FMessageBoxHook)
        return FMessageBoxHook(text, caption, flags);

    TMessageBox box(QApplication::activeModalWidget() ? QApplication::activeModalWidget()
                                                      : FMainForm);
    box.Uncovered = uncovered;
    box.setWindowTitle(ToQString(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(ToQString(text));
    // The informative text, like a tooltip, takes text that looks like markup as rich text.
    if (!detail.empty())
        box.setInformativeText(PlainToolTip(ToQString(detail)));
    const bool yesNo = (flags & MB_TYPEMASK) == MB_YESNO;
    if ((flags & MB_ICONMASK) == MB_ICONEXCLAMATION)
        box.setIcon(QMessageBox::Warning);
    if (yesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        // The mnemonics whatever the platform theme names the buttons.
        box.button(QMessageBox::Yes)->setText(QStringLiteral("&Yes"));
        box.button(QMessageBox::No)->setText(QStringLiteral("&No"));
        // The default button also has the focus, so Enter and Space both press it.
        box.setDefaultButton((flags & MB_DEFMASK) == MB_DEFBUTTON2 ? QMessageBox::No
                                                                   : QMessageBox::Yes);
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

std::vector<std::string> TApplication::Arguments() const {
    if (FArgumentsSet)
        return FArguments;
    std::vector<std::string> arguments;
    const QStringList all = QCoreApplication::arguments();
    for (qsizetype i = 1; i < all.size(); ++i)
        arguments.push_back(FromQString(all[i]));
    return arguments;
}

std::string TApplication::ExeName() const {
    if (!FExeName.empty())
        return FExeName;
    // Qt gives '/' on every system; the callers split the path at the platform's delimiter.
    return FromQString(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
}

void PlaceBesideMainForm(QWidget *window) {
    const QWidget *main = Application ? Application->MainForm() : nullptr;
    if (!main || main == window || !main->isVisible())
        return;
    const QRect beside = main->frameGeometry();
    const QRect screen = main->screen()->availableGeometry();
    const int frame = beside.width() - main->width();
    const int right = screen.right() - beside.right() - frame;
    const int left = beside.left() - screen.left() - frame;
    const int room = std::max(right, left);
    if (room >= window->minimumWidth()) {
        window->resize(std::min(window->width(), room), window->height());
        window->move(right >= left ? beside.right() + 1 : beside.left() - window->width() - frame,
                     beside.top());
    } else {
        window->move(right >= left ? screen.right() - window->width() - frame + 1 : screen.left(),
                     beside.top());
    }
}
