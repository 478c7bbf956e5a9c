#include "CodePage.h"
#include "FindText.h"
#include "Journal.h"
#include "Limits.h"
#include "Presets.h"
#include "ProjectData.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

using TVars = std::vector<TVarEntry>;

// "Lots:3=0.1 Note:1=" as variables: title, type and value; titles and values in Latin-1.
TVars Vars(const QString &spec) {
    TVars vars;
    for (const QString &v : spec.split(u' ', Qt::SkipEmptyParts)) {
        const qsizetype colon = v.indexOf(u':'), equals = v.indexOf(u'=');
        vars.push_back({v.left(colon).toLatin1().toStdString(),
                        v.mid(colon + 1, equals - colon - 1).toInt(), 0,
                        v.mid(equals + 1).toLatin1().toStdString()});
    }
    return vars;
}

TVarTable Table(const TVars &vars) {
    TVarTable table;
    std::copy(vars.begin(), vars.end(), table.begin());
    return table;
}

// "found 2", "found 2 same", "missing", "retyped 3" or "ambiguous"; a found variable must have
// the value's title and type, whatever the row expects.
QString Describe(const TValueMatch &m, const TPresetValue &value, const TVars &vars) {
    if (m.Outcome == TValueMatch::Found) {
        const TVarEntry &var = vars.at(size_t(m.Index));
        return var.Title != value.Title || var.Type != value.Type
                   ? QStringLiteral("found another variable")
                   : QStringLiteral("found %1%2").arg(m.Index).arg(m.Same ? " same" : "");
    }
    if (m.Outcome == TValueMatch::Retyped)
        return QStringLiteral("retyped %1").arg(m.TypeNow);
    return m.Outcome == TValueMatch::Missing ? "missing" : "ambiguous";
}

// A file of these presets and limits, each a list of JSON objects without its brackets.
QByteArray Doc(const QByteArray &presets, const QByteArray &limits = "") {
    return R"({"format": "kivo-presets", "version": 1, "presets": [)" + presets +
           R"(], "limits": [)" + limits + "]}";
}

QByteArray Repeated(int times, const QByteArray &entry) {
    QByteArrayList entries;
    for (int i = 0; i < times; ++i)
        entries.append(QByteArray(entry).replace("#", QByteArray::number(i)));
    return entries.join(", ");
}

} // namespace

class TestPresets : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(SetProjectCodePage(1252), 1252); }
    void dataFileName_data();
    void dataFileName();
    void match_data();
    void match();
    void fromTable();
    void limits_data();
    void limits();
    void fileRoundTrip();
    void importRefused_data();
    void importRefused();
    void findText_data();
    void findText();

private:
    QTemporaryDir FDir;
};

void TestPresets::dataFileName_data() {
    QTest::addColumn<QString>("project");
    QTest::addColumn<QString>("name");
    const auto row = [](const char *name, const QString &project, const QString &file) {
        QTest::newRow(name) << project << file;
    };
    row("plain", "robot.kvo", "robot");
    row("unsafe", "a<b>c|d\"e*f?g:h.v1.kvo", "a_b_c_d_e_f_g_h.v1");
    row("cut", QString(70, u'x') + ".kvo", QString(64, u'x'));
    row("pair at cut", QString(63, u'x') + "😀.kvo", QString(63, u'x'));
}

// Kivo's files of a project (the journal, the presets): names a file system takes, of projects
// of one name in different folders apart.
void TestPresets::dataFileName() {
    QFETCH(QString, project);
    QFETCH(QString, name);
    const QString path = FDir.filePath(project);
    const QString file = TProjectPresets::FileFor(path);
    const QRegularExpression pattern("/presets/" + QRegularExpression::escape(name) +
                                     "-[0-9a-f]{8}\\.json$");
    QVERIFY2(pattern.match(file).hasMatch(), qPrintable(file));
    QVERIFY(file != TProjectPresets::FileFor(FDir.filePath("other/" + project)));
}

void TestPresets::match_data() {
    QTest::addColumn<QString>("vars");
    QTest::addColumn<QStringList>("outcomes");
    QTest::newRow("as saved") << "Lots:3=0.1 Magic:2=5 Trade:0=1 Note:1="
                              << QStringList{"found 0 same", "found 1", "found 2 same", "found 3"};
    QTest::newRow("reordered, one added")
        << "Note:1=hi New:2=7 Trade:0=0 Magic:2=7 Lots:3=0.1"
        << QStringList{"found 4 same", "found 3 same", "found 2", "found 0 same"};
    QTest::newRow("removed") << "Trade:0=1 Lots:3=0.2"
                             << QStringList{"found 1", "missing", "found 0 same", "missing"};
    QTest::newRow("retyped") << "Lots:1=0.1 Magic:3=7 Trade:5= Note:1=hi"
                             << QStringList{"retyped 1", "retyped 3", "retyped 5", "found 3 same"};
    QTest::newRow("one title twice")
        << "Lots:3=0.1 Magic:1=7 Lots:3=0.1 Magic:2=7 Note:1=hi Lots:2=1"
        << QStringList{"ambiguous", "found 3 same", "missing", "found 4 same"};
}

void TestPresets::match() {
    QFETCH(QString, vars);
    QFETCH(QStringList, outcomes);
    const TVars table = Vars(vars);
    TPreset preset{"p", {}};
    for (const TVarEntry &v : Vars("Lots:3=0.1 Magic:2=7 Trade:0=1 Note:1=hi"))
        preset.Values.push_back({v.Title, v.Type, v.Value});
    const TPresetMatch m = Match(preset, Table(table), std::int32_t(table.size()));
    QStringList got;
    for (size_t i = 0; i < m.Values.size(); ++i)
        got << Describe(m.Values[i], preset.Values[i], table);
    QCOMPARE(got, outcomes);
}

void TestPresets::fromTable() {
    const TVars vars = Vars("Lots:3=0.1 Go:5= Größe:2=3 Dup:1=a Dup:1=b Dup:2=9");
    std::vector<int> skipped;
    const TPreset chosen = FromTable("c", Table(vars), 6, {5, 0, 1, 0, 3, 7, -1}, &skipped);
    QCOMPARE(chosen.Values, (std::vector<TPresetValue>{{"Lots", 3, "0.1"}, {"Dup", 2, "9"}}));
    QCOMPARE(skipped, (std::vector<int>{-1, 1, 3, 7}));
    // What was open at the start goes back to exactly the variables it came from.
    const TPreset opened = FromTable("opened", Table(vars), 6);
    QCOMPARE(opened.Values.size(), size_t(3));
    for (const TValueMatch &m : Match(opened, Table(vars), 6).Values)
        QVERIFY(m.Outcome == TValueMatch::Found && m.Same);
}

void TestPresets::limits_data() {
    QTest::addColumn<TLimit>("limit");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("broken");
    const auto row = [](const char *name, const TLimit &limit, const char *before,
                        const QString &after, const QString &broken) {
        QTest::newRow(name) << limit << before << after << broken;
    };
    const TLimit bounds{"v", 3, 0.01, 1}, integer{"v", 2, {}, 1};
    const TLimit x2{"v", 3, {}, {}, TLimit::Factor, 2}, d05{"v", 3, {}, {}, TLimit::Difference, .5};
    const QString above = "above the highest value 1";
    row("inside", bounds, "0.5", "1.0", "");
    row("above", bounds, "0.5", "1.01", above);
    row("below", bounds, "0.5", "0.001", "below the lowest value 0.01");
    row("huge", integer, "", "+1" + QString(400, '0'), above);
    row("x3 on the limit", {"v", 3, {}, {}, TLimit::Factor, 3}, "0.7", "2.1", "");
    row("x2 up broken", x2, "10", "20.5", "more than x2 the old value");
    row("x2 down", x2, "-10", "-5.", "");
    row("x2 down broken", x2, "-10", "-4.9", "less than 1/2 the old value");
    row("x1.5 up broken", {"v", 3, {}, {}, TLimit::Factor, 1.5}, ".2", "0.31",
        "more than x1.5 the old value");
    row("sign flip", {"v", 3, {}, {}, TLimit::Factor, 1e6}, "1", "-1",
        "a change of sign, which no factor allows");
    row("from 0", x2, "0", "0.001", "a change from 0, which no factor allows");
    row("to 0", x2, "5", "-0", "a change to 0, which no factor allows");
    row("0 stays", x2, "0", "-0.0", "");
    row("difference on the limit", {"v", 3, {}, {}, TLimit::Difference, .1}, "0.7", "0.8", "");
    row("difference up", d05, "0.3", "0.81", "a change of more than 0.5");
    row("difference down", d05, "1", "0", "a change of more than 0.5");
    row("old no number", {"v", 3, {}, 1, TLimit::Difference, .5}, "n/a", "7", above);
    row("both", {"v", 3, {}, 1, TLimit::Factor, 2}, "0.2", "1.5",
        above + "; more than x2 the old value");
    for (const char *text : {"$500", "1e3", "", "abc", "0x10", "1.2.3", " 5", "-", ".", "5,5"})
        row(qPrintable(QStringLiteral("not judged: '%1'").arg(text)),
            {"v", 3, 2, 2, TLimit::Difference, 0}, "2", text, "");
    for (const int type : {0, 1, 4, 5})
        row(qPrintable(QStringLiteral("type %1").arg(type)), {"v", type, {}, 0, TLimit::Factor, 1},
            "0", "1", "");
}

void TestPresets::limits() {
    QFETCH(TLimit, limit);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QStringList texts;
    for (const TBrokenLimit &b :
         CheckLimits(limit, limit.Type, before.toStdString(), after.toStdString()))
        texts << QString::fromStdString(b.Text);
    QTEST(texts.join("; "), "broken");
}

void TestPresets::fileRoundTrip() {
    const QString file = FDir.filePath("data/presets/p.json");
    const auto contents = [](const QString &name) {
        QFile in(name);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    };
    TProjectPresets all, read;
    QString error;
    QVERIFY(all.Read(file, error) && error.isEmpty()); // no file yet
    // Ö and ß in 1252, then a byte 1252 leaves unassigned.
    const TPreset night{"Nacht ⏾", {{"Gr\366\337e", 3, "\201\351"}, {"Trade", 0, "0"}}};
    QVERIFY(all.SetPreset(night, error) && all.SetPreset({"day", {{"Trade", 0, "1"}}}, error));
    QVERIFY(all.SetLimit({"Lots", 3, 0.01, 1.5, TLimit::Factor, 2}, error));
    QVERIFY(all.SetLimit({"Lots", 2, {}, {}, TLimit::Difference, 0}, error));
    QVERIFY(!all.SetLimit({"Lots", 3, std::nan(""), {}, TLimit::None, 0}, error));
    QVERIFY(all.LimitFor("Lots", 3)->Highest == 1.5 && !all.LimitFor("Lots", 1));
    QVERIFY(all.Write(file, error) && read.Read(file, error));
    QCOMPARE(read.Presets, all.Presets);
    QCOMPARE(read.Limits, all.Limits);
    QVERIFY(contents(file).contains("\"Größe\""));

    // The exported preset replaces the other project's preset of its name.
    TProjectPresets other;
    QVERIFY(other.SetPreset({"Nacht ⏾", {{"x", 1, "y"}}}, error));
    QVERIFY(TProjectPresets::Import(all.Export({"Nacht ⏾"}, false), other, error));
    QCOMPARE(other.Presets, std::vector<TPreset>{night});
    QVERIFY(other.Limits.empty());

    // A damaged file reads as nothing and is kept aside before the next write.
    const QByteArray damaged = "{\"format\": \"kivo-presets\", \"ver";
    QFile json(file);
    QVERIFY(json.open(QIODevice::WriteOnly) && json.write(damaged) == damaged.size());
    json.close();
    QVERIFY(!read.Read(file, error) && read.Presets.empty());
    QVERIFY2(error.contains(QDir::toNativeSeparators(file)), qPrintable(error));
    QVERIFY(other.Write(file, error) && read.Read(file, error));
    QCOMPARE(contents(file + ".bad"), damaged);
    QCOMPARE(read.Presets, other.Presets);
}

void TestPresets::importRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, const QByteArray &bytes, const char *reason) {
        QTest::newRow(name) << bytes << QString(reason);
    };
    const QByteArray t = R"({"title": "t", "type": 1, "value": ""})";
    const auto preset = [](const QByteArray &values) {
        return R"({"name": "a", "values": [)" + values + "]}";
    };
    const auto value = [&](const char *title, const char *type, const char *value) {
        return Doc(preset(R"({"title": ")" + QByteArray(title) + R"(", "type": )" + type +
                          R"(, "value": ")" + value + "\"}"));
    };
    const auto limit = [](const char *rest) {
        return Doc("", R"({"title": "Lots", "type": 3)" + QByteArray(rest) + "}");
    };
    row("not JSON", "{\"format\"", "not JSON");
    row("list", "[]", "not a file of Kivo's presets");
    row("newer", Doc("").replace("1,", "2,"), "made by a newer Kivo (version 2)");
    row("unknown field", Doc(R"({"name": "a", "values": [], "colour": 1})"),
        "preset 1: an unknown field \"colour\"");
    row("no values", Doc(R"({"name": "a"})"), "preset 1: no field \"values\"");
    row("name empty", Doc(preset(t).replace("\"a\"", "\" \"")), "a preset without a name");
    row("empty", Doc(preset("")), "the preset \"a\" holds no values");
    row("type 6", value("t", "6", ""), "preset 1: value 1: the type is none of 0 to 5");
    row("type text", value("t", "\"1\"", ""), "the field \"type\" is not a number");
    row("action", value("t", "5", ""), "\"t\" is an action, which has no value");
    row("LF", value("t\\n", "1", ""), "a title holds a NUL, CR or LF");
    row("lone surrogate", value("\\ud800", "1", ""), "cannot be written in the code page 1252");
    row("not in 1252", value("日", "1", ""), "cannot be written in the code page 1252");
    row("twice", Doc(preset(t + ", " + t)), "sets \"t\" twice");
    row("name twice", Doc(preset(t) + ", " + preset(t)), "two presets named \"a\"");
    row("1001 presets", Doc(Repeated(1001, R"({"name": "#", "values": []})")),
        "more than 1000 entries in \"presets\"");
    row("257 values", Doc(preset(Repeated(257, t))), "more than 256 entries in \"values\"");
    row("lowest > highest", limit(R"(, "lowest": 2, "highest": 1)"),
        "the lowest value 2 is above the highest value 1");
    row("factor < 1", limit(R"(, "factor": 0.5)"), "a factor below 1");
    row("difference < 0", limit(R"(, "difference": -0.1)"), "a negative difference");
    row("both steps", limit(R"(, "factor": 2, "difference": 1)"), "both a factor and a difference");
    row("nothing", limit(""), "the limit limits nothing");
    row("limit on text", limit(R"(, "highest": 1)").replace("3,", "1,"),
        "only for integer and double");
    row("limit twice", limit(R"(, "highest": 1}, {"title": "Lots", "type": 3, "highest": 2)"),
        "two limits of \"Lots\"");
}

void TestPresets::importRefused() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    TProjectPresets into;
    QString error;
    QVERIFY(into.SetPreset({"kept", {{"t", 1, "v"}}}, error));
    const TProjectPresets before = into;
    QVERIFY(!TProjectPresets::Import(bytes, into, error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(into.Presets, before.Presets);
}

void TestPresets::findText_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("found");
    const auto row = [](const char *title, const char *typed, bool found) {
        QTest::addRow("'%s' in '%s'", typed, title) << title << typed << found;
    };
    row("Lot Size", "lot s", true);
    row("Café Crème", "cafe CREME", true);
    row("Ångström", "ANGSTROM", true);
    row("ﬁlter", "fil", true);     // a ligature decomposes
    row("Größe", "grosse", false); // ß is no ss
    row("GRÖẞE", "größe", true);   // capital ß folds to ß
    row("Øre", "ore", false);      // ø does not decompose
    row("Lots", "lost", false);
    row("Lots", "", true);
}

void TestPresets::findText() {
    QFETCH(QString, title);
    QFETCH(QString, typed);
    QTEST(TitleMatches(title, typed), "found");
}

QTEST_GUILESS_MAIN(TestPresets)
#include "tst_presets.moc"
