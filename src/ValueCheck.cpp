#include "ValueCheck.h"

#include "Exception.h"
#include "Vars.h"

#include <QDate>

#include <string_view>

namespace {

// The classic conversions read no more than this; below 10^255 a number is always finite.
constexpr std::size_t MaxNumberLength = 255;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The leading digits of s, consumed.
std::string_view TakeDigits(std::string_view &s) {
    std::size_t n = 0;
    while (n < s.size() && IsDigit(s[n]))
        ++n;
    const std::string_view digits = s.substr(0, n);
    s.remove_prefix(n);
    return digits;
}

// A leading '-' or '+', consumed; true for '-'.
bool TakeSign(std::string_view &s) {
    const bool negative = s.starts_with('-');
    if (negative || s.starts_with('+'))
        s.remove_prefix(1);
    return negative;
}

bool IsInteger(std::string_view s) {
    if (s.size() > MaxNumberLength)
        return false;
    const bool negative = TakeSign(s);
    const std::string_view digits = TakeDigits(s);
    if (digits.empty() || !s.empty())
        return false;
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
        if (value > limit)
            return false;
    }
    return true;
}

bool IsDecimal(std::string_view s) {
    if (s.size() > MaxNumberLength)
        return false;
    TakeSign(s);
    const bool whole = !TakeDigits(s).empty();
    bool fraction = false;
    if (s.starts_with('.')) {
        s.remove_prefix(1);
        fraction = !TakeDigits(s).empty();
    }
    return (whole || fraction) && s.empty();
}

bool IsFullDate(const std::string &text, const TShortDateFormat &format) {
    std::string_view s = text;
    std::size_t widths[3] = {};
    for (int field = 0; field < 3; ++field) {
        if (field > 0) {
            if (!s.starts_with(format.Separator))
                return false;
            s.remove_prefix(1);
        }
        widths[field] = TakeDigits(s).size();
    }
    if (!s.empty())
        return false;
    const int yearField = format.FieldOrder == TShortDateFormat::YMD ? 0 : 2;
    for (int field = 0; field < 3; ++field) {
        const std::size_t width = widths[field];
        const bool fits = field == yearField ? width == 4 || (width == 2 && format.YearDigits == 2)
                                             : width == 1 || width == 2;
        if (!fits)
            return false;
    }
    try {
        StrToDate(text, format, QDate::currentDate().year());
    } catch (const EConvertError &) {
        return false;
    }
    return true;
}

} // namespace

const char *ExpectationFor(std::int32_t type) {
    switch (type) {
    case vtInteger:
        return "A whole number";
    case vtDouble:
        return "A number with a point";
    case vtDate:
        return "A date";
    default:
        return nullptr;
    }
}

const char *RefusalFor(std::int32_t type, const std::string &text, const TShortDateFormat &format) {
    bool accepted = false;
    switch (type) {
    case vtInteger:
        accepted = IsInteger(text);
        break;
    case vtDouble:
        accepted = IsDecimal(text);
        break;
    case vtDate:
        accepted = IsFullDate(text, format);
        break;
    default:
        // A line break or NUL would let a value write lines of its own into the project file.
        if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            return "Text on one line";
        accepted = true;
        break;
    }
    return accepted ? nullptr : ExpectationFor(type);
}

std::string DateInOrder(const TShortDateFormat &format, const std::string &day,
                        const std::string &month, const std::string &year) {
    const std::string sep(1, format.Separator);
    switch (format.FieldOrder) {
    case TShortDateFormat::DMY:
        return day + sep + month + sep + year;
    case TShortDateFormat::YMD:
        return year + sep + month + sep + day;
    case TShortDateFormat::MDY:
        break;
    }
    return month + sep + day + sep + year;
}

std::string ExampleFor(std::int32_t type, const TShortDateFormat &format) {
    switch (type) {
    case vtInteger:
        return "250";
    case vtDouble:
        return "0.25";
    case vtDate:
        return DateInOrder(format, "31", "12", format.YearDigits == 2 ? "26" : "2026");
    default:
        return {};
    }
}
