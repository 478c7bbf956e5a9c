#include "Journal.h"

#include "ProjectData.h"

#include "Conversions.h"
#include "SharedFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <string>

namespace {

// The columns, in the order of the file; the header row names them. Records of older copies of
// Kivo lack the last two.
constexpr int Columns = 15;
constexpr int OldColumns = 13;
// The byte order mark makes a spreadsheet opened by a double-click read the file as UTF-8, not in
// the system's ANSI code page.
constexpr char ByteOrderMark[] = "\xEF\xBB\xBF";
constexpr char Header[] = "time_utc,project,variable,title,old_value,new_value,old_status,"
                          "new_status,kind,outcome,reason,change_time_utc,taken_after_s,group,"
                          "kivo\r\n";

void AppendField(QByteArray &line, const QByteArray &field) {
    if (field.contains(',') || field.contains('"') || field.contains('\r') ||
        field.contains('\n')) {
        QByteArray quoted = field;
        quoted.replace('"', "\"\"");
        line += '"' + quoted + '"';
    } else {
        line += field;
    }
}

// Optional sign, digits, optional decimals: what a spreadsheet shows as the number it is.
bool PlainNumber(QByteArrayView field) {
    qsizetype i = !field.empty() && (field[0] == '+' || field[0] == '-') ? 1 : 0;
    const auto digits = [&] {
        const qsizetype from = i;
        while (i < field.size() && field[i] >= '0' && field[i] <= '9')
            ++i;
        return i > from;
    };
    if (!digits())
        return false;
    if (i < field.size() && field[i] == '.') {
        ++i;
        if (!digits())
            return false;
    }
    return i == field.size();
}

// A spreadsheet evaluates a cell that begins with one of "=+-@", a tab or a carriage return, and
// the titles and values come from a project file anybody may have written. Such text is written
// with a ' in front, and so is text that begins with ' itself: a reader takes exactly one leading
// ' away and has the value back. Numbers keep their sign.
QByteArray TextField(const QString &text) {
    QByteArray field = text.toUtf8();
    if (!field.isEmpty() && std::memchr("=+-@\t\r'", field[0], 7) && !PlainNumber(field))
        field.prepend('\'');
    return field;
}

QByteArray TimeField(const QDateTime &time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs).toLatin1() : QByteArray();
}

QByteArray RecordLine(const TJournalRecord &r) {
    const bool taken =
        r.Outcome == QLatin1String("taken") || r.Outcome == QLatin1String("overwritten");
    const std::array<QByteArray, Columns> fields = {
        TimeField(r.Time),
        TextField(r.Project),
        QByteArray::number(r.Variable),
        TextField(r.Title),
        TextField(r.OldValue),
        TextField(r.NewValue),
        QByteArray::number(r.OldStatus),
        QByteArray::number(r.NewStatus),
        TextField(r.Kind),
        TextField(r.Outcome),
        TextField(r.Reason),
        TimeField(r.ChangeTime),
        taken ? QByteArray::number(r.TakenAfter, 'f', 3) : QByteArray(),
        r.Group ? QByteArray::number(r.Group) : QByteArray(),
        TextField(r.Kivo),
    };
    QByteArray line;
    line.reserve(256);
    for (int i = 0; i < Columns; ++i) {
        if (i > 0)
            line += ',';
        AppendField(line, fields[size_t(i)]);
    }
    line += "\r\n";
    return line;
}

// Reads one row from p to the end of its line, leaving p after the line end. False when the
// text there is no row a writer of this format makes: a quote inside an unquoted field, text
// after a closing quote, a quoted field never closed, or more fields than columns.
bool ReadRow(const char *&p, const char *end, std::vector<std::string> &fields) {
    fields.clear();
    for (;;) {
        std::string field;
        if (p < end && *p == '"') {
            ++p;
            for (;;) {
                const auto *quote = static_cast<const char *>(std::memchr(p, '"', size_t(end - p)));
                if (!quote)
                    return false;
                field.append(p, quote);
                p = quote + 1;
                if (p == end || *p != '"')
                    break;
                field += '"';
                ++p;
            }
        } else {
            const char *stop = p;
            while (stop < end && *stop != ',' && *stop != '\r' && *stop != '\n' && *stop != '"')
                ++stop;
            field.assign(p, stop);
            p = stop;
        }
        fields.push_back(std::move(field));
        if (fields.size() > size_t(Columns))
            return false;
        if (p == end)
            return true;
        switch (*p++) {
        case ',':
            continue;
        case '\r':
            if (p < end && *p == '\n')
                ++p;
            return true;
        case '\n':
            return true;
        default:
            return false;
        }
    }
}

bool ToInt(const std::string &field, int &value) {
    bool ok = false;
    value = QByteArray::fromRawData(field.data(), qsizetype(field.size())).toInt(&ok);
    return ok;
}

bool ToTime(const std::string &field, QDateTime &time) {
    time = QDateTime::fromString(QString::fromLatin1(field.data(), qsizetype(field.size())),
                                 Qt::ISODateWithMs);
    return time.isValid();
}

// The text a field written by TextField holds.
QString Text(const std::string &field) {
    const qsizetype mark = field.starts_with('\'') ? 1 : 0;
    return QString::fromUtf8(field.data() + mark, qsizetype(field.size()) - mark);
}

// The record a row holds; false for a row that is none (the header among them).
bool ToRecord(const std::vector<std::string> &f, TJournalRecord &r) {
    if ((f.size() != size_t(Columns) && f.size() != size_t(OldColumns)) || !ToTime(f[0], r.Time) ||
        !ToInt(f[2], r.Variable) || !ToInt(f[6], r.OldStatus) || !ToInt(f[7], r.NewStatus))
        return false;
    r.ChangeTime = QDateTime();
    if (!f[11].empty() && !ToTime(f[11], r.ChangeTime))
        return false;
    r.TakenAfter = 0;
    if (!f[12].empty()) {
        bool ok = false;
        r.TakenAfter = QByteArray::fromStdString(f[12]).toDouble(&ok);
        if (!ok || !std::isfinite(r.TakenAfter))
            return false;
    }
    r.Group = 0;
    r.Kivo.clear();
    if (f.size() == size_t(Columns)) {
        bool ok = true;
        if (!f[13].empty())
            r.Group = QByteArray::fromStdString(f[13]).toLongLong(&ok);
        if (!ok)
            return false;
        r.Kivo = Text(f[14]);
    }
    r.Project = Text(f[1]);
    r.Title = Text(f[3]);
    r.OldValue = Text(f[4]);
    r.NewValue = Text(f[5]);
    r.Kind = Text(f[8]);
    r.Outcome = Text(f[9]);
    r.Reason = Text(f[10]);
    return true;
}

// The records in data from p on; rows that are not records (a header, a broken line) are
// skipped. Stops before a last line without its line break, which may be a record still being
// written, when whole is false; returns where reading stopped.
const char *ReadRecords(const char *p, const char *end, bool whole,
                        std::vector<TJournalRecord> &records) {
    std::vector<std::string> fields;
    TJournalRecord record;
    while (p < end) {
        const char *const row = p;
        const auto *newline = static_cast<const char *>(std::memchr(row, '\n', size_t(end - row)));
        if (!whole && !newline)
            return row;
        if (ReadRow(p, end, fields) && ToRecord(fields, record)) {
            records.push_back(record);
            continue;
        }
        // Not a record: go on from the next line, where the next record may begin. A quote
        // left open by a damaged row would otherwise take the rows after it for its text.
        p = newline ? newline + 1 : end;
    }
    return p;
}

// Puts the journal in place holding the byte order mark and the header row. They are written to
// a file of their own beside it, which a rename that never replaces a file moves into place: of
// copies of Kivo journalling a project's first change at once, one makes the journal and the
// others find it made, so the header is never written twice. Empty when the journal is there;
// why it is not otherwise.
QString MakeWithHeader(const QString &file) {
    QTemporaryFile made(file + QLatin1String(".XXXXXX"));
    if (!made.open())
        return made.errorString();
    const QByteArray bytes = QByteArray(ByteOrderMark) + Header;
    if (made.write(bytes) != bytes.size() || !made.flush())
        return made.errorString();
    if (made.rename(file)) {
        made.setAutoRemove(false);
        return {};
    }
    // Another copy made it first; ours goes with the QTemporaryFile.
    return QFileInfo::exists(file) ? QString() : made.errorString();
}

} // namespace

TJournal::TJournal(QObject *parent) : QObject(parent) {}

TJournal::~TJournal() = default;

QString TJournal::FileFor(const QString &project) {
    return ProjectDataFile(project, QStringLiteral("journal"), QStringLiteral(".csv"));
}

bool TJournal::Append(const TJournalRecord &record) {
    const QString file = FileFor(record.Project);
    const QString shown = QDir::toNativeSeparators(file);
    const auto fail = [&](const QString &reason) {
        FError = QStringLiteral("Cannot write the journal %1: %2").arg(shown, reason);
        return false;
    };
    bool written = false;
    // A journal must never be why a save fails, so nothing escapes from here.
    try {
        const QFileInfo info(file);
        if (file.isEmpty()) {
            written = fail(QStringLiteral("the system names no folder for application data"));
        } else if (!QDir().mkpath(info.absolutePath())) {
            written = fail(QStringLiteral("its folder cannot be made"));
        } else if (info.exists() && !info.isFile()) {
            // Opening a folder fails at once, but a pipe would wait for a reader.
            written = fail(QStringLiteral("something other than a file has its name"));
        } else if (const QString why = info.exists() ? QString() : MakeWithHeader(file);
                   !why.isEmpty()) {
            written = fail(why);
        } else {
            // The record is with the system before the save returns, and nothing stays open
            // between changes. It is not synced to the disk: that would cost as much again as the
            // save's own flush, for a record only a power cut could lose. One appending write per
            // record, so that two copies of Kivo on the same project append whole lines.
            QByteArray bytes;
            const qint64 size = QFileInfo(file).size();
            QFile in(file);
            char last = '\n';
            if (size == 0) {
                // A journal emptied by hand gets its header back.
                bytes = QByteArray(ByteOrderMark) + Header;
            } else if (in.open(QIODevice::ReadOnly) && in.seek(size - 1) && in.getChar(&last) &&
                       last != '\n') {
                // A line cut short (a full disk, a crash) would swallow this record.
                bytes = "\r\n";
            }
            in.close();
            bytes += RecordLine(record);
            const std::string appended = AppendShared(FromQString(file), bytes.toStdString());
            written = appended.empty() || fail(QString::fromStdString(appended));
        }
    } catch (const std::exception &e) {
        written = fail(QString::fromLocal8Bit(e.what()));
    }
    if (written)
        FError.clear();
    emit Appended(record);
    return written;
}

std::vector<TJournalRecord> TJournal::Load(const QString &project, qint64 tailBytes) {
    std::vector<TJournalRecord> records;
    const QString file = FileFor(project);
    QFile in(file);
    if (file.isEmpty() || !QFileInfo(file).isFile() || !in.open(QIODevice::ReadOnly))
        return records;
    // From the byte before the tail on, so that a tail beginning with a line is read whole.
    const qint64 size = in.size();
    const qint64 start = std::max<qint64>(0, size - std::max<qint64>(tailBytes, 0) - 1);
    if (!in.seek(start))
        return records;
    const QByteArray data = in.read(size - start);

    const char *p = data.constData();
    const char *const end = p + data.size();
    if (start > 0) {
        // The first line read is only the end of an older record.
        const auto *newline = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        p = newline ? newline + 1 : end;
    } else if (data.startsWith(ByteOrderMark)) {
        p += 3; // the byte order mark before the header
    }
    ReadRecords(p, end, true, records);
    return records;
}

std::vector<TJournalRecord> TJournal::LoadFrom(const QString &project, qint64 &offset) {
    std::vector<TJournalRecord> records;
    QFile in(FileFor(project));
    if (!QFileInfo(in.fileName()).isFile() || !in.open(QIODevice::ReadOnly))
        return records;
    const qint64 size = in.size();
    if (offset > size)
        offset = 0; // emptied or made anew
    if (offset == size || !in.seek(offset))
        return records;
    const QByteArray data = in.read(size - offset);
    const char *const begin = data.constData();
    const char *p = begin;
    if (offset == 0 && data.startsWith(ByteOrderMark))
        p += 3;
    offset += ReadRecords(p, begin + data.size(), false, records) - begin;
    return records;
}
