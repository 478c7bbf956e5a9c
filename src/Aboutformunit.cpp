#include "Aboutformunit.h"

#include <QBitmap>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>

TAboutForm *AboutForm = nullptr;

// The pictures are compiled into the static forms library; naming the registration function
// here keeps the linker from dropping them from executables that use the library. (The macro
// declares that function, so this must stay outside any namespace.)
static void InitResources() {
    Q_INIT_RESOURCE(kivo);
}

TAboutForm::TAboutForm(QWidget *Owner) : QDialog(Owner) {
    InitResources();
    setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    // The wordmark is an opaque picture; whatever has the colour of its bottom-left pixel is
    // background and lets the dialog's face show through.
    QPixmap picture = Image3->pixmap();
    if (!picture.isNull()) {
        const QImage image = picture.toImage();
        const QColor key = image.pixelColor(0, image.height() - 1);
        picture.setMask(picture.createMaskFromColor(key, Qt::MaskInColor));
        Image3->setPixmap(picture);
    }

    // The texts are laid out for Tahoma. Where another font stands in for it (a system without
    // Tahoma), a label grows to its text's width rather than cut the text off.
    for (QLabel *label : {Label4, Label2, Label3}) {
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        if (needed > label->width())
            label->resize(needed, label->height());
    }

    connect(Button1, &QPushButton::clicked, this, &TAboutForm::Button1Click);
}

void TAboutForm::keyPressEvent(QKeyEvent *event) {
    // There is nothing to cancel, so Esc leaves the box open; only OK and the close box shut it.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TAboutForm::showEvent(QShowEvent *event) {
    // Centred on the screen each time, not over whichever window happens to have the focus.
    if (!event->spontaneous()) {
        if (const QScreen *where = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(where->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QDialog::showEvent(event);
}

void TAboutForm::Button1Click() {
    close();
}

QIcon KivoIcon() {
    InitResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/kivo-%1.png").arg(size), QSize(size, size));
    return icon;
}
