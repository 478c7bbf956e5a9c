// What another writer puts in the project file shows without waiting for the timer, once the
// writer is done, and the cells it changed stand out for a moment.
#include "KivoFixture.h"

#include "Grid.h"

#include <QAbstractItemModel>
#include <QTableWidget>

namespace {

void Open(TKivoFixture &f, const std::vector<TProjectVar> &vars) {
    f.Write("p.kvo", ProjectText(vars));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    // Only the watch may refresh from here on.
    MainForm->Timer1->stop();
}

bool Lit(int row, int col) {
    const QTableWidgetItem *item = Grid()->item(row - 1, col);
    return item && item->background().style() != Qt::NoBrush;
}

} // namespace

class TestLiveView : public QObject {
    Q_OBJECT

private slots:
    void watch_showsOtherWritersWithoutTick();
    void watch_burstShowsNoHalfWrittenFile();
    void highlight_marksOtherWritersChangesOnly();
    void watch_fileBeingWrittenIsNeverMergedInto();
};

void TestLiveView::watch_showsOtherWritersWithoutTick() {
    TKivoFixture f;
    std::vector<TProjectVar> vars = FiveVars;
    Open(f, vars);
    QCOMPARE(GridCell(Grid(), 3, 4), std::string("007"));

    // Written in place, as the expert writes.
    vars[3].Value = "1";
    f.Write("p.kvo", ProjectText(vars));
    QTRY_COMPARE(GridCell(Grid(), 3, 4), std::string("1"));

    // Kivo's own save puts a new file in the old one's place.
    GridSetRow(Grid(), 1);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(GridCell(Grid(), 3, 1), std::string("false"));
    vars[0] = {"Alpha", 0, 1, "0"};
    for (const char *value : {"2", "3"}) {
        vars[3].Value = value;
        f.Write("p.kvo", ProjectText(vars));
        QTRY_COMPARE(GridCell(Grid(), 3, 4), std::string(value));
    }

    // Deleted, then created again.
    QVERIFY(QFile::remove(QString::fromStdString(f.Path("p.kvo"))));
    QTRY_COMPARE(MainForm->VarCount, 0);
    vars[3].Value = "4";
    f.Write("p.kvo", ProjectText(vars));
    QTRY_COMPARE(GridCell(Grid(), 3, 4), std::string("4"));
    vars[3].Value = "5";
    f.Write("p.kvo", ProjectText(vars));
    QTRY_COMPARE(GridCell(Grid(), 3, 4), std::string("5"));
    QVERIFY(f.Exceptions.empty());
}

void TestLiveView::watch_burstShowsNoHalfWrittenFile() {
    TKivoFixture f;
    std::vector<TProjectVar> vars = FiveVars;
    Open(f, vars);
    // Long enough that the writes below, with events handled between them, are one burst.
    MainForm->ProjectFile().QuietMs = 500;
    MainForm->ProjectFile().MaxWaitMs = 10000;
    std::vector<std::string> seen; // each text that the last two rows' cells took
    const QMetaObject::Connection watching = QObject::connect(
        Grid()->model(), &QAbstractItemModel::dataChanged, MainForm,
        [&](const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles) {
            if (!roles.isEmpty() && !roles.contains(Qt::DisplayRole))
                return; // a highlight
            for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                for (int col = topLeft.column(); col <= bottomRight.column(); ++col)
                    if (row >= 3)
                        seen.push_back(GridCell(Grid(), col, row + 1));
        });

    // The expert's way of rewriting: emptied, written in part, then whole, value by value.
    const std::string whole = ProjectText(vars);
    for (int value = 1; value <= 5; ++value) {
        f.Write("p.kvo", "");
        QTest::qWait(2);
        f.Write("p.kvo", whole.substr(0, whole.size() / 2));
        QTest::qWait(2);
        vars[3].Value = std::to_string(value);
        f.Write("p.kvo", ProjectText(vars));
        QTest::qWait(2);
    }
    // Where the system tells of writers, each rewrite is read when its writer closes the file;
    // elsewhere the burst is read once, at its end. Never a file half written.
    QTRY_VERIFY(!seen.empty() && seen.back() == "5");
    if (TFileSystem::Current().WatchTellsWriters(f.Dir.path().toStdString()))
        for (const std::string &value : seen)
            QVERIFY2(value.size() == 1 && value >= "1" && value <= "5", value.c_str());
    else
        QCOMPARE(seen, std::vector<std::string>{"5"});
    QCOMPARE(MainForm->VarCount, 5);
    QObject::disconnect(watching);

    // A writer that never pauses is read all the same, after the longest wait.
    MainForm->ProjectFile().QuietMs = 60000;
    MainForm->ProjectFile().MaxWaitMs = 100;
    vars[4].Value = "again";
    f.Write("p.kvo", ProjectText(vars));
    QTRY_COMPARE(GridCell(Grid(), 3, 5), std::string("again"));
}

void TestLiveView::highlight_marksOtherWritersChangesOnly() {
    TKivoFixture f;
    std::vector<TProjectVar> vars = FiveVars;
    Open(f, vars);
    // The first fill is no news.
    for (int row = 1; row <= 5; ++row)
        for (int col = 0; col < 4; ++col)
            QVERIFY(!Lit(row, col));

    vars[3].Value = "8";
    f.Write("p.kvo", ProjectText(vars));
    MainForm->Timer1Timer();
    QVERIFY(Lit(4, 3));
    QVERIFY(!Lit(4, 0));
    QVERIFY(!Lit(3, 3));

    // The user saves the first row while another writer has changed the last one: the same
    // refresh shows both, and only the other writer's change stands out.
    vars[4].Value = "news";
    f.Write("p.kvo", ProjectText(vars));
    GridSetRow(Grid(), 1);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(Row(1), (Cells{"Alpha", "boolean", "changed by Kivo", "false"}));
    QCOMPARE(GridCell(Grid(), 3, 5), std::string("news"));
    QVERIFY(Lit(5, 3));
    for (int col = 0; col < 4; ++col)
        QVERIFY(!Lit(1, col));
    QCOMPARE(GridRow(Grid()), 1);

    // Each highlight ends by itself.
    QTRY_VERIFY(!Lit(4, 3) && !Lit(5, 3));
    QVERIFY(f.Exceptions.empty());
}

// A writer that has the file open and modified is at work, whether what it wrote so far looks
// whole or not: nothing is taken from the file, and no save merges into it, until it closes.
void TestLiveView::watch_fileBeingWrittenIsNeverMergedInto() {
    TKivoFixture f;
    std::vector<TProjectVar> vars = FiveVars;
    Open(f, vars);
    if (!TFileSystem::Current().WatchTellsWriters(f.Dir.path().toStdString()))
        QSKIP("the system tells nothing of writers here");
    MainForm->ProjectFile().StableMs = 0;
    MainForm->ProjectFile().SaveWaitMs = 100;
    vars[4].Value = "written";
    const std::string text = ProjectText(vars);
    for (const std::size_t part : {text.size() / 2, text.size()}) {
        QFile writer(QString::fromStdString(f.Path("p.kvo")));
        QVERIFY(writer.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
        writer.write(text.data(), qint64(part));
        for (int tick = 0; tick < 4; ++tick)
            MainForm->Timer1Timer();
        QCOMPARE(MainForm->VarCount, 5);
        QCOMPARE(GridCell(Grid(), 3, 5), std::string("text"));
        f.Messages.clear();
        GridSetRow(Grid(), 1);
        f.Answers.push_back(IDYES);
        f.Handle([] { MainForm->StringGrid1DblClick(); });
        QCOMPARE(f.Messages.size(), size_t(2)); // the question, and why nothing was saved
        QCOMPARE(f.Read("p.kvo"), text.substr(0, part));
        writer.write(text.data() + part, qint64(text.size() - part));
        writer.close();
        QTRY_COMPARE(GridCell(Grid(), 3, 5), std::string("written"));
        vars[4].Value = "text";
        f.Write("p.kvo", ProjectText(vars));
        QTRY_COMPARE(GridCell(Grid(), 3, 5), std::string("text"));
        vars[4].Value = "written";
    }
    QVERIFY(f.Exceptions.empty());
}

QTEST_MAIN(TestLiveView)
#include "tst_liveview.moc"
