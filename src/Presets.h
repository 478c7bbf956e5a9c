#pragma once

#include "Limits.h"
#include "Vars.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The value a preset sets on the variable of that title and type. Bytes in the expert's code
// page, as the project holds them.
struct TPresetValue {
    std::string Title;
    std::int32_t Type = 0;
    std::string Value;

    friend bool operator==(const TPresetValue &, const TPresetValue &) = default;
};

struct TPreset {
    QString Name;
    std::vector<TPresetValue> Values; // at most one per title and type; no actions

    friend bool operator==(const TPreset &, const TPreset &) = default;
};

// Where one preset value goes in a table of variables. Never guessed by position: the expert may
// reorder, remove, add or retype variables at any time.
struct TValueMatch {
    enum TOutcome {
        Found,     // exactly one variable has the value's title and type
        Missing,   // no variable has its title
        Retyped,   // variables have its title, none its type
        Ambiguous, // two or more variables have its title and type
    };
    TOutcome Outcome = Missing;
    int Index = -1;           // Found: the variable's position in the table
    bool Same = false;        // Found: the variable holds the preset's bytes already
    std::int32_t TypeNow = 0; // Retyped: the type of the first variable of that title
};

struct TPresetMatch {
    std::vector<TValueMatch> Values; // one per preset value, in the preset's order
};

TPresetMatch Match(const TPreset &preset, const TVarTable &table, std::int32_t count);

// A preset of the chosen variables' current values, in file order. Left out, and listed in
// skipped when given: positions outside the table, actions (they have no value), variables whose
// title and type another variable shares (no match could find them again) and text a preset
// cannot hold (see TProjectPresets).
TPreset FromTable(const QString &name, const TVarTable &table, std::int32_t count,
                  const std::vector<int> &chosen, std::vector<int> *skipped = nullptr);
// The same for every variable: made when a project is opened, it holds the values it had then.
TPreset FromTable(const QString &name, const TVarTable &table, std::int32_t count);

// The presets and limits of one project, kept in its data file as JSON (docs/presets.md).
// Titles and values are stored as Unicode converted from the expert's code page in force, which
// round-trips every byte.
struct TProjectPresets {
    std::vector<TPreset> Presets;
    std::vector<TLimit> Limits;

    // What a file or an import may hold at most.
    static constexpr int MaxPresets = 1000;
    static constexpr int MaxValues = MaxVars; // per preset
    static constexpr int MaxLimits = 1000;
    static constexpr int MaxNameUnits = 100;
    static constexpr std::size_t MaxTextBytes = 32767; // a title or a value
    static constexpr qint64 MaxFileBytes = 32 << 20;

    // <data>/presets/<name>-<hash>.json (ProjectData.h).
    static QString FileFor(const QString &project);

    // Replaces the contents with the file's. A missing file reads as empty. A file that cannot
    // be read or is not of the format reads as empty too, with false and error saying why; it is
    // left in place until the next Write moves it aside.
    bool Read(const QString &file, QString &error);
    // Writes all atomically, making the folder. A file there that does not read is first kept
    // beside it as <file>.bad (replacing an older one) so that nothing is overwritten unseen.
    // False with error when the contents are not sane (see Import) or the file cannot be written.
    bool Write(const QString &file, QString &error) const;

    // The named presets, in their order here, and the limits when asked, in the file's format.
    QByteArray Export(const QStringList &names, bool withLimits) const;
    // Adds what the bytes hold to into: a preset replaces one of its name, a limit the one of
    // its title and type. Bytes that are not wholly of the format, or that would leave more than
    // the maxima, are refused with error saying why, and into is left as it was.
    static bool Import(const QByteArray &bytes, TProjectPresets &into, QString &error);

    const TPreset *PresetNamed(const QString &name) const;
    // Adds the preset or replaces the one of its name; false with error when it is not sane.
    bool SetPreset(const TPreset &preset, QString &error);
    bool RemovePreset(const QString &name);

    const TLimit *LimitFor(const std::string &title, std::int32_t type) const;
    // Adds the limit or replaces the one of its title and type; false with error when not sane.
    bool SetLimit(const TLimit &limit, QString &error);
    bool RemoveLimit(const std::string &title, std::int32_t type);
};

// Why a preset cannot be kept (empty when it can): a name that is empty, too long or holds
// control characters, no values or too many, an action, a type outside 0..5, two values for one
// title and type, or a title or value with NUL, CR or LF or longer than MaxTextBytes.
QString PresetError(const TPreset &preset);
