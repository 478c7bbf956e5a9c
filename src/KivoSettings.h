#pragma once

#include "SettingsFile.h"

#include <string>
#include <vector>

// Kivo's own settings, as kivo.ini holds them in its section "Kivo".
struct TKivoSettings {
    std::string MTPath;  // the terminal's folder
    std::string Project; // the project open when they were last written; "" for none
    // The projects opened last, newest first, at most MaxRecent.
    std::vector<std::string> Recent;
    static constexpr int MaxRecent = 8;
    // A change the expert has not taken after this many seconds turns the line under the grid
    // amber, as does an expert silent for longer than ExpertSilentSeconds and five of its usual
    // intervals. Set by hand; never written.
    int AckWarnSeconds = 10;
    int ExpertSilentSeconds = 10;
    // The expert's code page, where its terminal runs with another than the default. Set by hand;
    // never written. 0 for none.
    int CodePage = 0;

    // Reads the file (a missing one gives the defaults). Paths are UTF-8; a file that is not was
    // written by an older, 8-bit copy, and its paths are converted.
    static TKivoSettings Read(const std::string &fileName);
    // Writes MTPath, Project and the recent list where the location says, keeping every other
    // line of the file. Throws Exception naming the file when it cannot be written.
    void Write(const TSettingsLocation &where) const;
    // The recent list's rule: the project first, once, and no more than MaxRecent.
    void Remember(const std::string &project);
};

extern const char *const SettingsSection;
