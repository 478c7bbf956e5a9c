#include "KivoFixture.h"

#include "IniFile.h"
#include "Journal.h"
#include "Limitsformunit.h"
#include "Pendingformunit.h"
#include "Presetsformunit.h"

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QRadioButton>

#include <set>

namespace {

void OpenProject(TKivoFixture &f, const std::vector<TProjectVar> &vars) {
    f.Write("p.kvo", ProjectText(vars));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    GridSetRow(Grid(), 1);
}

std::string FileValue(const TKivoFixture &f, int i) {
    return TIniFile(f.Path("p.kvo"))
        .ReadString("Kivo 1.0", "Var" + std::to_string(i) + "_Value", "?");
}

void Click(QWidget *form, const char *button) {
    QTest::mouseClick(form->findChild<QPushButton *>(button), Qt::LeftButton);
}

// Runs step in the modal dialog that action opens; one left open is cancelled.
void InModal(const std::function<void(QDialog *)> &step, const std::function<void()> &action) {
    QTimer::singleShot(0, [step] {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            step(dialog);
            if (dialog->isVisible())
                dialog->reject();
        }
    });
    action();
}

// The project's presets and limits as a fresh read of their file finds them.
TProjectPresets OnDisk(const TKivoFixture &f) {
    TProjectPresets presets;
    QString error;
    if (!presets.Read(TProjectPresets::FileFor(QString::fromStdString(f.Path("p.kvo"))), error))
        qWarning() << error;
    return presets;
}

// The journal holds count saved records of that kind, all of one set (one nonzero group).
bool OneSet(const TKivoFixture &f, const char *kind, size_t count) {
    std::set<qint64> groups;
    size_t records = 0;
    for (const TJournalRecord &r : TJournal::Load(QString::fromStdString(f.Path("p.kvo"))))
        if (r.Outcome == "saved" && r.Kind == kind) {
            ++records;
            groups.insert(r.Group);
        }
    return records == count && groups.size() == 1 && *groups.begin() != 0;
}

} // namespace

class TestPresetsUi : public QObject {
    Q_OBJECT

private slots:
    void preset_appliesByTitleAndTypeOnly_savedAndUndoneAsOne();
    void limit_questionPastIt_factorFromEditor();
    void limitsEditor_refusesOrKeeps_data();
    void limitsEditor_refusesOrKeeps();
    void exportImport_refusedImportChangesNothing();
};

void TestPresetsUi::preset_appliesByTitleAndTypeOnly_savedAndUndoneAsOne() {
    TKivoFixture f;
    OpenProject(f, {{"Lots", 3, 0, "0.10"},
                    {"Magic", 2, 0, "5"},
                    {"Mode", 1, 0, "fast"},
                    {"Trade", 0, 0, "1"},
                    {"Go", 5, 0, ""},
                    {"Note", 1, 0, "hi"},
                    {"Keep", 1, 0, "same"}});
    MainForm->findChild<QAction *>("Presets1")->trigger();
    QVERIFY(PresetsForm && PresetsForm->isVisible());
    int offered = -1;
    InModal(
        [&](QDialog *dialog) {
            offered = dialog->findChild<QListWidget *>("ListBox1")->count();
            dialog->findChild<QLineEdit *>("Edit1")->setText("Day");
            Click(dialog, "Button1");
        },
        [] { Click(PresetsForm, "Button1"); });
    QCOMPARE(offered, 6); // the action has no value to keep
    const TPreset *day = MainForm->Session().Presets().PresetNamed("Day");
    QVERIFY(day);
    QCOMPARE(day->Values.size(), size_t(6));
    QCOMPARE(OnDisk(f).Presets, MainForm->Session().Presets().Presets);

    // The expert reorders, removes, retypes and doubles variables.
    f.Write("p.kvo", ProjectText({{"Note", 1, 0, "a"},
                                  {"Trade", 0, 0, "0"},
                                  {"Keep", 1, 0, "same"},
                                  {"Mode", 2, 0, "3"},
                                  {"Lots", 3, 0, "0.25"},
                                  {"Note", 1, 0, "b"},
                                  {"Go", 5, 0, ""}}));
    const std::string before = f.Read("p.kvo");
    PresetsForm->findChild<QTableWidget *>("StringGrid1")->selectRow(0);
    f.Messages.clear();
    Click(PresetsForm, "Button2");

    std::vector<std::tuple<int, std::string, std::string>> gathered;
    for (const TPendingSet::TItem &item : PendingForm->Set().Items())
        gathered.emplace_back(item.Change.Index, item.Change.Title, item.Change.Value);
    QCOMPARE(gathered, (decltype(gathered){{4, "Lots", "0.10"}, {1, "Trade", "1"}}));
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Caption, std::string("Warning"));
    QStringList skipped;
    for (const QString &line : QString::fromStdString(f.Messages[0].Detail).split('\n'))
        skipped << line.section(": ", 0, 0);
    QCOMPARE(skipped, (QStringList{"Magic (integer)", "Mode (string)", "Note (string)"}));
    QCOMPARE(f.Read("p.kvo"), before);

    QVERIFY(PendingForm->Apply());
    QCOMPARE(FileValue(f, 2), std::string("1"));
    QCOMPARE(FileValue(f, 5), std::string("0.10"));
    QCOMPARE(FileValue(f, 4), std::string("3"));
    QVERIFY(OneSet(f, "change", 2));

    f.Answers = {IDYES};
    MainForm->Undo1Click();
    QCOMPARE(FileValue(f, 2), std::string("0"));
    QCOMPARE(FileValue(f, 5), std::string("0.25"));
    QVERIFY(OneSet(f, "undo", 2));
    QVERIFY(f.UnexpectedQuestions.empty());
}

void TestPresetsUi::limit_questionPastIt_factorFromEditor() {
    TKivoFixture f;
    OpenProject(f, {{"Lots", 3, 0, "0.10"}});
    const std::string before = f.Read("p.kvo");
    QRect limitsButton, okButton;
    bool keptOpen = false;
    std::string afterNo;
    RunDialog(f, {[&] {
                      auto *limits = VarChangeForm->findChild<QPushButton *>("Button3");
                      limitsButton = limits->isVisible() ? limits->geometry() : QRect();
                      okButton = VarChangeForm->findChild<QPushButton *>("Button1")->geometry();
                      InModal(
                          [](QDialog *editor) {
                              editor->findChild<QRadioButton *>("RadioButton2")->setChecked(true);
                              editor->findChild<QLineEdit *>("Edit3")->setText("2");
                              Click(editor, "Button1");
                          },
                          [limits] { QTest::mouseClick(limits, Qt::LeftButton); });
                  },
                  Type("0.5"), [&] { f.Answers = {IDNO}; }, PressOk(),
                  [&] {
                      keptOpen = VarChangeForm->isVisible() && Edit1()->text() == "0.5";
                      afterNo = f.Read("p.kvo");
                      f.Answers = {IDYES};
                  },
                  PressOk()});
    QCOMPARE(limitsButton, QRect(16, okButton.y(), okButton.width(), okButton.height()));
    const TLimit *limit = MainForm->Session().Presets().LimitFor("Lots", 3);
    QVERIFY(limit);
    QCOMPARE(limit->Kind, TLimit::Factor);
    QCOMPARE(limit->Step, 2.0);
    QCOMPARE(OnDisk(f).Limits, MainForm->Session().Presets().Limits);

    QVERIFY(keptOpen);
    QCOMPARE(afterNo, before);
    QCOMPARE(f.Messages.size(), size_t(2));
    for (const TShownMessage &m : f.Messages) {
        QCOMPARE(m.Text,
                 std::string("The new value is outside a limit you set. Do you want to save it?"));
        QCOMPARE(m.Caption, std::string("Warning"));
        QCOMPARE(m.Flags, MB_YESNO | MB_DEFBUTTON2);
        QCOMPARE(m.Detail, std::string("Lots: 0.10 \xE2\x86\x92 0.5, more than x2 the old value"));
    }
    QCOMPARE(FileValue(f, 1), std::string("0.5"));
}

void TestPresetsUi::limitsEditor_refusesOrKeeps_data() {
    QTest::addColumn<QString>("lowest");
    QTest::addColumn<QString>("highest");
    QTest::addColumn<int>("step"); // the radio button: 1 none, 2 factor, 3 difference
    QTest::addColumn<QString>("stepText");
    QTest::addColumn<QString>("refusal"); // empty: kept
    // The rules themselves are LimitError's (tst_presets): here, that the editor keeps or refuses.
    using S = QString;
    QTest::newRow("bounds") << S(" 0.01") << S("5") << 1 << S() << S();
    QTest::newRow("difference") << S() << S() << 3 << S(".5") << S();
    QTest::newRow("lowest no number")
        << S("1,5") << S() << 1 << S() << S("the lowest value is not a number");
    QTest::newRow("crossed") << S("5") << S("1") << 1 << S()
                             << S("the lowest value 5 is above the highest value 1");
}

void TestPresetsUi::limitsEditor_refusesOrKeeps() {
    QFETCH(QString, lowest);
    QFETCH(QString, highest);
    QFETCH(int, step);
    QFETCH(QString, stepText);
    QFETCH(QString, refusal);
    TKivoFixture f;
    OpenProject(f, {{"Lots", 3, 0, "0.10"}});
    TLimitsForm form(MainForm);
    form.ShowVariable("Lots", 3);
    form.findChild<QLineEdit *>("Edit1")->setText(lowest);
    form.findChild<QLineEdit *>("Edit2")->setText(highest);
    form.findChild<QRadioButton *>("RadioButton" + QString::number(step))->setChecked(true);
    form.findChild<QLineEdit *>(step == 2 ? "Edit3" : "Edit4")->setText(stepText);
    form.Button1Click();
    const TLimit *kept = MainForm->Session().Presets().LimitFor("Lots", 3);
    if (!refusal.isEmpty()) {
        QCOMPARE(f.Messages.size(), size_t(1));
        QCOMPARE(QString::fromStdString(f.Messages[0].Text),
                 "The limit cannot be kept: " + refusal + ".");
        QVERIFY(!kept);
        QVERIFY(form.result() != QDialog::Accepted);
        return;
    }
    QVERIFY(f.Messages.empty());
    QVERIFY(kept);
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(kept->Lowest, ReadDecimal(lowest.trimmed().toStdString()));
    QCOMPARE(kept->Highest, ReadDecimal(highest.toStdString()));
    QCOMPARE(kept->Kind, step == 3 ? TLimit::Difference : TLimit::None);
    QCOMPARE(kept->Step, step == 3 ? ReadDecimal(stepText.toStdString()).value() : 0.0);
    QCOMPARE(OnDisk(f).Limits, MainForm->Session().Presets().Limits);
}

void TestPresetsUi::exportImport_refusedImportChangesNothing() {
    TKivoFixture f;
    OpenProject(f, {{"Lots", 3, 0, "0.10"}});
    QString error;
    QVERIFY(MainForm->Session().Presets().SetPreset({"A", {{"Lots", 3, "0.2"}}}, error));
    MainForm->findChild<QAction *>("Presets1")->trigger();
    f.OpenAnswer = f.Path("out.json");
    Click(PresetsForm, "Button5");
    TProjectPresets exported;
    QVERIFY(
        TProjectPresets::Import(QByteArray::fromStdString(f.Read("out.json")), exported, error));
    QCOMPARE(exported.Presets, MainForm->Session().Presets().Presets);

    f.Write("bad.json", "{\"format\": \"kivo-presets\"");
    f.OpenAnswer = f.Path("bad.json");
    const TProjectPresets held = MainForm->Session().Presets();
    Click(PresetsForm, "Button6");
    QCOMPARE(f.Messages.size(), size_t(1));
    QVERIFY2(f.Messages[0].Text.find("cannot be imported: not JSON") != std::string::npos,
             f.Messages[0].Text.c_str());
    QCOMPARE(MainForm->Session().Presets().Presets, held.Presets);
    QVERIFY(!QFile::exists(TProjectPresets::FileFor(QString::fromStdString(f.Path("p.kvo")))));
}

QTEST_MAIN(TestPresetsUi)
#include "tst_presetsui.moc"
