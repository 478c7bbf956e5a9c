// The refresh takes the table parsed last again while the file is unchanged, and the grid
// compares a cell's text before converting it: neither may show anything but what the file holds.
#include "KivoFixture.h"

#include "CodePage.h"
#include "Conversions.h"
#include "Grid.h"

#include <QTableWidget>

namespace {

void Open(TKivoFixture &f, const std::string &content) {
    f.Write("p.kvo", content);
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
}

} // namespace

class TestRefresh : public QObject {
    Q_OBJECT

private slots:
    void unchangedFile_tableAndGridStillFollowTheFile();
    void cellText_followsTheFile_data();
    void cellText_followsTheFile();
};

void TestRefresh::unchangedFile_tableAndGridStillFollowTheFile() {
    TKivoFixture f;
    Open(f, ProjectText(FiveVars));
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, 5);

    // The table changed in memory while the file did not: the next tick puts the file's back.
    MainForm->Vars[1].Title = "Zeta";
    MainForm->Vars[1].Value = "9.5";
    MainForm->VarCount = 2;
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, 5);
    QCOMPARE(MainForm->Vars[1].Title, std::string("Beta"));
    QCOMPARE(MainForm->Vars[1].Value, std::string("0.25"));

    // Closed, then the same unchanged file opened again: the next tick fills the grid again.
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->Close1Click(); });
    QCOMPARE(GridRowCount(Grid()), 2);
    f.OpenAnswer = f.Path("p.kvo");
    f.Handle([] { MainForm->Open1Click(); });
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(MainForm->VarCount, 0);
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, 5);
    QCOMPARE(GridRowCount(Grid()), 6);
    QCOMPARE(Row(2), (Cells{"Beta", "double", "changed by Kivo", "0.25"}));

    // Another content and back: each tick shows the content of that moment.
    std::vector<TProjectVar> other = FiveVars;
    other[3].Value = "8";
    f.Write("p.kvo", ProjectText(other));
    MainForm->Timer1Timer();
    QCOMPARE(Row(4)[3], std::string("8"));
    f.Write("p.kvo", ProjectText(FiveVars));
    MainForm->Timer1Timer();
    QCOMPARE(Row(4)[3], std::string("007"));
    QCOMPARE(MainForm->Vars[3].Value, std::string("007"));

    // Reloaded from the unchanged file: the reset grid is filled again.
    MainForm->LoadProject();
    QCOMPARE(Row(5), (Cells{"Eps", "string", "idle", "text"}));
    QVERIFY(f.Exceptions.empty());
}

void TestRefresh::cellText_followsTheFile_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("ASCII to other ASCII") << QByteArray("abc") << QByteArray("abd");
    QTest::newRow("ASCII to non-ASCII") << QByteArray("cafe") << QByteArray("caf\xE9");
    QTest::newRow("non-ASCII to other non-ASCII") << QByteArray("caf\xE9") << QByteArray("caf\xE8");
    QTest::newRow("non-ASCII to ASCII") << QByteArray("caf\xE9") << QByteArray("cafe");
    // Two bytes that read as one letter in UTF-8 are two letters in the project's code page.
    QTest::newRow("UTF-8 bytes of the letter") << QByteArray("\xE9") << QByteArray("\xC3\xA9");
    QTest::newRow("to empty") << QByteArray("x") << QByteArray("");
}

void TestRefresh::cellText_followsTheFile() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    const auto project = [](const QByteArray &text) {
        return ProjectText({{"T" + text.toStdString(), 1, 0, text.toStdString()}});
    };
    const auto shown = [](int col) {
        return Grid()->item(0, col) ? Grid()->item(0, col)->text() : QString();
    };

    TKivoFixture f;
    Open(f, project(before));
    QCOMPARE(shown(0), ProjectToQString("T" + before.toStdString()));
    QCOMPARE(shown(3), ProjectToQString(before.toStdString()));

    f.Write("p.kvo", project(after));
    MainForm->Timer1Timer();
    QCOMPARE(shown(0), ProjectToQString("T" + after.toStdString()));
    QCOMPARE(shown(3), ProjectToQString(after.toStdString()));
}

QTEST_MAIN(TestRefresh)
#include "tst_refresh.moc"
