#include "Aboutformunit.h"

#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

static QLabel *label(QWidget &form, const char *name) {
    return form.findChild<QLabel *>(QLatin1String(name));
}

static QPushButton *okButton(QWidget &form) {
    return form.findChild<QPushButton *>(QStringLiteral("Button1"));
}

static bool showAndWait(QWidget &form) {
    form.show();
    return QTest::qWaitForWindowExposed(&form);
}

class TestAbout : public QObject {
    Q_OBJECT

private slots:
    void captionSizeAndFrame();
    void components_data();
    void components();
    void okIsDefaultAndFirstInTabOrder();
    void keys_data();
    void keys();
    void modalRunEndsOnEnterNotOnEscape();
    void closeBoxHidesAndSecondShowingLooksTheSame();
    void centredOnTheScreen();
    void pictureFileIs24BitWithoutAlpha();
    void pictureIsDrawnTransparentFromTopLeft();
    void iconResources_data();
    void iconResources();
};

void TestAbout::captionSizeAndFrame() {
    TAboutForm form(nullptr);
    QCOMPARE(form.windowTitle(), QStringLiteral("About"));
    QCOMPARE(form.size(), QSize(341, 182));
    QCOMPARE(form.minimumSize(), QSize(341, 182));
    QCOMPARE(form.maximumSize(), QSize(341, 182));
    QCOMPARE(form.font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(form.font().pointSize(), 8);

    const Qt::WindowFlags flags = form.windowFlags();
    QCOMPARE(form.windowType(), Qt::Dialog);
    QVERIFY(
        flags.testFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint));
    QVERIFY(!(flags & (Qt::WindowMinMaxButtonsHint | Qt::WindowContextHelpButtonHint)));

    QVERIFY(showAndWait(form));
    QCOMPARE(form.size(), QSize(341, 182));
}

void TestAbout::components_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("place"); // a width of 0: as wide as the text needs
    QTest::addColumn<QString>("text");

    QTest::newRow("Image3") << "Image3" << QRect(8, 8, 121, 49) << QString();
    QTest::newRow("Label4") << "Label4" << QRect(8, 66, 0, 13)
                            << "Watches and changes the external variables of an expert";
    QTest::newRow("Label2") << "Label2" << QRect(8, 85, 0, 13) << "Version 1.2";
    QTest::newRow("Label3") << "Label3" << QRect(8, 104, 0, 13) << "Made by the Kivo developers";
    QTest::newRow("Label1") << "Label1" << QRect(48, 104, 3, 13) << QString();
    QTest::newRow("Button1") << "Button1" << QRect(247, 133, 75, 25) << "OK";
}

void TestAbout::components() {
    QFETCH(QString, name);
    QFETCH(QRect, place);
    QFETCH(QString, text);

    TAboutForm form(nullptr);
    auto *widget = form.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), &form);
    const QRect actual = widget->geometry();
    QCOMPARE(actual.topLeft(), place.topLeft());
    QCOMPARE(actual.height(), place.height());
    if (place.width() > 0) {
        QCOMPARE(actual.width(), place.width());
    } else {
        QVERIFY(actual.width() >= widget->fontMetrics().horizontalAdvance(text));
        QVERIFY(actual.right() < form.width());
    }

    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QCOMPARE(button->text(), text);
    } else {
        auto *shown = qobject_cast<QLabel *>(widget);
        QVERIFY(shown);
        QCOMPARE(shown->text(), text);
        QCOMPARE(shown->textFormat(), Qt::PlainText);
    }
}

void TestAbout::okIsDefaultAndFirstInTabOrder() {
    TAboutForm form(nullptr);
    QPushButton *ok = okButton(form);
    QVERIFY(ok);
    QVERIFY(ok->isDefault());

    // Nothing but the button takes the focus, so it is first, and it has the focus on showing.
    for (QWidget *child : form.findChildren<QWidget *>())
        QCOMPARE(bool(child->focusPolicy() & Qt::TabFocus), child == ok);
    QVERIFY(showAndWait(form));
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(form.focusWidget(), ok);
}

void TestAbout::keys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("toButton");
    QTest::addColumn<bool>("closes");

    QTest::newRow("Return to the form") << int(Qt::Key_Return) << false << true;
    QTest::newRow("Enter to the form") << int(Qt::Key_Enter) << false << true;
    QTest::newRow("Return to the button") << int(Qt::Key_Return) << true << true;
    QTest::newRow("Escape to the form") << int(Qt::Key_Escape) << false << false;
    QTest::newRow("Escape to the button") << int(Qt::Key_Escape) << true << false;
}

void TestAbout::keys() {
    QFETCH(int, key);
    QFETCH(bool, toButton);
    QFETCH(bool, closes);

    TAboutForm form(nullptr);
    QSignalSpy rejected(&form, &QDialog::rejected);
    QVERIFY(showAndWait(form));
    QWidget *target = toButton ? static_cast<QWidget *>(okButton(form)) : &form;
    QTest::keyClick(target, Qt::Key(key));
    QCOMPARE(form.isVisible(), !closes);
    QCOMPARE(rejected.count(), closes ? 1 : 0);
}

// The main window runs the box with exec(); keys arrive from inside that loop.
void TestAbout::modalRunEndsOnEnterNotOnEscape() {
    TAboutForm form(nullptr);
    bool openAfterEscape = false;
    bool openAfterEnter = true;
    QTimer::singleShot(0, &form, [&] {
        QTest::keyClick(&form, Qt::Key_Escape);
        openAfterEscape = form.isVisible();
        QTest::keyClick(&form, Qt::Key_Return);
        openAfterEnter = form.isVisible();
        if (openAfterEnter)
            form.done(-1); // so that a failure ends the loop instead of hanging the test
    });
    QCOMPARE(form.exec(), int(QDialog::Rejected));
    QVERIFY(openAfterEscape);
    QVERIFY(!openAfterEnter);
}

void TestAbout::closeBoxHidesAndSecondShowingLooksTheSame() {
    TAboutForm form(nullptr);
    QVERIFY(showAndWait(form));
    const QImage first = form.grab().toImage();
    const QImage firstPicture = label(form, "Image3")->pixmap().toImage();
    // The button's look follows whether the window is active, which a test running beside this
    // one may change: everything else must look the same.
    const QRect button = form.findChild<QWidget *>("Button1")->geometry();
    const auto withoutButton = [&](QImage image) {
        QPainter(&image).fillRect(button, Qt::black);
        return image;
    };

    QVERIFY(form.close());
    QVERIFY(!form.isVisible());

    QVERIFY(showAndWait(form));
    QCOMPARE(label(form, "Image3")->pixmap().toImage(), firstPicture);
    QCOMPARE(withoutButton(form.grab().toImage()), withoutButton(first));
}

void TestAbout::centredOnTheScreen() {
    TAboutForm form(nullptr);
    QVERIFY(showAndWait(form));
    const QPoint middle = form.screen()->availableGeometry().center();
    QVERIFY((form.frameGeometry().center() - middle).manhattanLength() <= 1);

    // Moved away and shown again, it comes back to the middle.
    form.hide();
    form.move(middle / 4);
    QVERIFY(showAndWait(form));
    QVERIFY((form.frameGeometry().center() - middle).manhattanLength() <= 1);
}

void TestAbout::pictureFileIs24BitWithoutAlpha() {
    QFile file(QStringLiteral(":/about/wordmark.bmp"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.read(54);
    QVERIFY(data.size() == 54 && data.startsWith("BM"));
    const auto word = [&data](int at) {
        return quint8(data[at]) | quint8(data[at + 1]) << 8;
    };
    QCOMPARE(word(18), 120); // width
    QCOMPARE(word(22), 50);  // height
    QCOMPARE(word(28), 24);  // bits per pixel
    QVERIFY(!QImage(file.fileName()).hasAlphaChannel());
}

void TestAbout::pictureIsDrawnTransparentFromTopLeft() {
    TAboutForm form(nullptr);
    QVERIFY(showAndWait(form));
    QLabel *image3 = label(form, "Image3");
    const QColor face = form.palette().color(QPalette::Window);
    const QImage source(QStringLiteral(":/about/wordmark.bmp"));
    const QColor key = source.pixelColor(0, source.height() - 1);
    QVERIFY(face != key); // or a transparent pixel could not be told from paper
    QVERIFY(!image3->pixmap().mask().isNull());

    const QImage shown = image3->grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (shown.devicePixelRatio() != 1.0)
        QSKIP("The pixel comparison needs a device pixel ratio of 1");
    QCOMPARE(shown.size(), QSize(121, 49));

    // Paper near the bottom-left shows the face; the K's stem does not.
    QCOMPARE(shown.pixelColor(1, 47), face);
    QVERIFY(source.pixelColor(10, 25) != key);
    QCOMPARE(shown.pixelColor(10, 25), source.pixelColor(10, 25));

    // Every pixel: unscaled from the top-left corner, the bottom row cut off, face round it.
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            const QColor paper = x < source.width() ? source.pixelColor(x, y) : key;
            const QColor expected = paper == key ? face : paper;
            if (shown.pixelColor(x, y) != expected)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, expected %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(shown.pixelColor(x, y).name(), expected.name())));
        }
    }
}

void TestAbout::iconResources_data() {
    QTest::addColumn<int>("size");
    for (const int size : {16, 32, 48, 256})
        QTest::addRow("%d", size) << size;
}

void TestAbout::iconResources() {
    QFETCH(int, size);
    const QImage image(QStringLiteral(":/icons/kivo-%1.png").arg(size));
    QCOMPARE(image.size(), QSize(size, size));
    // Transparent in the corner outside the rounded tile, opaque in the middle.
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);

    const QIcon icon = KivoIcon();
    QVERIFY(icon.availableSizes().contains(QSize(size, size)));
    constexpr auto premultiplied = QImage::Format_ARGB32_Premultiplied;
    QCOMPARE(icon.pixmap(QSize(size, size)).toImage().convertToFormat(premultiplied),
             image.convertToFormat(premultiplied));
}

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
