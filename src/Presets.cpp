#include "Presets.h"

#include "CodePage.h"
#include "ProjectData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <set>
#include <string_view>
#include <utility>

namespace {

constexpr char FormatName[] = "kivo-presets";
constexpr int FormatVersion = 1;

using TKey = std::pair<std::string, std::int32_t>; // a title and a type

QString Quoted(const std::string &text) {
    return u'"' + ProjectToQString(text) + u'"';
}

QString TextError(const std::string &text) {
    if (text.size() > TProjectPresets::MaxTextBytes)
        return QStringLiteral("is longer than %1 bytes").arg(TProjectPresets::MaxTextBytes);
    if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos)
        return QStringLiteral("holds a NUL, CR or LF");
    return {};
}

QString ValueError(const TPresetValue &value) {
    if (value.Type < vtBoolean || value.Type > vtAction)
        return QStringLiteral("the type %1 is none of 0 to 5").arg(value.Type);
    if (value.Type == vtAction)
        return Quoted(value.Title) + QStringLiteral(" is an action, which has no value");
    if (const QString e = TextError(value.Title); !e.isEmpty())
        return QStringLiteral("a title ") + e;
    if (const QString e = TextError(value.Value); !e.isEmpty())
        return QStringLiteral("the value of ") + Quoted(value.Title) + u' ' + e;
    return {};
}

QString LimitText(const TLimit &limit) {
    if (const QString e = TextError(limit.Title); !e.isEmpty())
        return QStringLiteral("a limit's title ") + e;
    if (const std::string e = LimitError(limit); !e.empty())
        return QStringLiteral("the limit of ") + Quoted(limit.Title) + QStringLiteral(": ") +
               QString::fromStdString(e);
    return {};
}

QString ContentsError(const TProjectPresets &all) {
    if (all.Presets.size() > size_t(TProjectPresets::MaxPresets))
        return QStringLiteral("more than %1 presets").arg(TProjectPresets::MaxPresets);
    if (all.Limits.size() > size_t(TProjectPresets::MaxLimits))
        return QStringLiteral("more than %1 limits").arg(TProjectPresets::MaxLimits);
    std::set<QString> names;
    for (const TPreset &preset : all.Presets) {
        if (const QString e = PresetError(preset); !e.isEmpty())
            return e;
        if (!names.insert(preset.Name).second)
            return QStringLiteral("two presets named \"%1\"").arg(preset.Name);
    }
    std::set<TKey> limited;
    for (const TLimit &limit : all.Limits) {
        if (const QString e = LimitText(limit); !e.isEmpty())
            return e;
        if (!limited.insert({limit.Title, limit.Type}).second)
            return QStringLiteral("two limits of ") + Quoted(limit.Title);
    }
    return {};
}

QJsonObject ToJson(const TPreset &preset) {
    QJsonArray values;
    for (const TPresetValue &v : preset.Values)
        values.append(QJsonObject{{"title", ProjectToQString(v.Title)},
                                  {"type", v.Type},
                                  {"value", ProjectToQString(v.Value)}});
    return {{"name", preset.Name}, {"values", values}};
}

QJsonObject ToJson(const TLimit &limit) {
    QJsonObject o{{"title", ProjectToQString(limit.Title)}, {"type", limit.Type}};
    if (limit.Lowest)
        o.insert("lowest", *limit.Lowest);
    if (limit.Highest)
        o.insert("highest", *limit.Highest);
    if (limit.Kind == TLimit::Factor)
        o.insert("factor", limit.Step);
    else if (limit.Kind == TLimit::Difference)
        o.insert("difference", limit.Step);
    return o;
}

QByteArray Document(const std::vector<const TPreset *> &presets,
                    const std::vector<TLimit> &limits) {
    QJsonArray p;
    for (const TPreset *preset : presets)
        p.append(ToJson(*preset));
    QJsonArray l;
    for (const TLimit &limit : limits)
        l.append(ToJson(limit));
    const QJsonObject root{
        {"format", FormatName}, {"version", FormatVersion}, {"presets", p}, {"limits", l}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

// Field readers: each fails with error naming the field, relative to the object it is in.
bool OnlyKnown(const QJsonObject &o, std::initializer_list<QLatin1StringView> keys,
               QString &error) {
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (std::find(keys.begin(), keys.end(), it.key()) == keys.end()) {
            error = QStringLiteral("an unknown field \"%1\"").arg(it.key().left(40));
            return false;
        }
    }
    return true;
}

bool Field(const QJsonObject &o, QLatin1StringView key, QJsonValue::Type type, QJsonValue &value,
           QString &error) {
    value = o.value(key);
    if (value.isUndefined())
        error = QStringLiteral("no field \"%1\"").arg(key);
    else if (value.type() != type)
        error = QStringLiteral("the field \"%1\" is not %2")
                    .arg(key, type == QJsonValue::String   ? "text"
                              : type == QJsonValue::Double ? "a number"
                              : type == QJsonValue::Array  ? "a list"
                                                           : "an object");
    else
        return true;
    return false;
}

bool Text(const QJsonObject &o, QLatin1StringView key, std::string &bytes, QString &error) {
    QJsonValue value;
    if (!Field(o, key, QJsonValue::String, value, error))
        return false;
    const QString text = value.toString();
    if (text.isValidUtf16() && ProjectFromQString(text, bytes))
        return true;
    error = QStringLiteral("the field \"%1\" cannot be written in the code page %2")
                .arg(key)
                .arg(ProjectCodePage());
    return false;
}

bool Type(const QJsonObject &o, std::int32_t &type, QString &error) {
    QJsonValue value;
    if (!Field(o, QLatin1StringView("type"), QJsonValue::Double, value, error))
        return false;
    const double d = value.toDouble();
    if (d >= 0 && d <= 5 && d == std::floor(d)) {
        type = std::int32_t(d);
        return true;
    }
    error = QStringLiteral("the type is none of 0 to 5");
    return false;
}

bool Number(const QJsonObject &o, QLatin1StringView key, std::optional<double> &number,
            QString &error) {
    if (!o.contains(key))
        return true;
    QJsonValue value;
    if (!Field(o, key, QJsonValue::Double, value, error))
        return false;
    number = value.toDouble();
    return true;
}

bool List(const QJsonObject &o, QLatin1StringView key, qsizetype most, QJsonArray &list,
          QString &error) {
    QJsonValue value;
    if (!Field(o, key, QJsonValue::Array, value, error))
        return false;
    list = value.toArray();
    if (list.size() <= most)
        return true;
    error = QStringLiteral("more than %1 entries in \"%2\"").arg(most).arg(key);
    return false;
}

bool Object(const QJsonValue &value, QJsonObject &o, QString &error) {
    o = value.toObject();
    if (value.isObject())
        return true;
    error = QStringLiteral("an entry that is not an object");
    return false;
}

bool ReadPreset(const QJsonValue &entry, TPreset &preset, QString &error) {
    using L = QLatin1StringView;
    QJsonObject o;
    QJsonValue name;
    QJsonArray values;
    if (!Object(entry, o, error) || !OnlyKnown(o, {L("name"), L("values")}, error) ||
        !Field(o, L("name"), QJsonValue::String, name, error) ||
        !List(o, L("values"), TProjectPresets::MaxValues, values, error))
        return false;
    preset.Name = name.toString();
    for (qsizetype i = 0; i < values.size(); ++i) {
        TPresetValue v;
        QJsonObject value;
        if (!Object(values[i], value, error) ||
            !OnlyKnown(value, {L("title"), L("type"), L("value")}, error) ||
            !Text(value, L("title"), v.Title, error) || !Type(value, v.Type, error) ||
            !Text(value, L("value"), v.Value, error)) {
            error = QStringLiteral("value %1: ").arg(i + 1) + error;
            return false;
        }
        preset.Values.push_back(std::move(v));
    }
    return true;
}

bool ReadLimit(const QJsonValue &entry, TLimit &limit, QString &error) {
    using L = QLatin1StringView;
    QJsonObject o;
    std::optional<double> factor, difference;
    if (!Object(entry, o, error) ||
        !OnlyKnown(o,
                   {L("title"), L("type"), L("lowest"), L("highest"), L("factor"), L("difference")},
                   error) ||
        !Text(o, L("title"), limit.Title, error) || !Type(o, limit.Type, error) ||
        !Number(o, L("lowest"), limit.Lowest, error) ||
        !Number(o, L("highest"), limit.Highest, error) || !Number(o, L("factor"), factor, error) ||
        !Number(o, L("difference"), difference, error))
        return false;
    if (factor && difference) {
        error = QStringLiteral("both a factor and a difference");
        return false;
    }
    limit.Kind = factor ? TLimit::Factor : difference ? TLimit::Difference : TLimit::None;
    limit.Step = factor ? *factor : difference.value_or(0);
    return true;
}

// The whole of the bytes as presets and limits, every rule checked.
bool Parse(const QByteArray &bytes, TProjectPresets &out, QString &error) {
    using L = QLatin1StringView;
    out = {};
    if (bytes.size() > TProjectPresets::MaxFileBytes) {
        error = QStringLiteral("larger than %1 bytes").arg(TProjectPresets::MaxFileBytes);
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error =
            QStringLiteral("not JSON (%1 at byte %2)").arg(parse.errorString()).arg(parse.offset);
        return false;
    }
    const QJsonObject root = document.object();
    QJsonValue format, version;
    QJsonArray presets, limits;
    if (!document.isObject() || !Field(root, L("format"), QJsonValue::String, format, error) ||
        format.toString() != QLatin1StringView(FormatName)) {
        error = QStringLiteral("not a file of Kivo's presets");
        return false;
    }
    if (!Field(root, L("version"), QJsonValue::Double, version, error))
        return false;
    if (version.toDouble() != FormatVersion) {
        error = version.toDouble() > FormatVersion
                    ? QStringLiteral("made by a newer Kivo (version %1)").arg(version.toDouble())
                    : QStringLiteral("of an unknown version");
        return false;
    }
    if (!OnlyKnown(root, {L("format"), L("version"), L("presets"), L("limits")}, error) ||
        !List(root, L("presets"), TProjectPresets::MaxPresets, presets, error) ||
        !List(root, L("limits"), TProjectPresets::MaxLimits, limits, error))
        return false;
    TProjectPresets read;
    read.Presets.resize(size_t(presets.size()));
    for (qsizetype i = 0; i < presets.size(); ++i) {
        if (!ReadPreset(presets[i], read.Presets[size_t(i)], error)) {
            error = QStringLiteral("preset %1: ").arg(i + 1) + error;
            return false;
        }
    }
    read.Limits.resize(size_t(limits.size()));
    for (qsizetype i = 0; i < limits.size(); ++i) {
        if (!ReadLimit(limits[i], read.Limits[size_t(i)], error)) {
            error = QStringLiteral("limit %1: ").arg(i + 1) + error;
            return false;
        }
    }
    error = ContentsError(read);
    if (!error.isEmpty())
        return false;
    out = std::move(read);
    return true;
}

bool ReadBytes(const QString &file, QByteArray &bytes, QString &error) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        error = in.errorString();
        return false;
    }
    bytes = in.read(TProjectPresets::MaxFileBytes + 1);
    if (in.error() == QFileDevice::NoError)
        return true;
    error = in.errorString();
    return false;
}

bool Unique(const TVarTable &table, std::int32_t count, int index) {
    const TVarEntry &var = table[size_t(index)];
    return std::count_if(table.begin(), table.begin() + count, [&](const TVarEntry &other) {
               return other.Title == var.Title && other.Type == var.Type;
           }) == 1;
}

template <class T, class Same> bool Replace(std::vector<T> &list, const T &item, Same same) {
    const auto it = std::find_if(list.begin(), list.end(), same);
    if (it == list.end())
        list.push_back(item);
    else
        *it = item;
    return it != list.end();
}

} // namespace

QString PresetError(const TPreset &preset) {
    const QString &name = preset.Name;
    if (name.trimmed().isEmpty())
        return QStringLiteral("a preset without a name");
    if (name.size() > TProjectPresets::MaxNameUnits)
        return QStringLiteral("a preset name longer than %1 characters")
            .arg(TProjectPresets::MaxNameUnits);
    if (!name.isValidUtf16() || std::any_of(name.begin(), name.end(), [](QChar c) {
            return c.category() == QChar::Other_Control;
        }))
        return QStringLiteral("a preset name with control characters");
    const QString where = QStringLiteral("the preset \"%1\"").arg(name);
    if (preset.Values.empty())
        return where + QStringLiteral(" holds no values");
    if (preset.Values.size() > size_t(TProjectPresets::MaxValues))
        return where + QStringLiteral(" holds more than %1 values").arg(TProjectPresets::MaxValues);
    std::set<TKey> seen;
    for (const TPresetValue &value : preset.Values) {
        if (const QString e = ValueError(value); !e.isEmpty())
            return where + QStringLiteral(": ") + e;
        if (!seen.insert({value.Title, value.Type}).second)
            return where + QStringLiteral(" sets ") + Quoted(value.Title) +
                   QStringLiteral(" twice");
    }
    return {};
}

TPresetMatch Match(const TPreset &preset, const TVarTable &table, std::int32_t count) {
    count = std::clamp<std::int32_t>(count, 0, MaxVars);
    TPresetMatch match;
    match.Values.reserve(preset.Values.size());
    for (const TPresetValue &value : preset.Values) {
        TValueMatch m;
        int found = 0;
        bool titled = false;
        for (int i = 0; i < count; ++i) {
            const TVarEntry &var = table[size_t(i)];
            if (var.Title != value.Title)
                continue;
            if (var.Type == value.Type) {
                if (found++ == 0)
                    m.Index = i;
            } else if (!titled) {
                titled = true;
                m.TypeNow = var.Type;
            }
        }
        if (found == 1) {
            m.Outcome = TValueMatch::Found;
            m.Same = table[size_t(m.Index)].Value == value.Value;
        } else {
            m.Index = -1;
            m.Outcome = found > 1 ? TValueMatch::Ambiguous
                        : titled  ? TValueMatch::Retyped
                                  : TValueMatch::Missing;
        }
        match.Values.push_back(m);
    }
    return match;
}

TPreset FromTable(const QString &name, const TVarTable &table, std::int32_t count,
                  const std::vector<int> &chosen, std::vector<int> *skipped) {
    count = std::clamp<std::int32_t>(count, 0, MaxVars);
    std::vector<int> order = chosen;
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    TPreset preset;
    preset.Name = name;
    for (const int i : order) {
        if (i >= 0 && i < count) {
            const TVarEntry &var = table[size_t(i)];
            TPresetValue value{var.Title, var.Type, var.Value};
            if (Unique(table, count, i) && ValueError(value).isEmpty()) {
                preset.Values.push_back(std::move(value));
                continue;
            }
        }
        if (skipped)
            skipped->push_back(i);
    }
    return preset;
}

TPreset FromTable(const QString &name, const TVarTable &table, std::int32_t count) {
    std::vector<int> all(size_t(std::clamp<std::int32_t>(count, 0, MaxVars)));
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = int(i);
    return FromTable(name, table, count, all);
}

QString TProjectPresets::FileFor(const QString &project) {
    return ProjectDataFile(project, QStringLiteral("presets"), QStringLiteral(".json"));
}

bool TProjectPresets::Read(const QString &file, QString &error) {
    *this = {};
    error.clear();
    if (!QFile::exists(file))
        return true;
    QByteArray bytes;
    QString reason;
    if (ReadBytes(file, bytes, reason) && Parse(bytes, *this, reason))
        return true;
    error = QStringLiteral("Cannot read the presets file %1: %2.")
                .arg(QDir::toNativeSeparators(file), reason);
    return false;
}

bool TProjectPresets::Write(const QString &file, QString &error) const {
    const auto fail = [&](const QString &reason) {
        error = QStringLiteral("Cannot write the presets file %1: %2.")
                    .arg(QDir::toNativeSeparators(file), reason);
        return false;
    };
    if (const QString e = ContentsError(*this); !e.isEmpty())
        return fail(e);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return fail(QStringLiteral("its folder cannot be made"));
    if (QFileInfo(file).isFile()) {
        QByteArray bytes;
        QString reason;
        TProjectPresets old;
        if (!ReadBytes(file, bytes, reason) || !Parse(bytes, old, reason)) {
            const QString bad = file + QStringLiteral(".bad");
            QFile::remove(bad);
            if (!QFile::rename(file, bad))
                return fail(QStringLiteral("the damaged file there cannot be kept aside as ") +
                            QDir::toNativeSeparators(bad));
        }
    }
    std::vector<const TPreset *> presets;
    for (const TPreset &preset : Presets)
        presets.push_back(&preset);
    const QByteArray bytes = Document(presets, Limits);
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        return fail(out.errorString());
    return true;
}

QByteArray TProjectPresets::Export(const QStringList &names, bool withLimits) const {
    std::vector<const TPreset *> presets;
    for (const TPreset &preset : Presets) {
        if (names.contains(preset.Name))
            presets.push_back(&preset);
    }
    return Document(presets, withLimits ? Limits : std::vector<TLimit>());
}

bool TProjectPresets::Import(const QByteArray &bytes, TProjectPresets &into, QString &error) {
    TProjectPresets read;
    if (!Parse(bytes, read, error))
        return false;
    TProjectPresets merged = into;
    for (const TPreset &preset : read.Presets)
        Replace(merged.Presets, preset, [&](const TPreset &p) { return p.Name == preset.Name; });
    for (const TLimit &limit : read.Limits)
        Replace(merged.Limits, limit,
                [&](const TLimit &l) { return l.Title == limit.Title && l.Type == limit.Type; });
    if (merged.Presets.size() > size_t(MaxPresets) || merged.Limits.size() > size_t(MaxLimits)) {
        error = QStringLiteral("the project would hold more than %1 presets or %2 limits")
                    .arg(MaxPresets)
                    .arg(MaxLimits);
        return false;
    }
    into = std::move(merged);
    return true;
}

const TPreset *TProjectPresets::PresetNamed(const QString &name) const {
    const auto it = std::find_if(Presets.begin(), Presets.end(),
                                 [&](const TPreset &p) { return p.Name == name; });
    return it == Presets.end() ? nullptr : &*it;
}

bool TProjectPresets::SetPreset(const TPreset &preset, QString &error) {
    error = PresetError(preset);
    if (!error.isEmpty())
        return false;
    if (!Replace(Presets, preset, [&](const TPreset &p) { return p.Name == preset.Name; }) &&
        Presets.size() > size_t(MaxPresets)) {
        Presets.pop_back();
        error = QStringLiteral("more than %1 presets").arg(MaxPresets);
        return false;
    }
    return true;
}

bool TProjectPresets::RemovePreset(const QString &name) {
    return std::erase_if(Presets, [&](const TPreset &p) { return p.Name == name; }) > 0;
}

const TLimit *TProjectPresets::LimitFor(const std::string &title, std::int32_t type) const {
    const auto it = std::find_if(Limits.begin(), Limits.end(), [&](const TLimit &l) {
        return l.Title == title && l.Type == type;
    });
    return it == Limits.end() ? nullptr : &*it;
}

bool TProjectPresets::SetLimit(const TLimit &limit, QString &error) {
    error = LimitText(limit);
    if (!error.isEmpty())
        return false;
    if (!Replace(Limits, limit,
                 [&](const TLimit &l) { return l.Title == limit.Title && l.Type == limit.Type; }) &&
        Limits.size() > size_t(MaxLimits)) {
        Limits.pop_back();
        error = QStringLiteral("more than %1 limits").arg(MaxLimits);
        return false;
    }
    return true;
}

bool TProjectPresets::RemoveLimit(const std::string &title, std::int32_t type) {
    return std::erase_if(Limits,
                         [&](const TLimit &l) { return l.Title == title && l.Type == type; }) > 0;
}
