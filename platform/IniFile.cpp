#include "IniFile.h"

#include "Conversions.h"
#include "Exception.h"
#include "SharedFile.h"

#include <string_view>

namespace {

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = '?';
    }
    return out;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : TIniFile(fileName, ReadFileStable(fileName)) {}

TIniFile::TIniFile(std::string fileName, std::string snapshot)
    : FFileName(std::move(fileName)), FText(std::move(snapshot)) {}

const std::string &TIniFile::FileName() const {
    return FFileName;
}

std::string TIniFile::ReadString(const std::string &section, const std::string &key,
                                 const std::string &def) const {
    const auto value = FText.Lookup(section, key);
    return value ? std::string(*value) : def;
}

std::int32_t TIniFile::ReadInteger(const std::string &section, const std::string &key,
                                   std::int32_t def) const {
    const auto text = FText.Lookup(section, key);
    std::int32_t value = def;
    return text && TryStrToInt(std::string(*text), value) ? value : def;
}

bool TIniFile::ValueExists(const std::string &section, const std::string &key) const {
    return FText.Lookup(section, key).has_value();
}

void TIniFile::WriteString(const std::string &section, const std::string &key,
                           const std::string &value) {
    if (const char *refused = FText.Set(section, key, value))
        throw Exception("Cannot write key " + Printable(key) + " in section [" +
                        Printable(section) + "] of file " + FFileName + ": " + refused);
}

void TIniFile::WriteInteger(const std::string &section, const std::string &key,
                            std::int32_t value) {
    WriteString(section, key, IntToStr(value));
}

bool TIniFile::Modified() const {
    return FText.Modified();
}

void TIniFile::UpdateFile() {
    if (!FText.Modified())
        return;
    std::string content = FText.Build();
    WriteAtomically(FFileName, content);
    FText.Reset(std::move(content));
}

bool TIniFile::UpdateFileIfUnchanged() {
    if (!FText.Modified())
        return ReadShared(FFileName).Bytes == FText.Bytes();
    TReplaceLock lock(FFileName);
    std::string content = FText.Build();
    switch (lock.Replace(content, &FText.Bytes())) {
    case TReplaceLock::TResult::Changed:
        return false;
    case TReplaceLock::TResult::ReadOnly:
        throw Exception("Cannot write file " + FFileName + ": " + lock.Reason());
    case TReplaceLock::TResult::Replaced:
        break;
    }
    FText.Reset(std::move(content));
    return true;
}

const std::string &TIniFile::Snapshot() const {
    return FText.Bytes();
}
