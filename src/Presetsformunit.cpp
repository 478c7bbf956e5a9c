#include "Presetsformunit.h"

#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Limitsformunit.h"
#include "Mainformunit.h"
#include "OpenDialog.h"
#include "Pendingformunit.h"
#include "ValueCheck.h"
#include "VarGrid.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include <map>
#include <utility>

TPresetsForm *PresetsForm = nullptr;

namespace {

QString TypeText(std::int32_t type) {
    const char *word = TypeWord(type);
    return word ? QString::fromLatin1(word) : QString::number(type);
}

// "Lot size (double)": how a message names the variable a value or a limit is for.
QString Named(const std::string &title, std::int32_t type) {
    return ProjectToQString(title) + QStringLiteral(" (") + TypeText(type) + u')';
}

QString Quoted(const QString &text) {
    return u'"' + text + u'"';
}

QString NumberText(const std::optional<double> &value) {
    return value ? QString::fromStdString(FormatNumber(*value)) : QString();
}

QString StepText(const TLimit &limit) {
    switch (limit.Kind) {
    case TLimit::Factor:
        return u'x' + QString::fromStdString(FormatNumber(limit.Step));
    case TLimit::Difference:
        return QStringLiteral("\u00B1") + QString::fromStdString(FormatNumber(limit.Step));
    case TLimit::None:
        break;
    }
    return {};
}

// Why the value cannot go to a variable of its type as it is (empty when it can): checked as one
// typed in the change dialog, a boolean being 0 or 1 as the grid toggles it.
QString ValueRefusal(const TPresetValue &value) {
    if (value.Type == vtBoolean)
        return value.Value == "0" || value.Value == "1" ? QString()
                                                        : QStringLiteral("true or false");
    const char *expected = RefusalFor(value.Type, value.Value, SystemShortDateFormat());
    if (!expected)
        return {};
    QString text = QString::fromLatin1(expected);
    text[0] = text[0].toLower();
    return text;
}

// A limit's variable as its rows hold it: the type, and the title as shown.
QVariant KeyOf(const TLimit &limit) {
    return QStringList{QString::number(limit.Type), ProjectToQString(limit.Title)};
}

void Warn(const QString &text, const QString &detail = {}) {
    Application->MessageBox(FromQString(text), "Warning", MB_OK, {}, FromQString(detail));
}

bool Ask(const QString &text, const QString &detail = {}) {
    return Application->MessageBox(FromQString(text), "Warning", MB_YESNO | MB_DEFBUTTON2, {},
                                   FromQString(detail)) == IDYES;
}

// The variables whose current values a new preset keeps, and its name. The table is taken as
// the dialog opened, so that what is kept is what the list showed.
class TSaveValuesForm : public QDialog {
public:
    TSaveValuesForm(QWidget *owner, const TVarTable &vars, std::int32_t count)
        : QDialog(owner), FVars(vars), FCount(count) {
        setWindowTitle(QStringLiteral("Save values"));
        setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowCloseButtonHint);
        auto *layout = new QVBoxLayout(this);
        auto *nameRow = new QHBoxLayout;
        auto *nameLabel = new QLabel(QStringLiteral("&Name:"), this);
        FName = new QLineEdit(this);
        FName->setObjectName(QStringLiteral("Edit1"));
        FName->setMaxLength(TProjectPresets::MaxNameUnits);
        nameLabel->setBuddy(FName);
        nameRow->addWidget(nameLabel);
        nameRow->addWidget(FName);
        layout->addLayout(nameRow);
        layout->addWidget(
            new QLabel(QStringLiteral("The checked variables' values are kept:"), this));
        FList = new QListWidget(this);
        FList->setObjectName(QStringLiteral("ListBox1"));
        layout->addWidget(FList);
        auto *buttons = new QHBoxLayout;
        buttons->addStretch();
        auto *ok = new QPushButton(QStringLiteral("OK"), this);
        ok->setObjectName(QStringLiteral("Button1"));
        ok->setDefault(true);
        auto *cancel = new QPushButton(QStringLiteral("Cancel"), this);
        cancel->setObjectName(QStringLiteral("Button2"));
        cancel->setAutoDefault(false);
        buttons->addWidget(ok);
        buttons->addWidget(cancel);
        layout->addLayout(buttons);
        connect(ok, &QPushButton::clicked, this, Guarded([this] { Keep(); }));
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        Fill();
        resize(420, 360);
    }

private:
    // Actions have no value; a variable whose title and type another shares could not be found
    // again, so it cannot be chosen.
    void Fill() {
        std::map<std::pair<std::string, std::int32_t>, int> seen;
        for (std::int32_t i = 0; i < FCount; ++i)
            ++seen[{FVars[std::size_t(i)].Title, FVars[std::size_t(i)].Type}];
        for (std::int32_t i = 0; i < FCount; ++i) {
            const TVarEntry &var = FVars[std::size_t(i)];
            if (var.Type == vtAction)
                continue;
            const TRowTexts texts = RowTexts(var);
            auto *item = new QListWidgetItem(Named(var.Title, var.Type) + QStringLiteral(" = ") +
                                                 ProjectToQString(texts.Value),
                                             FList);
            item->setData(Qt::UserRole, i);
            const bool shared = seen[{var.Title, var.Type}] > 1;
            item->setFlags(shared ? Qt::ItemIsUserCheckable
                                  : Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
            item->setCheckState(shared ? Qt::Unchecked : Qt::Checked);
            if (shared)
                item->setToolTip(QStringLiteral("Another variable has this title and type, so a "
                                                "preset could not find it again."));
        }
    }

    void Keep() {
        const QString name = FName->text().trimmed();
        std::vector<int> chosen;
        for (int row = 0; row < FList->count(); ++row)
            if (FList->item(row)->checkState() == Qt::Checked)
                chosen.push_back(FList->item(row)->data(Qt::UserRole).toInt());
        if (name.isEmpty() || chosen.empty()) {
            Warn(name.isEmpty() ? QStringLiteral("Give the preset a name.")
                                : QStringLiteral("Check the variables whose values to keep."));
            return;
        }
        std::vector<int> skipped;
        const TPreset preset = FromTable(name, FVars, FCount, chosen, &skipped);
        if (MainForm->Session().Presets().PresetNamed(name) &&
            !Ask(QStringLiteral("A preset named %1 exists. Do you want to replace it?")
                     .arg(Quoted(name))))
            return;
        if (!ChangePresets([&](TProjectPresets &presets) {
                QString error;
                return presets.SetPreset(preset, error)
                           ? QString()
                           : QStringLiteral("The preset cannot be kept: ") + error + u'.';
            }))
            return;
        accept();
        if (PresetsForm)
            PresetsForm->SelectPreset(name);
        // Only text a preset cannot hold is left out here; the list offered nothing else.
        QStringList left;
        for (const int i : skipped)
            left << Named(FVars[std::size_t(i)].Title, FVars[std::size_t(i)].Type);
        if (!left.isEmpty())
            Warn(QStringLiteral("Values that a preset cannot hold were left out of %1.")
                     .arg(Quoted(name)),
                 left.join(u'\n'));
    }

    const TVarTable FVars;
    const std::int32_t FCount;
    QLineEdit *FName;
    QListWidget *FList;
};

} // namespace

bool ChangePresets(const std::function<QString(TProjectPresets &)> &change) {
    TProjectSession &session = MainForm->Session();
    if (session.Project().empty())
        return false;
    const TProjectPresets before = session.Presets();
    bool saved = false;
    if (const QString refusal = change(session.Presets()); !refusal.isEmpty()) {
        session.Presets() = before;
        Warn(refusal);
    } else {
        try {
            session.SavePresets();
            saved = true;
        } catch (const Exception &e) {
            // What the window shows stays what the file holds.
            session.Presets() = before;
            Warn(QStringLiteral("The presets and limits cannot be saved; they stay as they were."),
                 ToQString(e.Message()));
        }
    }
    if (PresetsForm)
        PresetsForm->Fill();
    return saved;
}

TPresetsForm::TPresetsForm(QWidget *Owner) : QDialog(Owner) {
    setupUi(this);
    // An open window must not keep Kivo running once the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    for (QTableWidget *grid : {StringGrid1, StringGrid2}) {
        grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
        connect(grid, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    }
    const int unit = StringGrid1->fontMetrics().averageCharWidth();
    StringGrid1->setColumnWidth(0, unit * 40);
    StringGrid2->setColumnWidth(0, unit * 28);
    for (int col = 1; col < 4; ++col)
        StringGrid2->setColumnWidth(col, unit * 10);
    connect(StringGrid1, &QTableWidget::cellDoubleClicked, this,
            Guarded([this] { Button2Click(); }));
    connect(StringGrid2, &QTableWidget::cellDoubleClicked, this,
            Guarded([this] { Button7Click(); }));
    const std::pair<QPushButton *, void (TPresetsForm::*)()> handlers[] = {
        {Button1, &TPresetsForm::Button1Click}, {Button2, &TPresetsForm::Button2Click},
        {Button3, &TPresetsForm::Button3Click}, {Button4, &TPresetsForm::Button4Click},
        {Button5, &TPresetsForm::Button5Click}, {Button6, &TPresetsForm::Button6Click},
        {Button7, &TPresetsForm::Button7Click}, {Button8, &TPresetsForm::Button8Click},
    };
    for (const auto &[button, handler] : handlers)
        connect(button, &QPushButton::clicked, this,
                Guarded([this, handler = handler] { (this->*handler)(); }));
    connect(Button9, &QPushButton::clicked, this, &QWidget::close);
}

TPresetsForm::~TPresetsForm() = default;

TPresetsForm *TPresetsForm::Open(QWidget *owner) {
    if (!MainForm->ProjectOpen)
        return nullptr;
    if (!PresetsForm) {
        PresetsForm = new TPresetsForm(owner);
        connect(PresetsForm, &QObject::destroyed, [] { PresetsForm = nullptr; });
        PlaceBesideMainForm(PresetsForm);
    }
    PresetsForm->Fill();
    PresetsForm->show();
    PresetsForm->raise();
    PresetsForm->activateWindow();
    return PresetsForm;
}

// Another project may have been opened while the window was in the background.
bool TPresetsForm::event(QEvent *event) {
    if (event->type() == QEvent::WindowActivate && MainForm &&
        MainForm->Session().Project() != FProject)
        Fill();
    return QDialog::event(event);
}

bool TPresetsForm::Current() {
    if (MainForm->ProjectOpen && MainForm->Session().Project() == FProject)
        return true;
    Fill();
    return false;
}

void TPresetsForm::Fill() {
    const TProjectSession &session = MainForm->Session();
    const bool open = MainForm->ProjectOpen && !session.Project().empty();
    FProject = open ? session.Project() : std::string();
    const TProjectPresets none;
    const TProjectPresets &presets = open ? MainForm->Session().Presets() : none;
    setWindowTitle(open ? QStringLiteral("Presets and limits - ") +
                              QFileInfo(ToQString(FProject)).fileName()
                        : QStringLiteral("Presets and limits"));

    // Kept by what the rows showed: the lists may have changed under them.
    const QList<QTableWidgetItem *> shownPreset = StringGrid1->selectedItems();
    const QString selectedName = shownPreset.isEmpty()
                                     ? QString()
                                     : StringGrid1->item(shownPreset.front()->row(), 0)->text();
    const QList<QTableWidgetItem *> shownLimit = StringGrid2->selectedItems();
    const QVariant limitKey =
        shownLimit.isEmpty() ? QVariant() : shownLimit.front()->data(Qt::UserRole);
    const auto cell = [](QTableWidget *grid, int row, int col, const QString &text) {
        auto *item = new QTableWidgetItem(text);
        item->setToolTip(text);
        grid->setItem(row, col, item);
    };

    StringGrid1->clearSelection();
    StringGrid1->setRowCount(int(presets.Presets.size()));
    for (std::size_t i = 0; i < presets.Presets.size(); ++i) {
        const TPreset &preset = presets.Presets[i];
        cell(StringGrid1, int(i), 0, preset.Name);
        cell(StringGrid1, int(i), 1, QString::number(preset.Values.size()));
    }
    StringGrid2->clearSelection();
    StringGrid2->setRowCount(int(presets.Limits.size()));
    for (std::size_t i = 0; i < presets.Limits.size(); ++i) {
        const TLimit &limit = presets.Limits[i];
        const QString texts[] = {ProjectToQString(limit.Title), TypeText(limit.Type),
                                 NumberText(limit.Lowest), NumberText(limit.Highest),
                                 StepText(limit)};
        for (int col = 0; col < 5; ++col) {
            cell(StringGrid2, int(i), col, texts[col]);
            StringGrid2->item(int(i), col)->setData(Qt::UserRole, KeyOf(limit));
        }
        if (limitKey.isValid() && KeyOf(limit) == limitKey)
            StringGrid2->selectRow(int(i));
    }
    SelectPreset(selectedName);

    const QString error = open ? session.PresetsError() : QString();
    Label3->setText(error.isEmpty() ? QString()
                                    : error + QStringLiteral(" The next save keeps that file "
                                                             "aside as .bad."));
    Label3->setVisible(!error.isEmpty());
    Button1->setEnabled(open);
    Button5->setEnabled(open);
    Button6->setEnabled(open);
    UpdateButtons();
}

void TPresetsForm::SelectPreset(const QString &name) {
    const TProjectPresets &presets = MainForm->Session().Presets();
    for (std::size_t i = 0; i < presets.Presets.size() && !FProject.empty(); ++i)
        if (presets.Presets[i].Name == name)
            StringGrid1->selectRow(int(i));
}

void TPresetsForm::UpdateButtons() {
    const bool open = !FProject.empty();
    Button2->setEnabled(SelectedPreset());
    Button3->setEnabled(open);
    Button4->setEnabled(SelectedPreset());
    Button7->setEnabled(SelectedLimit());
    Button8->setEnabled(SelectedLimit());
}

const TPreset *TPresetsForm::SelectedPreset() const {
    const QList<QTableWidgetItem *> items = StringGrid1->selectedItems();
    if (FProject.empty() || items.isEmpty())
        return nullptr;
    return MainForm->Session().Presets().PresetNamed(
        StringGrid1->item(items.front()->row(), 0)->text());
}

const TLimit *TPresetsForm::SelectedLimit() const {
    const QList<QTableWidgetItem *> items = StringGrid2->selectedItems();
    if (FProject.empty() || items.isEmpty())
        return nullptr;
    const QStringList key = items.front()->data(Qt::UserRole).toStringList();
    std::string title;
    if (key.size() != 2 || !ProjectFromQString(key[1], title))
        return nullptr;
    return MainForm->Session().Presets().LimitFor(title, key[0].toInt());
}

void TPresetsForm::Button1Click() {
    if (!Current())
        return;
    MainForm->RefreshVars();
    TSaveValuesForm form(this, MainForm->Vars, MainForm->VarCount);
    form.exec();
}

void TPresetsForm::Button2Click() {
    if (!Current())
        return;
    if (const TPreset *preset = SelectedPreset())
        ApplyPreset(TPreset(*preset));
}

void TPresetsForm::Button3Click() {
    if (!Current())
        return;
    if (MainForm->Session().AtOpen().Values.empty())
        Warn(QStringLiteral("There are no values at open to go back to."));
    else
        ApplyPreset(TPreset(MainForm->Session().AtOpen()));
}

void TPresetsForm::ApplyPreset(const TPreset &preset) {
    // Matched against the file as it is now, not as it was when the grid last showed it.
    MainForm->RefreshVars();
    if (const std::string why = MainForm->Session().WhyNoChange(); !why.empty()) {
        Application->MessageBox(why, "Warning", MB_OK);
        return;
    }
    const TVarTable &vars = MainForm->Vars;
    const TPresetMatch match = Match(preset, vars, MainForm->VarCount);
    std::vector<TVarChange> changes;
    QStringList skipped;
    for (std::size_t i = 0; i < preset.Values.size() && i < match.Values.size(); ++i) {
        const TPresetValue &value = preset.Values[i];
        const TValueMatch &m = match.Values[i];
        const QString name = Named(value.Title, value.Type) + QStringLiteral(": ");
        switch (m.Outcome) {
        case TValueMatch::Found:
            if (m.Same)
                break;
            if (const QString refusal = ValueRefusal(value); !refusal.isEmpty()) {
                skipped << name + QStringLiteral("the value %1 is not %2")
                                      .arg(ProjectToQString(value.Value), refusal);
                break;
            }
            changes.push_back({});
            changes.back().Index = m.Index;
            changes.back().Title = vars[std::size_t(m.Index)].Title;
            changes.back().Type = vars[std::size_t(m.Index)].Type;
            changes.back().SetsValue = true;
            changes.back().Value = value.Value;
            break;
        case TValueMatch::Missing:
            skipped << name + QStringLiteral("missing, no variable has its title");
            break;
        case TValueMatch::Retyped:
            skipped << name + QStringLiteral("retyped, it is %1 now").arg(TypeText(m.TypeNow));
            break;
        case TValueMatch::Ambiguous:
            skipped << name + QStringLiteral("ambiguous, more than one variable has its title "
                                             "and type");
            break;
        }
    }
    if (!changes.empty())
        PendingForm->Gather(changes);
    const QString quoted = Quoted(preset.Name);
    if (!skipped.isEmpty())
        Warn(changes.empty()
                 ? QStringLiteral("No value of %1 was gathered; the values below were skipped.")
                       .arg(quoted)
                 : QStringLiteral("The values of %1 below were skipped; the others wait in the "
                                  "pending changes.")
                       .arg(quoted),
             skipped.join(u'\n'));
    else if (changes.empty())
        Warn(QStringLiteral("The variables hold the values of %1 already.").arg(quoted));
}

void TPresetsForm::Button4Click() {
    if (!Current())
        return;
    const TPreset *preset = SelectedPreset();
    if (!preset ||
        !Ask(QStringLiteral("Do you want to delete the preset %1?").arg(Quoted(preset->Name))))
        return;
    const QString name = preset->Name;
    ChangePresets([&](TProjectPresets &presets) {
        presets.RemovePreset(name);
        return QString();
    });
}

void TPresetsForm::Button5Click() {
    if (!Current())
        return;
    TOpenDialog dialog(this);
    dialog.SaveFile = true;
    dialog.Filter = "Kivo presets (*.json)|*.json";
    dialog.DefaultExt = "json";
    dialog.InitialDir = FromQString(QDir::toNativeSeparators(QDir::homePath()));
    dialog.FileName = FromQString(QDir::toNativeSeparators(QDir::home().filePath(
        QFileInfo(ToQString(FProject)).completeBaseName() + QStringLiteral("-presets.json"))));
    if (!dialog.Execute())
        return;
    const TProjectPresets &presets = MainForm->Session().Presets();
    QStringList names;
    for (const TPreset &preset : presets.Presets)
        names << preset.Name;
    const QByteArray bytes = presets.Export(names, true);
    QSaveFile out(ToQString(dialog.FileName));
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        Warn(QStringLiteral("The presets cannot be exported."),
             QStringLiteral("Cannot write %1: %2.")
                 .arg(QDir::toNativeSeparators(ToQString(dialog.FileName)), out.errorString()));
}

void TPresetsForm::Button6Click() {
    if (!Current())
        return;
    TOpenDialog dialog(this);
    dialog.Filter = "Kivo presets (*.json)|*.json";
    dialog.DefaultExt = "json";
    dialog.InitialDir = FromQString(QDir::toNativeSeparators(QDir::homePath()));
    if (!dialog.Execute())
        return;
    const QString file = ToQString(dialog.FileName);
    const QString refused =
        QStringLiteral("The file %1 cannot be imported: ").arg(QDir::toNativeSeparators(file));
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        Warn(refused + in.errorString() + u'.');
        return;
    }
    if (in.size() > TProjectPresets::MaxFileBytes) {
        Warn(refused + QStringLiteral("larger than %1 bytes.").arg(TProjectPresets::MaxFileBytes));
        return;
    }
    const QByteArray bytes = in.readAll();
    ChangePresets([&](TProjectPresets &presets) {
        QString error;
        return TProjectPresets::Import(bytes, presets, error) ? QString() : refused + error + u'.';
    });
}

void TPresetsForm::Button7Click() {
    if (!Current())
        return;
    if (const TLimit *limit = SelectedLimit()) {
        const TLimit shown = *limit;
        TLimitsForm::Edit(this, shown.Title, shown.Type);
    }
}

void TPresetsForm::Button8Click() {
    if (!Current())
        return;
    const TLimit *limit = SelectedLimit();
    if (!limit)
        return;
    const TLimit removed = *limit;
    ChangePresets([&](TProjectPresets &presets) {
        presets.RemoveLimit(removed.Title, removed.Type);
        return QString();
    });
}
