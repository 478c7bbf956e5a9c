#include "SettingsFile.h"

#include "Conversions.h"
#include "SharedFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

QString Local(const std::string &path) {
    return ToQString(path);
}

std::string Native(const QString &path) {
    return FromQString(QDir::toNativeSeparators(path));
}

// Whether the folder takes a new file, as a replace puts its staged copy beside the file. The
// scratch file is removed again.
bool FolderTakesFiles(const QString &beside) {
    QTemporaryFile probe(beside + QStringLiteral(".XXXXXX"));
    return probe.open();
}

// Opening for appending tells what counts: root passes permission bits by, and an immutable file
// or a read-only disk refuses whatever the bits say.
bool CanWrite(const QString &file) {
    if (!QFileInfo(file).isFile())
        return false;
    QFile probe(file);
    if (!probe.open(QIODevice::Append | QIODevice::ExistingOnly))
        return false;
    probe.close();
    return FolderTakesFiles(file);
}

QString PerUserFile() {
#ifdef Q_OS_WIN
    // %APPDATA%, the roaming profile, where the settings follow the user to other machines (the
    // configuration location Qt names there is the local one, %LOCALAPPDATA%).
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
#else
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
#endif
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/kivo.ini");
}

} // namespace

TSettingsLocation SettingsLocation(const std::string &appDir) {
    const std::string besideExe = appDir + "kivo.ini";
    const QString local = Local(besideExe);
    const QString perUserFile = PerUserFile();
    const std::string perUser = perUserFile.isEmpty() ? std::string() : Native(perUserFile);
    if (QFileInfo::exists(local)) {
        // With no home to go to, the failed write says where it tried.
        if (perUser.empty() || CanWrite(local))
            return {besideExe, besideExe, {}};
        if (QFileInfo::exists(perUserFile))
            return {perUser, perUser, {}};
        return {besideExe, perUser, besideExe};
    }
    if (perUser.empty() || FolderTakesFiles(local))
        return {besideExe, besideExe, {}};
    return {perUser, perUser, {}};
}

std::string TSettingsLocation::StartingBytes() const {
    const QString folder = QFileInfo(Local(Write)).absolutePath();
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    if (!Seed.empty() && !QFileInfo::exists(Local(Write)))
        return ReadFileStable(Seed);
    return ReadFileStable(Write);
}
