#pragma once

#include <QDate>
#include <QString>

#include <cstdint>
#include <string>

// Text conversions and file-name functions. Texts are 8-bit bytes as the files hold them.

// The decimal point StrToFloat expects. Starts as the system's; the main window sets '.'.
extern char DecimalSeparator;

// The path delimiter of this platform: '\' on Windows, '/' elsewhere.
extern const char PathDelim;

std::string IntToStr(std::int32_t value);

// Throws EConvertError unless the whole text is an integer the classic conversions both accept.
std::int32_t StrToInt(const std::string &text);
// The same test without the exception: false leaves value untouched.
bool TryStrToInt(const std::string &text, std::int32_t &value);

// Throws EConvertError unless the text is a finite number with DecimalSeparator as its point.
double StrToFloat(const std::string &text);

// The field order, separator and year width of a short date format.
struct TShortDateFormat {
    enum Order { DMY, MDY, YMD };
    Order FieldOrder = MDY;
    char Separator = '/';
    int YearDigits = 4; // 2 where the format writes the year as "yy"
};

// Reads the order, separator and year width from a Qt date format such as "dd.MM.yyyy"; a
// format without a separator between its first two fields gives month/day/year with '/'.
TShortDateFormat ShortDateFormatFrom(const QString &qtFormat);
// The system's short date format, read once.
const TShortDateFormat &SystemShortDateFormat();

// Throws EConvertError unless the text is a valid date in the system's short date format.
QDate StrToDate(const std::string &text);
// The same with the format and the current year given (two-digit years and missing years).
QDate StrToDate(const std::string &text, const TShortDateFormat &format, int currentYear);

// Everything up to and including the last delimiter ('/' or '\', and ':' on Windows).
std::string ExtractFilePath(const std::string &path);
// The text after the last delimiter, extension included.
std::string ExtractFileName(const std::string &path);
// The full path of a file name, a relative one taken from the current folder, with the system's
// delimiters.
std::string ExpandFileName(const std::string &path);

// File names, paths and messages are UTF-8 on every system, so that a name holds every
// character Windows allows whatever its ANSI code page (project text is not: see CodePage.h).
// A byte that is not UTF-8 reads as U+FFFD; a leading byte order mark is kept.
QString ToQString(const std::string &text);
std::string FromQString(const QString &text);

// True when the bytes are UTF-8 throughout.
bool IsUtf8(std::string_view text);
// Text an older copy of Kivo wrote in the system's 8-bit encoding (the ANSI code page on
// Windows; on Linux that was UTF-8 already, and file names are bytes), as UTF-8.
std::string Utf8FromSystem8Bit(const std::string &text);

// What the system says about an error number (errno, or GetLastError on Windows), in UTF-8.
std::string SystemErrorMessage(int error);

// A tooltip's text that shows text literally: a tooltip takes text that looks like markup as
// rich text, so such text goes escaped.
QString PlainToolTip(const QString &text);
