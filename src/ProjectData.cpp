#include "ProjectData.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// A file name keeps at most this many UTF-16 units of the project's name: at most three bytes
// of UTF-8 each, so that with the hash and the suffix it stays under the 255 bytes of a Linux
// name as well as the 255 units of a Windows one.
constexpr int MaxNameUnits = 64;

// Characters neither file system takes in a name, or only one of them does.
bool Unsafe(QChar c) {
    return c.unicode() < 0x20 || QStringView(u"<>:\"/\\|?*").contains(c);
}

} // namespace

QString ProjectDataFile(const QString &project, const QString &folder, const QString &suffix) {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (data.isEmpty())
        return {};
    // '/' on every system, so that a path typed with either separator names the same file.
    const QString full = QDir::cleanPath(QFileInfo(project).absoluteFilePath());
    const QByteArray hash =
        QCryptographicHash::hash(full.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);

    QString name = QFileInfo(full).completeBaseName();
    for (QChar &c : name) {
        if (Unsafe(c))
            c = u'_';
    }
    if (name.size() > MaxNameUnits)
        name.truncate(name.at(MaxNameUnits - 1).isHighSurrogate() ? MaxNameUnits - 1
                                                                  : MaxNameUnits);
    return data + u'/' + folder + u'/' + name + u'-' + QLatin1String(hash) + suffix;
}
