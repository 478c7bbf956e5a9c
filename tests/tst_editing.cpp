#include "KivoFixture.h"

#include "Conversions.h"
#include "Grid.h"
#include "IniFile.h"
#include "Journal.h"
#include "ValueCheck.h"
#include "VarGrid.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

QPushButton *Button(const char *name) {
    return VarChangeForm->findChild<QPushButton *>(name);
}

QDateTime Stamp(const TKivoFixture &f, const std::string &name) {
    return QFileInfo(QString::fromStdString(f.Path(name))).lastModified();
}

// Opens the project p.kvo as the remembered one and selects a grid row.
void OpenProject(TKivoFixture &f, const std::vector<TProjectVar> &vars, int row = 1) {
    f.Write("p.kvo", ProjectText(vars));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    GridSetRow(Grid(), row);
}

// The keys of variable i as the file holds them now.
TProjectVar FileVar(const TKivoFixture &f, int i) {
    const TIniFile ini(f.Path("p.kvo"));
    const std::string n = "Var" + std::to_string(i);
    return {ini.ReadString("Kivo 1.0", n + "_Title", "?"),
            ini.ReadInteger("Kivo 1.0", n + "_Type", -1),
            ini.ReadInteger("Kivo 1.0", n + "_Status", -1),
            ini.ReadString("Kivo 1.0", n + "_Value", "?")};
}

// A date in the system's short date format, valid in any field order.
std::string ValidDate() {
    const TShortDateFormat &format = SystemShortDateFormat();
    const std::string sep(1, format.Separator);
    if (format.FieldOrder == TShortDateFormat::YMD)
        return "2003" + sep + "2" + sep + "1";
    return "1" + sep + "2" + sep + "2003";
}

} // namespace

class TestEditing : public QObject {
    Q_OBJECT

private slots:
    void doubleClick_decisionTable_data();
    void doubleClick_decisionTable();
    void doubleClick_doesNothingWithoutVariables();
    void keyboard_enterActsAsDoubleClick();
    void keyboard_secondEnterAnswersNo();
    void undo_asksAndShowsItsRow();
    void check_acceptsWhatTheExpertReadsBack_data();
    void check_acceptsWhatTheExpertReadsBack();
    void dialog_refusalSaysWhatWasExpectedAndKeepsTheText();
    void dialog_checksThenComparesThenStoresAsTyped_data();
    void dialog_checksThenComparesThenStoresAsTyped();
    void dialog_cancelEscAndCloseWriteNothing();
    void dialog_showsTypeNameAndNoneForOtherCodes();
    void save_keepsWhatTheExpertWroteMeanwhile();
    void save_landsOnTheSameVariableOrNowhere_data();
    void save_landsOnTheSameVariableOrNowhere();
    void save_failedWrite_keepsFileAndRecovers();
    void text_travelsInTheExpertsCodePage();
    void text_editedElsewhereKeepsItsBytes();
    void journal_savedTakenUndoneAndWaiting();
    void journal_unwritable_neitherBlocksNorFailsASave();
};

void TestEditing::doubleClick_decisionTable_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("question"); // empty: no question, nothing written
    QTest::addColumn<int>("newStatus");
    QTest::addColumn<QString>("newValue");

    const QString activate = "Do you want to activate this action?";
    const QString cancel = "Do you want to cancel action activation?";
    const QString toTrue = "Do you want to change FALSE to TRUE?";
    const QString toFalse = "Do you want to change TRUE to FALSE?";
    QTest::newRow("action idle") << 5 << 0 << "keep" << activate << 1 << "keep";
    QTest::newRow("action changed") << 5 << 1 << "keep" << cancel << 0 << "keep";
    QTest::newRow("action idle2") << 5 << 2 << "" << cancel << 0 << "";
    QTest::newRow("action other code") << 5 << 9 << "x" << cancel << 0 << "x";
    QTest::newRow("bool 0 idle") << 0 << 0 << "0" << toTrue << 1 << "1";
    QTest::newRow("bool 0 idle2") << 0 << 2 << "0" << toTrue << 2 << "1";
    QTest::newRow("bool 1 changed") << 0 << 1 << "1" << toFalse << 1 << "0";
    QTest::newRow("bool 1 idle2") << 0 << 2 << "1" << toFalse << 2 << "0";
    QTest::newRow("bool 1 other code") << 0 << 7 << "1" << toFalse << 1 << "0";
    // A quoted value keeps its blank when read, as the expert's profile API reads it.
    for (const char *text : {"true", "TRUE", "00", "\" 0\"", ""})
        QTest::newRow(qPrintable(QString("bool '%1'").arg(text)))
            << 0 << 0 << QString(text) << QString() << 0 << QString(text);
}

void TestEditing::doubleClick_decisionTable() {
    QFETCH(int, type);
    QFETCH(int, status);
    QFETCH(QString, value);
    QFETCH(QString, question);
    QFETCH(int, newStatus);
    QFETCH(QString, newValue);

    for (const int answer : {IDNO, IDYES}) {
        TKivoFixture f;
        OpenProject(f, {{"First", 1, 0, "a"}, {"Target", type, status, value.toStdString()}}, 2);
        const std::string before = f.Read("p.kvo");
        const QDateTime stamp = Stamp(f, "p.kvo");
        f.Answers.push_back(answer);
        f.Handle([] { MainForm->StringGrid1DblClick(); });

        if (question.isEmpty()) {
            QVERIFY(f.Messages.empty());
        } else {
            QCOMPARE(f.Messages.size(), size_t(1));
            QCOMPARE(QString::fromStdString(f.Messages[0].Text), question);
            QCOMPARE(f.Messages[0].Caption, std::string("Warning"));
            QCOMPARE(f.Messages[0].Flags, MB_YESNO | MB_DEFBUTTON2);
        }
        if (answer == IDNO || question.isEmpty()) {
            QCOMPARE(f.Read("p.kvo"), before);
            QCOMPARE(Stamp(f, "p.kvo"), stamp);
            continue;
        }
        const TProjectVar saved = FileVar(f, 2);
        QCOMPARE(saved.Title, std::string("Target"));
        QCOMPARE(saved.Type, type);
        QCOMPARE(saved.Status, newStatus);
        QCOMPARE(QString::fromStdString(saved.Value), newValue);
        QCOMPARE(FileVar(f, 1).Value, std::string("a"));
        // The grid shows what the file holds after the save.
        QCOMPARE(MainForm->Vars[1].Status, newStatus);
        if (type == 0)
            QCOMPARE(GridCell(Grid(), 3, 2), std::string(newValue == "1" ? "true" : "false"));
        QCOMPARE(GridCell(Grid(), 2, 2), std::string(newStatus == 1 ? "changed by Kivo" : "idle"));
        QVERIFY(f.Exceptions.empty());
    }
}

void TestEditing::doubleClick_doesNothingWithoutVariables() {
    TKivoFixture f;
    f.Show();
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QVERIFY(f.Messages.empty());

    // A project of no variables, and one whose count reads 0 for a tick.
    OpenProject(f, {});
    f.Write("p.kvo", "[Kivo 1.0]\r\nVar_Cnt=0\r\nVar1_Title=T\r\nVar1_Type=0\r\nVar1_Value=0\r\n");
    MainForm->LoadProject();
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QVERIFY(f.Messages.empty());
}

void TestEditing::keyboard_enterActsAsDoubleClick() {
    TKivoFixture f;
    OpenProject(f, {{"First", 1, 0, "a"}, {"Flag", 0, 0, "0"}}, 2);
    QCOMPARE(MainForm->focusWidget(), Grid());
    f.Answers = {IDNO, IDNO, IDNO};
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QTest::keyClick(Grid(), Qt::Key_Return);
    QTest::keyClick(Grid(), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(f.Messages.size(), size_t(3));
    for (const TShownMessage &m : f.Messages) {
        QCOMPARE(m.Text, std::string("Do you want to change FALSE to TRUE?"));
        QCOMPARE(m.Flags, MB_YESNO | MB_DEFBUTTON2);
    }
    f.Answers.push_back(IDYES);
    QTest::keyClick(Grid(), Qt::Key_Return);
    QCOMPARE(FileVar(f, 2).Value, std::string("1"));

    // The arrow moves to the string row, where Enter opens the change dialog.
    QTest::keyClick(Grid(), Qt::Key_Up);
    bool opened = false;
    QTimer inDialog;
    inDialog.setSingleShot(true);
    QObject::connect(&inDialog, &QTimer::timeout, [&] {
        opened = VarChangeForm->isVisible();
        VarChangeForm->reject();
    });
    inDialog.start(0);
    QTest::keyClick(Grid(), Qt::Key_Return);
    QVERIFY(opened);
    QCOMPARE(f.Messages.size(), size_t(4));

    // Only a row the user chose: a double-click on empty space below the rows or on the header
    // (on a divider it fits the column), and Enter after a click on empty space, ask nothing.
    const std::string before = f.Read("p.kvo");
    f.Messages.clear();
    QWidget *viewport = Grid()->viewport();
    const QRect flag = Grid()->visualItemRect(Grid()->item(1, 0));
    const QPoint below(10, flag.bottom() + 30);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, below);
    QTest::mouseClick(viewport, Qt::LeftButton, {}, below);
    QTest::keyClick(Grid(), Qt::Key_Return);
    QWidget *header = Grid()->horizontalHeader()->viewport();
    QTest::mouseDClick(header, Qt::LeftButton, {}, QPoint(20, 5));
    QTest::mouseDClick(header, Qt::LeftButton, {}, QPoint(Grid()->columnWidth(0) - 1, 5));
    QVERIFY(Grid()->columnWidth(0) < 103); // fitted to "First" and "Flag"
    QVERIFY(f.Messages.empty());
    QCOMPARE(f.Read("p.kvo"), before);
    // A double-click on a row asks about that row, naming it and its value.
    f.Answers.push_back(IDNO);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, flag.center());
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Detail, std::string("Flag: TRUE"));
}

// Undo is a change like any other: the menu names it; an action's activation or cancellation,
// and a toggle, ask the question the change itself asked, No the default; the row comes into view.
void TestEditing::undo_asksAndShowsItsRow() {
    TKivoFixture f;
    const std::string title = "Move all stops to break-even now";
    std::vector<TProjectVar> vars(30, {"Filler", 1, 0, "x"});
    vars[25] = {title, 5, 0, ""};
    OpenProject(f, vars, 26);
    f.Answers = {IDYES, IDYES};
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(FileVar(f, 26).Status, 0);
    auto *undo = MainForm->findChild<QAction *>("Undo1");
    QCOMPARE(undo->statusTip(), QString::fromStdString("Undo cancel of " + title));
    GridSetRow(Grid(), 1);
    Grid()->scrollToTop();
    f.Messages.clear();
    f.Handle([] { MainForm->Undo1Click(); }); // answered No
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Text, std::string("Do you want to activate this action?"));
    QCOMPARE(f.Messages[0].Flags, MB_YESNO | MB_DEFBUTTON2);
    QCOMPARE(f.Messages[0].Detail, title);
    QCOMPARE(FileVar(f, 26).Status, 0);
    QCOMPARE(GridRow(Grid()), 26);
    QVERIFY(!MainForm->VarGrid().RowOnScreen(26).isEmpty());
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->Undo1Click(); });
    QCOMPARE(FileVar(f, 26).Status, 1);
    const std::vector<TJournalRecord> records =
        TJournal::Load(QString::fromStdString(f.Path("p.kvo")));
    QCOMPARE(records.back().Kind, QStringLiteral("undo"));
    QCOMPARE(records.back().Outcome, QStringLiteral("saved"));
    QCOMPARE(records.back().NewStatus, 1);
    QVERIFY(!undo->isEnabled() ||
            undo->statusTip() == QString::fromStdString("Undo activation of " + title));
}

void TestEditing::keyboard_secondEnterAnswersNo() {
    TKivoFixture f;
    std::vector<TProjectVar> vars(12, {"Filler", 1, 0, "x"});
    vars[6] = {"Go", 5, 0, ""};
    vars[7] = {"Flag", 0, 0, "0"};
    OpenProject(f, vars);
    Application->SetMessageBoxHook({});
    // The real box: Enter in its loop; one left open is closed, so that a failure cannot hang.
    bool pressed = false, covers = false, leftOpen = false;
    QRect status;
    QTimer inBox;
    QObject::connect(&inBox, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (std::exchange(pressed, true)) {
            leftOpen = true;
            return box->reject();
        }
        covers = box->frameGeometry().intersects(status);
        QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, Qt::Key_Return);
    });
    inBox.start(0);
    for (const int row : {7, 8}) {
        GridSetRow(Grid(), row);
        const QRect cell = Grid()->visualItemRect(Grid()->item(row - 1, 2));
        status = QRect(Grid()->viewport()->mapToGlobal(cell.topLeft()), cell.size());
        pressed = false;
        QTest::keyClick(Grid(), Qt::Key_Return);
        QVERIFY(pressed && !leftOpen && !covers);
    }
    QCOMPARE(f.Read("p.kvo"), ProjectText(vars));
}

void TestEditing::check_acceptsWhatTheExpertReadsBack_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("format"); // the system's short date format, as Qt writes it
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("refusal"); // empty: accepted

    const auto rows = [](int type, const QString &format, const QString &refusal,
                         const QList<QByteArray> &texts) {
        for (const QByteArray &text : texts)
            QTest::addRow("%d %s '%s'", type, qPrintable(format), text.left(20).constData())
                << type << format << text << refusal;
    };
    const QString us = "MM/dd/yyyy", usShort = "M/d/yy", de = "dd.MM.yyyy", iso = "yyyy-MM-dd";
    const QString whole = "A whole number", point = "A number with a point", date = "A date";
    rows(2, us, "", {"250", "007", "-0", "+5", "2147483647", "-2147483648", "-00000000000001"});
    rows(2, us, whole,
         {"$500", "0x1F", "-0x1F", " 5", "5 ", "1e3", "5.", "2147483648", "-2147483649", "", "-",
          "+-5", "12abc", "5\n", QByteArray(256, '1')});
    rows(3, us, "", {".5", "5.", "-0", "+5", "0.25", "-.5", "007.50", QByteArray(255, '9')});
    rows(3, us, point,
         {"1e3", "1E3", "1.5e-3", ".", "1,5", "1.2.3", " 5", "5 ", "inf", "nan", "", "+",
          QByteArray(256, '9'), "$5"});
    rows(4, us, "", {"12/31/2026", "1/2/2026", "01/02/2026"});
    rows(4, us, date,
         {"12/31", "31/12/2026", "12/31/26", "12/31/02026", "12/31/026", "12/31/2026/",
          " 12/31/2026", "12 /31/2026", "12.31.2026", "2/30/2026", "001/02/2026", "1/2/0000"});
    rows(4, usShort, "", {"12/31/26", "12/31/2026", "2/29/28"});
    rows(4, usShort, date, {"12/31/026", "12/31", "2/29/27", "12/31/6"});
    rows(4, de, "", {"31.12.2026", "1.2.2026"});
    rows(4, de, date, {"12/31/2026", "31.12.", "31.12.2026.", "31.12.26"});
    rows(4, iso, "", {"2026-12-31", "2026-1-2"});
    rows(4, iso, date, {"26-12-31", "12-31-2026"});
    rows(1, us, "", {"$500 1e3 12/31", "", " "});
    rows(1, us, "Text on one line", {"a\nb", "a\r", QByteArray("a\0b", 3)});
    rows(9, us, "Text on one line", {"x\r\n"});
}

void TestEditing::check_acceptsWhatTheExpertReadsBack() {
    QFETCH(int, type);
    QFETCH(QString, format);
    QFETCH(QByteArray, text);
    QFETCH(QString, refusal);
    const TShortDateFormat dateFormat = ShortDateFormatFrom(format);
    QCOMPARE(QString(RefusalFor(type, text.toStdString(), dateFormat)), refusal);
    // What a refusal gives as an example is accepted, in the format's order and separator.
    QCOMPARE(RefusalFor(type, ExampleFor(type, dateFormat), dateFormat), nullptr);
}

// $500 reads as 0 to an expert that reads leading digits: refused, and the user told why.
void TestEditing::dialog_refusalSaysWhatWasExpectedAndKeepsTheText() {
    TKivoFixture f;
    OpenProject(f, {{"Lots", 2, 0, "100"}});
    const std::string before = f.Read("p.kvo");
    RunDialog(f, {Type("$500"), PressOk(), [&] {
                      QVERIFY(VarChangeForm->isVisible());
                      QCOMPARE(VarChangeForm->focusWidget(), Edit1());
                      QCOMPARE(Edit1()->selectedText(), QString("$500"));
                  }});
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Text, std::string("Variable value is incorrect"));
    QCOMPARE(f.Messages[0].Flags, MB_OK);
    QCOMPARE(f.Messages[0].Detail, std::string("A whole number such as 250."));
    QCOMPARE(f.Read("p.kvo"), before);
}

void TestEditing::dialog_checksThenComparesThenStoresAsTyped_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QStringList>("typed");    // typed and OK pressed, in order
    QTest::addColumn<QStringList>("messages"); // what each OK answered ("" for none)
    QTest::addColumn<QString>("saved");        // the value in the file afterwards

    const QString bad = "Variable value is incorrect";
    const QString same = "Value is the same";
    QTest::newRow("integer") << 2 << "5" << QStringList{"5", "12abc", "1e3", "2147483648", "007"}
                             << QStringList{same, bad, bad, bad, ""} << "007";
    QTest::newRow("integer stored not a number: check before compare")
        << 2 << "abc" << QStringList{"abc", "-0x1F", "-31"} << QStringList{bad, bad, ""} << "-31";
    QTest::newRow("double") << 3 << "1.5" << QStringList{"1,5", "inf", "1.5", "2.50"}
                            << QStringList{bad, bad, same, ""} << "2.50";
    QTest::newRow("date") << 4 << "" << QStringList{"1/Feb/2003", "tomorrow", ValidDate().c_str()}
                          << QStringList{bad, bad, ""} << ValidDate().c_str();
    QTest::newRow("string, case counts")
        << 1 << "abc" << QStringList{"abc", "ABC"} << QStringList{same, ""} << "ABC";
    QTest::newRow("string emptied") << 1 << "abc" << QStringList{""} << QStringList{""} << "";
    QTest::newRow("string with a line break")
        << 1 << "abc" << QStringList{"x\nVar_Cnt=0", "y"} << QStringList{bad, ""} << "y";
    const QString longValue(40000, 'x');
    QTest::newRow("long value kept whole")
        << 1 << longValue << QStringList{longValue, longValue + "y"} << QStringList{same, ""}
        << longValue + "y";
    QTest::newRow("unknown type edits like a string")
        << 9 << "raw" << QStringList{"raw", "new"} << QStringList{same, ""} << "new";
}

void TestEditing::dialog_checksThenComparesThenStoresAsTyped() {
    QFETCH(int, type);
    QFETCH(QString, stored);
    QFETCH(QStringList, typed);
    QFETCH(QStringList, messages);
    QFETCH(QString, saved);

    for (const int status : {0, 2}) {
        TKivoFixture f;
        OpenProject(f, {{"First", 1, 0, "a"}, {"Target", type, status, stored.toStdString()}}, 2);
        std::vector<std::function<void()>> steps;
        std::vector<size_t> messagesAfter;
        for (const QString &text : typed) {
            steps.push_back(Type(text));
            steps.push_back(PressOk());
            steps.push_back([&] { messagesAfter.push_back(f.Messages.size()); });
        }
        RunDialog(f, steps);

        QCOMPARE(f.Messages.size(), size_t(std::count_if(messages.begin(), messages.end(),
                                                         [](auto &m) { return !m.isEmpty(); })));
        size_t shown = 0;
        for (qsizetype i = 0; i < messages.size(); ++i) {
            if (messages[i].isEmpty())
                continue;
            QCOMPARE(QString::fromStdString(f.Messages[shown].Text), messages[i]);
            QCOMPARE(f.Messages[shown].Flags, MB_OK);
            ++shown;
        }
        // Accepted: the dialog closed, the value stored as typed, the status by the rule.
        QVERIFY(!VarChangeForm->isVisible());
        const TProjectVar var = FileVar(f, 2);
        QCOMPARE(QString::fromStdString(var.Value), saved);
        QCOMPARE(var.Status, status == 2 ? 2 : 1);
        QCOMPARE(var.Type, type);
        QCOMPARE(FileVar(f, 1).Value, std::string("a"));
        QVERIFY(f.Exceptions.empty());
    }
}

void TestEditing::dialog_cancelEscAndCloseWriteNothing() {
    const std::vector<std::function<void()>> endings = {
        [] { QTest::mouseClick(Button("Button2"), Qt::LeftButton); },
        [] { QTest::keyClick(Edit1(), Qt::Key_Escape); },
        [] { VarChangeForm->close(); },
    };
    for (const auto &ending : endings) {
        TKivoFixture f;
        OpenProject(f, {{"Name", 1, 0, "old"}});
        const std::string before = f.Read("p.kvo");
        bool closed = false;
        RunDialog(f, {[] { QCOMPARE(Edit1()->text(), QString("old")); }, Type("new"), ending,
                      [&] {
                          closed = true;
                      }});
        QVERIFY(!closed); // the ending closed it before the check step could run
        QVERIFY(!VarChangeForm->isVisible());
        QCOMPARE(f.Read("p.kvo"), before);
        QVERIFY(f.Messages.empty());
    }

    // Enter presses OK.
    TKivoFixture f;
    OpenProject(f, {{"Name", 1, 0, "old"}});
    RunDialog(f, {Type("typed"), [] {
                      QTest::keyClick(Edit1(), Qt::Key_Return);
                  }});
    QCOMPARE(FileVar(f, 1).Value, std::string("typed"));
}

void TestEditing::dialog_showsTypeNameAndNoneForOtherCodes() {
    TKivoFixture f;
    OpenProject(f, {{"Price", 3, 0, "1.5"},
                    {"Odd", 9, 0, "raw"},
                    {"<i>Name</i>", 1, 0, "v"},
                    {"When", 4, 0, ""}});
    QLabel *label2 = VarChangeForm->findChild<QLabel *>("Label2");
    QLabel *label4 = VarChangeForm->findChild<QLabel *>("Label4");
    QCOMPARE(label4->text(), QString("Label4"));
    QString seen;
    bool editFocused = false;
    RunDialog(f, {[&] {
                  seen = label2->text() + "|" + label4->text() + "|" + Edit1()->text();
                  editFocused = VarChangeForm->focusWidget() == Edit1();
              }});
    QCOMPARE(seen, QString("Price|Double|1.5"));
    QCOMPARE(VarChangeForm->windowTitle(), QString("Change variable"));
    QVERIFY(editFocused);

    GridSetRow(Grid(), 2);
    RunDialog(f, {[&] {
                  seen = label2->text() + "|" + label4->text();
              }});
    QCOMPARE(seen, QString("Odd|"));

    GridSetRow(Grid(), 3);
    RunDialog(f, {[&] {
                  seen = label2->text() + "|" + label4->text();
              }});
    QCOMPARE(seen, QString("<i>Name</i>|String"));
    QCOMPARE(label2->textFormat(), Qt::PlainText);

    // A date's format, as StrToDate reads dates.
    GridSetRow(Grid(), 4);
    QString hint;
    RunDialog(f, {[&] {
                  hint = Edit1()->placeholderText();
              }});
    hint.replace("dd", "31").replace("MM", "12").replace("yyyy", "2026").replace("yy", "26");
    QDate date;
    QVERIFY_THROWS_NO_EXCEPTION(date = StrToDate(hint.toStdString()));
    QCOMPARE(date, QDate(2026, 12, 31));
    // The example a refusal gives reads as the hint says.
    QCOMPARE(hint.toStdString(), ExampleFor(vtDate, SystemShortDateFormat()));
}

void TestEditing::save_keepsWhatTheExpertWroteMeanwhile() {
    // The expert carries out an action and writes a value after Kivo's last tick; the user
    // toggles a boolean before the next one.
    TKivoFixture f;
    std::vector<TProjectVar> vars = {{"Go", 5, 1, ""}, {"Flag", 0, 0, "0"}, {"tick", 2, 0, "1"}};
    OpenProject(f, vars, 2);
    vars[0].Status = 0;
    vars[2].Value = "2";
    f.Write("p.kvo", ProjectText(vars));
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(FileVar(f, 1).Status, 0);
    QCOMPARE(FileVar(f, 3).Value, std::string("2"));
    QCOMPARE(FileVar(f, 2).Value, std::string("1"));
    QCOMPARE(FileVar(f, 2).Status, 1);

    // The same while the question is open and a tick runs behind it.
    f.Messages.clear();
    f.OnMessage = [&](const TShownMessage &) {
        vars = {{"Go", 5, 0, ""}, {"Flag", 0, 2, "1"}, {"tick", 2, 0, "3"}};
        f.Write("p.kvo", ProjectText(vars));
        MainForm->Timer1Timer();
    };
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); }); // "TRUE to FALSE", decided before the tick
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(FileVar(f, 1).Status, 0);
    QCOMPARE(FileVar(f, 3).Value, std::string("3"));
    QCOMPARE(FileVar(f, 2).Value, std::string("0"));
    QCOMPARE(FileVar(f, 2).Status, 2); // the status the expert wrote last decides the rule
    QVERIFY(!MainForm->Saving);

    // Everything else in the file is kept byte for byte, the changed variable's other keys too.
    f.OnMessage = nullptr;
    f.Write("p.kvo", "; written by the expert\r\n[Other]\r\nx=1\r\n\r\n[kivo 1.0]\r\nVar_Cnt=1\r\n"
                     "Var1_Title=Flag\r\nVar1_Type=000\r\nVar1_Status=0\r\nVar1_Value=0\r\n"
                     "Var2_Title=Beyond the count\r\n");
    MainForm->Timer1Timer();
    GridSetRow(Grid(), 1);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(
        f.Read("p.kvo"),
        std::string("; written by the expert\r\n[Other]\r\nx=1\r\n\r\n[kivo 1.0]\r\nVar_Cnt=1\r\n"
                    "Var1_Title=Flag\r\nVar1_Type=000\r\nVar1_Status=1\r\nVar1_Value=1\r\n"
                    "Var2_Title=Beyond the count\r\n"));

    // The dialog follows its variable: the expert's new value shows in a line of its own, and OK
    // is judged against it. OK untouched asks first, and No keeps the expert's value; the value
    // first shown, typed back, is saved after Yes; the expert's own value is the same.
    const auto expertWrites = [&f](const std::string &value) {
        return [&f, value] {
            f.Write("p.kvo", ProjectText({{"Name", 1, 0, value}}));
            MainForm->Timer1Timer();
        };
    };
    expertWrites("alpha")();
    f.Messages.clear();
    QString note;
    const auto readNote = [&] {
        note = VarChangeForm->findChild<QLabel *>("Label6")->toolTip();
    };
    RunDialog(f, {expertWrites("beta"), readNote, PressOk()});
    QVERIFY2(note.startsWith("The expert changed it to beta at "), qPrintable(note));
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Flags, MB_YESNO | MB_DEFBUTTON2);
    QCOMPARE(f.Messages[0].Detail, std::string("Name: the expert's beta, yours alpha"));
    QCOMPARE(FileVar(f, 1).Value, std::string("beta"));
    QCOMPARE(FileVar(f, 1).Status, 0);
    f.Answers.push_back(IDYES);
    RunDialog(f, {expertWrites("gamma"), Type("beta"), PressOk()});
    QCOMPARE(FileVar(f, 1).Value, std::string("beta"));
    QCOMPARE(FileVar(f, 1).Status, 1);
    f.Messages.clear();
    RunDialog(f, {expertWrites("delta"), Type("delta"), PressOk()});
    QCOMPARE(f.Messages.back().Text, std::string("Value is the same"));
    QVERIFY(f.UnexpectedQuestions.size() == 1 && f.Answers.empty());
}

void TestEditing::save_landsOnTheSameVariableOrNowhere_data() {
    QTest::addColumn<QByteArray>("meanwhile"); // what the file holds when the user says Yes

    const std::vector<TProjectVar> shorter = {{"A", 1, 0, "a"}, {"B", 1, 0, "b"}};
    QTest::newRow("count fell below the slot") << QByteArray::fromStdString(ProjectText(shorter));
    QTest::newRow("file briefly empty") << QByteArray();
    QTest::newRow("count reads 0") << QByteArray::fromStdString(ProjectText({{"A", 1, 0, "a"}}, 0));
    QTest::newRow("variables reordered") << QByteArray::fromStdString(ProjectText(
        {{"A", 1, 0, "a"}, {"B", 1, 0, "b"}, {"Other", 0, 0, "1"}, {"Flag", 0, 0, "0"}}));
    QTest::newRow("type changed") << QByteArray::fromStdString(
        ProjectText({{"A", 1, 0, "a"}, {"B", 1, 0, "b"}, {"Flag", 2, 0, "0"}}));
}

void TestEditing::save_landsOnTheSameVariableOrNowhere() {
    QFETCH(QByteArray, meanwhile);

    {
        TKivoFixture f;
        OpenProject(f, {{"A", 1, 0, "a"}, {"B", 1, 0, "b"}, {"Flag", 0, 0, "0"}}, 3);
        f.OnMessage = [&](const TShownMessage &m) {
            if ((m.Flags & MB_TYPEMASK) != MB_YESNO)
                return;
            f.Write("p.kvo", meanwhile.toStdString());
            MainForm->Timer1Timer();
        };
        f.Answers.push_back(IDYES);
        f.Handle([] { MainForm->StringGrid1DblClick(); });

        QCOMPARE(f.Read("p.kvo"), meanwhile.toStdString());
        QCOMPARE(f.Messages.size(), size_t(2));
        QCOMPARE(f.Messages[1].Text,
                 std::string("Project file has changed. The new value is not saved."));
        QCOMPARE(f.Messages[1].Caption, std::string("Warning"));
        QCOMPARE(f.Messages[1].Flags, MB_OK);
        QVERIFY(!MainForm->Saving);
    }

    // The same through the change dialog: the value is not written anywhere, the dialog closes.
    TKivoFixture g;
    OpenProject(g, {{"A", 1, 0, "a"}, {"B", 1, 0, "b"}, {"Name", 1, 0, "old"}}, 3);
    RunDialog(g, {Type("new"), [&] { g.Write("p.kvo", meanwhile.toStdString()); }, PressOk()});
    QCOMPARE(g.Read("p.kvo"), meanwhile.toStdString());
    QCOMPARE(g.Messages.size(), size_t(1));
    QCOMPARE(g.Messages[0].Text,
             std::string("Project file has changed. The new value is not saved."));
    QVERIFY(!VarChangeForm->isVisible());
}

void TestEditing::save_failedWrite_keepsFileAndRecovers() {
#ifdef Q_OS_UNIX
    TKivoFixture f;
    OpenProject(f, {{"Name", 1, 0, "old"}, {"Flag", 0, 0, "0"}});
    const std::string before = f.Read("p.kvo");

    // A file-size limit below the project's size makes every write of it fail, as a full
    // disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 16;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);

    bool openAfterFailure = false;
    RunDialog(f, {Type("new"), PressOk(), [&] {
                      openAfterFailure = VarChangeForm->isVisible();
                  }});
    GridSetRow(Grid(), 2);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    setrlimit(RLIMIT_FSIZE, &old);

    QVERIFY(openAfterFailure); // the user can try again or cancel
    QCOMPARE(f.Exceptions.size(), size_t(2));
    QVERIFY(f.Exceptions[0].find(f.Path("p.kvo")) != std::string::npos);
    QCOMPARE(f.Read("p.kvo"), before);
    QVERIFY(!MainForm->Saving);

    // Later ticks refresh again.
    f.Write("p.kvo", ProjectText({{"Name", 1, 0, "by the expert"}, {"Flag", 0, 0, "0"}}));
    MainForm->Timer1Timer();
    QCOMPARE(GridCell(Grid(), 3, 1), std::string("by the expert"));

    // And the next save goes through.
    GridSetRow(Grid(), 2);
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    QCOMPARE(FileVar(f, 2).Value, std::string("1"));
#else
    QSKIP("needs a file-size limit");
#endif
}

// windows-1252, as an expert on a Western system writes it.
void TestEditing::text_travelsInTheExpertsCodePage() {
    const std::string title = "Gr\xF6\xDF\x65 caf\xE9";
    const std::string odd = "odd\x81\x8D"; // bytes windows-1252 leaves unassigned
    TKivoFixture f;
    OpenProject(f, {{title, 1, 0, "Pr\xE9\x66\xE9r\xE9 \x80\x35"}, {odd, 1, 0, "x"}});
    QCOMPARE(Grid()->item(0, 0)->text(), QString::fromUtf8("Größe café"));
    QCOMPARE(Grid()->item(0, 3)->text(), QString::fromUtf8("Préféré €5"));

    RunDialog(f, {[] {
                      QCOMPARE(VarChangeForm->findChild<QLabel *>("Label2")->text(),
                               QString::fromUtf8("Größe café"));
                      QCOMPARE(Edit1()->text(), QString::fromUtf8("Préféré €5"));
                  },
                  Type(QString::fromUtf8("日本")), PressOk(), Type(QString::fromUtf8("Müller ½ €")),
                  PressOk()});
    QCOMPARE(f.Messages.size(), size_t(1));
    QCOMPARE(f.Messages[0].Text, std::string("Variable value is incorrect"));
    QCOMPARE(FileVar(f, 1).Value, std::string("M\xFCller \xBD \x80"));
    QCOMPARE(FileVar(f, 1).Title, title);
    QVERIFY(f.Read("p.kvo").find("Var2_Title=" + odd + "\r\n") != std::string::npos);
}

// Under 1258 a letter and the combining byte after it stay two characters, so an edit elsewhere
// in the value keeps their bytes, as it keeps a byte the code page leaves unassigned.
void TestEditing::text_editedElsewhereKeepsItsBytes() {
    TKivoFixture f;
    f.Write("p.kvo", ProjectText({{"T", 1, 0, "a\xEC\x8D 1"}}));
    f.Write("kivo.ini", "[Kivo]\r\nProject=" + f.Path("p.kvo") + "\r\nCodePage=1258\r\n");
    f.Show();
    RunDialog(f, {[] { Edit1()->setText(Edit1()->text() + "2"); }, PressOk()});
    QCOMPARE(FileVar(f, 1).Value, std::string("a\xEC\x8D 12"));
}

// Against a live expert: a toggle and a typed value are journalled as saved, then as taken; an
// undo takes the newest back while the variable holds what Kivo wrote, and is refused, and
// journalled so, once the expert has changed it; a change the stopped expert never takes turns
// the line under the grid amber.
void TestEditing::journal_savedTakenUndoneAndWaiting() {
    TKivoFixture f;
    f.Write("p.kvo", ProjectText({{"Flag", 0, 0, "0"}, {"Name", 1, 0, "old"}}));
    f.Write("kivo.ini", "[Kivo]\r\nAckWarnSeconds=1\r\nProject=" + f.Path("p.kvo") + "\r\n");
    f.Show();
    GridSetRow(Grid(), 1);
    QProcess expert;
    expert.start(EXPERT_SIM, {"run", QString::fromStdString(f.Path("p.kvo")), "--interval-ms",
                              "100", "--seconds", "60"});
    QVERIFY(expert.waitForStarted(30000));
    f.Answers.push_back(IDYES);
    f.Handle([] { MainForm->StringGrid1DblClick(); });
    GridSetRow(Grid(), 2);
    RunDialog(f, {Type("new"), PressOk()});
    const QString project = QString::fromStdString(f.Path("p.kvo"));
    const auto outcomes = [&] {
        QStringList seen;
        for (const TJournalRecord &r : TJournal::Load(project))
            seen << r.Title + " " + r.NewValue + " " + r.Outcome;
        return seen;
    };
    // A change may be taken before the next one is saved: the records in any order.
    const auto sorted = [](QStringList list) {
        list.sort();
        return list;
    };
    QTRY_COMPARE_WITH_TIMEOUT(
        sorted(outcomes()),
        (QStringList{"Flag 1 saved", "Flag 1 taken", "Name new saved", "Name new taken"}), 10000);
    for (const TJournalRecord &r : TJournal::Load(project))
        QVERIFY(r.Outcome != "taken" || (r.TakenAfter >= 0 && r.TakenAfter < 10));
    expert.kill();
    QVERIFY(expert.waitForFinished(30000));

    // Undo: the newest change back, marked changed; then it waits, and the line turns amber.
    auto *line = MainForm->findChild<QLabel *>("Label1");
    f.Handle([] { MainForm->Undo1Click(); });
    QCOMPARE(FileVar(f, 2).Value, std::string("old"));
    QCOMPARE(FileVar(f, 2).Status, 1);
    QTRY_VERIFY_WITH_TIMEOUT(
        line->text().contains("Waiting") && line->styleSheet().contains("255, 176, 0"), 5000);
    // The expert changed the next one back meanwhile: nothing is undone.
    f.Write("p.kvo", ProjectText({{"Flag", 0, 0, "0"}, {"Name", 1, 1, "old"}}));
    MainForm->Timer1Timer();
    f.Messages.clear();
    f.Handle([] { MainForm->Undo1Click(); });
    QCOMPARE(f.Messages.at(0).Text,
             std::string("The expert has changed Flag since. Nothing is undone."));
    QCOMPARE(FileVar(f, 1).Value, std::string("0"));
    QCOMPARE(outcomes().mid(4), (QStringList{"Name old saved", "Flag 0 not saved"}));
    QVERIFY(f.Exceptions.empty());
}

// A folder in the journal's place: the save goes through, and the user hears of it once.
void TestEditing::journal_unwritable_neitherBlocksNorFailsASave() {
    TKivoFixture f;
    OpenProject(f, {{"Flag", 0, 0, "0"}});
    QVERIFY(QDir().mkpath(TJournal::FileFor(QString::fromStdString(f.Path("p.kvo")))));
    for (const std::string value : {"1", "0"}) {
        f.Answers.push_back(IDYES);
        f.Handle([] { MainForm->StringGrid1DblClick(); });
        QCOMPARE(FileVar(f, 1).Value, value);
    }
    QCOMPARE(f.Messages.size(), size_t(3)); // two questions, one notice
    QVERIFY(f.Messages[1].Text.starts_with("The journal of changes cannot be written"));
    QVERIFY(f.Exceptions.empty());
}

QTEST_MAIN(TestEditing)
#include "tst_editing.moc"
