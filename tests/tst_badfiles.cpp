// Bad project files opened through the real forms: whatever the file holds, Kivo neither
// crashes nor hangs, shows what it could read, and writes only a change the user made.

#include "KivoFixture.h"

#include "Grid.h"
#include "IniFile.h"

#include <QTableWidget>

#include <QRegularExpression>

#include <algorithm>
#include <random>

namespace {

const QString ToTrue = "Do you want to change FALSE to TRUE?";
const QString ToFalse = "Do you want to change TRUE to FALSE?";
const QString NotFound = "Associated project file p.kvo is not found.";

QByteArray Bytes(const std::string &text) {
    return QByteArray(text.data(), qsizetype(text.size()));
}

// Random bytes of every value, the same in every run.
QByteArray Garbage(qsizetype size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random() & 0xFF);
    return bytes;
}

// The text with one occurrence of a part replaced; empty when the part is missing, so that a
// wrong expectation fails the test instead of passing unchanged.
QByteArray Replaced(QByteArray text, const QByteArray &part, const QByteArray &by) {
    const qsizetype at = text.indexOf(part);
    if (at < 0)
        return QByteArray("<missing part: ") + part + ">";
    return text.replace(at, part.size(), by);
}

// Variable 1 toggled from "0" to "1" by the double-click, as the merging save writes it.
QByteArray Toggled(const QByteArray &text, const QByteArray &lineBreak = "\r\n") {
    return Replaced(text, "Var1_Status=0" + lineBreak + "Var1_Value=0",
                    "Var1_Status=1" + lineBreak + "Var1_Value=1");
}

QByteArray ReadData(const char *name) {
    QFile file(QString(KIVO_TEST_DATA) + "/" + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing test file ") + name + ">";
    return file.readAll();
}

// A project of a boolean "Flag" (false) and a string "Name".
QByteArray FlagAndName(const std::string &name = "Name", const std::string &value = "text") {
    return Bytes(ProjectText({{"Flag", 0, 0, "0"}, {name, 1, 0, value}}));
}

} // namespace

class TestBadFiles : public QObject {
    Q_OBJECT

private slots:
    void badFile_data();
    void badFile();
    void samples_data();
    void samples();
    void writeAfterBadBytes_data();
    void writeAfterBadBytes();
};

void TestBadFiles::badFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("opens");       // taken as the project
    QTest::addColumn<int>("varCount");     // the variables shown
    QTest::addColumn<QString>("title1");   // the first row's title
    QTest::addColumn<QString>("question"); // asked by a double-click on row 1; empty: none
    QTest::addColumn<QByteArray>("saved"); // the file after answering Yes; null: unchanged

    const QByteArray head = "[Kivo 1.0]\r\nVar_Cnt=1\r\n";
    const QByteArray flag = FlagAndName();

    QTest::newRow("binary garbage") << Garbage(64 * 1024, 1) << false << 0 << ""
                                    << "" << QByteArray();
    // A project file that is not whole (cut off, keys missing) is read as the profile API reads
    // it once it stays so: a missing key gives its default, and only the changed keys are
    // written.
    QTest::newRow("binary garbage after the count")
        << head + Garbage(64 * 1024, 2) << true << 1 << ""
        << "" << QByteArray();

    const QByteArray line = QByteArray("Var_Cnt=1 ").repeated(1024 * 1024);
    QTest::newRow("10 MB single line") << line << false << 0 << ""
                                       << "" << QByteArray();
    const QByteArray bigValue = FlagAndName("Big", std::string(10 * 1024 * 1024, 'v'));
    QTest::newRow("10 MB value line")
        << bigValue << true << 2 << "Flag" << ToTrue << Toggled(bigValue);
    QTest::newRow("10 MB count line")
        << "[Kivo 1.0]\r\nVar_Cnt=" + QByteArray(10 << 20, '7') << true << 256 << ""
        << "" << QByteArray();

    const QByteArray nulValue = FlagAndName(std::string("Na\0me", 5), std::string("te\0xt", 5));
    QTest::newRow("NUL in another variable's title and value")
        << nulValue << true << 2 << "Flag" << ToTrue << Toggled(nulValue);
    // The count's line runs on past the NUL into the next header; the profile API reads its
    // digits, 2, and the second header is no header.
    const QByteArray nulCount = QByteArray("[Kivo 1.0]\r\nVar_Cnt=2\0\r\n", 22) + flag;
    QTest::newRow("NUL in the count")
        << nulCount << true << 2 << "Flag" << ToTrue << Toggled(nulCount);
    // Variable 1's title key does not match: the file lacks it.
    QByteArray nulKey = flag;
    nulKey.replace("Var1_Title", QByteArray("Var1_Ti\0tle", 11));
    QTest::newRow("NUL in a key") << nulKey << true << 2 << "" << ToTrue << Toggled(nulKey);
    QByteArray nulSection = flag;
    nulSection.replace("Kivo 1.0", QByteArray("Kivo\0 1.0", 9));
    QTest::newRow("NUL in the section name") << nulSection << false << 0 << ""
                                             << "" << QByteArray();

    // An 8-bit reader sees no header in UTF-16: the file is no project.
    const QString flagText = QString::fromLatin1(flag);
    QByteArray utf16("\xFF\xFE", 2);
    utf16.append(reinterpret_cast<const char *>(flagText.utf16()), flagText.size() * 2);
    QTest::newRow("UTF-16 with BOM") << utf16 << false << 0 << ""
                                     << "" << QByteArray();
    const QByteArray bom = "\xEF\xBB\xBF" + flag;
    QTest::newRow("UTF-8 BOM") << bom << true << 2 << "Flag" << ToTrue << Toggled(bom);

    // A count beyond the variables the file holds.
    const QByteArray countMax = Replaced(flag, "Var_Cnt=2", "Var_Cnt=2147483647");
    QTest::newRow("Var_Cnt 2147483647")
        << countMax << true << 256 << "Flag" << ToTrue << Toggled(countMax);
    // A count beyond the table: its 256 rows; the save keeps the rest as it is.
    std::vector<TProjectVar> many = {{"Flag", 0, 0, "0"}};
    for (int i = 2; i <= 300; ++i)
        many.push_back({"V" + std::to_string(i), 2, 0, std::to_string(i)});
    const QByteArray aboveTable = Bytes(ProjectText(many));
    QTest::newRow("count above the table")
        << aboveTable << true << 256 << "Flag" << ToTrue << Toggled(aboveTable);
    const QByteArray aboveMissing = ReadData("count_above_table.kvo");
    QTest::newRow("count above the table, keys missing")
        << aboveMissing << true << 256 << "UseTrailing" << ToFalse
        << Replaced(aboveMissing, "Var1_Status=0\r\nVar1_Value=1", "Var1_Status=1\r\nVar1_Value=0");
    // Variable 1 lacks its status: the save adds it, at the end of the section.
    const QByteArray missing = ReadData("missing_keys.kvo");
    QTest::newRow("missing keys") << missing << true << 3 << "Flag" << ToFalse
                                  << Replaced(missing, "Var1_Value=1", "Var1_Value=0") +
                                         "Var1_Status=1\r\n";
    QTest::newRow("Var_Cnt -1") << Replaced(flag, "Var_Cnt=2", "Var_Cnt=-1") << true << 0 << ""
                                << "" << QByteArray();
    QTest::newRow("Var_Cnt abc") << Replaced(flag, "Var_Cnt=2", "Var_Cnt=abc") << true << 0 << ""
                                 << "" << QByteArray();

    QTest::newRow("header without ]")
        << Replaced(flag, "[Kivo 1.0]", "[Kivo 1.0") << false << 0 << ""
        << "" << QByteArray();
    // A broken header further down is an ordinary line: the section goes on.
    const QByteArray brokenLater = Replaced(flag, "Var1_Title", "[Other\r\nVar1_Title");
    QTest::newRow("header without ] inside the section")
        << brokenLater << true << 2 << "Flag" << ToTrue << Toggled(brokenLater);

    // Found by fuzzing.
    QTest::newRow("BOM-led key at the top") << ReadData("bom_key_at_top.kvo") << false << 0 << ""
                                            << "" << QByteArray();
}

void TestBadFiles::badFile() {
    QFETCH(QByteArray, content);
    QFETCH(bool, opens);
    QFETCH(int, varCount);
    QFETCH(QString, title1);
    QFETCH(QString, question);
    QFETCH(QByteArray, saved);
    if (saved.isNull())
        saved = content;

    TKivoFixture f;
    f.Write("p.kvo", content.toStdString());
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Create();
    // A file that is not whole is taken once three reads found it unchanged.
    MainForm->ProjectFile().StableMs = 0;
    f.Show();

    QCOMPARE(MainForm->ProjectOpen, opens);
    if (opens) {
        QVERIFY(f.Messages.empty());
        QCOMPARE(MainForm->windowTitle(), QString("Kivo - p.kvo"));
    } else {
        QCOMPARE(f.Messages.size(), size_t(1));
        QCOMPARE(QString::fromStdString(f.Messages[0].Text), NotFound);
    }
    for (int tick = 0; tick < 3; ++tick)
        MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, varCount);
    // A file that is no project leaves the empty grid; an open one shows a row per variable.
    QCOMPARE(GridRowCount(Grid()), opens ? varCount + 1 : 2);
    if (varCount > 0)
        QCOMPARE(QString::fromStdString(GridCell(Grid(), 0, 1)), title1);
    QCOMPARE(Bytes(f.Read("p.kvo")), content);

    f.Messages.clear();
    f.Answers.push_back(IDYES);
    GridSetRow(Grid(), 1);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    if (question.isEmpty()) {
        QVERIFY(f.Messages.empty());
    } else {
        QCOMPARE(f.Messages.size(), size_t(1));
        QCOMPARE(QString::fromStdString(f.Messages[0].Text), question);
    }
    QVERIFY2(f.Exceptions.empty(), f.Exceptions.empty() ? "" : f.Exceptions[0].c_str());
    QVERIFY(!MainForm->Saving);
    const QByteArray after = Bytes(f.Read("p.kvo"));
    if (after != saved) {
        // Only where they part: the files may be megabytes long.
        const auto diff = std::mismatch(after.begin(), after.end(), saved.begin(), saved.end());
        const qsizetype at = diff.first - after.begin();
        QCOMPARE(after.mid(at, 40), saved.mid(at, 40));
        QCOMPARE(after.size(), saved.size());
    }

    // Later ticks show the same table.
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, varCount);
    QCOMPARE(GridRowCount(Grid()), opens ? varCount + 1 : 2);
}

void TestBadFiles::samples_data() {
    QTest::addColumn<QString>("file"); // in tests/data
    QTest::addColumn<int>("varCount");
    QTest::addColumn<int>("row"); // a boolean, toggled by a double-click
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("question");
    QTest::addColumn<int>("status"); // the variable's status after the save

    QTest::newRow("normal") << "normal.kvo" << 7 << 1 << "UseTrailing" << ToFalse << 1;
    QTest::newRow("capital section")
        << "capital_section.kvo" << 3 << 1 << "UseTrailing" << ToFalse << 1;
    QTest::newRow("LF only") << "lf_only.kvo" << 7 << 7 << "Hedge" << ToTrue << 2;
    QTest::newRow("BOM") << "bom.kvo" << 3 << 1 << "UseTrailing" << ToFalse << 1;
    QTest::newRow("quoted values") << "quoted_values.kvo" << 2 << 2 << "Flag" << ToTrue << 2;
    QTest::newRow("other sections") << "other_sections.kvo" << 1 << 1 << "Flag" << ToTrue << 1;
    // CR line ends, no final one, a Ctrl-Z at the end; keys in other letter case and with
    // blanks, a repeated key, a quoted value, a variable without its status.
    QTest::newRow("CR only, Ctrl-Z, odd keys")
        << "cr_only_ctrl_z.kvo" << 3 << 1 << "Risk mode" << ToFalse << 2;
    // Other variables' numbers as the profile API reads them (1.00000000, 1 ;pending, 2.0)
    // stay as they are spelled.
    QTest::newRow("odd integers") << "odd_integers.kvo" << 4 << 1 << "Flag" << ToTrue << 1;
}

// The samples the fuzzers start from read as they should, and a toggle keeps every line of
// them but the two it changes, and adds none.
void TestBadFiles::samples() {
    QFETCH(QString, file);
    QFETCH(int, varCount);
    QFETCH(int, row);
    QFETCH(QString, title);
    QFETCH(QString, question);
    QFETCH(int, status);

    const QByteArray content = ReadData(qPrintable(file));
    TKivoFixture f;
    f.Write("p.kvo", content.toStdString());
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Create();
    MainForm->ProjectFile().StableMs = 0;
    f.Show();
    MainForm->Timer1Timer();
    MainForm->Timer1Timer();
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(MainForm->VarCount, varCount);
    QCOMPARE(GridRowCount(Grid()), varCount + 1);
    QCOMPARE(QString::fromStdString(GridCell(Grid(), 0, row)), title);

    const auto readAll = [&] {
        const TIniFile ini(f.Path("p.kvo"));
        std::vector<std::string> keys{ini.ReadString("Kivo 1.0", "Var_Cnt", "?")};
        for (int i = 1; i <= varCount; ++i) {
            for (const char *suffix : {"_Title", "_Type", "_Status", "_Value"})
                keys.push_back(ini.ReadString("Kivo 1.0", "Var" + std::to_string(i) + suffix, ""));
        }
        return keys;
    };
    std::vector<std::string> expected = readAll();
    const std::string oldValue = expected[1 + (row - 1) * 4 + 3];
    expected[1 + (row - 1) * 4 + 2] = std::to_string(status);
    expected[1 + (row - 1) * 4 + 3] = oldValue == "1" ? "0" : "1";

    f.Messages.clear();
    f.Answers.push_back(IDYES);
    GridSetRow(Grid(), row);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(QString::fromStdString(f.Messages[0].Text), question);
    QVERIFY(f.Exceptions.empty());
    QCOMPARE(readAll(), expected);

    // Line by line: every old line stays in its place, and the variable's value and status lines
    // change in place.
    const QRegularExpression lineBreak("\r\n|\r|\n");
    const QStringList before = QString::fromLatin1(content).split(lineBreak);
    const QStringList after = QString::fromLatin1(f.Read("p.kvo")).split(lineBreak);
    const QString prefix = QString("Var%1_").arg(row);
    qsizetype old = 0;
    for (const QString &line : after) {
        if (old < before.size() && line == before[old]) {
            ++old;
        } else if (old < before.size() &&
                   (before[old].startsWith(prefix + "Value", Qt::CaseInsensitive) ||
                    before[old].startsWith(prefix + "Status", Qt::CaseInsensitive)) &&
                   line.section('=', 0, 0) == before[old].section('=', 0, 0)) {
            ++old;
        } else {
            QFAIL(qPrintable("unexpected line: " + line));
        }
    }
    QCOMPARE(old, before.size());
}

void TestBadFiles::writeAfterBadBytes_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("refused");  // WriteString throws, nothing changes
    QTest::addColumn<bool>("modified"); // when accepted: the file changes

    // A new key in section "" goes to the top: one that starts with a BOM would lose it there.
    const QByteArray bomKey = "\xEF\xBB\xBF[Ki";
    QTest::newRow("BOM-led key at the top of a file without BOM")
        << ReadData("bom_key_at_top.kvo") << QByteArray() << bomKey << QByteArray("\x1A") << true
        << false;
    QTest::newRow("BOM-led key at the top of an empty file")
        << QByteArray() << QByteArray() << bomKey << QByteArray("1") << true << false;
    QTest::newRow("BOM-led key after the file's BOM")
        << QByteArray("\xEF\xBB\xBF[S]\r\n") << QByteArray() << bomKey << QByteArray("1") << false
        << true;
    QTest::newRow("BOM-led key in a section")
        << ReadData("bom_key_at_top.kvo") << QByteArray("Kivo 1.0") << bomKey + "x"
        << QByteArray("1") << false << true;

    // NUL: what the key holds already may be put back (the merging save does), nothing else.
    const QByteArray nul = QByteArray("[S]\r\nk=a\0b\r\n", 13);
    QTest::newRow("NUL value put back")
        << nul << QByteArray("S") << QByteArray("K") << QByteArray("a\0b", 3) << false << false;
    QTest::newRow("NUL value changed")
        << nul << QByteArray("S") << QByteArray("k") << QByteArray("a\0c", 3) << true << false;
    QTest::newRow("NUL value for a new key")
        << nul << QByteArray("S") << QByteArray("n") << QByteArray("a\0b", 3) << true << false;
    QTest::newRow("NUL value replaced")
        << nul << QByteArray("S") << QByteArray("k") << QByteArray("ab") << false << true;
}

void TestBadFiles::writeAfterBadBytes() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(bool, refused);
    QFETCH(bool, modified);

    QTemporaryDir dir;
    const std::string path = dir.filePath("f.ini").toStdString();
    {
        QFile file(QString::fromStdString(path));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    TIniFile ini(path);
    const std::string s = section.toStdString();
    const std::string k = key.toStdString();
    const std::string before = ini.ReadString(s, k, "<def>");
    const std::string other = ini.ReadString("Kivo 1.0", "Var1_Title", "<def>");
    bool thrown = false;
    try {
        ini.WriteString(s, k, value.toStdString());
    } catch (const Exception &) {
        thrown = true;
    }
    QCOMPARE(thrown, refused);
    QCOMPARE(ini.Modified(), modified);
    ini.UpdateFile();

    const TIniFile reread(path);
    QCOMPARE(Bytes(reread.ReadString(s, k, "<def>")), refused ? Bytes(before) : value);
    QCOMPARE(reread.ReadString("Kivo 1.0", "Var1_Title", "<def>"), other);
    if (!modified)
        QCOMPARE(Bytes(reread.Snapshot()), content);
}

QTEST_MAIN(TestBadFiles)
#include "tst_badfiles.moc"
