#include "Conversions.h"
#include "Exception.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>
#include <QTextDocument>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

// Accepts a text only when the classic Object Pascal conversions both accept it. The grammars
// read ASCII bytes only and consult no locale: QCoreApplication switches the C library's locale.

namespace {

// The classic conversions read at most 255 characters and stop at a NUL.
constexpr std::size_t MaxTextLength = 255;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of c as a digit of base 10 or 16, or -1.
int digitValue(char c, int base) {
    if (isDigit(c))
        return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isAsciiPunct(char16_t c) {
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
           (c >= '{' && c <= '~');
}

bool withinClassicLimits(std::string_view s) {
    return s.size() <= MaxTextLength && s.find('\0') == std::string_view::npos;
}

// Spaces (U+0020 only) removed at both ends.
std::string_view trimSpaces(std::string_view s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The leading digits of s, consumed.
std::string_view takeDigits(std::string_view &s) {
    const auto n = std::min(s.size(), s.find_first_not_of("0123456789"));
    const auto digits = s.substr(0, n);
    s.remove_prefix(n);
    return digits;
}

bool takeChar(std::string_view &s, char c) {
    if (s.empty() || s.front() != c)
        return false;
    s.remove_prefix(1);
    return true;
}

std::optional<std::int32_t> parseInt(std::string_view s) {
    if (!withinClassicLimits(s))
        return std::nullopt;
    s.remove_prefix(std::min(s.size(), s.find_first_not_of(' ')));
    const bool negative = takeChar(s, '-');
    if (!negative)
        takeChar(s, '+');
    int base = 10;
    if (s.starts_with('$') || s.starts_with('x') || s.starts_with('X')) {
        base = 16;
        s.remove_prefix(1);
    } else if (s.starts_with("0x") || s.starts_with("0X")) {
        base = 16;
        s.remove_prefix(2);
    }
    // Hex above 7FFFFFFF wraps to a negative value, as in the classic library.
    const std::int64_t limit = negative ? 0x80000000LL : base == 16 ? 0xFFFFFFFFLL : 0x7FFFFFFFLL;
    if (s.empty())
        return std::nullopt;
    std::int64_t magnitude = 0;
    for (const char c : s) {
        const int digit = digitValue(c, base);
        if (digit < 0)
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::optional<double> parseFloat(std::string_view text, char point) {
    if (!withinClassicLimits(text))
        return std::nullopt;
    std::string_view s = trimSpaces(text);
    std::string ascii; // the same number in std::from_chars syntax: no '+', '.' as the point
    ascii.reserve(s.size());
    if (takeChar(s, '-'))
        ascii += '-';
    else
        takeChar(s, '+');
    const std::string_view intDigits = takeDigits(s);
    std::string_view fracDigits;
    if (takeChar(s, point))
        fracDigits = takeDigits(s);
    if (intDigits.empty() && fracDigits.empty())
        return std::nullopt;
    ascii.append(intDigits).append(".").append(fracDigits);
    int exponent = 0; // saturated: it only tells an overflow from an underflow
    if (takeChar(s, 'e') || takeChar(s, 'E')) {
        const bool negativeExponent = takeChar(s, '-');
        if (!negativeExponent)
            takeChar(s, '+');
        const std::string_view expDigits = takeDigits(s);
        if (expDigits.empty())
            return std::nullopt;
        for (const char c : expDigits)
            exponent = std::min(exponent * 10 + (c - '0'), 100000);
        if (negativeExponent)
            exponent = -exponent;
        ascii.append(negativeExponent ? "e-" : "e").append(expDigits);
    }
    if (!s.empty())
        return std::nullopt;

    double value = 0;
    const char *end = ascii.data() + ascii.size();
    const auto [ptr, ec] = std::from_chars(ascii.data(), end, value);
    if (ptr != end)
        return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // The value lies in [10^(m-1), 10^m): m > 0 is an overflow, otherwise an underflow to 0.
        const auto intStart = intDigits.find_first_not_of('0');
        const int m = intStart != std::string_view::npos
                          ? exponent + int(intDigits.size() - intStart)
                          : exponent - int(fracDigits.find_first_not_of('0'));
        if (m > 0)
            return std::nullopt;
        return ascii.front() == '-' ? -0.0 : 0.0;
    }
    if (ec != std::errc())
        return std::nullopt;
    return value;
}

std::optional<QDate> parseDate(std::string_view s, const TShortDateFormat &format,
                               int currentYear) {
    struct Field {
        int value = 0;
        std::size_t digits = 0;
    };
    const auto skipSpaces = [&s] {
        s.remove_prefix(std::min(s.size(), s.find_first_not_of(' ')));
    };
    const auto takeField = [&](Field &field) {
        skipSpaces();
        const std::string_view digits = takeDigits(s);
        if (digits.empty() || digits.size() > 4)
            return false;
        field.digits = digits.size();
        std::from_chars(digits.data(), digits.data() + digits.size(), field.value);
        return true;
    };
    const auto takeSeparator = [&] {
        skipSpaces();
        return takeChar(s, format.Separator);
    };

    // field sep field [sep field [sep]]
    Field f[3];
    if (!takeField(f[0]) || !takeSeparator() || !takeField(f[1]))
        return std::nullopt;
    int year = currentYear, month = 0, day = 0;
    if (takeSeparator()) {
        if (!takeField(f[2]))
            return std::nullopt;
        takeSeparator();
        Field yearField;
        switch (format.FieldOrder) {
        case TShortDateFormat::DMY:
            day = f[0].value, month = f[1].value, yearField = f[2];
            break;
        case TShortDateFormat::MDY:
            month = f[0].value, day = f[1].value, yearField = f[2];
            break;
        case TShortDateFormat::YMD:
            yearField = f[0], month = f[1].value, day = f[2].value;
            break;
        }
        year = yearField.value;
        if (yearField.digits <= 2) { // the 100-year window starting 50 years back
            const int windowStart = currentYear - 50;
            year += windowStart / 100 * 100;
            if (year < windowStart)
                year += 100;
        }
    } else if (format.FieldOrder == TShortDateFormat::DMY) {
        day = f[0].value, month = f[1].value;
    } else {
        month = f[0].value, day = f[1].value;
    }
    skipSpaces();
    if (!s.empty() || year < 1 || year > 9999)
        return std::nullopt;
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

char initialDecimalSeparator() {
    const QString point = QLocale::system().decimalPoint();
    if (point.size() == 1 && isAsciiPunct(point.front().unicode()))
        return char(point.front().unicode());
    return '.';
}

std::string::size_type lastDelimiter(const std::string &path) {
#ifdef Q_OS_WIN
    return path.find_last_of("/\\:");
#else
    return path.find_last_of("/\\");
#endif
}

} // namespace

char DecimalSeparator = initialDecimalSeparator();

#ifdef Q_OS_WIN
const char PathDelim = '\\';
#else
const char PathDelim = '/';
#endif

std::string IntToStr(std::int32_t value) {
    // Decimal, '-' before a negative value; no heap for it, and every key name is made with it.
    return std::to_string(value);
}

std::int32_t StrToInt(const std::string &text) {
    if (const auto value = parseInt(text))
        return *value;
    throw EConvertError("'" + text + "' is not a valid integer value");
}

bool TryStrToInt(const std::string &text, std::int32_t &value) {
    const auto parsed = parseInt(text);
    if (parsed)
        value = *parsed;
    return parsed.has_value();
}

double StrToFloat(const std::string &text) {
    if (const auto value = parseFloat(text, DecimalSeparator))
        return *value;
    throw EConvertError("'" + text + "' is not a valid floating point value");
}

TShortDateFormat ShortDateFormatFrom(const QString &qtFormat) {
    // Walks the format, skipping quoted text and weekday names (ddd, dddd); remembers the first
    // day, month or year field, the first ASCII punctuation between it and the second, and the
    // width of the first year field.
    char16_t firstField = 0;
    bool secondField = false;
    char separator = 0;
    qsizetype yearRun = 0;
    bool quoted = false;
    for (qsizetype i = 0; i < qtFormat.size();) {
        const char16_t c = qtFormat[i].unicode();
        qsizetype run = 1;
        while (i + run < qtFormat.size() && qtFormat[i + run] == c)
            ++run;
        if (c == '\'') {
            quoted = (run % 2 != 0) != quoted; // '' is a quote inside or outside quoted text
        } else if (!quoted && ((c == 'd' && run <= 2) || c == 'M' || c == 'y')) {
            secondField = firstField != 0;
            if (firstField == 0)
                firstField = c;
            if (c == 'y' && yearRun == 0)
                yearRun = run;
        } else if (!quoted && firstField != 0 && !secondField && separator == 0 &&
                   isAsciiPunct(c)) {
            separator = char(c);
        }
        i += run;
    }
    if (firstField == 0 || separator == 0)
        return {};
    TShortDateFormat format;
    format.YearDigits = yearRun == 2 ? 2 : 4;
    format.FieldOrder = firstField == 'd'   ? TShortDateFormat::DMY
                        : firstField == 'y' ? TShortDateFormat::YMD
                                            : TShortDateFormat::MDY;
    format.Separator = separator;
    return format;
}

const TShortDateFormat &SystemShortDateFormat() {
    static const TShortDateFormat format =
        ShortDateFormatFrom(QLocale::system().dateFormat(QLocale::ShortFormat));
    return format;
}

QDate StrToDate(const std::string &text) {
    return StrToDate(text, SystemShortDateFormat(), QDate::currentDate().year());
}

QDate StrToDate(const std::string &text, const TShortDateFormat &format, int currentYear) {
    if (const auto date = parseDate(text, format, currentYear))
        return *date;
    throw EConvertError("'" + text + "' is not a valid date");
}

std::string ExtractFilePath(const std::string &path) {
    const auto delimiter = lastDelimiter(path);
    return delimiter == std::string::npos ? std::string() : path.substr(0, delimiter + 1);
}

std::string ExtractFileName(const std::string &path) {
    const auto delimiter = lastDelimiter(path);
    return delimiter == std::string::npos ? path : path.substr(delimiter + 1);
}

std::string ExpandFileName(const std::string &path) {
    if (path.empty())
        return path;
    return FromQString(QDir::toNativeSeparators(QFileInfo(ToQString(path)).absoluteFilePath()));
}

QString ToQString(const std::string &text) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(text));
}

std::string FromQString(const QString &text) {
    return text.toUtf8().toStdString();
}

bool IsUtf8(std::string_view text) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString decoded = decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
    Q_UNUSED(decoded);
    return !decoder.hasError();
}

std::string Utf8FromSystem8Bit(const std::string &text) {
#ifdef _WIN32
    return FromQString(QString::fromLocal8Bit(text.data(), qsizetype(text.size())));
#else
    return text;
#endif
}

std::string SystemErrorMessage(int error) {
#ifdef _WIN32
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(error), 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString message = length ? QString::fromWCharArray(buffer, int(length)).trimmed()
                             : QStringLiteral("error %1").arg(error);
    LocalFree(buffer);
    return FromQString(message);
#else
    return FromQString(QString::fromLocal8Bit(std::system_category().message(error)));
#endif
}

QString PlainToolTip(const QString &text) {
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}
