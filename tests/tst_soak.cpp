// Kivo against a live expert: the simulator rewrites the project file in place every 20 ms
// while the real main window ticks and a scripted user changes variables through the real
// handlers. Nothing either side writes may be put back by the other.

#include "KivoFixture.h"

#include "Conversions.h"
#include "Grid.h"
#include "IniFile.h"
#include "Journal.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <map>
#include <memory>
#include <random>

namespace {

constexpr int VarTotal = 32;
// 20 s with the expert writing every 20 ms; KIVO_SOAK_SECONDS and KIVO_SOAK_INTERVAL_MS change
// both, for a longer measurement.
const int RunSeconds = qEnvironmentVariableIntValue("KIVO_SOAK_SECONDS")
                           ? qEnvironmentVariableIntValue("KIVO_SOAK_SECONDS")
                           : 20;
const int IntervalMs = qEnvironmentVariableIntValue("KIVO_SOAK_INTERVAL_MS")
                           ? qEnvironmentVariableIntValue("KIVO_SOAK_INTERVAL_MS")
                           : 20;
// The expert counts the same value coming back within 1.5 s of its acknowledgement as put back
// by the other side; booleans and actions repeat values, so each waits this long.
constexpr qint64 RepeatPauseMs = 2000;

// A date in the system's short date format.
std::string DateText(const QDate &date) {
    const TShortDateFormat &format = SystemShortDateFormat();
    const std::string sep(1, format.Separator);
    const std::string d = std::to_string(date.day());
    const std::string m = std::to_string(date.month());
    const std::string y = std::to_string(date.year());
    switch (format.FieldOrder) {
    case TShortDateFormat::YMD:
        return y + sep + m + sep + d;
    case TShortDateFormat::DMY:
        return d + sep + m + sep + y;
    case TShortDateFormat::MDY:
        break;
    }
    return m + sep + d + sep + y;
}

struct TSave {
    int Var = 0; // 1-based, as the expert names it
    std::string Value;
    qint64 At = 0;
};
struct TAck {
    int Var = 0;
    std::string Value;
    qint64 At = 0; // when the line reached the test
};

// "ack var=3 title=Note3 type=1 value=text 5" -> {3, "text 5"}
bool ParseAck(const std::string &line, TAck &ack) {
    if (line.rfind("ack var=", 0) != 0)
        return false;
    const auto valueAt = line.find(" value=");
    if (valueAt == std::string::npos)
        return false;
    ack.Var = std::atoi(line.c_str() + 8);
    ack.Value = line.substr(valueAt + 7);
    return ack.Var > 0;
}

// The expert: the simulator built with the tests, or, where KIVO_SOAK_WINE_EXPERT names its
// Windows build, that one under Wine, writing through the system's own profile functions
// beside this native Kivo (a terminal under Wine is how Kivo is used on Linux). Its file names
// are then on Wine's drive Z:, the root of this machine.
void StartExpert(QProcess &expert, const QString &project, QStringList arguments) {
    const QString wine = qEnvironmentVariable("KIVO_SOAK_WINE_EXPERT");
    arguments.insert(1, wine.isEmpty() ? project : "Z:" + project);
    if (wine.isEmpty()) {
        expert.start(EXPERT_SIM, arguments);
    } else {
        arguments.prepend(wine);
        expert.start("wine", arguments);
    }
}

std::map<std::string, long long> ParseSummary(const QByteArray &out) {
    std::map<std::string, long long> summary;
    for (const QByteArray &line : out.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            summary[line.left(eq).toStdString()] = line.mid(eq + 1).trimmed().toLongLong();
    }
    return summary;
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT

private slots:
    void liveExpert_everyChangeArrivesAndNothingIsPutBack();
};

void TestSoak::liveExpert_everyChangeArrivesAndNothingIsPutBack() {
    TKivoFixture f;
    const std::string project = f.Path("p.kvo");
    {
        QProcess publish;
        StartExpert(publish, QString::fromStdString(project),
                    {"publish", QString::number(VarTotal)});
        QVERIFY(publish.waitForFinished(30000));
        QCOMPARE(publish.exitCode(), 0);
    }
    std::vector<std::pair<std::string, int>> layout; // title and type of each variable
    {
        const TIniFile ini(project);
        QCOMPARE(ini.ReadInteger("Kivo 1.0", "Var_Cnt", -1), VarTotal);
        for (int i = 1; i <= VarTotal; ++i) {
            const std::string n = "Var" + std::to_string(i);
            layout.emplace_back(ini.ReadString("Kivo 1.0", n + "_Title", ""),
                                ini.ReadInteger("Kivo 1.0", n + "_Type", -1));
        }
    }
    QCOMPARE(layout[0].first, std::string("tick"));

    f.Write("kivo.ini", "[Kivo]\r\nProject=" + project + "\r\n");
    f.Show();
    QVERIFY(MainForm->ProjectOpen);
    QCOMPARE(MainForm->VarCount, VarTotal);

    QElapsedTimer clock;
    clock.start();
    std::vector<TAck> acks;
    std::vector<std::string> expertLog;
    QByteArray pendingErr;
    QProcess expert;
    const auto drainLog = [&] {
        pendingErr += expert.readAllStandardError();
        qsizetype nl;
        while ((nl = pendingErr.indexOf('\n')) >= 0) {
            // A Windows program's text output ends its lines with CR LF.
            const std::string line = pendingErr.left(nl).trimmed().toStdString();
            pendingErr.remove(0, nl + 1);
            expertLog.push_back(line);
            TAck ack;
            if (ParseAck(line, ack)) {
                ack.At = clock.elapsed();
                acks.push_back(ack);
            }
        }
    };
    QObject::connect(&expert, &QProcess::readyReadStandardError, drainLog);
    StartExpert(expert, QString::fromStdString(project),
                {"run", "--seconds", QString::number(RunSeconds), "--interval-ms",
                 QString::number(IntervalMs), "--seed", "11", "--verbose"});
    QVERIFY(expert.waitForStarted(10000));
    clock.restart();

    std::mt19937 rng(20240611);
    std::vector<TSave> saves;
    std::map<int, qint64> lastChange; // var -> when it was last changed
    int counter = 0;
    int notices = 0, writeErrors = 0, skipped = 0;
    int boolSaves = 0, actionSaves = 0, dialogSaves = 0;
    const qint64 changesUntil = (RunSeconds - 1) * 1000 - 500; // the expert acks the last ones

    while (clock.elapsed() < changesUntil) {
        // The real timer ticks while events are processed; an explicit tick reads in between.
        QTest::qWait(std::uniform_int_distribution<int>(25, 75)(rng));
        f.Handle([] { MainForm->Timer1Timer(); });
        if (MainForm->VarCount != VarTotal) {
            ++skipped;
            continue;
        }

        const int index = std::uniform_int_distribution<int>(1, VarTotal - 1)(rng); // not tick
        const TVarEntry &slot = MainForm->Vars[index];
        QCOMPARE(slot.Title, layout[index].first);
        const bool repeats = slot.Type == vtBoolean || slot.Type == vtAction;
        if (repeats && lastChange.count(index + 1) &&
            clock.elapsed() - lastChange[index + 1] < RepeatPauseMs) {
            ++skipped;
            continue;
        }
        if (slot.Type == vtAction && slot.Status != vsIdle) {
            ++skipped; // not yet carried out: a double-click would cancel it
            continue;
        }
        if (slot.Type == vtBoolean && slot.Value != "0" && slot.Value != "1")
            QFAIL(("boolean read as " + slot.Value).c_str());

        const size_t messagesBefore = f.Messages.size();
        const size_t exceptionsBefore = f.Exceptions.size();
        std::string value;
        GridSetRow(Grid(), index + 1);
        ++counter;
        switch (slot.Type) {
        case vtBoolean:
            value = slot.Value == "0" ? "1" : "0";
            f.Answers.push_back(IDYES);
            f.Handle([] { MainForm->StringGrid1DblClick(); });
            ++boolSaves;
            break;
        case vtAction:
            value = slot.Value; // carried out, the value stays as it was
            f.Answers.push_back(IDYES);
            f.Handle([] { MainForm->StringGrid1DblClick(); });
            ++actionSaves;
            break;
        default:
            switch (slot.Type) {
            case vtString:
                value = "text " + std::to_string(counter);
                break;
            case vtInteger:
                value = std::to_string(counter * 37 - 5000);
                break;
            case vtDouble:
                value = std::to_string(counter) + ".75";
                break;
            case vtDate:
                value = DateText(QDate(2001, 1, 1).addDays(counter));
                break;
            default:
                QFAIL("unexpected type");
            }
            RunDialog(f, {[&] {
                              VarChangeForm->findChild<QLineEdit *>("Edit1")->setText(
                                  QString::fromStdString(value));
                          },
                          [] {
                              QTest::mouseClick(VarChangeForm->findChild<QPushButton *>("Button1"),
                                                Qt::LeftButton);
                          }});
            ++dialogSaves;
            break;
        }
        QVERIFY(f.Answers.empty());
        QVERIFY(f.UnexpectedQuestions.empty());
        QVERIFY(!MainForm->Saving);
        QVERIFY(!VarChangeForm->isVisible());

        bool saved = true;
        for (size_t m = messagesBefore; m < f.Messages.size(); ++m) {
            const std::string &text = f.Messages[m].Text;
            if (text == "Project file has changed. The new value is not saved.") {
                ++notices;
                saved = false;
            } else if ((f.Messages[m].Flags & MB_TYPEMASK) != MB_YESNO) {
                QFAIL(("unexpected message: " + text).c_str());
            }
        }
        if (f.Exceptions.size() != exceptionsBefore) {
            ++writeErrors;
            saved = false;
        }
        lastChange[index + 1] = clock.elapsed();
        if (saved)
            saves.push_back({index + 1, value, clock.elapsed()});
    }

    QTRY_VERIFY_WITH_TIMEOUT(expert.state() == QProcess::NotRunning, 30000);
    QCOMPARE(expert.exitStatus(), QProcess::NormalExit);
    QCOMPARE(expert.exitCode(), 0);
    drainLog();
    const auto summary = ParseSummary(expert.readAllStandardOutput());
    for (const char *key :
         {"acks", "reverted_ticks", "reverted_acks", "ticks", "writes", "failed_writes"})
        QVERIFY2(summary.count(key), key);

    // Each save is matched, in order per variable, to the expert's acknowledgement of that value.
    // One it never acknowledged is lost, unless the next change of the same variable came
    // before the expert's next interval after it (no acknowledgement of anything in between).
    std::map<int, std::vector<const TAck *>> acksOf;
    for (const TAck &ack : acks)
        acksOf[ack.Var].push_back(&ack);
    std::map<int, size_t> nextAck;
    std::map<int, std::string> lastAcked;
    int lost = 0, superseded = 0;
    for (size_t s = 0; s < saves.size(); ++s) {
        const TSave &save = saves[s];
        const auto &list = acksOf[save.Var];
        size_t &from = nextAck[save.Var];
        size_t k = from;
        while (k < list.size() && list[k]->Value != save.Value)
            ++k;
        if (k < list.size()) {
            from = k + 1;
            lastAcked[save.Var] = save.Value;
            continue;
        }
        const TSave *later = nullptr;
        for (size_t t = s + 1; t < saves.size() && !later; ++t) {
            if (saves[t].Var == save.Var)
                later = &saves[t];
        }
        const bool expertActed = std::any_of(acks.begin(), acks.end(), [&](const TAck &a) {
            return a.At > save.At && (!later || a.At <= later->At);
        });
        if (later && !expertActed) {
            ++superseded;
        } else {
            ++lost;
            qWarning("lost: Var%d=%s saved at %lld ms", save.Var, save.Value.c_str(), save.At);
        }
    }
    for (const std::string &line : expertLog) {
        if (line.rfind("reverted", 0) == 0 || line.rfind("failed_write", 0) == 0)
            qWarning("expert: %s", line.c_str());
    }

    // Every change the journal calls taken holds a value the expert acknowledged, by its own log:
    // one it wrote over is never taken. But a change saved while the variable's previous one
    // still waited is cleared alike by the expert's acknowledgement of that previous value,
    // written a moment after the save: the file cannot tell the two apart.
    const auto overWaiting = [&](int var, const std::string &value) {
        const auto save = std::find_if(saves.begin(), saves.end(), [&](const TSave &s) {
            return s.Var == var && s.Value == value;
        });
        const auto previous = std::find_if(std::make_reverse_iterator(save), saves.rend(),
                                           [&](const TSave &s) { return s.Var == var; });
        return save != saves.end() && previous != saves.rend() &&
               std::any_of(acks.begin(), acks.end(), [&](const TAck &a) {
                   return a.Var == var && a.Value == previous->Value && a.At >= save->At;
               });
    };
    int taken = 0, takenUnacked = 0;
    for (const TJournalRecord &r : TJournal::Load(QString::fromStdString(project))) {
        if (r.Outcome != "taken")
            continue;
        ++taken;
        const std::string value = FromQString(r.NewValue);
        if (std::none_of(acks.begin(), acks.end(), [&](const TAck &ack) {
                return ack.Var == r.Variable && ack.Value == value;
            })) {
            qWarning("taken, never acknowledged: Var%d=%s", r.Variable, value.c_str());
            QVERIFY(overWaiting(r.Variable, value));
            ++takenUnacked;
        }
    }
    qInfo("journal: taken=%d, of which the expert never acknowledged the value: %d", taken,
          takenUnacked);

    const int saveCount = int(saves.size());
    const long long revertedTicks = summary.at("reverted_ticks");
    const long long revertedAcks = summary.at("reverted_acks");
    qInfo("saves=%d (boolean %d, action %d, dialog %d) notices=%d write_errors=%d skipped=%d",
          saveCount, boolSaves, actionSaves, dialogSaves, notices, writeErrors, skipped);
    qInfo("expert: acks=%lld acks_logged=%zu ticks=%lld writes=%lld failed_writes=%lld "
          "reverted_ticks=%lld reverted_acks=%lld lost=%d superseded=%d",
          summary.at("acks"), acks.size(), summary.at("ticks"), summary.at("writes"),
          summary.at("failed_writes"), revertedTicks, revertedAcks, lost, superseded);

    QVERIFY2(saveCount > 50, qPrintable(QString::number(saveCount)));
    QCOMPARE(writeErrors, 0);
    // Kivo's reads share everything, so on Linux nothing it does can fail the expert's write.
    // On Windows the rename that replaces the file holds it, at its new name, for the moment
    // the rename takes: the expert's open in that moment fails for sharing, as the system
    // rules for any replace. This expert opens the file about every 150 microseconds.
    //
    // The expert's write that lands between Kivo's last compare and its rename is put back. On
    // Linux that gap is a system call; under Wine both calls go through its server and the gap
    // is wider: a run there puts back 0 to 2 of 100 to 160 saves.
    const long long failedWrites = summary.at("failed_writes");
#ifdef Q_OS_WIN
    const int percent = 3;
    QVERIFY2(failedWrites * 100 < saveCount * percent, qPrintable(QString::number(failedWrites)));
#else
    const int percent = 1;
    QCOMPARE(failedWrites, 0LL);
#endif
    QVERIFY2(revertedTicks * 100 < saveCount * percent, qPrintable(QString::number(revertedTicks)));
    QVERIFY2(revertedAcks * 100 < saveCount * percent, qPrintable(QString::number(revertedAcks)));
    // The expert reads the file and writes it back a moment later; a save renamed in between is
    // overwritten by what it read. Kivo cannot see that moment coming, nor tell afterwards an
    // action carried out from one undone. About one save in 200 lands there; with the expert
    // under Wine, whose profile functions take longer between their read and write, up to one
    // in 35 (8 of 275 on a 2-core machine where Wine ran slowly).
    const int lostPercent = qEnvironmentVariableIsEmpty("KIVO_SOAK_WINE_EXPERT") ? 3 : 5;
    QVERIFY2(lost * 100 < saveCount * lostPercent, qPrintable(QString::number(lost)));
    QVERIFY(takenUnacked <= lost);
    QCOMPARE(summary.at("acks"), (long long)acks.size());

    // The file is complete: every variable as published, each holding the last value the expert
    // acknowledged from Kivo, all carried out.
    const TIniFile ini(project);
    QCOMPARE(ini.ReadInteger("Kivo 1.0", "Var_Cnt", -1), VarTotal);
    for (int i = 1; i <= VarTotal; ++i) {
        const std::string n = "Var" + std::to_string(i);
        QCOMPARE(ini.ReadString("Kivo 1.0", n + "_Title", "?"), layout[i - 1].first);
        QCOMPARE(ini.ReadInteger("Kivo 1.0", n + "_Type", -1), layout[i - 1].second);
        QCOMPARE(ini.ReadInteger("Kivo 1.0", n + "_Status", -1), 0);
        if (i > 1 && lastAcked.count(i))
            QCOMPARE(ini.ReadString("Kivo 1.0", n + "_Value", "?"), lastAcked[i]);
    }
    QVERIFY(ini.ReadInteger("Kivo 1.0", "Var1_Value", 0) >= summary.at("ticks"));

    // And Kivo shows it.
    MainForm->Timer1Timer();
    QCOMPARE(MainForm->VarCount, VarTotal);
    QCOMPARE(GridCell(Grid(), 3, 1), ini.ReadString("Kivo 1.0", "Var1_Value", "?"));
    QVERIFY(f.Exceptions.empty());
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
