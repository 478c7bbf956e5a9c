#include "KivoFixture.h"

#include "CodePage.h"
#include "Conversions.h"
#include "Grid.h"
#include "IniFile.h"

#include <QMenu>
#include <QMimeData>
#include <QScopeGuard>
#include <QTableWidget>
#include <QToolTip>
#include <QWindow>

#include <map>
#include <random>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <unistd.h>
#endif

// Where the open dialog starts without a terminal folder: the user's home.
static std::string Home() {
    return FromQString(QDir::toNativeSeparators(QDir::homePath()));
}

// Where the open dialog starts below the terminal's folder, in the platform's delimiter.
#ifdef Q_OS_WIN
static const std::string ExpertFiles = "\\experts\\files\\";
#else
static const std::string ExpertFiles = "/experts/files/";
#endif

class TestMainForm : public QObject {
    Q_OBJECT

private slots:
    void firstStart_withoutSettings_opensNothingAndSaysNothing();
    void startUp_rememberedProject_data();
    void startUp_rememberedProject();
    void open_acceptsOnlyProjectFiles();
    void close_asksOnlyWhenOpen();
    void tick_showsWhatTheFileHolds();
    void tick_countChanges_keepHeaderAndTable();
    void timer_showsAnotherWritersChange();
    void tooltip_showsTheWholeTextOfACutOffCell();
    void settingsWriteFailure_openIsAllOrNothing();
    void settingsFile_besideExeOrPerUser();
    void caption_showsFileNameLiterally();
    void codePage_isReadFromSettingsAtStart();
    void unicodeFolder_settingsProjectAndSave();
    void openFromOutside_recentAndTerminalFolder();
};

void TestMainForm::firstStart_withoutSettings_opensNothingAndSaysNothing() {
    TKivoFixture f;
    f.Show();
    QCOMPARE(MainForm->windowTitle(), QString("Kivo"));
    QCOMPARE(GridRowCount(Grid()), 2);
    QCOMPARE(Row(0), (Cells{"Variable", "Type", "Status", "Value"}));
    QCOMPARE(Row(1), (Cells{"", "", "", ""}));
    QVERIFY(f.Messages.empty());
    QVERIFY(!MainForm->ProjectOpen);

    f.Handle([] { MainForm->Open1Click(); });
    QCOMPARE(f.OpenInitialDirs, (std::vector<std::string>{Home()}));
    QVERIFY(!f.Exists("kivo.ini"));
    QCOMPARE(MainForm->windowTitle(), QString("Kivo"));

    // The grid is the fixed size the window was designed for.
    QCOMPARE(MainForm->centralWidget()->size(), QSize(734, 403));
    QCOMPARE(Grid()->geometry(), QRect(16, 16, 705, 349)); // the status line below it
    QCOMPARE(Grid()->columnWidth(3), 318);
}

void TestMainForm::startUp_rememberedProject_data() {
    QTest::addColumn<QByteArray>("project"); // empty: the file is missing
    QTest::addColumn<bool>("opens");

    QTest::newRow("valid") << QByteArray::fromStdString(ProjectText(FiveVars)) << true;
    QTest::newRow("capital section, count zero")
        << QByteArray("[KIVO 1.0]\r\nVar_Cnt=0\r\n") << true;
    QTest::newRow("deleted") << QByteArray() << false;
    QTest::newRow("without Var_Cnt") << QByteArray("[Kivo 1.0]\r\nVar1_Title=A\r\n") << false;
    QTest::newRow("Var_Cnt=false") << QByteArray("[Kivo 1.0]\r\nVar_Cnt=false\r\n") << false;
    QTest::newRow("Var_Cnt=abc") << QByteArray("[Kivo 1.0]\r\nVar_Cnt=abc\r\n") << true;
}

void TestMainForm::startUp_rememberedProject() {
    QFETCH(QByteArray, project);
    QFETCH(bool, opens);

    TKivoFixture f;
    if (!project.isEmpty())
        f.Write("p.kvo", project.toStdString());
    const std::string settings = "[kivo]\r\nMTPath=C:\\Term\r\nProject=" + f.Path("p.kvo") + "\r\n";
    f.Write("kivo.ini", settings);
    f.Show();

    QCOMPARE(MainForm->ProjectOpen, opens);
    QCOMPARE(MainForm->ProjectPath, f.Path("p.kvo"));
    QCOMPARE(MainForm->MTPath, std::string("C:\\Term"));
    QCOMPARE(f.Read("kivo.ini"), settings); // start-up writes nothing
    if (opens) {
        QVERIFY(f.Messages.empty());
        QCOMPARE(MainForm->windowTitle(), QString("Kivo - p.kvo"));
        QCOMPARE(GridRowCount(Grid()), MainForm->VarCount + 1);
    } else {
        QCOMPARE(f.Messages.size(), size_t(1));
        QCOMPARE(f.Messages[0].Text, std::string("Associated project file p.kvo is not found."));
        QCOMPARE(f.Messages[0].Caption, std::string("Warning"));
        QCOMPARE(f.Messages[0].Flags, MB_OK);
        QCOMPARE(MainForm->windowTitle(), QString("Kivo"));
        QCOMPARE(GridRowCount(Grid()), 2);
        // Ticks do nothing while the remembered project is not open.
        MainForm->Timer1Timer();
        QCOMPARE(GridRowCount(Grid()), 2);
    }
}

void TestMainForm::open_acceptsOnlyProjectFiles() {
    TKivoFixture f;
    f.Write("kivo.ini", "[Kivo]\r\nMTPath=/opt/term\r\nProject=\r\n");
    f.Write("a.kvo", ProjectText(FiveVars));
    f.Write("b.kvo", ProjectText({{"Other", 9, 7, "x"}}));
    f.Write("notes.kvo", "[Other]\r\nVar_Cnt=3\r\n");
    f.Show();

    // Cancelled: nothing changes.
    f.OpenAnswer.reset();
    f.Handle([] { MainForm->Open1Click(); });
    QCOMPARE(f.OpenInitialDirs.back(), Home()); // no such terminal folder
    QVERIFY(!MainForm->ProjectOpen);

    // A valid project: recorded, remembered, captioned; the grid waits for the next tick.
    f.OpenAnswer = f.Path("a.kvo");
    f.Handle([] { MainForm->Open1Click(); });
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(MainForm->windowTitle(), QString("Kivo - a.kvo"));
    QCOMPARE(Row(1), (Cells{"", "", "", ""}));
    QCOMPARE(f.Read("kivo.ini"), "[Kivo]\r\nMTPath=/opt/term\r\nProject=" + f.Path("a.kvo") +
                                     "\r\nRecent1=" + f.Path("a.kvo") + "\r\n");
    MainForm->Timer1Timer();
    QCOMPARE(Row(1), (Cells{"Alpha", "boolean", "idle", "true"}));

    // Not a project file, or a typed name that does not exist: refused, the open one stays.
    for (const std::string name : {"notes.kvo", "missing.kvo"}) {
        f.Messages.clear();
        f.OpenAnswer = f.Path(name);
        f.Handle([] { MainForm->Open1Click(); });
        QCOMPARE(f.Messages.size(), size_t(1));
        QCOMPARE(f.Messages[0].Text, std::string("Project file is not correct"));
        QCOMPARE(f.Messages[0].Flags, MB_ICONEXCLAMATION);
        QCOMPARE(MainForm->ProjectPath, f.Path("a.kvo"));
        QCOMPARE(MainForm->windowTitle(), QString("Kivo - a.kvo"));
        QCOMPARE(MainForm->VarCount, 5);
    }

    // Another project while one is open: no question; no row of the old one stays, and nothing
    // of it can be acted on.
    f.Messages.clear();
    f.OpenAnswer = f.Path("b.kvo");
    f.Handle([] { MainForm->Open1Click(); });
    QVERIFY(f.Messages.empty());
    QCOMPARE(MainForm->windowTitle(), QString("Kivo - b.kvo"));
    QCOMPARE(GridRowCount(Grid()), 2);
    QCOMPARE(Row(1), (Cells{"", "", "", ""}));
    QCOMPARE(MainForm->VarCount, 0);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QVERIFY(f.Messages.empty());
    QCOMPARE(f.Read("a.kvo"), ProjectText(FiveVars));
    MainForm->Timer1Timer();
    QCOMPARE(GridRowCount(Grid()), 2);
    QCOMPARE(Row(1), (Cells{"Other", "", "", "x"})); // no word of a's row for codes without one
    QVERIFY(f.Exceptions.empty());
}

void TestMainForm::close_asksOnlyWhenOpen() {
    TKivoFixture f;
    f.Write("a.kvo", ProjectText(FiveVars));
    const std::string remembered = "[Kivo]\r\nMTPath=/t\r\nProject=" + f.Path("a.kvo") + "\r\n";
    f.Write("kivo.ini", remembered);
    f.Show();
    QVERIFY(MainForm->ProjectOpen);

    // No: nothing changes, nothing is written.
    f.Answers.push_back(IDNO);
    f.Handle([] { MainForm->Close1Click(); });
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Text, std::string("Do you want to close project?"));
    QCOMPARE(f.Messages[0].Flags, MB_YESNO);
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(f.Read("kivo.ini"), remembered);
    QCOMPARE(GridRowCount(Grid()), 6);

    // Yes: the grid is reset, the project forgotten, MTPath written back as read.
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->Close1Click(); });
    QVERIFY(!MainForm->ProjectOpen);
    QCOMPARE(MainForm->VarCount, 0);
    QCOMPARE(MainForm->windowTitle(), QString("Kivo"));
    QCOMPARE(GridRowCount(Grid()), 2);
    QCOMPARE(Row(1), (Cells{"", "", "", ""}));
    QCOMPARE(f.Read("kivo.ini"), std::string("[Kivo]\r\nMTPath=/t\r\nProject=\r\n"));
    MainForm->Timer1Timer();
    QCOMPARE(GridRowCount(Grid()), 2);

    // With nothing open: no question, and a settings file is written all the same.
    f.Messages.clear();
    QVERIFY(QFile::remove(QString::fromStdString(f.Path("kivo.ini"))));
    f.Handle([] { MainForm->Close1Click(); });
    QVERIFY(f.Messages.empty());
    QCOMPARE(f.Read("kivo.ini"), std::string("[Kivo]\r\nMTPath=/t\r\nProject=\r\n"));
    QVERIFY(f.UnexpectedQuestions.empty());
}

void TestMainForm::tick_showsWhatTheFileHolds() {
    TKivoFixture f;
    f.Write("p.kvo", ProjectText({{"Flag", 0, 0, "1"},
                                  {"Word", 0, 0, "true"},
                                  {"Ratio", 3, 1, "0.25"},
                                  {"Go", 5, 2, "payload"},
                                  {"Odd", 9, 7, "raw"},
                                  {"When", 4, 0, "1/2/2003"},
                                  {"Count", 2, 0, "007"}}));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();

    QCOMPARE(GridRowCount(Grid()), 8);
    QCOMPARE(Row(1), (Cells{"Flag", "boolean", "idle", "true"}));
    QCOMPARE(Row(2), (Cells{"Word", "boolean", "idle", "false"}));
    QCOMPARE(Row(3), (Cells{"Ratio", "double", "changed by Kivo", "0.25"}));
    QCOMPARE(Row(4), (Cells{"Go", "action", "idle", ""}));
    // Codes without a word show none.
    QCOMPARE(Row(5), (Cells{"Odd", "", "", "raw"}));
    QCOMPARE(Row(7), (Cells{"Count", "integer", "idle", "007"}));

    // A later tick: nor does a code whose cell showed a word from an earlier read.
    f.Write("p.kvo", ProjectText({{"Flag", 9, 7, "1"}, {"Word", 0, 2, "1"}}));
    MainForm->Timer1Timer();
    QCOMPARE(GridRowCount(Grid()), 3);
    QCOMPARE(Row(1), (Cells{"Flag", "", "", "1"}));
    QCOMPARE(Row(2), (Cells{"Word", "boolean", "idle", "true"}));

    // Ticks read nothing while a save is under way.
    f.Write("p.kvo", ProjectText({{"Other", 1, 0, "x"}}));
    MainForm->Saving = true;
    MainForm->Timer1Timer();
    QCOMPARE(Row(1)[0], std::string("Flag"));
    MainForm->Saving = false;
    MainForm->Timer1Timer();
    QCOMPARE(Row(1)[0], std::string("Other"));
}

void TestMainForm::tick_countChanges_keepHeaderAndTable() {
    TKivoFixture f;
    f.Write("p.kvo", ProjectText(FiveVars));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    QCOMPARE(GridRowCount(Grid()), 6);

    // 5 -> 3: three rows shown; the slots above keep their old content.
    std::vector<TProjectVar> three(FiveVars.begin(), FiveVars.begin() + 3);
    f.Write("p.kvo", ProjectText(three));
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, 3);
    QCOMPARE(GridRowCount(Grid()), 4);
    QCOMPARE(MainForm->Vars[4].Title, std::string("Eps"));

    // A count of 0 (the file briefly missing): the last good rows stay, nothing can be acted on.
    QVERIFY(QFile::remove(QString::fromStdString(f.Path("p.kvo"))));
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, 0);
    QCOMPARE(GridRowCount(Grid()), 4);
    QCOMPARE(Row(3)[0], std::string("Gamma"));
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QVERIFY(f.Messages.empty());
    QVERIFY(!f.Exists("p.kvo"));

    // A negative count reads as none.
    f.Write("p.kvo", "[Kivo 1.0]\r\nVar_Cnt=-4\r\n");
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, 0);
    QCOMPARE(GridRowCount(Grid()), 4);

    // 300 listed: the table's 256 are read and shown, nothing past it.
    std::vector<TProjectVar> many;
    for (int i = 1; i <= 300; ++i)
        many.push_back({"V" + std::to_string(i), 2, 0, std::to_string(i)});
    f.Write("p.kvo", ProjectText(many));
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, MaxVars);
    QCOMPARE(GridRowCount(Grid()), MaxVars + 1);
    QCOMPARE(Row(MaxVars), (Cells{"V256", "integer", "idle", "256"}));
    QCOMPARE(Row(0), (Cells{"Variable", "Type", "Status", "Value"}));

    // Reopened with a count of 0: the header alone, and the selected row is never the header.
    f.Write("p.kvo", "[Kivo 1.0]\r\nVar_Cnt=0\r\n");
    MainForm->LoadProject();
    QCOMPARE(GridRowCount(Grid()), 1);
    QCOMPARE(Row(0), (Cells{"Variable", "Type", "Status", "Value"}));
    QVERIFY(GridRow(Grid()) >= 1);
}

void TestMainForm::timer_showsAnotherWritersChange() {
    TKivoFixture f;
    f.Write("p.kvo", ProjectText(FiveVars));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    QCOMPARE(MainForm->Timer1->interval(), 1000);
    QVERIFY(MainForm->Timer1->isActive());

    std::vector<TProjectVar> changed = FiveVars;
    changed[3].Value = "42";
    f.Write("p.kvo", ProjectText(changed));
    QTRY_COMPARE_WITH_TIMEOUT(GridCell(Grid(), 3, 4), std::string("42"), 5000);
}

void TestMainForm::tooltip_showsTheWholeTextOfACutOffCell() {
    TKivoFixture f;
    const QString title = "Close all positions of basket EURUSD", value(135, '7');
    f.Write("p.kvo", ProjectText({{title.toStdString(), 1, 0, value.toStdString()}}));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    const auto tipAt = [](int col) {
        const QPoint at = Grid()->visualItemRect(Grid()->item(0, col)).center();
        QHelpEvent help(QEvent::ToolTip, at, Grid()->viewport()->mapToGlobal(at));
        QApplication::sendEvent(Grid()->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QCOMPARE(tipAt(1), QString()); // "string" fits
    QCOMPARE(tipAt(0), title);
    QCOMPARE(tipAt(3), value);
}

// Open is all or nothing: whether the settings write goes through or fails (the disk refuses
// its replace), the caption, the grid and the file a toggle saves into name one project.
void TestMainForm::settingsWriteFailure_openIsAllOrNothing() {
    TKivoFixture f;
    const std::map<std::string, std::string> titles = {{"a.kvo", "A"}, {"b.kvo", "B"}};
    for (const auto &[name, title] : titles)
        f.Write(name, ProjectText({{title, 0, 0, "0"}, {title + "2", 1, 0, "x"}}));
    f.Show();
    TFaultyFileSystem disk;
    bool fail = false;
    disk.Fails = [&](const std::string &, const std::string &name) {
        return fail && name == f.Path("kivo.ini");
    };
    std::mt19937 rng(11);
    std::string shown; // the project the caption names, "" for none
    for (int step = 0; step < 80; ++step) {
        fail = rng() % 2;
        const std::string name = rng() % 2 ? "a.kvo" : "b.kvo";
        f.OpenAnswer = f.Path(name);
        // Settings that would not change are not written, and cannot fail.
        const bool fails = fail && name != shown;
        const std::size_t failures = f.Exceptions.size();
        f.Handle([] { MainForm->Open1Click(); });
        QCOMPARE(f.Exceptions.size(), failures + (fails ? 1 : 0));
        if (fails)
            QVERIFY(f.Exceptions.back().find(f.Path("kivo.ini")) != std::string::npos);
        else
            shown = name;
        if (rng() % 2)
            MainForm->Timer1Timer();

        QCOMPARE(MainForm->windowTitle(),
                 QString::fromStdString(shown.empty() ? "Kivo" : "Kivo - " + shown));
        QCOMPARE(MainForm->ProjectOpen, !shown.empty());
        for (int row = 1; row < GridRowCount(Grid()); ++row) {
            const std::string cell = GridCell(Grid(), 0, row);
            QVERIFY2(cell.empty() || cell.starts_with(titles.at(shown)), cell.c_str());
        }
        // A toggle lands in the project named, or nowhere.
        if (!shown.empty() && rng() % 3 == 0) {
            const std::map<std::string, std::string> before = {{"a.kvo", f.Read("a.kvo")},
                                                               {"b.kvo", f.Read("b.kvo")}};
            MainForm->Timer1Timer();
            GridSetRow(Grid(), 1);
            f.Answers.push_back(IDYES);
            f.Handle([] { MainForm->StringGrid1DblClick(); });
            for (const auto &[file, text] : before)
                QCOMPARE(f.Read(file) != text, file == shown);
        }
    }
    QVERIFY(f.UnexpectedQuestions.empty());
}

void TestMainForm::settingsFile_besideExeOrPerUser() {
#if !defined(Q_OS_LINUX) && !defined(Q_OS_WIN)
    QSKIP("the per-user folder is known to the test on Linux and Windows only");
#else
    // The name main() gives the application, which names the per-user folder.
    const QString testName = QCoreApplication::applicationName();
#ifdef Q_OS_WIN
    QCoreApplication::setApplicationName("Kivo");
#else
    QCoreApplication::setApplicationName("kivo");
#endif
    const auto restoreName = qScopeGuard([&] { QCoreApplication::setApplicationName(testName); });

    // A folder that can be written, without kivo.ini: beside the executable, and trying the folder
    // leaves nothing behind. (The other tests of this file start with a kivo.ini there.)
    {
        TKivoFixture f;
        f.Create();
        QCOMPARE(MainForm->SettingsFileName(), f.Path("kivo.ini"));
        QCOMPARE(
            QDir(f.Dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList());
    }

#ifdef Q_OS_WIN
    // A folder that takes no file (root under Wine writes everywhere, so one on a drive that does
    // not exist), without kivo.ini: %APPDATA%\Kivo\kivo.ini, whose folder is made, and which an
    // Open writes. That folder is the user's own: whatever was there is put back.
    {
        const QString folder = qEnvironmentVariable("APPDATA") + QStringLiteral("\\Kivo");
        const QString perUser = folder + QStringLiteral("\\kivo.ini");
        const bool hadFolder = QFileInfo::exists(folder);
        QFile file(perUser);
        const bool hadFile = file.exists();
        QByteArray held;
        if (hadFile) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            held = file.readAll();
            file.close();
            QVERIFY(file.remove());
        }
        const auto putBack = qScopeGuard([&] {
            QFile::remove(perUser);
            if (hadFile && file.open(QIODevice::WriteOnly)) {
                file.write(held);
                file.close();
            }
            if (!hadFolder)
                QDir().rmdir(folder);
        });

        TKivoFixture f;
        f.Write("a.kvo", ProjectText(FiveVars));
        Application->SetExeName("Q:\\nowhere\\kivo.exe");
        f.Show();
        QCOMPARE(QFile::decodeName(QByteArray::fromStdString(MainForm->SettingsFileName())),
                 perUser);
        f.OpenAnswer = f.Path("a.kvo");
        f.Handle([] { MainForm->Open1Click(); });
        QVERIFY(f.Exceptions.empty());
        QVERIFY(MainForm->ProjectOpen);
        QFile written(perUser);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll().toStdString(),
                 "[Kivo]\r\nMTPath=\r\nProject=" + f.Path("a.kvo") +
                     "\r\nRecent1=" + f.Path("a.kvo") + "\r\n");
        QVERIFY(!f.Exists("kivo.ini"));
    }
#else
    // A folder nobody can write in (as /usr/bin for a user), without kivo.ini: the per-user
    // file, whose folder is made, and which an Open writes.
    {
        TKivoFixture f;
        f.Write("a.kvo", ProjectText(FiveVars));
        Application->SetExeName("/proc/kivo");
        f.Show();
        QCOMPARE(MainForm->SettingsFileName(), f.Path("config/kivo/kivo.ini"));
        f.OpenAnswer = f.Path("a.kvo");
        f.Handle([] { MainForm->Open1Click(); });
        QVERIFY(f.Exceptions.empty());
        QVERIFY(MainForm->ProjectOpen);
        QCOMPARE(f.Read("config/kivo/kivo.ini"), "[Kivo]\r\nMTPath=\r\nProject=" + f.Path("a.kvo") +
                                                     "\r\nRecent1=" + f.Path("a.kvo") + "\r\n");
        QVERIFY(!f.Exists("kivo.ini"));
    }

    // A kivo.ini beside an executable whose folder cannot be written is still the one read. Root
    // passes permission bits by, so a root test reads it as nobody.
    {
        TKivoFixture f;
        QVERIFY(QDir(f.Dir.path()).mkdir("app"));
        f.Write("app/kivo.ini", "[Kivo]\r\nMTPath=/t\r\nProject=/t/p.kvo\r\n");
        Application->SetExeName(f.Path("app/kivo"));
        f.Create();
        QVERIFY(::chmod(f.Dir.path().toLocal8Bit().constData(), 0755) == 0);
        QVERIFY(::chmod(f.Path("app").c_str(), 0555) == 0);
        const auto writable = qScopeGuard([&] { ::chmod(f.Path("app").c_str(), 0755); });
        const bool root = ::geteuid() == 0;
        if (root)
            QVERIFY(::seteuid(65534) == 0);
        const auto back = qScopeGuard([root] {
            if (root && ::seteuid(0) != 0)
                qFatal("cannot return to root");
        });
        QVERIFY(!QFile(QString::fromStdString(f.Path("app/probe"))).open(QIODevice::WriteOnly));
        MainForm->ReadSettings();
        QCOMPARE(MainForm->MTPath, std::string("/t"));
        QCOMPARE(MainForm->ProjectPath, std::string("/t/p.kvo"));
        QVERIFY(!f.Exists("config"));
    }
#endif
#endif
}

void TestMainForm::caption_showsFileNameLiterally() {
#ifdef Q_OS_WIN
    const std::string name = "&amp;[x]&.kvo"; // Windows allows no '<', '>' or '*' in a name
#else
    const std::string name = "<b>x[*]&amp;.kvo";
#endif
    TKivoFixture f;
    f.Write(name, ProjectText(FiveVars));
    f.Show();
    f.OpenAnswer = f.Path(name);
    f.Handle([] { MainForm->Open1Click(); });
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(MainForm->windowHandle()->title(), QString::fromStdString("Kivo - " + name));
}

// The byte 0xC6 is Ж in windows-1251 and Æ in windows-1252.
void TestMainForm::codePage_isReadFromSettingsAtStart() {
    const std::vector<std::pair<std::string, int>> settings = {{"CodePage=1251\r\n", 1251},
                                                               {"CodePage=99999\r\n", 1252},
                                                               {"CodePage=abc\r\n", 1252},
                                                               {"", 1252}};
    for (const auto &[line, expected] : settings) {
        TKivoFixture f;
        f.Write("p.kvo", ProjectText({{"\xC6", 1, 0, "v"}}));
        const std::string ini = "[Kivo]\r\n" + line + "Project=" + f.Path("p.kvo") + "\r\n";
        f.Write("kivo.ini", ini);
        f.Show();
#ifdef Q_OS_WIN
        // There the expert's code page is the system's, whatever the file says.
        QCOMPARE(ProjectCodePage(), ProjectCodePageFor(0));
        Q_UNUSED(expected);
#else
        QCOMPARE(ProjectCodePage(), expected);
        QCOMPARE(Grid()->item(0, 0)->text(), QString(QChar(expected == 1251 ? 0x416 : 0xC6)));
#endif
        QCOMPARE(f.Read("kivo.ini"), ini);
    }
}

// Paths are UTF-8 from end to end: a folder named with letters outside the ANSI code page (as
// Łódź is under windows-1252) holds the program, its kivo.ini and the project, which opens from
// kivo.ini and from the open dialog and takes a save; so does a per-user kivo.ini under it. A
// kivo.ini an older 8-bit copy wrote is read in the system's 8-bit encoding.
void TestMainForm::unicodeFolder_settingsProjectAndSave() {
    TKivoFixture f;
    const QString folder = QDir::toNativeSeparators(f.Dir.filePath("Łódź ŻÓŁW"));
    const std::string app = FromQString(folder) + PathDelim;
    const std::string project = app + "p.kvo";
    QVERIFY(QDir().mkpath(folder + "/config"));
    const auto write = [](const std::string &path, const QByteArray &bytes) {
        QFile file(ToQString(path));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    };
    const auto read = [](const std::string &path) {
        QFile file(ToQString(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string("?");
    };
    write(project, QByteArray::fromStdString(ProjectText(FiveVars)));
    write(app + "kivo.ini", QByteArray::fromStdString("[Kivo]\r\nProject=" + project + "\r\n"));
    Application->SetExeName(app + "kivo");
    f.Show();
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(MainForm->VarCount, 5);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QVERIFY2(f.Exceptions.empty(), f.Exceptions.empty() ? "" : f.Exceptions[0].c_str());
    QCOMPARE(TIniFile(project).ReadString("Kivo 1.0", "Var1_Value", "?"), std::string("0"));
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->Close1Click(); });
    f.OpenAnswer = project;
    f.Handle([] { MainForm->Open1Click(); });
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(read(app + "kivo.ini"),
             "[Kivo]\r\nProject=" + project + "\r\nMTPath=\r\nRecent1=" + project + "\r\n");

    // An older copy wrote the path in the 8-bit encoding (windows-1252 holds é).
    const QString old = QDir::toNativeSeparators("/x/café.kvo");
    write(app + "kivo.ini", "[Kivo]\r\nProject=" + old.toLocal8Bit() + "\r\n");
    MainForm->ReadSettings();
    QCOMPARE(MainForm->ProjectPath, FromQString(old));

    // The per-user kivo.ini, for a program in a folder it cannot write.
    const TConfigFolder config(folder + "/config");
    QVERIFY(config.Moved());
    MainForm->AppDir = FromQString(QDir::toNativeSeparators("/proc/nowhere/"));
    QVERIFY(MainForm->SettingsFileName().starts_with(FromQString(folder)));
    f.Handle([] { MainForm->Open1Click(); });
    QVERIFY(f.Exceptions.empty());
    MainForm->ProjectPath.clear();
    MainForm->ReadSettings();
    QCOMPARE(MainForm->ProjectPath, project);
}

// A project named on the command line (relative to the current folder) or dropped opens as
// Open... opens it; the recent list keeps the last eight, newest first, leaves out what is gone,
// and Clear empties it; the terminal folder, once chosen, is where Open... starts.
void TestMainForm::openFromOutside_recentAndTerminalFolder() {
    const QString cwd = QDir::currentPath();
    const auto restore = qScopeGuard([&] {
        QDir::setCurrent(cwd);
        if (Application)
            Application->SetArguments({});
    });
    {
        TKivoFixture bad;
        bad.Write("notes.kvo", "[Other]\r\n");
        QDir::setCurrent(bad.Dir.path());
        Application->SetArguments({"notes.kvo"});
        bad.Show();
        QCOMPARE(bad.Messages.at(0).Text, std::string("Project file is not correct"));
        QVERIFY(!MainForm->ProjectOpen && MainForm->isVisible());
    }
    TKivoFixture f;
    std::vector<std::string> paths; // p1 ... p8, then one named outside ASCII
    for (const std::string name : {"p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8", "ü9"}) {
        f.Write(name + ".kvo", ProjectText({{name, 1, 0, "x"}}));
        paths.push_back(FromQString(QDir::toNativeSeparators(ToQString(f.Path(name + ".kvo")))));
    }
    QDir::setCurrent(f.Dir.path());
    Application->SetArguments({"p1.kvo"});
    f.Show();
    QCOMPARE(MainForm->ProjectPath, paths[0]);
    QCOMPARE(MainForm->windowTitle(), QString("Kivo - p1.kvo"));
    for (std::size_t i = 1; i < paths.size(); ++i)
        f.Handle([&] { MainForm->OpenProject(paths[i]); });
    f.Handle([&] { MainForm->OpenProject(paths[4]); });
    const std::vector<std::string> recent = {paths[4], paths[8], paths[7], paths[6],
                                             paths[5], paths[3], paths[2], paths[1]};
    QCOMPARE(MainForm->RecentProjects, recent);
    MainForm->ReadSettings();
    QCOMPARE(MainForm->RecentProjects, recent);

    QVERIFY(QFile::remove(ToQString(paths[6])));
    auto *menu = MainForm->findChild<QMenu *>("Recent1");
    emit menu->aboutToShow();
    const QList<QAction *> entries = menu->actions();
    QCOMPARE(entries.size(), 7 + 2); // the separator and Clear after them
    QVERIFY(entries[1]->text().contains(ToQString(ExtractFileName(paths[8]))));
    entries[1]->trigger();
    QCOMPARE(MainForm->ProjectPath, paths[8]);
    entries.back()->trigger();
    QVERIFY(MainForm->RecentProjects.empty());
    QVERIFY(f.Read("kivo.ini").find("Recent1=\r\n") != std::string::npos);

    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(ToQString(paths[2]))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainForm, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(MainForm, &drop);
    QCOMPARE(MainForm->ProjectPath, paths[2]);

    QVERIFY(QDir().mkpath(ToQString(f.Path("term/experts/files"))));
    const std::string terminal = FromQString(QDir::toNativeSeparators(ToQString(f.Path("term"))));
    f.OpenAnswer = terminal;
    f.Handle([] { MainForm->TerminalFolder1Click(); });
    MainForm->ReadSettings();
    QCOMPARE(MainForm->MTPath, terminal);
    f.OpenAnswer.reset();
    f.Handle([] { MainForm->Open1Click(); });
    QCOMPARE(f.OpenInitialDirs.back(), terminal + ExpertFiles);
    QVERIFY(f.Exceptions.empty());
}

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
