// Placeholder: being replaced by the full implementation.
#include "Conversions.h"
#include "Exception.h"

char DecimalSeparator = '.';
#ifdef Q_OS_WIN
const char PathDelim = '\\';
#else
const char PathDelim = '/';
#endif

std::string IntToStr(std::int32_t value) { return std::to_string(value); }
bool TryStrToInt(const std::string &text, std::int32_t &value) {
    bool ok = false;
    int v = QString::fromLatin1(text.c_str()).toInt(&ok);
    if (ok) value = v;
    return ok;
}
std::int32_t StrToInt(const std::string &text) {
    std::int32_t v = 0;
    if (!TryStrToInt(text, v)) throw EConvertError("'" + text + "' is not a valid integer value");
    return v;
}
double StrToFloat(const std::string &text) {
    bool ok = false;
    double v = QString::fromLatin1(text.c_str()).toDouble(&ok);
    if (!ok) throw EConvertError("bad float");
    return v;
}
TShortDateFormat ShortDateFormatFrom(const QString &) { return {}; }
const TShortDateFormat &SystemShortDateFormat() { static TShortDateFormat f; return f; }
QDate StrToDate(const std::string &text) { return StrToDate(text, SystemShortDateFormat(), QDate::currentDate().year()); }
QDate StrToDate(const std::string &text, const TShortDateFormat &, int) {
    QDate d = QDate::fromString(QString::fromLatin1(text.c_str()), QStringLiteral("M/d/yyyy"));
    if (!d.isValid()) throw EConvertError("bad date");
    return d;
}
std::string ExtractFilePath(const std::string &path) {
    auto p = path.find_last_of("/\\");
    return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}
std::string ExtractFileName(const std::string &path) {
    auto p = path.find_last_of("/\\");
    return p == std::string::npos ? path : path.substr(p + 1);
}
QString ToQString(const std::string &text) { return QString::fromLocal8Bit(text.data(), qsizetype(text.size())); }
std::string FromQString(const QString &text) { return text.toLocal8Bit().toStdString(); }
