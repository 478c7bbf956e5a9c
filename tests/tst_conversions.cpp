#include "CodePage.h"
#include "Conversions.h"
#include "Exception.h"

#include <QLocale>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QTest>

#include <cmath>
#include <limits>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

// Texts are byte strings: QByteArray keeps NULs and prints readably when a row fails.
static std::string bytes(const QByteArray &text) {
    return text.toStdString();
}

// How the expert reads a few bytes in a code page: the system's own conversion, which has no
// character for a byte the code page leaves unassigned.
static std::optional<QString> expertReads(int codePage, const std::string &text) {
#ifdef _WIN32
    wchar_t wide[8];
    const int length = MultiByteToWideChar(UINT(codePage), MB_ERR_INVALID_CHARS, text.data(),
                                           int(text.size()), wide, 8);
    return length > 0 ? std::optional(QString::fromWCharArray(wide, length)) : std::nullopt;
#else
    const iconv_t decoder = iconv_open("UTF-8", ("CP" + std::to_string(codePage)).c_str());
    char utf8[32], *out = utf8, *in = const_cast<char *>(text.data());
    std::size_t left = text.size(), room = sizeof utf8;
    const bool read = iconv(decoder, &in, &left, &out, &room) != std::size_t(-1) &&
                      iconv(decoder, nullptr, nullptr, &out, &room) != std::size_t(-1);
    iconv_close(decoder);
    return read ? std::optional(QString::fromUtf8(utf8, out - utf8)) : std::nullopt;
#endif
}

// The converted value, or nullopt when the conversion raises EConvertError.
template <typename Convert>
static auto converted(Convert convert) -> std::optional<decltype(convert())> {
    try {
        return convert();
    } catch (const EConvertError &) {
        return std::nullopt;
    }
}

class TestConversions : public QObject {
    Q_OBJECT

private slots:
    void decimalSeparatorStartsAsSystems();
    void intToStr_data();
    void intToStr();
    void strToInt_data();
    void strToInt();
    void strToFloat_data();
    void strToFloat();
    void strToFloatWithCommaSeparator();
    void errorMessages();
    void shortDateFormatFrom_data();
    void shortDateFormatFrom();
    void strToDate_data();
    void strToDate();
    void strToDateUsesSystemFormat();
    void extractFile_data();
    void extractFile();
    void localCodecRoundTrip_data();
    void localCodecRoundTrip();
    void invalidUtf8IsReplaced_data();
    void invalidUtf8IsReplaced();
    void projectCodePage_data();
    void projectCodePage();
    void projectCodePageRoundTrip_data();
    void projectCodePageRoundTrip();
};

// Runs first, before any test assigns DecimalSeparator.
void TestConversions::decimalSeparatorStartsAsSystems() {
    const QString point = QLocale::system().decimalPoint();
    const bool ascii = point.size() == 1 && point.front().unicode() < 0x80;
    QCOMPARE(DecimalSeparator, ascii ? point.front().toLatin1() : '.');
}

void TestConversions::intToStr_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("zero") << 0 << QByteArray("0");
    QTest::newRow("negative") << -42 << QByteArray("-42");
    QTest::newRow("no group separators") << 1234567 << QByteArray("1234567");
    QTest::newRow("max") << std::numeric_limits<int>::max() << QByteArray("2147483647");
    QTest::newRow("min") << std::numeric_limits<int>::min() << QByteArray("-2147483648");
}

void TestConversions::intToStr() {
    QFETCH(int, value);
    QFETCH(QByteArray, text);
    QCOMPARE(QByteArray::fromStdString(IntToStr(value)), text);
}

void TestConversions::strToInt_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("expected");
    const int min = std::numeric_limits<int>::min();
    const int max = std::numeric_limits<int>::max();
    const auto ok = [](const char *name, const QByteArray &text, int expected) {
        QTest::newRow(name) << text << true << expected;
    };
    const auto reject = [](const char *name, const QByteArray &text) {
        QTest::newRow(name) << text << false << 0;
    };

    ok("leading spaces, minus", "  -42", -42);
    ok("plus", "+5", 5);
    ok("leading zeros are decimal", "017", 17);
    ok("zero", "0", 0);
    reject("trailing space", "42 ");
    reject("two signs", "+-5");
    reject("empty", "");
    reject("spaces only", "   ");
    reject("sign only", "-");
    reject("space after sign", "- 5");
    reject("exponent", "1e3");
    reject("trailing letters", "12abc");
    reject("arabic-indic digit", "\xD9\xA3");
    reject("leading tab", "\t123");
    reject("leading no-break space", "\xC2\xA0"
                                     "5");
    reject("trailing newline", "12\n");
    reject("inner space", "1 2");

    ok("hex $", "$1F", 31);
    ok("hex 0x", "0x1F", 31);
    ok("hex 0X", "0X1F", 31);
    ok("hex x", "x1F", 31);
    ok("hex X", "X1F", 31);
    ok("hex lower-case digits", "$1f", 31);
    ok("hex negative", "-$1F", -31);
    ok("hex plus, spaces", "  +0x1F", 31);
    ok("hex leading zeros", "$00000000000000FF", 255);
    reject("hex prefix only $", "$");
    reject("hex prefix only 0x", "0x");
    reject("hex bad digit", "0x1G");
    reject("hex sign after prefix", "$-1");
    reject("hex double zero prefix", "00x1F");
    reject("octal &", "&17");
    reject("binary %", "%101");

    ok("max", "2147483647", max);
    reject("max + 1", "2147483648");
    ok("min", "-2147483648", min);
    reject("min - 1", "-2147483649");
    reject("beyond 64 bits", "99999999999999999999999");
    ok("hex 7FFFFFFF", "$7FFFFFFF", max);
    ok("hex 80000000 wraps", "$80000000", min);
    ok("hex FFFFFFFF wraps", "$FFFFFFFF", -1);
    reject("hex 100000000", "$100000000");
    ok("hex -80000000", "-$80000000", min);
    reject("hex -80000001", "-$80000001");
    reject("hex -FFFFFFFF", "-$FFFFFFFF");

    reject("NUL inside", QByteArray("12\0abc", 6));
    reject("NUL at end", QByteArray("12\0", 3));
    ok("255 characters", QByteArray(254, ' ') + "1", 1);
    reject("256 characters", QByteArray(255, ' ') + "1");
    ok("255 digits", QByteArray(254, '0') + "7", 7);
    reject("256 digits", QByteArray(255, '0') + "7");
}

void TestConversions::strToInt() {
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(int, expected);
    std::int32_t value = 12345;
    QCOMPARE(TryStrToInt(bytes(text), value), valid);
    QCOMPARE(value, valid ? expected : 12345); // untouched when invalid
    const auto thrown = converted([&] { return StrToInt(bytes(text)); });
    QCOMPARE(thrown.has_value(), valid);
    QCOMPARE(thrown.value_or(12345), value);
}

void TestConversions::strToFloat_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("expected");
    const auto ok = [](const char *name, const QByteArray &text, double expected) {
        QTest::newRow(name) << text << true << expected;
    };
    const auto reject = [](const char *name, const QByteArray &text) {
        QTest::newRow(name) << text << false << 0.0;
    };
    const double max = std::numeric_limits<double>::max();
    const double denormMin = std::numeric_limits<double>::denorm_min();

    ok("d.d", "1.5", 1.5);
    ok(".d", ".5", 0.5);
    ok("d.", "5.", 5.0);
    ok("d", "5", 5.0);
    ok("plus", "+1.5", 1.5);
    ok("minus zero", "-0", -0.0);
    ok("spaces both ends", " 1.5 ", 1.5);
    ok("E-3", "1E-3", 1e-3);
    ok("e+3", "1e+3", 1e3);
    ok("negative with exponent", "-1.5e-3", -1.5e-3);
    ok("leading zeros", "007.50", 7.5);
    reject("comma", "1,5");
    reject("two points", "1.5.5");
    reject("hex", "0x1F");
    reject("group separator", "1 000");
    reject("point only", ".");
    reject("exponent only", "e5");
    reject("exponent without digits", "1e");
    reject("exponent sign without digits", "1e+");
    reject("fractional exponent", "1e5.5");
    reject("space inside exponent", "1e 5");
    reject("space after sign", "- 1");
    reject("space before point", "1 .5");
    reject("empty", "");
    reject("spaces only", "   ");
    reject("sign only", "+");
    reject("two signs", "+-1");
    reject("trailing letter", "1.5x");
    reject("leading tab", "\t1.5");
    reject("arabic-indic digits", "\xD9\xA1.\xD9\xA5");

    reject("inf", "inf");
    reject("INF", "INF");
    reject("infinity", "infinity");
    reject("-inf", "-inf");
    reject("nan", "nan");
    reject("overflow 1e400", "1e400");
    reject("overflow 1.8e308", "1.8e308");
    reject("overflow negative", "-1e400");
    reject("overflow from integer digits", "1000e306");
    reject("overflow from fraction", "0.00000000001e320");
    reject("overflow, huge exponent", "1e999999999999999999999");
    ok("max", "1.7976931348623157e308", max);
    ok("max negative", "-1.7976931348623157e308", -max);
    ok("near max", "0.0001e312", 1e308);
    ok("underflow 1e-400", "1e-400", 0.0);
    ok("underflow negative", "-1e-400", -0.0);
    ok("underflow, huge negative exponent", "1e-999999999999999999999", 0.0);
    ok("underflow from integer digits", "10000000000000000000000000000000000000000e-400", 0.0);
    ok("denormal", "4.9406564584124654e-324", denormMin);
    ok("zero, huge exponent", "0e999999", 0.0);

    reject("NUL inside", QByteArray("1.5\0"
                                    "9",
                                    5));
    ok("255 characters", QByteArray(252, ' ') + "1.5", 1.5);
    ok("255 characters, trailing spaces", "1.5" + QByteArray(252, ' '), 1.5);
    reject("256 characters", QByteArray(253, ' ') + "1.5");
}

void TestConversions::strToFloat() {
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(double, expected);
    DecimalSeparator = '.';
    const auto value = converted([&] { return StrToFloat(bytes(text)); });
    QCOMPARE(value.has_value(), valid);
    if (valid) {
        QCOMPARE(*value, expected);
        QCOMPARE(std::signbit(*value), std::signbit(expected));
    }
}

void TestConversions::strToFloatWithCommaSeparator() {
    const auto restore = qScopeGuard([] { DecimalSeparator = '.'; });
    DecimalSeparator = ',';
    QCOMPARE(StrToFloat("1,5"), 1.5);
    QCOMPARE(StrToFloat(",5"), 0.5);
    QCOMPARE(StrToFloat(" -1,5e3 "), -1500.0);
    QVERIFY_THROWS_EXCEPTION(EConvertError, StrToFloat("1.5"));
    QVERIFY_THROWS_EXCEPTION(EConvertError, StrToFloat("1,5,5"));
}

void TestConversions::errorMessages() {
    const auto message = [](auto convert) -> QByteArray {
        try {
            convert();
        } catch (const EConvertError &e) {
            return QByteArray::fromStdString(e.Message());
        }
        return "no exception";
    };
    QCOMPARE(message([] { StrToInt("abc"); }), QByteArray("'abc' is not a valid integer value"));
    QCOMPARE(message([] { StrToFloat("abc"); }),
             QByteArray("'abc' is not a valid floating point value"));
    QCOMPARE(message([] { StrToDate("abc", {}, 2026); }), QByteArray("'abc' is not a valid date"));
}

void TestConversions::shortDateFormatFrom_data() {
    QTest::addColumn<QString>("qtFormat");
    QTest::addColumn<int>("order");
    QTest::addColumn<char>("separator");
    const auto row = [](const char *name, const QString &format, TShortDateFormat::Order order,
                        char separator) {
        QTest::newRow(name) << format << int(order) << separator;
    };
    using F = TShortDateFormat;

    row("C", "d MMM yyyy", F::MDY, '/');
    row("en_US", "M/d/yy", F::MDY, '/');
    row("en_GB", "dd/MM/yyyy", F::DMY, '/');
    row("de_DE", "dd.MM.yy", F::DMY, '.');
    row("ru_RU", "dd.MM.yyyy", F::DMY, '.');
    row("mn_MN", "yyyy.MM.dd", F::YMD, '.');
    row("ISO", "yyyy-MM-dd", F::YMD, '-');
    row("ko_KR", "yy. M. d.", F::YMD, '.');
    row("bg_BG, quoted suffix", "d.MM.yy '\u0433'.", F::DMY, '.');
    row("ar_EG, direction marks", "d\u200f/M\u200f/yyyy", F::DMY, '/');
    row("weekday first", "dddd, d/M/yyyy", F::DMY, '/');
    row("quoted prefix", "'Date: 'dd-MM-yyyy", F::DMY, '-');
    row("quoted punctuation skipped", "d'/'.M/yyyy", F::DMY, '.');
    row("only quoted punctuation", "d'/'M.yyyy", F::MDY, '/');
    row("escaped quote skipped", "d''.M/yyyy", F::DMY, '.');
    row("non-ASCII separator", "d\u2044M\u2044yyyy", F::MDY, '/');
    row("spaces only", "dd MM yyyy", F::MDY, '/');
    row("one field", "yyyy", F::MDY, '/');
    row("empty", "", F::MDY, '/');
}

void TestConversions::shortDateFormatFrom() {
    QFETCH(QString, qtFormat);
    QFETCH(int, order);
    QFETCH(char, separator);
    const TShortDateFormat format = ShortDateFormatFrom(qtFormat);
    QCOMPARE(int(format.FieldOrder), order);
    QCOMPARE(format.Separator, separator);
}

void TestConversions::strToDate_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("order");
    QTest::addColumn<char>("separator");
    QTest::addColumn<int>("currentYear");
    QTest::addColumn<QDate>("expected"); // invalid: rejected
    using F = TShortDateFormat;
    struct Format {
        F::Order order;
        char separator;
        int currentYear = 2026;
        void ok(const char *name, const QByteArray &text, QDate expected) const {
            QTest::newRow(name) << text << int(order) << separator << currentYear << expected;
        }
        void reject(const char *name, const QByteArray &text) const { ok(name, text, QDate()); }
    };
    const Format dmy{F::DMY, '/'}, mdy{F::MDY, '/'}, ymd{F::YMD, '.'}, dmyDot{F::DMY, '.'};

    dmy.ok("DMY 1/2/2003", "1/2/2003", QDate(2003, 2, 1));
    mdy.ok("MDY 1/2/2003", "1/2/2003", QDate(2003, 1, 2));
    dmy.ok("two-digit year 75", "01/02/75", QDate(2075, 2, 1));
    dmy.ok("two-digit year 76", "01/02/76", QDate(1976, 2, 1));
    dmy.ok("two-digit year 00", "1/2/00", QDate(2000, 2, 1));
    dmy.ok("two-digit year 99", "1/2/99", QDate(1999, 2, 1));
    dmy.ok("one-digit year", "1/2/5", QDate(2005, 2, 1));
    dmy.ok("four-digit year 0075", "1/2/0075", QDate(75, 2, 1));
    dmy.ok("three-digit year", "1/2/075", QDate(75, 2, 1));
    dmy.ok("four-digit day", "0001/02/2003", QDate(2003, 2, 1));
    dmy.ok("last day", "31/12/9999", QDate(9999, 12, 31));
    dmy.ok("DMY without year", "1/2", QDate(2026, 2, 1));
    mdy.ok("MDY without year", "1/2", QDate(2026, 1, 2));
    ymd.ok("YMD without year is month, day", "2.1", QDate(2026, 2, 1));
    dmy.reject("one field", "15");
    dmy.reject("31 February", "31/02/2003");
    dmy.reject("29 February 2100", "29/02/2100");
    dmy.ok("29 February 2004", "29/02/2004", QDate(2004, 2, 29));
    dmy.ok("29 February 2000", "29/2/2000", QDate(2000, 2, 29));
    dmy.reject("day 0", "0/2/2003");
    dmy.reject("month 13", "1/13/2003");
    mdy.reject("MDY month 13", "13/1/2003");
    dmy.reject("year 0000", "1/2/0000");
    dmy.ok("spaces around separators", " 1 / 2 / 2003 ", QDate(2003, 2, 1));
    dmy.ok("trailing separator", "1/2/2003/", QDate(2003, 2, 1));
    dmy.ok("trailing separator, spaces", "1/2/2003 / ", QDate(2003, 2, 1));
    dmy.reject("space inside field", "1 2/3/2003");
    dmy.reject("two trailing separators", "1/2/2003//");
    dmy.reject("trailing separator without year", "1/2/");
    dmy.reject("leading separator", "/1/2");
    dmy.reject("empty field", "1//2003");
    dmy.reject("other separator", "1.2.2003");
    dmy.reject("time", "1/2/2003 10:00");
    dmy.reject("month name", "1/Feb/2003");
    dmy.reject("arabic-indic digits", "\xD9\xA1/\xD9\xA2/\xD9\xA2\xD9\xA0\xD9\xA0\xD9\xA3");
    dmy.reject("five-digit year", "1/2/02003");
    dmy.reject("five-digit day", "00001/2/2003");
    dmy.reject("sign", "+1/2/2003");
    dmy.reject("negative year", "1/2/-3");
    dmy.reject("leading tab", "\t1/2/2003");
    dmy.reject("NUL at end", QByteArray("1/2/2003\0", 9));
    dmy.reject("empty", "");
    dmy.reject("spaces only", "   ");
    ymd.ok("YMD with spaces, trailing separator", "03. 2. 1.", QDate(2003, 2, 1));
    ymd.ok("YMD four-digit year", "2003.2.1", QDate(2003, 2, 1));
    ymd.reject("YMD day 2003", "1.2.2003");
    dmyDot.ok("DMY '.'", "1.2.2003", QDate(2003, 2, 1));
    dmyDot.reject("DMY '.' given '/'", "1/2/2003");
    const Format cLocale = {ShortDateFormatFrom("d MMM yyyy").FieldOrder,
                            ShortDateFormatFrom("d MMM yyyy").Separator};
    cLocale.ok("C locale 2/1/2003", "2/1/2003", QDate(2003, 2, 1));
    cLocale.reject("C locale 1 Feb 2003", "1 Feb 2003");
    const Format dmy2080{F::DMY, '/', 2080};
    dmy2080.ok("window in 2080: 30", "1/2/30", QDate(2030, 2, 1));
    dmy2080.ok("window in 2080: 29", "1/2/29", QDate(2129, 2, 1));
    dmy2080.ok("missing year in 2080", "1/2", QDate(2080, 2, 1));
}

void TestConversions::strToDate() {
    QFETCH(QByteArray, text);
    QFETCH(int, order);
    QFETCH(char, separator);
    QFETCH(int, currentYear);
    QFETCH(QDate, expected);
    TShortDateFormat format;
    format.FieldOrder = TShortDateFormat::Order(order);
    format.Separator = separator;
    const auto date = converted([&] { return StrToDate(bytes(text), format, currentYear); });
    QCOMPARE(date.value_or(QDate()), expected);
}

void TestConversions::strToDateUsesSystemFormat() {
    const TShortDateFormat &format = SystemShortDateFormat();
    const TShortDateFormat expected =
        ShortDateFormatFrom(QLocale::system().dateFormat(QLocale::ShortFormat));
    QCOMPARE(int(format.FieldOrder), int(expected.FieldOrder));
    QCOMPARE(format.Separator, expected.Separator);

    const QDate today = QDate::currentDate();
    const QByteArray d = QByteArray::number(today.day()), m = QByteArray::number(today.month());
    const QByteArray y = QByteArray::number(today.year()), sep(1, format.Separator);
    const QByteArray monthDay = m + sep + d;
    switch (format.FieldOrder) {
    case TShortDateFormat::DMY:
        QCOMPARE(StrToDate(bytes(d + sep + m + sep + y)), today);
        QCOMPARE(StrToDate(bytes(d + sep + m)), today);
        break;
    case TShortDateFormat::MDY:
        QCOMPARE(StrToDate(bytes(monthDay + sep + y)), today);
        QCOMPARE(StrToDate(bytes(monthDay)), today);
        break;
    case TShortDateFormat::YMD:
        QCOMPARE(StrToDate(bytes(y + sep + monthDay)), today);
        QCOMPARE(StrToDate(bytes(monthDay)), today);
        break;
    }
}

void TestConversions::extractFile_data() {
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("dir");
    QTest::addColumn<QByteArray>("name");
    const auto row = [](const char *name, const QByteArray &path, const QByteArray &dir,
                        const QByteArray &file) {
        QTest::newRow(name) << path << dir << file;
    };

    row("Windows path", "C:\\dir\\f.txt", "C:\\dir\\", "f.txt");
    row("Unix path", "/home/u/f.kvo", "/home/u/", "f.kvo");
    row("mixed delimiters", "a\\b/c", "a\\b/", "c");
    row("trailing delimiter", "dir/", "dir/", "");
    row("root", "/", "/", "");
    row("no delimiter", "file", "", "file");
    row("empty", "", "", "");
    row("UNC", "\\\\server\\share\\x", "\\\\server\\share\\", "x");
    row("dot in directory", "dir/sub.d/file", "dir/sub.d/", "file");
    row("UTF-8 names", "d\xC3\xADr/f\xC3\xAFle", "d\xC3\xADr/", "f\xC3\xAFle");
#ifdef Q_OS_WIN
    row("drive-relative", "C:f.txt", "C:", "f.txt");
    row("colon in name", "12:30.kvo", "12:", "30.kvo");
    row("colon in last name", "/home/u/12:30.kvo", "/home/u/12:", "30.kvo");
#else
    row("drive-relative", "C:f.txt", "", "C:f.txt");
    row("colon in name", "12:30.kvo", "", "12:30.kvo");
    row("colon in last name", "/home/u/12:30.kvo", "/home/u/", "12:30.kvo");
#endif
}

void TestConversions::extractFile() {
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, dir);
    QFETCH(QByteArray, name);
    QCOMPARE(QByteArray::fromStdString(ExtractFilePath(bytes(path))), dir);
    QCOMPARE(QByteArray::fromStdString(ExtractFileName(bytes(path))), name);
#ifdef Q_OS_WIN
    QCOMPARE(PathDelim, '\\');
#else
    QCOMPARE(PathDelim, '/');
#endif
}

static bool localCodecIsUtf8() { // file names and messages: UTF-8 on every system
    return ToQString("\xC3\xA9") == QString(QChar(0xE9));
}

void TestConversions::localCodecRoundTrip_data() {
    QTest::addColumn<QByteArray>("text");
    QByteArray ascii;
    for (int c = 0; c < 0x80; ++c)
        ascii += char(c);
    QString everyScalarValue;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF)
            everyScalarValue += QString::fromUcs4(&c, 1);
    }
    QTest::newRow("every ASCII byte, NUL included") << ascii;
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3);
    QTest::newRow("two-byte edges") << QByteArray("\xC2\x80\xDF\xBF");
    QTest::newRow("three-byte edges")
        << QByteArray("\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xEF\xBF\xBF");
    QTest::newRow("four-byte edges") << QByteArray("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    QTest::newRow("leading byte order mark") << QByteArray("\xEF\xBB\xBF[Kivo]");
    QTest::newRow("mixed text") << QByteArray(
        "Gr\xC3\xBC\xC3\x9F\x65, \xE6\x97\xA5, \xF0\x9F\x98\x80");
    QTest::newRow("every scalar value") << everyScalarValue.toUtf8();
}

void TestConversions::localCodecRoundTrip() {
    if (!localCodecIsUtf8())
        QSKIP("The local 8-bit codec is not UTF-8");
    QFETCH(QByteArray, text);
    const QString unicode = ToQString(bytes(text));
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QCOMPARE(unicode, QString(utf8.decode(text))); // decoded, not passed through as Latin-1
    QCOMPARE(QByteArray::fromStdString(FromQString(unicode)), text);
}

void TestConversions::invalidUtf8IsReplaced_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray replacement("\xEF\xBF\xBD");
    for (const char c : {'\x80', '\xBF', '\xC0', '\xC1', '\xF5', '\xFF'}) {
        const QByteArray name = "byte " + QByteArray::number(uchar(c), 16).toUpper();
        QTest::newRow(name.constData()) << "a" + QByteArray(1, c) + "b"
                                        << "a" + replacement + "b";
    }
}

// The codec cannot keep these bytes: each becomes U+FFFD and the text around them survives.
void TestConversions::invalidUtf8IsReplaced() {
    if (!localCodecIsUtf8())
        QSKIP("The local 8-bit codec is not UTF-8");
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(FromQString(ToQString(bytes(text)))), expected);
}

void TestConversions::projectCodePage_data() {
    QTest::addColumn<int>("codePage");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    // The same bytes read differently in the two code pages, and neither reads them as Latin-1.
    QTest::newRow("1252") << 1252 << QByteArray("\x80 \xC6 \xBD \xE9 \x81\x8D\x8F\x90\x9D")
                          << QString::fromUtf8(
                                 "€ Æ ½ é \U000F0081\U000F008D\U000F008F\U000F0090\U000F009D");
    QTest::newRow("1251") << 1251 << QByteArray("\x88 \xC6 \xE9 \x98")
                          << QString::fromUtf8("€ Ж й \U000F0098");
}

// Unassigned bytes (the last ones of each row) come back as they were read.
void TestConversions::projectCodePage() {
    QFETCH(int, codePage);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
#ifdef Q_OS_WIN
    // Windows reads these bytes as the C1 characters of their numbers.
    for (char32_t byte = 0x80; byte < 0xA0; ++byte) {
        const char32_t standIn = 0xF0000 + byte;
        text.replace(QString::fromUcs4(&standIn, 1), QChar(char16_t(byte)));
    }
#endif
    QCOMPARE(SetProjectCodePage(codePage), codePage);
    QCOMPARE(ProjectToQString(bytes.toStdString()), text);
    std::string written;
    QVERIFY(ProjectFromQString(text, written));
    QCOMPARE(QByteArray::fromStdString(written), bytes);

    // What the code page cannot carry is refused, not stored as '?'.
    const QString foreign = codePage == 1252 ? QString::fromUtf8("Ж") : QString::fromUtf8("½");
    for (const QString &refused : {QString::fromUtf8("日本"), foreign, QString(QChar(0xD800))})
        QVERIFY2(!ProjectFromQString("a" + refused, written), qPrintable(refused));
    SetProjectCodePage(1252);
}

void TestConversions::projectCodePageRoundTrip_data() {
    QTest::addColumn<int>("codePage");
    for (const int codePage :
         {874, 932, 936, 949, 950, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258})
        QTest::newRow(qPrintable(QString::number(codePage))) << codePage;
}

// Typed text is written as bytes the expert reads as that text, or refused; the code page's own
// letters are never refused. A byte read and written back unchanged stays, assigned or not.
void TestConversions::projectCodePageRoundTrip() {
    QFETCH(int, codePage);
    QCOMPARE(SetProjectCodePage(codePage), codePage);
    const auto restore = qScopeGuard([] { SetProjectCodePage(1252); });
    std::vector<std::pair<QString, bool>> typed; // the text, and whether the code page has it
    for (char16_t c = 0x80; c <= 0xFF; ++c)
        typed.emplace_back(QChar(c), false);
    for (int lead = 0x80; lead <= 0xFF; ++lead) {
        for (const char *trail : {"", "A", "\xA1", "\xFE"}) {
            if (const auto letters = expertReads(codePage, char(lead) + std::string(trail)))
                typed.emplace_back(*letters, true);
        }
    }
    for (const auto &[text, own] : typed) {
        std::string written;
        const bool accepted = ProjectFromQString(text, written);
        QVERIFY2(accepted || !own, qPrintable(text));
        QVERIFY2(!accepted ||
                     (expertReads(codePage, written) == text && ProjectToQString(written) == text),
                 qPrintable(text));
    }
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const std::string read(1, char(byte));
        std::string written;
        QVERIFY(ProjectFromQString(ProjectToQString(read), written));
        QCOMPARE(QByteArray::fromStdString(written), QByteArray::fromStdString(read));
    }
}

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"
