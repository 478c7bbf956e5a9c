// Placeholder: being replaced by the full implementation (QSettings is not the profile API).
#include "IniFile.h"
#include "Conversions.h"
#include "Exception.h"

#include <QFile>
#include <QSaveFile>
#include <map>

struct TIniFile::Data {
    std::string fileName;
    std::string snapshot;
    std::map<std::string, std::map<std::string, std::string>> values;
    bool modified = false;
};

static std::string lower(std::string s) { for (auto &c : s) c = char(std::tolower((unsigned char)c)); return s; }

TIniFile::TIniFile(std::string fileName) : d(std::make_unique<Data>()) {
    d->fileName = std::move(fileName);
    d->snapshot = ReadFileStable(d->fileName);
    std::string section;
    size_t pos = 0;
    const std::string &s = d->snapshot;
    while (pos < s.size()) {
        size_t e = s.find_first_of("\r\n", pos);
        if (e == std::string::npos) e = s.size();
        std::string line = s.substr(pos, e - pos);
        pos = s.find_first_not_of("\r\n", e);
        if (pos == std::string::npos) pos = s.size();
        if (!line.empty() && line[0] == '[') { auto r = line.rfind(']'); section = lower(line.substr(1, r - 1)); continue; }
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        auto &sec = d->values[section];
        auto k = lower(line.substr(0, eq));
        if (!sec.count(k)) sec[k] = line.substr(eq + 1);
    }
}
TIniFile::~TIniFile() = default;
const std::string &TIniFile::FileName() const { return d->fileName; }
std::string TIniFile::ReadString(const std::string &section, const std::string &key, const std::string &def) const {
    auto s = d->values.find(lower(section));
    if (s == d->values.end()) return def;
    auto k = s->second.find(lower(key));
    return k == s->second.end() ? def : k->second;
}
std::int32_t TIniFile::ReadInteger(const std::string &section, const std::string &key, std::int32_t def) const {
    std::int32_t v = def;
    if (!TryStrToInt(ReadString(section, key, ""), v)) return def;
    return v;
}
void TIniFile::WriteString(const std::string &section, const std::string &key, const std::string &value) {
    d->values[lower(section)][lower(key)] = value; d->modified = true;
}
void TIniFile::WriteInteger(const std::string &section, const std::string &key, std::int32_t value) { WriteString(section, key, IntToStr(value)); }
bool TIniFile::Modified() const { return d->modified; }
void TIniFile::UpdateFile() {
    if (!d->modified) return;
    QSaveFile f(QString::fromLocal8Bit(d->fileName.c_str()));
    if (!f.open(QIODevice::WriteOnly)) throw Exception("Cannot write " + d->fileName);
    for (auto &[sec, keys] : d->values) {
        f.write(("[" + sec + "]\r\n").c_str());
        for (auto &[k, v] : keys) f.write((k + "=" + v + "\r\n").c_str());
    }
    if (!f.commit()) throw Exception("Cannot write " + d->fileName);
    d->modified = false;
}
bool TIniFile::UpdateFileIfUnchanged() { UpdateFile(); return true; }
const std::string &TIniFile::Snapshot() const { return d->snapshot; }
std::string ReadFileStable(const std::string &fileName) {
    QFile f(QString::fromLocal8Bit(fileName.c_str()));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}
