#include "Pendingformunit.h"

#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Mainformunit.h"
#include "VarGrid.h"

#include <QHeaderView>

TPendingForm *PendingForm = nullptr;

QString PendingText(const TPendingSet::TItem &item) {
    const QString arrow = QStringLiteral(" \u2192 ");
    const TRowTexts before = RowTexts(item.Shown);
    const TRowTexts after = RowTexts(item.After);
    QStringList parts;
    if (item.Change.SetsValue)
        parts << ProjectToQString(before.Value) + arrow + ProjectToQString(after.Value);
    if (item.After.Status != item.Shown.Status) {
        // 0 and 2 read alike; between the two only the codes tell the change.
        QString from = QString::fromStdString(before.Status);
        QString to = QString::fromStdString(after.Status);
        if (from == to || from.isEmpty() || to.isEmpty()) {
            from = QString::number(item.Shown.Status);
            to = QString::number(item.After.Status);
        }
        parts << QStringLiteral("status ") + from + arrow + to;
    }
    return parts.join(QStringLiteral(", "));
}

TPendingForm::TPendingForm(QWidget *Owner) : QDialog(Owner) {
    setupUi(this);
    // An open list must not keep Kivo running once the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    StringGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    StringGrid1->setColumnWidth(0, StringGrid1->fontMetrics().averageCharWidth() * 28);
    StringGrid1->verticalHeader()->setDefaultSectionSize(StringGrid1->fontMetrics().height() + 6);
    connect(Button1, &QPushButton::clicked, this, Guarded([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, Guarded([this] { Button2Click(); }));
    connect(Button3, &QPushButton::clicked, this, Guarded([this] { Button3Click(); }));
    Fill();
    connect(Button4, &QPushButton::clicked, this, &QWidget::close);
}

TPendingForm::~TPendingForm() = default;

void TPendingForm::Gather(const std::vector<TVarChange> &changes) {
    for (const TVarChange &change : changes)
        if (change.Index >= 0 && change.Index < MainForm->VarCount)
            FSet.Add(change, MainForm->Vars[std::size_t(change.Index)]);
    ShowList();
}

void TPendingForm::Remove(std::size_t index) {
    FSet.Remove(index);
    Fill();
}

void TPendingForm::Discard() {
    FSet.Clear();
    Fill();
}

void TPendingForm::ShowList() {
    Fill();
    if (!FPlaced) {
        FPlaced = true;
        PlaceBesideMainForm(this);
    }
    show();
    raise();
}

void TPendingForm::Button2Click() {
    if (const int row = StringGrid1->currentRow(); row >= 0)
        Remove(std::size_t(row));
}

bool TPendingForm::Apply() {
    if (!MainForm->ProjectOpen || FSet.Empty())
        return false;
    MainForm->RefreshVars();
    const TVarTable &vars = MainForm->Vars;
    const std::int32_t count = MainForm->VarCount;
    std::string changed;
    for (const std::size_t i : FSet.ChangedSince(vars, count))
        changed += (changed.empty() ? "" : ", ") +
                   FromQString(ProjectToQString(FSet.Items()[i].Change.Title));
    std::string broken;
    for (const TPendingSet::TItem &item : FSet.Items())
        if (item.Change.Index < count)
            for (const TBrokenLimit &limit :
                 MainForm->Session().Broken(item.Change, vars[std::size_t(item.Change.Index)]))
                broken +=
                    FromQString(ProjectToQString(item.Change.Title)) + ": " + limit.Text + "\n";
    const auto ask = [](const std::string &text, const std::string &detail) {
        return Application->MessageBox(text, "Warning", MB_YESNO | MB_DEFBUTTON2, {}, detail) ==
               IDYES;
    };
    if (!changed.empty() &&
        !ask("The expert has changed variables of the set since they were gathered. Do you want "
             "to apply the set all the same?",
             changed))
        return false;
    if (!broken.empty() && !ask("Changes of the set are outside limits you set. Do you want to "
                                "apply the set all the same?",
                                broken))
        return false;
    if (!MainForm->SaveChanges(FSet.Changes(vars, count)))
        return false;
    Discard();
    return true;
}

void TPendingForm::Fill() {
    const auto &items = FSet.Items();
    StringGrid1->setRowCount(int(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TPendingSet::TItem &item = items[i];
        const QString texts[] = {QStringLiteral("#%1 %2")
                                     .arg(item.Change.Index + 1)
                                     .arg(ProjectToQString(item.Change.Title)),
                                 PendingText(item)};
        for (int col = 0; col < 2; ++col) {
            auto *cell = new QTableWidgetItem(texts[col]);
            cell->setToolTip(texts[col]);
            StringGrid1->setItem(int(i), col, cell);
        }
    }
    Button1->setEnabled(!items.empty());
    Button2->setEnabled(!items.empty());
    Button3->setEnabled(!items.empty());
    setWindowTitle(items.empty() ? QStringLiteral("Pending changes")
                                 : QStringLiteral("Pending changes (%1)").arg(items.size()));
}
