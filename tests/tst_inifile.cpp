// TIniFile and ReadFileStable against real files: the profile API's reading rules, writes that
// keep every other byte, refusals, atomic replacement and its failures, compare-and-swap, and
// reading a file that another program rewrites in place.
#include "Exception.h"
#include "IniFile.h"
#include "SharedFile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <optional>
#include <random>
#include <thread>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

std::string Str(const QByteArray &bytes) {
    return bytes.toStdString();
}
QByteArray Bytes(const std::string &text) {
    return QByteArray::fromStdString(text);
}

// The path as TIniFile takes it: the local 8-bit bytes of the name.
std::string Local(const QString &path) {
    return QFile::encodeName(path).toStdString();
}

void WriteBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray ReadBytes(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<cannot open>";
    return file.readAll();
}

const QDateTime OldTime(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);

void SetOldTime(const QString &path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(OldTime, QFileDevice::FileModificationTime));
}

QStringList Entries(const QString &folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The reading rules written out plainly, line by line, to check the indexed reader against.
std::string RefTrim(const std::string &s) {
    const auto blank = [](char c) {
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1A;
    };
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}
std::string RefLower(std::string s) {
    for (char &c : s)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return s;
}
std::optional<std::string> RefRead(std::string content, const std::string &section,
                                   const std::string &key) {
    if (content.starts_with("\xEF\xBB\xBF"))
        content.erase(0, 3);
    const std::string wantSection = RefLower(RefTrim(section));
    const std::string wantKey = RefLower(RefTrim(key));
    if (wantKey.empty())
        return std::nullopt;
    bool inside = wantSection.empty(); // the lines before the first header are section ""
    bool seen = inside;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t end = std::min(content.find_first_of("\r\n", pos), content.size());
        const std::string line = RefTrim(content.substr(pos, end - pos));
        pos = std::min(content.find_first_not_of("\r\n", end), content.size());
        if (line.empty())
            continue;
        if (line[0] == '[' && line.find(']') != std::string::npos) {
            if (inside)
                return std::nullopt; // only the first section of the name counts
            const std::string name = RefTrim(line.substr(1, line.rfind(']') - 1));
            inside = !seen && RefLower(name) == wantSection;
            seen = seen || inside;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inside || equals == std::string::npos)
            continue;
        if (RefLower(RefTrim(line.substr(0, equals))) != wantKey)
            continue;
        std::string value = RefTrim(line.substr(equals + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::nullopt;
}

enum Failure { TargetFolderMissing, FileReplacedByFolder, TempNameTooLong, WriteFails };
enum OtherWriter { Nobody, ChangedValue, SameBytes, Deleted, Emptied };

} // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(OtherWriter)

class TestIniFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    int FCount = 0;

    // A new folder of its own for one test row.
    QString NewFolder() {
        const QString folder = FDir.filePath(QStringLiteral("t%1").arg(++FCount));
        QDir().mkpath(folder);
        return folder;
    }
    QString NewPath() { return NewFolder() + QStringLiteral("/project.kvo"); }

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }

    void reading_data();
    void reading();
    void readInteger_data();
    void readInteger();
    void writeKeepsOtherBytes_data();
    void writeKeepsOtherBytes();
    void severalWritesInOneUpdate();
    void newFileGetsCrLfAndOneSection();
    void writeIntegerReadsBack_data();
    void writeIntegerReadsBack();
    void readsAnswerHeldWrites();
    void sameValueWritesNothing_data();
    void sameValueWritesNothing();
    void refusesWhatCannotBeReadBack_data();
    void refusesWhatCannotBeReadBack();
    void valuesRoundTrip_data();
    void valuesRoundTrip();
    void failedCommitKeepsOldFile_data();
    void failedCommitKeepsOldFile();
    void updateFileIfUnchanged_data();
    void updateFileIfUnchanged();
    void snapshotFollowsOwnWrites();
    void randomFilesAndWrites();
    void largeProject();
    void readFileStableMissingFile();
    void readFileStableEmptyFileIsBounded();
    void readFileStablePollingIsCheap();
    void readFileStableWaitsOutARewrite();
};

void TestIniFile::reading_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("expected"); // the default is "<def>"

    // Names and matching.
    QTest::newRow("section and key ignore ASCII case")
        << QByteArray("[Kivo]\r\nMTPath=C:\\mt\r\n") << QByteArray("KIVO") << QByteArray("mtpath")
        << QByteArray("C:\\mt");
    QTest::newRow("lookup names are trimmed") << QByteArray("[S]\r\na=1\r\n") << QByteArray(" S\t")
                                              << QByteArray(" a ") << QByteArray("1");
    QTest::newRow("empty key name reads the default")
        << QByteArray("[S]\r\n=x\r\n") << QByteArray("S") << QByteArray("") << QByteArray("<def>");
    QTest::newRow("missing section") << QByteArray("[S]\r\na=1\r\n") << QByteArray("T")
                                     << QByteArray("a") << QByteArray("<def>");
    QTest::newRow("missing key") << QByteArray("[S]\r\na=1\r\n") << QByteArray("S")
                                 << QByteArray("b") << QByteArray("<def>");
    QTest::newRow("empty file") << QByteArray() << QByteArray("S") << QByteArray("a")
                                << QByteArray("<def>");

    // Trimming.
    QTest::newRow("blanks 09-0D, 20, 1A trimmed around key and value")
        << QByteArray("[S]\r\n\t key \x0b= \x0c value \x1a \r\n") << QByteArray("S")
        << QByteArray("key") << QByteArray("value");
    QTest::newRow("0x1A trimmed at line ends")
        << QByteArray("\x1a[S]\x1a\r\n\x1a"
                      " a=1\x1a\r\n")
        << QByteArray("S") << QByteArray("a") << QByteArray("1");
    QTest::newRow("blanks inside a value kept") << QByteArray("[S]\na = b  c\n") << QByteArray("S")
                                                << QByteArray("a") << QByteArray("b  c");
    QTest::newRow("8-bit bytes kept") << QByteArray("[S]\na=\xe4\xf6\n") << QByteArray("S")
                                      << QByteArray("a") << QByteArray("\xe4\xf6");

    // Entries.
    QTest::newRow("split at the first =") << QByteArray("[S]\na = b = c\n") << QByteArray("S")
                                          << QByteArray("a") << QByteArray("b = c");
    QTest::newRow("line without = reads as missing") << QByteArray("[S]\nflag\n") << QByteArray("S")
                                                     << QByteArray("flag") << QByteArray("<def>");
    QTest::newRow("key= reads empty, not the default")
        << QByteArray("[S]\nk=\n") << QByteArray("S") << QByteArray("k") << QByteArray("");
    QTest::newRow("key = and blanks reads empty")
        << QByteArray("[S]\nk =  \t\n") << QByteArray("S") << QByteArray("k") << QByteArray("");
    QTest::newRow("first key wins")
        << QByteArray("[S]\na=1\na=2\n") << QByteArray("S") << QByteArray("a") << QByteArray("1");
    QTest::newRow("first key wins whatever its case")
        << QByteArray("[S]\nA=1\na=2\n") << QByteArray("S") << QByteArray("a") << QByteArray("1");
    QTest::newRow("long line") << (QByteArray("[S]\na=") + QByteArray(100000, 'x'))
                               << QByteArray("S") << QByteArray("a") << QByteArray(100000, 'x');

    // Quotes.
    QTest::newRow("double quotes removed") << QByteArray("[S]\na=\" padded \"\n") << QByteArray("S")
                                           << QByteArray("a") << QByteArray(" padded ");
    QTest::newRow("single quotes removed")
        << QByteArray("[S]\na=' x '\n") << QByteArray("S") << QByteArray("a") << QByteArray(" x ");
    QTest::newRow("quotes inside blanks removed")
        << QByteArray("[S]\na =  \"x\"  \n") << QByteArray("S") << QByteArray("a")
        << QByteArray("x");
    QTest::newRow("two quotes read empty")
        << QByteArray("[S]\na=\"\"\n") << QByteArray("S") << QByteArray("a") << QByteArray("");
    QTest::newRow("one quote kept")
        << QByteArray("[S]\na=\"\n") << QByteArray("S") << QByteArray("a") << QByteArray("\"");
    QTest::newRow("mismatched quotes kept")
        << QByteArray("[S]\na=\"x'\n") << QByteArray("S") << QByteArray("a") << QByteArray("\"x'");
    QTest::newRow("quote at one end kept")
        << QByteArray("[S]\na=\"x\n") << QByteArray("S") << QByteArray("a") << QByteArray("\"x");
    QTest::newRow("only the outer pair removed")
        << QByteArray("[S]\na=\"\"x\"\"\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("\"x\"");

    // Sections.
    QTest::newRow("later section of the same name invisible")
        << QByteArray("[S]\na=1\n[T]\nt=1\n[s]\na=2\nb=3\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("1");
    QTest::newRow("key only in a later section of the name is missing")
        << QByteArray("[S]\na=1\n[T]\nt=1\n[s]\na=2\nb=3\n") << QByteArray("S") << QByteArray("b")
        << QByteArray("<def>");
    QTest::newRow("header name runs to the last ] and is trimmed")
        << QByteArray("[ Kivo 1.0 ] junk\nx=1\n") << QByteArray("kivo 1.0") << QByteArray("x")
        << QByteArray("1");
    QTest::newRow("header name holds an inner ]")
        << QByteArray("[a]b]\nx=1\n") << QByteArray("a]b") << QByteArray("x") << QByteArray("1");
    QTest::newRow("header after blanks") << QByteArray("  \t[S]  \n  a=1\n") << QByteArray("S")
                                         << QByteArray("a") << QByteArray("1");
    QTest::newRow("[ without ] is an ordinary line")
        << QByteArray("[S]\n[abc=1\n") << QByteArray("S") << QByteArray("[abc") << QByteArray("1");
    QTest::newRow("[ without ] opens no section")
        << QByteArray("[S]\n[abc\nx=1\n") << QByteArray("S") << QByteArray("x") << QByteArray("1");
    QTest::newRow("lines before the first header are section \"\"")
        << QByteArray("a=1\n[S]\nb=2\n") << QByteArray("") << QByteArray("a") << QByteArray("1");
    QTest::newRow("lines before the first header are not in the first section")
        << QByteArray("a=1\n[S]\nb=2\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("<def>");
    QTest::newRow("header [] is a later section \"\"")
        << QByteArray("[S]\nb=2\n[]\nc=3\n") << QByteArray("") << QByteArray("c")
        << QByteArray("<def>");

    // No comments.
    QTest::newRow("; starts a key name")
        << QByteArray("[S]\n; x=1\n") << QByteArray("S") << QByteArray("; x") << QByteArray("1");
    QTest::newRow("; inside a value is part of it")
        << QByteArray("[S]\na=b ; c\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("b ; c");

    // Line breaks and BOM.
    QTest::newRow("LF file") << QByteArray("[S]\na=1\nb=2\n") << QByteArray("S") << QByteArray("b")
                             << QByteArray("2");
    QTest::newRow("CR file") << QByteArray("[S]\ra=1\rb=2\r") << QByteArray("S") << QByteArray("b")
                             << QByteArray("2");
    QTest::newRow("CRLF file") << QByteArray("[S]\r\na=1\r\nb=2\r\n") << QByteArray("S")
                               << QByteArray("b") << QByteArray("2");
    QTest::newRow("mixed line breaks") << QByteArray("[S]\ra=1\nb=2\r\nc=3\n\rd=4")
                                       << QByteArray("S") << QByteArray("d") << QByteArray("4");
    QTest::newRow("runs of line breaks") << QByteArray("[S]\r\n\r\n\n\r\r\na=1") << QByteArray("S")
                                         << QByteArray("a") << QByteArray("1");
    QTest::newRow("UTF-8 BOM skipped before the first header")
        << QByteArray("\xEF\xBB\xBF[S]\r\na=1\r\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("1");
}

void TestIniFile::reading() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, expected);
    const QString path = NewPath();
    WriteBytes(path, content);

    const TIniFile ini(Local(path));
    QCOMPARE(Bytes(ini.Snapshot()), content);
    QCOMPARE(Bytes(ini.ReadString(Str(section), Str(key), "<def>")), expected);
}

void TestIniFile::readInteger_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("expected"); // the default is -1

    QTest::newRow("decimal") << QByteArray("v=12") << 12;
    QTest::newRow("leading zeros") << QByteArray("v=007") << 7;
    QTest::newRow("negative") << QByteArray("v=-12") << -12;
    QTest::newRow("blanks around are trimmed") << QByteArray("v =  42 \t") << 42;
    QTest::newRow("quoted") << QByteArray("v=\"5\"") << 5;
    QTest::newRow("hexadecimal with $") << QByteArray("v=$1F") << 31;
    QTest::newRow("hexadecimal with 0x") << QByteArray("v=0x1F") << 31;
    QTest::newRow("largest") << QByteArray("v=2147483647") << INT_MAX;
    QTest::newRow("smallest") << QByteArray("v=-2147483648") << INT_MIN;
    QTest::newRow("overflow gives the default") << QByteArray("v=2147483648") << -1;
    QTest::newRow("letters give the default") << QByteArray("v=abc") << -1;
    QTest::newRow("trailing letters give the default") << QByteArray("v=12abc") << -1;
    QTest::newRow("empty gives the default") << QByteArray("v=") << -1;
    QTest::newRow("missing key gives the default") << QByteArray("w=3") << -1;
    QTest::newRow("line without = gives the default") << QByteArray("v") << -1;
}

void TestIniFile::readInteger() {
    QFETCH(QByteArray, line);
    QFETCH(int, expected);
    const QString path = NewPath();
    WriteBytes(path, "[Kivo]\r\n" + line + "\r\n");

    const TIniFile ini(Local(path));
    QCOMPARE(ini.ReadInteger("kivo", "V", -1), expected);
}

void TestIniFile::writeKeepsOtherBytes_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray lf = "; Kivo project\n"
                          "\n"
                          "[Kivo]\n"
                          "Version = 3\n"
                          "  MTPath\t=  C:\\old  \n"
                          "odd line without equals\n"
                          "[abc\n"
                          "; x = comment-like key\n"
                          "\n"
                          "[Other]\n"
                          "MTPath=untouched\n"
                          "\n";
    QByteArray lfExpected = lf;
    lfExpected.replace("C:\\old", "D:\\new");
    QTest::newRow("LF file: one value changed, all else kept, stays LF")
        << lf << QByteArray("kivo") << QByteArray("mtpath") << QByteArray("D:\\new") << lfExpected;
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    QByteArray crlfExpected = lfExpected;
    crlfExpected.replace("\n", "\r\n");
    QTest::newRow("CRLF file: one value changed, all else kept")
        << crlf << QByteArray("kivo") << QByteArray("mtpath") << QByteArray("D:\\new")
        << crlfExpected;
    QByteArray cr = lf;
    cr.replace("\n", "\r");
    QByteArray crExpected = lfExpected;
    crExpected.replace("\n", "\r");
    QTest::newRow("CR file: one value changed, all else kept")
        << cr << QByteArray("kivo") << QByteArray("mtpath") << QByteArray("D:\\new") << crExpected;

    QTest::newRow("key keeps its spelling")
        << QByteArray("[S]\r\nMTPath=a\r\n") << QByteArray("s") << QByteArray("MTPATH")
        << QByteArray("b") << QByteArray("[S]\r\nMTPath=b\r\n");
    QTest::newRow("quoted value replaced")
        << QByteArray("[S]\na = \"x\" \n") << QByteArray("S") << QByteArray("a") << QByteArray("b")
        << QByteArray("[S]\na = b \n");
    QTest::newRow("empty value filled")
        << QByteArray("[S]\na = \n") << QByteArray("S") << QByteArray("a") << QByteArray("9")
        << QByteArray("[S]\na = 9\n");
    QTest::newRow("value emptied")
        << QByteArray("[S]\na = 1\n") << QByteArray("S") << QByteArray("a") << QByteArray("")
        << QByteArray("[S]\na = \n");
    QTest::newRow("first of duplicate keys replaced")
        << QByteArray("[S]\na=1\na=2\n") << QByteArray("S") << QByteArray("a") << QByteArray("9")
        << QByteArray("[S]\na=9\na=2\n");
    QTest::newRow("key in the first section of the name replaced")
        << QByteArray("[S]\na=1\n[s]\na=2\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("9") << QByteArray("[S]\na=9\n[s]\na=2\n");
    QTest::newRow("header with junk kept")
        << QByteArray("[ A ] junk\na=1\n") << QByteArray("A") << QByteArray("a") << QByteArray("2")
        << QByteArray("[ A ] junk\na=2\n");
    QTest::newRow("UTF-8 BOM kept")
        << QByteArray("\xEF\xBB\xBF[S]\r\na=1\r\n") << QByteArray("S") << QByteArray("a")
        << QByteArray("2") << QByteArray("\xEF\xBB\xBF[S]\r\na=2\r\n");
    QTest::newRow("value with leading blanks written quoted")
        << QByteArray("[A]\na=1\n") << QByteArray("A") << QByteArray("a") << QByteArray("  x")
        << QByteArray("[A]\na=\"  x\"\n");

    QTest::newRow("new key after the section's last line, before blank lines")
        << QByteArray("[A]\na=1\n\n[B]\nb=1\n") << QByteArray("A") << QByteArray("c")
        << QByteArray("2") << QByteArray("[A]\na=1\nc=2\n\n[B]\nb=1\n");
    QTest::newRow("new key after an odd line")
        << QByteArray("[A]\na=1\nodd\n[B]\n") << QByteArray("a") << QByteArray("c")
        << QByteArray("2") << QByteArray("[A]\na=1\nodd\nc=2\n[B]\n");
    QTest::newRow("new key in a header-only section")
        << QByteArray("[A]\n[B]\nb=1\n") << QByteArray("A") << QByteArray("c") << QByteArray("2")
        << QByteArray("[A]\nc=2\n[B]\nb=1\n");
    QTest::newRow("new key in the last section, no final line break")
        << QByteArray("[A]\na=1") << QByteArray("A") << QByteArray("c") << QByteArray("2")
        << QByteArray("[A]\na=1\nc=2");
    QTest::newRow("new key goes to the first section of the name")
        << QByteArray("[A]\na=1\n[B]\n[a]\nx=1\n") << QByteArray("A") << QByteArray("c")
        << QByteArray("2") << QByteArray("[A]\na=1\nc=2\n[B]\n[a]\nx=1\n");
    QTest::newRow("new key: the first line break decides")
        << QByteArray("[A]\r\na=1\nb=2\r") << QByteArray("A") << QByteArray("c") << QByteArray("3")
        << QByteArray("[A]\r\na=1\nb=2\r\nc=3\r");
    QTest::newRow("new key in section \"\" goes to the top")
        << QByteArray("[A]\na=1\n") << QByteArray("") << QByteArray("k") << QByteArray("v")
        << QByteArray("k=v\n[A]\na=1\n");
    QTest::newRow("new key in section \"\" after its lines")
        << QByteArray("x=1\n\n[A]\n") << QByteArray("") << QByteArray("k") << QByteArray("v")
        << QByteArray("x=1\nk=v\n\n[A]\n");
    QTest::newRow("new key in section \"\" after the BOM")
        << QByteArray("\xEF\xBB\xBF[A]\r\n") << QByteArray("") << QByteArray("k") << QByteArray("v")
        << QByteArray("\xEF\xBB\xBFk=v\r\n[A]\r\n");

    QTest::newRow("new section at the end, without a blank line")
        << QByteArray("[A]\r\na=1\r\n") << QByteArray("B") << QByteArray("b") << QByteArray("2")
        << QByteArray("[A]\r\na=1\r\n[B]\r\nb=2\r\n");
    QTest::newRow("new section after a last line without line break")
        << QByteArray("[A]\na=1") << QByteArray("B") << QByteArray("b") << QByteArray("2")
        << QByteArray("[A]\na=1\n[B]\nb=2\n");
    QTest::newRow("new section after trailing blank lines")
        << QByteArray("[A]\na=1\n\n\n") << QByteArray("B") << QByteArray("b") << QByteArray("2")
        << QByteArray("[A]\na=1\n\n\n[B]\nb=2\n");
    QTest::newRow("new section in a file with a BOM only")
        << QByteArray("\xEF\xBB\xBF") << QByteArray("B") << QByteArray("b") << QByteArray("2")
        << QByteArray("\xEF\xBB\xBF[B]\r\nb=2\r\n");
    QTest::newRow("names given with blanks are written trimmed")
        << QByteArray("[A]\na=1\n") << QByteArray(" B ") << QByteArray("\tb ") << QByteArray("2")
        << QByteArray("[A]\na=1\n[B]\nb=2\n");
}

void TestIniFile::writeKeepsOtherBytes() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, expected);
    const QString path = NewPath();
    WriteBytes(path, content);

    TIniFile ini(Local(path));
    ini.WriteString(Str(section), Str(key), Str(value));
    QVERIFY(ini.Modified());
    ini.UpdateFile();
    QVERIFY(!ini.Modified());
    QCOMPARE(ReadBytes(path), expected);
    QCOMPARE(Bytes(ini.Snapshot()), expected);

    const TIniFile reread(Local(path));
    QCOMPARE(Bytes(reread.ReadString(Str(section), Str(key), "<def>")), value);
}

void TestIniFile::severalWritesInOneUpdate() {
    const QString path = NewPath();
    WriteBytes(path, "top=1\n"
                     "[A]\n"
                     "a=1 \n"
                     "\n"
                     "[B]\n"
                     "b=1");

    TIniFile ini(Local(path));
    ini.WriteString("A", "a", "2");
    ini.WriteString("B", "new", "x");
    ini.WriteString("C", "c1", "y");
    ini.WriteString("A", "second", "z");
    ini.WriteString("", "top2", "w");
    ini.WriteString("c", "C2", "v");
    ini.WriteString("B", "NEW", "x2"); // the held new key, changed again
    ini.UpdateFile();

    QCOMPARE(ReadBytes(path), QByteArray("top=1\n"
                                         "top2=w\n"
                                         "[A]\n"
                                         "a=2 \n"
                                         "second=z\n"
                                         "\n"
                                         "[B]\n"
                                         "b=1\n"
                                         "new=x2\n"
                                         "[C]\n"
                                         "c1=y\n"
                                         "C2=v\n"));
}

void TestIniFile::newFileGetsCrLfAndOneSection() {
    // The settings file as the main window first writes it.
    const QString path = NewFolder() + QStringLiteral("/kivo.ini");
    QVERIFY(!QFileInfo::exists(path));

    TIniFile ini(Local(path));
    QCOMPARE(ini.Snapshot(), std::string());
    ini.WriteString("Kivo", "MTPath", "C:\\Program Files\\MT5");
    ini.WriteString("Kivo", "Project", "D:\\projects\\eur.kvo");
    ini.UpdateFile();

    QCOMPARE(ReadBytes(path), QByteArray("[Kivo]\r\n"
                                         "MTPath=C:\\Program Files\\MT5\r\n"
                                         "Project=D:\\projects\\eur.kvo\r\n"));
}

void TestIniFile::writeIntegerReadsBack_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("12") << 12 << QByteArray("12");
    QTest::newRow("0") << 0 << QByteArray("0");
    QTest::newRow("-7") << -7 << QByteArray("-7");
    QTest::newRow("largest") << INT_MAX << QByteArray("2147483647");
    QTest::newRow("smallest") << INT_MIN << QByteArray("-2147483648");
}

void TestIniFile::writeIntegerReadsBack() {
    QFETCH(int, value);
    QFETCH(QByteArray, text);
    const QString path = NewPath();
    WriteBytes(path, "[Kivo]\r\nCount=3\r\n");

    TIniFile ini(Local(path));
    ini.WriteInteger("Kivo", "Count", value);
    ini.WriteInteger("Kivo", "Other", value);
    ini.UpdateFile();

    const TIniFile reread(Local(path));
    QCOMPARE(Bytes(reread.ReadString("Kivo", "Count", "<def>")), text);
    QCOMPARE(Bytes(reread.ReadString("Kivo", "Other", "<def>")), text);
    QCOMPARE(reread.ReadInteger("Kivo", "Count", 99), value);
}

void TestIniFile::readsAnswerHeldWrites() {
    const QString path = NewPath();
    WriteBytes(path, "[A]\r\na=1\r\n");

    TIniFile ini(Local(path));
    ini.WriteString("a", "A", "2");
    ini.WriteString("New", "Key", "  padded");
    QCOMPARE(ini.ReadString("A", "a", "<def>"), std::string("2"));
    QCOMPARE(ini.ReadInteger("A", "a", -1), 2);
    QCOMPARE(ini.ReadString("new", "KEY", "<def>"), std::string("  padded"));
    QCOMPARE(ReadBytes(path), QByteArray("[A]\r\na=1\r\n")); // nothing written yet
    QCOMPARE(ini.Snapshot(), std::string("[A]\r\na=1\r\n"));
}

void TestIniFile::sameValueWritesNothing_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("detour"); // written first when not null
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("same value") << QByteArray("[S]\r\na=1\r\n") << QByteArray("S")
                                << QByteArray("a") << QByteArray() << QByteArray("1");
    QTest::newRow("same value, names in another case")
        << QByteArray("[Sec]\r\nKey=v\r\n") << QByteArray("SEC") << QByteArray("key")
        << QByteArray() << QByteArray("v");
    QTest::newRow("same value, blanks around it in the file")
        << QByteArray("[S]\na =  1  \n") << QByteArray("S") << QByteArray("a") << QByteArray()
        << QByteArray("1");
    QTest::newRow("same value, quoted in the file")
        << QByteArray("[S]\na=' x'\n") << QByteArray("S") << QByteArray("a") << QByteArray()
        << QByteArray(" x");
    QTest::newRow("same empty value") << QByteArray("[S]\na=\n") << QByteArray("S")
                                      << QByteArray("a") << QByteArray() << QByteArray("");
    QTest::newRow("changed, then changed back")
        << QByteArray("[S]\na=1\n") << QByteArray("S") << QByteArray("a") << QByteArray("2")
        << QByteArray("1");
}

void TestIniFile::sameValueWritesNothing() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, detour);
    QFETCH(QByteArray, value);
    const QString folder = NewFolder();
    const QString path = folder + QStringLiteral("/project.kvo");
    WriteBytes(path, content);
    SetOldTime(path);

    TIniFile ini(Local(path));
    if (!detour.isNull()) {
        ini.WriteString(Str(section), Str(key), Str(detour));
        QVERIFY(ini.Modified());
    }
    ini.WriteString(Str(section), Str(key), Str(value));
    QVERIFY(!ini.Modified());
    ini.UpdateFile();
    QVERIFY(ini.UpdateFileIfUnchanged());

    QCOMPARE(ReadBytes(path), content);
    QCOMPARE(QFileInfo(path).lastModified().toUTC(), OldTime);
    QCOMPARE(Entries(folder), QStringList{QStringLiteral("project.kvo")});
}

void TestIniFile::refusesWhatCannotBeReadBack_data() {
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("CR in the value") << QByteArray("S") << QByteArray("a") << QByteArray("x\ry");
    QTest::newRow("LF in the value") << QByteArray("S") << QByteArray("a") << QByteArray("x\ny");
    QTest::newRow("NUL in the value")
        << QByteArray("S") << QByteArray("a") << QByteArray("x\0y", 3);
    QTest::newRow("a value that would inject a section")
        << QByteArray("S") << QByteArray("a") << QByteArray("1\r\n[Evil]\r\nb=2");
    QTest::newRow("CR in the key") << QByteArray("S") << QByteArray("a\rb") << QByteArray("1");
    QTest::newRow("LF in the key") << QByteArray("S") << QByteArray("a\nb") << QByteArray("1");
    QTest::newRow("NUL in the key") << QByteArray("S") << QByteArray("a\0b", 3) << QByteArray("1");
    QTest::newRow("CR in the section") << QByteArray("S\r") << QByteArray("a") << QByteArray("1");
    QTest::newRow("LF in the section") << QByteArray("S\nT") << QByteArray("a") << QByteArray("1");
    QTest::newRow("NUL in the section")
        << QByteArray("S\0T", 3) << QByteArray("a") << QByteArray("1");
    QTest::newRow("= in the key") << QByteArray("S") << QByteArray("a=b") << QByteArray("1");
    QTest::newRow("key starting with [") << QByteArray("S") << QByteArray("[a") << QByteArray("1");
    QTest::newRow("key starting with [ after blanks")
        << QByteArray("S") << QByteArray(" [a]") << QByteArray("1");
    QTest::newRow("] in the section") << QByteArray("S]T") << QByteArray("a") << QByteArray("1");
    QTest::newRow("empty key") << QByteArray("S") << QByteArray("") << QByteArray("1");
    QTest::newRow("blank key") << QByteArray("S") << QByteArray(" \t") << QByteArray("1");
}

void TestIniFile::refusesWhatCannotBeReadBack() {
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    const QString path = NewPath();
    const QByteArray content("[S]\r\na=0\r\n");
    WriteBytes(path, content);

    TIniFile ini(Local(path));
    bool thrown = false;
    try {
        ini.WriteString(Str(section), Str(key), Str(value));
    } catch (const Exception &e) {
        thrown = true;
        QVERIFY2(e.Message().find(Local(path)) != std::string::npos, e.what());
        QVERIFY2(e.Message().find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                 e.what());
    }
    QVERIFY(thrown);
    QVERIFY(!ini.Modified());
    ini.UpdateFile();
    QCOMPARE(ReadBytes(path), content);
    QCOMPARE(ini.ReadString("S", "a", "<def>"), std::string("0"));
}

void TestIniFile::valuesRoundTrip_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("plain") << QByteArray("C:\\mt5\\terminal64.exe");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("leading blanks") << QByteArray("  x");
    QTest::newRow("trailing blanks") << QByteArray("x  ");
    QTest::newRow("tab first") << QByteArray("\tx");
    QTest::newRow("0x1A last") << QByteArray("x\x1a");
    QTest::newRow("blank only") << QByteArray(" ");
    QTest::newRow("double-quoted") << QByteArray("\"x\"");
    QTest::newRow("single-quoted") << QByteArray("'x'");
    QTest::newRow("quoted blanks") << QByteArray("\" x \"");
    QTest::newRow("two double quotes") << QByteArray("\"\"");
    QTest::newRow("two single quotes") << QByteArray("''");
    QTest::newRow("one double quote") << QByteArray("\"");
    QTest::newRow("one single quote") << QByteArray("'");
    QTest::newRow("quote first only") << QByteArray("\"x");
    QTest::newRow("quote last only") << QByteArray("x\"");
    QTest::newRow("mixed quotes") << QByteArray("\"x'");
    QTest::newRow("quote and blank") << QByteArray("\" ");
    QTest::newRow("equals signs") << QByteArray("a = b=c");
    QTest::newRow("semicolon") << QByteArray("; c");
    QTest::newRow("a header") << QByteArray("[Evil]");
    QTest::newRow("8-bit bytes") << QByteArray("\xe4\xf6\xfc\xff");
}

void TestIniFile::valuesRoundTrip() {
    QFETCH(QByteArray, value);
    const QString path = NewPath();
    WriteBytes(path, "[S]\r\nold=1\r\n");

    TIniFile ini(Local(path));
    ini.WriteString("S", "old", Str(value));
    ini.WriteString("S", "new", Str(value));
    ini.WriteString("T", "new", Str(value));
    QCOMPARE(Bytes(ini.ReadString("S", "old", "<def>")), value);
    ini.UpdateFile();

    const TIniFile reread(Local(path));
    QCOMPARE(Bytes(reread.ReadString("S", "old", "<def>")), value);
    QCOMPARE(Bytes(reread.ReadString("S", "new", "<def>")), value);
    QCOMPARE(Bytes(reread.ReadString("T", "new", "<def>")), value);

    TIniFile again(Local(path));
    again.WriteString("S", "old", Str(value));
    QVERIFY(!again.Modified());
}

void TestIniFile::failedCommitKeepsOldFile_data() {
    QTest::addColumn<Failure>("failure");
    QTest::newRow("target folder missing") << TargetFolderMissing;
    QTest::newRow("file replaced by a folder") << FileReplacedByFolder;
    QTest::newRow("temporary file cannot be created") << TempNameTooLong;
#ifdef Q_OS_UNIX
    // A staged copy cut off by a failed write must not be renamed over the file.
    QTest::newRow("writing the temporary file fails") << WriteFails;
#endif
}

void TestIniFile::failedCommitKeepsOldFile() {
    QFETCH(Failure, failure);
    const QString folder = NewFolder();
    // A name so long that the staged copy's name ("name.kivo-save") exceeds NAME_MAX.
    const QString name = failure == TempNameTooLong ? QString(250, QLatin1Char('p')) + ".kvo"
                                                    : QStringLiteral("project.kvo");
    const QString path = folder + QLatin1Char('/') + name;
    const QByteArray original("; keep me\r\n[Kivo]\r\nMTPath=C:\\old\r\n");
    WriteBytes(path, original);

    TIniFile ini(Local(path));
    ini.WriteString("Kivo", "MTPath", "C:\\new");
    ini.WriteString("Kivo", "Project", "x.kvo");

    QString keptFolder = folder;
    if (failure == TargetFolderMissing) {
        keptFolder = folder + QStringLiteral("-moved");
        QVERIFY(QDir().rename(folder, keptFolder));
    } else if (failure == FileReplacedByFolder) {
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
        WriteBytes(path + QStringLiteral("/inside.txt"), "inside");
    }

    std::string message;
    bool thrown = false;
#ifdef Q_OS_UNIX
    struct rlimit oldLimit {};
    void (*oldHandler)(int) = SIG_DFL;
    if (failure == WriteFails) { // the temporary file may grow to 4 bytes only
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = oldLimit;
        small.rlim_cur = 4;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
#endif
    try {
        ini.UpdateFile();
    } catch (const Exception &e) {
        thrown = true;
        message = e.Message();
    }
#ifdef Q_OS_UNIX
    if (failure == WriteFails) {
        setrlimit(RLIMIT_FSIZE, &oldLimit);
        std::signal(SIGXFSZ, oldHandler);
    }
#endif

    QVERIFY(thrown);
    QVERIFY2(message.starts_with("Cannot write file " + Local(path) + ": "), message.c_str());
    QVERIFY2(message.size() > ("Cannot write file " + Local(path) + ": ").size(), message.c_str());
    QVERIFY(ini.Modified()); // the writes are still held
    QCOMPARE(ini.ReadString("Kivo", "MTPath", "<def>"), std::string("C:\\new"));

    switch (failure) {
    case TargetFolderMissing:
        QVERIFY(!QFileInfo::exists(folder));
        QCOMPARE(ReadBytes(keptFolder + QLatin1Char('/') + name), original);
        QCOMPARE(Entries(keptFolder), QStringList{name});
        break;
    case FileReplacedByFolder:
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(ReadBytes(path + QStringLiteral("/inside.txt")), QByteArray("inside"));
        QCOMPARE(Entries(path), QStringList{QStringLiteral("inside.txt")});
        QCOMPARE(Entries(folder), QStringList{name});
        break;
    case TempNameTooLong:
    case WriteFails:
        QCOMPARE(ReadBytes(path), original);
        QCOMPARE(Entries(folder), QStringList{name}); // no temporary file left
        break;
    }
}

void TestIniFile::updateFileIfUnchanged_data() {
    QTest::addColumn<OtherWriter>("other");
    QTest::addColumn<bool>("held"); // whether the object holds a write
    QTest::addColumn<bool>("expected");

    QTest::newRow("nobody else wrote: written") << Nobody << true << true;
    QTest::newRow("another writer changed a value: nothing written")
        << ChangedValue << true << false;
    QTest::newRow("another writer wrote the same bytes: written") << SameBytes << true << true;
    QTest::newRow("another writer deleted the file: nothing written") << Deleted << true << false;
    QTest::newRow("another writer emptied the file: nothing written") << Emptied << true << false;
    QTest::newRow("nothing held, file unchanged") << Nobody << false << true;
    QTest::newRow("nothing held, file changed") << ChangedValue << false << false;
}

void TestIniFile::updateFileIfUnchanged() {
    QFETCH(OtherWriter, other);
    QFETCH(bool, held);
    QFETCH(bool, expected);
    const QString path = NewPath();
    const QByteArray original("[Kivo]\r\nMTPath=a\r\nState=1\r\n");
    WriteBytes(path, original);

    TIniFile ini(Local(path));
    if (held)
        ini.WriteString("Kivo", "MTPath", "b");

    QByteArray onDisk = original;
    switch (other) {
    case Nobody:
        break;
    case ChangedValue:
        onDisk = "[Kivo]\r\nMTPath=a\r\nState=2\r\n";
        break;
    case SameBytes:
        break;
    case Deleted:
        onDisk = "<cannot open>";
        break;
    case Emptied:
        onDisk = "";
        break;
    }
    if (other == Deleted) {
        QVERIFY(QFile::remove(path));
    } else if (other != Nobody) {
        WriteBytes(path, onDisk); // in place, as the profile API writes
    }
    if (other != Deleted)
        SetOldTime(path);

    QCOMPARE(ini.UpdateFileIfUnchanged(), expected);

    if (expected && held) {
        QCOMPARE(ReadBytes(path), QByteArray("[Kivo]\r\nMTPath=b\r\nState=1\r\n"));
        QVERIFY(!ini.Modified());
    } else {
        QCOMPARE(ReadBytes(path), onDisk);
        if (other != Deleted)
            QCOMPARE(QFileInfo(path).lastModified().toUTC(), OldTime);
        QCOMPARE(ini.Modified(), held);
    }
}

void TestIniFile::snapshotFollowsOwnWrites() {
    const QString path = NewPath();
    WriteBytes(path, "[Kivo]\nA=1\n");

    TIniFile ini(Local(path));
    ini.WriteString("Kivo", "A", "2");
    QVERIFY(ini.UpdateFileIfUnchanged());
    QCOMPARE(ini.Snapshot(), std::string("[Kivo]\nA=2\n"));
    ini.WriteString("Kivo", "B", "3"); // the second commit compares with what the first wrote
    QVERIFY(ini.UpdateFileIfUnchanged());
    QCOMPARE(ReadBytes(path), QByteArray("[Kivo]\nA=2\nB=3\n"));
    QCOMPARE(ini.ReadString("kivo", "b", "<def>"), std::string("3"));
}

void TestIniFile::randomFilesAndWrites() {
    // Files made of odd pieces, read and written at random, checked against the plain reader.
    const std::vector<std::string> lines = {
        "[S]",   "[s]", "[ T ] junk", "[]",   "[New", "[t",   "a=1", "A = 2", " b =  \"3\" ",
        "; c=4", "odd", "",           "  \t", "=x",   "\x1a", "a==", "B='",   "new key = \" 5 \"",
        "[S]x=1"};
    const std::vector<std::string> breaks = {"\r\n", "\n", "\r", "\r\n\r\n", "\n\n"};
    const std::vector<std::string> sections = {"", "S", "s ", "T", "t", "New", "[New"};
    const std::vector<std::string> keys = {"a", "A", "b", "; c", "new key", "B", "x"};
    const std::vector<std::string> values = {"",    "1",    " x", "\"q\"", "'", "a=b",
                                             "x  ", "\x1a", "\"", "''",    "\t"};
    std::mt19937 random(20240611);
    const auto pick = [&](const auto &list) {
        return list[random() % list.size()];
    };
    const QString folder = NewFolder();
    for (int round = 0; round < 300; ++round) {
        std::string content = random() % 4 == 0 ? "\xEF\xBB\xBF" : "";
        const int count = int(random() % 12);
        for (int i = 0; i < count; ++i) {
            content += pick(lines);
            if (i + 1 < count || random() % 2)
                content += pick(breaks);
        }
        const QString path = folder + QStringLiteral("/r%1.kvo").arg(round);
        WriteBytes(path, Bytes(content));

        TIniFile ini(Local(path));
        for (const std::string &section : sections) {
            for (const std::string &key : keys) {
                QCOMPARE(ini.ReadString(section, key, "<def>"),
                         RefRead(content, section, key).value_or("<def>"));
            }
        }
        std::map<std::pair<std::string, std::string>, std::string> written;
        const int writes = int(random() % 5);
        for (int i = 0; i < writes; ++i) {
            const std::string section = pick(sections);
            const std::string key = pick(keys);
            const std::string value = pick(values);
            if (section.find(']') != std::string::npos)
                continue;
            ini.WriteString(section, key, value);
            written[{RefLower(RefTrim(section)), RefLower(key)}] = value;
        }
        ini.UpdateFile();
        const std::string after = Str(ReadBytes(path));
        QCOMPARE(after, ini.Snapshot());
        if (written.empty())
            QCOMPARE(after, content);
        QCOMPARE(after.starts_with("\xEF\xBB\xBF"), content.starts_with("\xEF\xBB\xBF"));
        for (const std::string &section : sections) {
            for (const std::string &key : keys) {
                const auto it = written.find({RefLower(RefTrim(section)), RefLower(key)});
                const std::optional<std::string> expected = it != written.end()
                                                                ? std::optional(it->second)
                                                                : RefRead(content, section, key);
                QVERIFY2(
                    RefRead(after, section, key) == expected,
                    qPrintable(
                        QStringLiteral("round %1, [%2] %3 in:\n%4")
                            .arg(round)
                            .arg(QString::fromStdString(section), QString::fromStdString(key),
                                 QString::fromLatin1(Bytes(after).toPercentEncoding(" =[]\"';")))));
            }
        }
    }
}

void TestIniFile::largeProject() {
    // 256 variables with four keys each, as a project file holds them.
    QByteArray content = "[Kivo]\r\nVersion=1\r\nCount=256\r\n";
    for (int i = 0; i < 256; ++i) {
        const QByteArray n = QByteArray::number(i);
        content += "[Var" + n + "]\r\nName=Variable " + n + "\r\nValue=" + n +
                   "\r\nMin=0\r\nMax=" + QByteArray::number(i * 10) + "\r\n";
    }
    const QString path = NewPath();
    WriteBytes(path, content);

    TIniFile ini(Local(path));
    QCOMPARE(ini.ReadInteger("Kivo", "Count", -1), 256);
    for (int i = 0; i < 256; ++i) {
        const std::string section = "VAR" + std::to_string(i);
        QCOMPARE(ini.ReadString(section, "name", ""), "Variable " + std::to_string(i));
        QCOMPARE(ini.ReadInteger(section, "value", -1), i);
        QCOMPARE(ini.ReadInteger(section, "max", -1), i * 10);
    }
    ini.WriteString("Var200", "Value", "-5");
    ini.UpdateFile();
    QByteArray expected = content;
    expected.replace("[Var200]\r\nName=Variable 200\r\nValue=200\r\n",
                     "[Var200]\r\nName=Variable 200\r\nValue=-5\r\n");
    QCOMPARE(ReadBytes(path), expected);
}

void TestIniFile::readFileStableMissingFile() {
    const QString path = NewFolder() + QStringLiteral("/missing.kvo");
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(ReadFileStable(Local(path)), std::string());
    QVERIFY2(timer.elapsed() < 20, qPrintable(QString::number(timer.elapsed())));

    const TIniFile ini(Local(path));
    QCOMPARE(ini.ReadString("Kivo", "MTPath", "<def>"), std::string("<def>"));
}

void TestIniFile::readFileStableEmptyFileIsBounded() {
    const QString path = NewPath();
    WriteBytes(path, QByteArray());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(ReadFileStable(Local(path)), std::string());
    const qint64 elapsed = timer.elapsed();
    // An empty read may be a rewrite in progress: read again, about 50 ms at most (not at all
    // where a read lease shows that nobody writes).
    QVERIFY2(elapsed < 500, qPrintable(QString::number(elapsed)));
}

void TestIniFile::readFileStablePollingIsCheap() {
    const QString path = NewPath();
    const QByteArray content("[Kivo]\r\nMTPath=C:\\mt\r\n");
    WriteBytes(path, content);
    QCOMPARE(Bytes(ReadFileStable(Local(path))), content); // verified by a second read

    // An unchanged file is taken at its first read: without that, each read waits 2 ms.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 100; ++i)
        QCOMPARE(Bytes(ReadFileStable(Local(path))), content);
    QVERIFY2(timer.elapsed() < 100, qPrintable(QString::number(timer.elapsed())));

    // A changed file is verified again.
    WriteBytes(path, content + "Project=x\r\n");
    QCOMPARE(Bytes(ReadFileStable(Local(path))), content + "Project=x\r\n");
}

void TestIniFile::readFileStableWaitsOutARewrite() {
    // Another program truncates the file and, 10 ms later, writes it anew in place (in two
    // pieces, as the profile API writes a section at a time): the empty reads are read again.
    const QString path = NewPath();
    WriteBytes(path, "[Kivo]\r\nState=old\r\n");
    QCOMPARE(ReadFileStable(Local(path)), std::string("[Kivo]\r\nState=old\r\n"));
    QByteArray content = "[Kivo]\r\n";
    for (int i = 0; i < 200; ++i)
        content += "Key" + QByteArray::number(i) + "=value\r\n";

    std::atomic<bool> truncated{false};
    std::thread writer([&] {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            truncated = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            file.write(content.left(content.size() / 2));
            file.write(content.mid(content.size() / 2));
        }
        truncated = true;
    });
    while (!truncated)
        std::this_thread::yield();
    const std::string read = ReadFileStable(Local(path));
    writer.join();
    QCOMPARE(Bytes(read), content);
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
