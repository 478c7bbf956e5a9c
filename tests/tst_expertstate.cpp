#include "ExpertState.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTest>

#include <map>

namespace {

constexpr std::int64_t Start = 1'700'000'000'000;
// Seconds of AckWarn, ExpertSilent, IncompleteAfter and Announce, all different: a setting used
// for another shows.
const TStatusSettings Settings{20, 30, 5, 4};

// name|steps|events|waiting|line. Steps, on a clock that moves only by "+ms", over Lots (0, "1",
// status 0), Go (1, an action) and Mode (2, "a", status 2): sI=V/S Kivo saves a value, aI=/S an
// action's status; eI=V/S the expert writes, kI=V/S another Kivo saves; r refreshes, w refreshes
// finding the expert's write now; nC sets the count, tI=T a title, yI=T a type; m missing, i
// incomplete, R reset. Events: T taken, O overwritten, S superseded, K by another Kivo, G gone, and
// the Id. Line: the tone (Plain, Good, Amber, Error), ':', the text with [title], {ms} the local
// time at Start + ms; "-" when it does not matter.
const char Rows[] = R"(
taken|s0=2/1 +800 e0=2/0 r|T1|0|G:[Lots] taken after 0.8 s
taken late|s0=2/1 +12300 e0=2/0 r|T1|0|G:[Lots] taken after 12 s
old value back|s0=2/1 +500 e0=1/0 r|O1|0|A:[Lots] overwritten by the expert: 1
other value, 1|s0=2/1 e0=3/1 r|O1|0|A:[Lots] overwritten by the expert: 3
superseded|s0=2/1 +100 s0=3/1 +100 e0=3/0 r|S1 T2|0|-
activation cancelled|a1=/1 +100 a1=/0 +100 r|S1|0|P:
status 2 kept|s2=b/2 +300 r +700 w|T1|0|G:[Mode] taken after 1.0 s
status 2, no alarm after|s2=b/2 +300 r +700 w +30000 r|T1|0|P:The expert wrote 30 s ago
status 2 unwritten|s2=b/2 +20000 r||1|A:Waiting 20 s for the expert to take [Mode] (1 change waiting)
status 2 changed|s2=b/2 +300 e2=c/2 w|O1|0|A:[Mode] overwritten by the expert: c
action taken|a1=/1 +2000 e1=/0 r|T1|0|G:[Go] taken after 2.0 s
action's value|a1=/1 e1=x/1 r||1|-
gone, count|s0=2/1 n0 r|G1|0|P:
gone, title|s0=2/1 t0=Size r|G1|0|P:
gone, type|s0=2/1 y0=1 r|G1|0|P:
other Kivo|s0=2/1 +100 k0=5/1 +100 r +100 e0=5/0 w|K1|0|P:The expert wrote just now
other Kivo before|k0=5/1 +100 s0=2/1 +100 e0=5/1 r|O1|0|-
fast, silent|w +1000 w +1000 w +1000 w +30001||0|A:The expert has not written for 30 s (it usually writes every 1 s)
fast, not yet|w +1000 w +1000 w +1000 w +30000||0|P:The expert wrote 30 s ago
slow, silent|w +30000 w +30000 w +30000 w +150001||0|A:The expert has not written for 2 min (it usually writes every 30 s)
slow, not yet|w +30000 w +30000 w +30000 w +150000||0|P:The expert wrote 2 min ago
median|w +1000 w +1000 w +3000 w +60000 w +30001||0|A:The expert has not written for 30 s (it usually writes every 2 s)
two intervals|w +1000 w +1000 w +60000||0|P:The expert wrote 1 min ago
same stamp|w +1000 w w w w +60000||0|P:The expert wrote 1 min ago
never wrote|s0=2/1 +100 e0=2/0 r +600000 r|T1|0|P:
missing|+1000 m +5000 m +1000||0|E:The project file is gone (since {1000})
missing, back|s0=2/1 m +3000 e0=2/0 w|T1|0|G:[Lots] taken after 3.0 s
incomplete, soon|i +4999||0|P:
incomplete|i +2000 i +3000||0|A:The project file has been incomplete for 5 s
incomplete, whole|i +6000 r||0|P:
missing first|s0=2/1 +20000 m||1|E:The project file is gone (since {20000})
incomplete first|s0=2/1 +20000 i +5000||1|A:The project file has been incomplete for 5 s
waiting first|w +1000 w +1000 w +1000 w s0=2/1 +10000 a1=/1 +21000||2|A:Waiting 30 s for the expert to take [Lots] (2 changes waiting)
silence first|w +1000 w +1000 w +1000 w s0=2/1 +30001 e0=2/0 r|T1|0|A:The expert has not written for 30 s (it usually writes every 1 s)
announced a moment|s0=2/1 +800 e0=2/0 w +4000|T1|0|P:The expert wrote 4 s ago
plain|w s0=2/1 s2=b/2 +2000||2|P:The expert wrote 2 s ago. 2 changes waiting to be taken
waiting, no alarm|s0=2/1 +19999||1|P:1 change waiting to be taken
reset|s0=2/1 w m R||0|P:
)";

} // namespace

class TestExpertState : public QObject {
    Q_OBJECT
private slots:
    void Answers_data();
    void Answers();
    void Durations();
};

void TestExpertState::Answers_data() {
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("waiting");
    QTest::addColumn<QString>("line");
    for (const QString &row : QString(Rows).split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = row.split(u'|');
        QTest::newRow(qPrintable(f[0])) << f[1] << f[2] << f[3].toInt() << f[4];
    }
}

void TestExpertState::Answers() {
    QFETCH(QString, steps);
    QFETCH(QString, line);
    std::int64_t now = Start;
    TExpertState state([&] { return now; });
    TVarTable vars;
    vars[0] = {"Lots", vtDouble, vsIdle, "1"};
    vars[1] = {"Go", vtAction, vsIdle, ""};
    vars[2] = {"Mode", vtString, vsIdle2, "a"};
    std::int32_t count = 3;
    QStringList events;
    const auto note = [&](const std::vector<TExpertState::TEvent> &answers) {
        for (const TExpertState::TEvent &e : answers)
            events << (e.ByOtherKivo ? "K" : QString("TOSG"[int(e.Answer)])) +
                          QString::number(e.Change.Id);
    };
    QString step;
    int i = 0;
    TVarEntry entry;
    const auto save = [&](bool value) {
        TVarChange change;
        change.Index = i, change.Title = entry.Title, change.Type = entry.Type;
        change.SetsValue = value, change.Value = entry.Value, change.Status = entry.Status;
        note(state.Saved(change, vars[i], entry));
        vars[i] = entry;
    };
    std::map<char, std::function<void()>> act;
    act.emplace('+', [&] { now += step.mid(1).toInt(); });
    act.emplace('s', [&] { save(true); });
    act.emplace('a', [&] { save(false); });
    act.emplace('e', [&] { vars[i] = entry; });
    act.emplace('k', [&] { vars[i] = entry, state.OtherSaved(i, entry.Title, entry); });
    act.emplace('r', [&] { note(state.Refreshed(vars, count, std::nullopt)); });
    act.emplace('w', [&] { note(state.Refreshed(vars, count, now)); });
    act.emplace('n', [&] { count = i; });
    act.emplace('t', [&] { vars[i].Title = step.mid(3).toStdString(); });
    act.emplace('y', [&] { vars[i].Type = step.mid(3).toInt(); });
    act.emplace('m', [&] { state.FileMissing(); });
    act.emplace('i', [&] { state.FileIncomplete(); });
    act.emplace('R', [&] { state.Reset(); });
    for (const QString &s : steps.split(u' ', Qt::SkipEmptyParts)) {
        step = s, i = s.mid(1, 1).toInt(), entry = vars[i];
        if (const QStringList set = s.mid(3).split(u'/'); set.size() == 2)
            entry.Value = set[0].toStdString(), entry.Status = set[1].toInt();
        act.at(s[0].toLatin1())();
    }
    QTEST(events.join(u' '), "events");
    QTEST(int(state.Waiting().size()), "waiting");
    if (line == "-")
        return;
    if (const auto at = QRegularExpression(R"(\{(\d+)\})").match(line); at.hasMatch())
        line.replace(at.captured(0),
                     QDateTime::fromMSecsSinceEpoch(Start + at.captured(1).toLongLong())
                         .toString("HH:mm:ss"));
    const TStatusLine got = StatusLineFor(state, Settings);
    const QString title = got.Title.isEmpty() ? QString() : '[' + got.Title + ']';
    QCOMPARE(QString("PGAE"[got.Tone]) + ':' + got.Before + title + got.After, line);
}

void TestExpertState::Durations() {
    const std::pair<std::int64_t, QString> rows[] = {{0, "0 s"},    {9, "9 s"},    {10, "10 s"},
                                                     {59, "50 s"},  {60, "1 min"}, {3599, "59 min"},
                                                     {3600, "1 h"}, {7300, "2 h"}};
    for (const auto &[seconds, text] : rows)
        QCOMPARE(LineDuration(seconds), text);
}

QTEST_GUILESS_MAIN(TestExpertState)
#include "tst_expertstate.moc"
