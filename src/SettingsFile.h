#pragma once

#include <string>

// Where kivo.ini is read and written.
//
// A portable copy keeps its settings beside the executable: in a kivo.ini there that can be
// written, or, while there is none, when the folder takes a new file. Otherwise they live in the
// user's own configuration folder: ~/.config/kivo/kivo.ini ($XDG_CONFIG_HOME/kivo) on Linux,
// %APPDATA%\Kivo\kivo.ini on Windows. A kivo.ini beside the executable that cannot be written (a
// root-owned copy, a read-only folder) gives the starting values of the per-user file, which wins
// from the moment it exists. "Can be written" is tried, not judged by permission bits.
struct TSettingsLocation {
    std::string Read;  // the file ReadSettings reads
    std::string Write; // the file WriteSettings writes
    std::string Seed;  // while Write does not exist: the file whose content it starts from

    // The bytes a write starts from: Write's, or Seed's before Write exists. Makes Write's folder
    // when it is missing.
    std::string StartingBytes() const;
};

// Looks at appDir (the executable's folder, with its trailing delimiter) anew.
TSettingsLocation SettingsLocation(const std::string &appDir);
