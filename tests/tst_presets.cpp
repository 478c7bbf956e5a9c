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

TVarTable Table(const TVars &vars) {
    TVarTable table;
    std::copy(vars.begin(), vars.end(), table.begin());
    return table;
}

// "found 2", "found 2 same", "missing", "retyped 3" or "ambiguous"; a found variable must have
// the value's title and type, whatever the row expects.
QString Describe(const TValueMatch &m, const TPresetValue &value, const TVars &vars) {
    switch (m.Outcome) {
    case TValueMatch::Found:
        if (vars.at(size_t(m.Index)).Title != value.Title ||
            vars.at(size_t(m.Index)).Type != value.Type)
            return QStringLiteral("found another variable");
        return QStringLiteral("found %1%2").arg(m.Index).arg(m.Same ? " same" : "");
    case TValueMatch::Missing:
        return QStringLiteral("missing");
    case TValueMatch::Retyped:
        return QStringLiteral("retyped %1").arg(m.TypeNow);
    case TValueMatch::Ambiguous:
        return QStringLiteral("ambiguous");
    }
    return {};
}

QByteArray Doc(const char *presets, const char *limits = "[]") {
    return QByteArray(R"({"format": "kivo-presets", "version": 1, "presets": )") + presets +
           R"(, "limits": )" + limits + "}";
}

QByteArray Repeated(int times, const QByteArray &entry) {
    QByteArrayList entries;
    for (int i = 0; i < times; ++i)
        entries.append(QByteArray(entry).replace("#", QByteArray::number(i)));
    return '[' + entries.join(',') + ']';
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
    QTest::newRow("plain") << "robot.kvo"
                           << "robot";
    QTest::newRow("unsafe") << "a<b>c|d\"e*f?g:h.v1.kvo"
                            << "a_b_c_d_e_f_g_h.v1";
    QTest::newRow("cut") << QString(70, u'x') + ".kvo" << QString(64, u'x');
    QTest::newRow("pair at cut") << QString(63, u'x') + "😀.kvo" << QString(63, u'x');
}

// The journal will name its file through ProjectDataFile: the names must stay as they are.
void TestPresets::dataFileName() {
    QFETCH(QString, project);
    QFETCH(QString, name);
    const QString path = FDir.filePath(project);
    QCOMPARE(ProjectDataFile(path, "journal", ".csv"), TJournal::FileFor(path));
    const QString file = TProjectPresets::FileFor(path);
    const QRegularExpression pattern("/presets/" + QRegularExpression::escape(name) +
                                     "-[0-9a-f]{8}\\.json$");
    QVERIFY2(pattern.match(file).hasMatch(), qPrintable(file));
    QVERIFY(file != TProjectPresets::FileFor(FDir.filePath("other/" + project)));
}

void TestPresets::match_data() {
    QTest::addColumn<TVars>("vars");
    QTest::addColumn<QStringList>("outcomes");
    QTest::newRow("as saved") << TVars{{"Lots", 3, 0, "0.1"},
                                       {"Magic", 2, 0, "5"},
                                       {"Trade", 0, 0, "1"},
                                       {"Note", 1, 0, ""}}
                              << QStringList{"found 0 same", "found 1", "found 2 same", "found 3"};
    QTest::newRow("reordered, one added")
        << TVars{{"Note", 1, 0, "hi"},
                 {"New", 2, 0, "7"},
                 {"Trade", 0, 0, "0"},
                 {"Magic", 2, 0, "7"},
                 {"Lots", 3, 0, "0.1"}}
        << QStringList{"found 4 same", "found 3 same", "found 2", "found 0 same"};
    QTest::newRow("removed") << TVars{{"Trade", 0, 0, "1"}, {"Lots", 3, 0, "0.2"}}
                             << QStringList{"found 1", "missing", "found 0 same", "missing"};
    QTest::newRow("retyped") << TVars{{"Lots", 1, 0, "0.1"},
                                      {"Magic", 3, 0, "7"},
                                      {"Trade", 5, 0, ""},
                                      {"Note", 1, 0, "hi"}}
                             << QStringList{"retyped 1", "retyped 3", "retyped 5", "found 3 same"};
    QTest::newRow("one title twice")
        << TVars{{"Lots", 3, 0, "0.1"}, {"Magic", 1, 0, "7"}, {"Lots", 3, 0, "0.1"},
                 {"Magic", 2, 0, "7"},  {"Note", 1, 0, "hi"}, {"Lots", 2, 0, "1"}}
        << QStringList{"ambiguous", "found 3 same", "missing", "found 4 same"};
}

void TestPresets::match() {
    QFETCH(TVars, vars);
    QFETCH(QStringList, outcomes);
    const TPreset preset{
        "p", {{"Lots", 3, "0.1"}, {"Magic", 2, "7"}, {"Trade", 0, "1"}, {"Note", 1, "hi"}}};
    const TPresetMatch m = Match(preset, Table(vars), std::int32_t(vars.size()));
    QStringList got;
    for (size_t i = 0; i < m.Values.size(); ++i)
        got << Describe(m.Values[i], preset.Values[i], vars);
    QCOMPARE(got, outcomes);
}

void TestPresets::fromTable() {
    const TVars vars{{"Lots", 3, 0, "0.1"},
                     {"Go", 5, 0, ""},
                     {"Gr\xF6\xDF"
                      "e",
                      2, 0, "3"},
                     {"Dup", 1, 0, "a"},
                     {"Dup", 1, 0, "b"},
                     {"Dup", 2, 0, "9"}};
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
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("bounds"); // lowest..highest, either may be empty
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("step");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("broken");
    const int no = TLimit::None, x = TLimit::Factor, d = TLimit::Difference;
    const auto row = [](const char *name, int type, const char *bounds, int kind, double step,
                        const char *before, const QString &after, const QString &broken) {
        QTest::newRow(name) << type << bounds << kind << step << before << after << broken;
    };
    const QString above = "above the highest value 1";
    row("inside", 3, "0.01..1", no, 0, "0.5", "1.0", "");
    row("above", 3, "0.01..1", no, 0, "0.5", "1.01", above);
    row("below", 3, "0.01..1", no, 0, "0.5", "0.001", "below the lowest value 0.01");
    row("integer above", 2, "..1", no, 0, "", "+2", above);
    row("huge", 2, "..1", no, 0, "", "1" + QString(400, '0'), above);
    row("x2 up", 3, "", x, 2, "10", "20", "");
    row("x3 on the limit", 3, "", x, 3, "0.7", "2.1", "");
    row("x2 up broken", 3, "", x, 2, "10", "20.5", "more than x2 the old value");
    row("x2 down", 3, "", x, 2, "-10", "-5.", "");
    row("x2 down broken", 3, "", x, 2, "-10", "-4.9", "less than 1/2 the old value");
    row("x1.5 up broken", 3, "", x, 1.5, ".2", "0.31", "more than x1.5 the old value");
    row("sign flip", 3, "", x, 1e6, "1", "-1", "a change of sign, which no factor allows");
    row("from 0", 3, "", x, 2, "0", "0.001", "a change from 0, which no factor allows");
    row("to 0", 3, "", x, 2, "5", "-0", "a change to 0, which no factor allows");
    row("0 stays", 3, "", x, 2, "0", "-0.0", "");
    row("difference on the limit", 3, "", d, 0.1, "0.7", "0.8", "");
    row("difference up", 3, "", d, 0.5, "0.3", "0.81", "a change of more than 0.5");
    row("difference down", 2, "", d, 0.5, "1", "0", "a change of more than 0.5");
    row("old no number", 3, "..1", d, 0.5, "n/a", "7", above);
    row("both", 3, "..1", x, 2, "0.2", "1.5", above + "; more than x2 the old value");
    for (const char *text : {"$500", "1e3", "", "abc", "0x10", "1.2.3", " 5", "-", ".", "5,5"})
        row(qPrintable(QStringLiteral("not judged: '%1'").arg(text)), 3, "2..2", d, 0, "2", text,
            "");
    for (const int type : {0, 1, 4, 5})
        row(qPrintable(QStringLiteral("type %1").arg(type)), type, "..0", x, 1, "0", "1", "");
}

void TestPresets::limits() {
    QFETCH(int, type);
    QFETCH(QString, bounds);
    QFETCH(int, kind);
    QFETCH(double, step);
    QFETCH(QString, before);
    QFETCH(QString, after);
    TLimit limit{"v", type, {}, {}, TLimit::StepKind(kind), step};
    const QStringList ends = bounds.split("..");
    if (!ends.value(0).isEmpty())
        limit.Lowest = ends[0].toDouble();
    if (!ends.value(1).isEmpty())
        limit.Highest = ends[1].toDouble();
    QStringList texts;
    for (const TBrokenLimit &b :
         CheckLimits(limit, type, before.toStdString(), after.toStdString()))
        texts << QString::fromStdString(b.Text);
    QTEST(texts.join("; "), "broken");
}

void TestPresets::fileRoundTrip() {
    const QString file = FDir.filePath("data/presets/p.json");
    TProjectPresets all;
    QString error;
    QVERIFY(all.Read(file, error) && all.Presets.empty() && error.isEmpty()); // no file yet
    // Ö and ß in 1252, then a byte 1252 leaves unassigned.
    const TPreset night{"Nacht ⏾",
                        {{"Gr\xF6\xDF"
                          "e",
                          3, "\x81\xE9"},
                         {"Trade", 0, "0"}}};
    QVERIFY(all.SetPreset(night, error));
    QVERIFY(all.SetPreset({"day", {{"Trade", 0, "1"}}}, error));
    QVERIFY(all.SetLimit({"Lots", 3, 0.01, 1.5, TLimit::Factor, 2}, error));
    QVERIFY(all.SetLimit({"Lots", 2, {}, {}, TLimit::Difference, 0}, error));
    QVERIFY(!all.SetLimit({"Lots", 3, std::nan(""), {}, TLimit::None, 0}, error));
    QVERIFY(all.LimitFor("Lots", 3)->Highest == 1.5 && !all.LimitFor("Lots", 1));
    QVERIFY(all.Write(file, error));
    TProjectPresets read;
    QVERIFY2(read.Read(file, error), qPrintable(error));
    QCOMPARE(read.Presets, all.Presets);
    QCOMPARE(read.Limits, all.Limits);
    QFile json(file);
    QVERIFY(json.open(QIODevice::ReadOnly));
    QVERIFY(json.readAll().contains("\"Größe\""));
    json.close();

    // The exported preset replaces the other project's preset of its name.
    TProjectPresets other;
    QVERIFY(other.SetPreset({"Nacht ⏾", {{"x", 1, "y"}}}, error));
    QVERIFY(TProjectPresets::Import(all.Export({"Nacht ⏾"}, false), other, error));
    QCOMPARE(other.Presets, std::vector<TPreset>{night});
    QVERIFY(other.Limits.empty());

    // A damaged file reads as nothing and is kept aside before the next write.
    const QByteArray damaged = "{\"format\": \"kivo-presets\", \"ver";
    QVERIFY(json.open(QIODevice::WriteOnly) && json.write(damaged) == damaged.size());
    json.close();
    QVERIFY(!read.Read(file, error) && read.Presets.empty());
    QVERIFY2(error.contains(QDir::toNativeSeparators(file)), qPrintable(error));
    QVERIFY(other.Write(file, error));
    QFile bad(file + ".bad");
    QVERIFY(bad.open(QIODevice::ReadOnly));
    QCOMPARE(bad.readAll(), damaged);
    QVERIFY(read.Read(file, error));
    QCOMPARE(read.Presets, other.Presets);
}

void TestPresets::importRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, const QByteArray &bytes, const char *reason) {
        QTest::newRow(name) << bytes << QString(reason);
    };
    const char *lots = R"({"title": "Lots", "type": 3)";
    row("not JSON", "{\"format\"", "not JSON");
    row("list", "[]", "not a file of Kivo's presets");
    row("newer", Doc("[]").replace("1,", "2,"), "made by a newer Kivo (version 2)");
    row("unknown field", Doc(R"([{"name": "a", "values": [], "colour": 1}])"),
        "preset 1: an unknown field \"colour\"");
    row("no values", Doc(R"([{"name": "a"}])"), "preset 1: no field \"values\"");
    row("name no text", Doc(R"([{"name": 5, "values": []}])"), "the field \"name\" is not text");
    row("name empty", Doc(R"([{"name": " ", "values": [{"title": "a", "type": 1, "value": ""}]}])"),
        "a preset without a name");
    row("empty", Doc(R"([{"name": "a", "values": []}])"), "the preset \"a\" holds no values");
    const auto value = [](const char *v) {
        return Doc(QByteArray(R"([{"name": "a", "values": [)") + v + "]}]");
    };
    row("type 6", value(R"({"title": "t", "type": 6, "value": ""})"), "the type is none of 0 to 5");
    row("type 2.5", value(R"({"title": "t", "type": 2.5, "value": ""})"), "none of 0 to 5");
    row("action", value(R"({"title": "t", "type": 5, "value": ""})"), "an action");
    row("no type", value(R"({"title": "t", "value": ""})"), "no field \"type\"");
    row("LF", value(R"({"title": "t\n", "type": 1, "value": ""})"), "holds a NUL, CR or LF");
    row("NUL", value(R"({"title": "t", "type": 1, "value": "\u0000"})"), "a NUL, CR or LF");
    row("lone surrogate", value(R"({"title": "\ud800", "type": 1, "value": ""})"),
        "cannot be written in the code page 1252");
    row("not in 1252", value(R"({"title": "日", "type": 1, "value": ""})"), "code page 1252");
    row("twice", value(R"({"title": "t", "type": 1, "value": ""},{"title": "t", "type": 1,
        "value": "1"})"),
        "sets \"t\" twice");
    row("name twice", Doc(Repeated(2, R"({"name": "a", "values": [{"title": "t", "type": 1,
        "value": ""}]})")),
        "two presets named \"a\"");
    row("1001 presets", Doc(Repeated(1001, R"({"name": "#", "values": []})")),
        "more than 1000 entries in \"presets\"");
    row("257 values",
        value(Repeated(257, R"({"title": "#", "type": 1, "value": ""})").mid(1).chopped(1)),
        "more than 256 entries in \"values\"");
    const auto limit = [&](const char *rest) {
        return Doc("[]", "[" + (lots + QByteArray(rest)) + "}]");
    };
    row("lowest > highest", limit(R"(, "lowest": 2, "highest": 1)"), "is above the highest");
    row("factor < 1", limit(R"(, "factor": 0.5)"), "a factor below 1");
    row("difference < 0", limit(R"(, "difference": -0.1)"), "a negative difference");
    row("both steps", limit(R"(, "factor": 2, "difference": 1)"), "both a factor and a difference");
    row("nothing", limit(""), "the limit limits nothing");
    row("bound no number", limit(R"(, "lowest": "1")"), "the field \"lowest\" is not a number");
    row("limit on text", Doc("[]", R"([{"title": "t", "type": 1, "highest": 1}])"),
        "only for integer and double");
    row("limit twice", Doc("[]", Repeated(2, QByteArray(lots) + R"(, "highest": #})")),
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
    QTest::newRow("case") << "Lot Size"
                          << "lot s" << true;
    QTest::newRow("accents") << "Café Crème"
                             << "cafe CREME" << true;
    QTest::newRow("ring") << "Ångström"
                          << "ANGSTROM" << true;
    QTest::newRow("ligature") << "ﬁlter"
                              << "fil" << true;
    QTest::newRow("ß is no ss") << "Größe"
                                << "grosse" << false;
    QTest::newRow("ß itself") << "GRÖẞE"
                              << "größe" << true;
    QTest::newRow("ø is no o") << "Øre"
                               << "ore" << false;
    QTest::newRow("absent") << "Lots"
                            << "lost" << false;
    QTest::newRow("empty") << "Lots"
                           << "" << true;
}

void TestPresets::findText() {
    QFETCH(QString, title);
    QFETCH(QString, typed);
    QTEST(TitleMatches(title, typed), "found");
}

QTEST_GUILESS_MAIN(TestPresets)
#include "tst_presets.moc"
