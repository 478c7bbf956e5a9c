#include "KivoSettings.h"

#include "Conversions.h"
#include "IniFile.h"

#include <algorithm>

const char *const SettingsSection = "Kivo";

TKivoSettings TKivoSettings::Read(const std::string &fileName) {
    const TIniFile ini(fileName);
    const bool utf8 = IsUtf8(ini.Snapshot());
    const auto path = [&](const std::string &key) {
        const std::string value = ini.ReadString(SettingsSection, key, "");
        return utf8 ? value : Utf8FromSystem8Bit(value);
    };
    TKivoSettings settings;
    settings.MTPath = path("MTPath");
    settings.Project = path("Project");
    for (int i = 1; i <= MaxRecent; ++i) {
        if (std::string recent = path("Recent" + IntToStr(i)); !recent.empty())
            settings.Recent.push_back(std::move(recent));
    }
    settings.AckWarnSeconds = std::max(1, ini.ReadInteger(SettingsSection, "AckWarnSeconds", 10));
    settings.ExpertSilentSeconds =
        std::max(1, ini.ReadInteger(SettingsSection, "ExpertSilentSeconds", 10));
    settings.CodePage = ini.ReadInteger(SettingsSection, "CodePage", 0);
    return settings;
}

void TKivoSettings::Write(const TSettingsLocation &where) const {
    TIniFile ini(where.Write, where.StartingBytes());
    ini.WriteString(SettingsSection, "MTPath", MTPath);
    ini.WriteString(SettingsSection, "Project", Project);
    // The recent list: a key beyond it that the file holds is emptied, none is added empty.
    for (int i = 1; i <= MaxRecent; ++i) {
        const std::string key = "Recent" + IntToStr(i);
        if (std::size_t(i) <= Recent.size())
            ini.WriteString(SettingsSection, key, Recent[std::size_t(i) - 1]);
        else if (ini.ValueExists(SettingsSection, key))
            ini.WriteString(SettingsSection, key, "");
    }
    ini.UpdateFile();
}

void TKivoSettings::Remember(const std::string &project) {
    std::erase(Recent, project);
    Recent.insert(Recent.begin(), project);
    if (Recent.size() > std::size_t(MaxRecent))
        Recent.resize(std::size_t(MaxRecent));
}
