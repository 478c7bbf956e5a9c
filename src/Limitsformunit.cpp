#include "Limitsformunit.h"

#include "Application.h"
#include "CodePage.h"
#include "Mainformunit.h"
#include "Presetsformunit.h"
#include "VarGrid.h"

#include <optional>

namespace {

// A bound or a step as its field shows it; empty for none.
QString FieldText(const std::optional<double> &value) {
    return value ? QString::fromStdString(FormatNumber(*value)) : QString();
}

// The number in a field: none when it is empty, false when it is no plain decimal number.
bool ReadField(const QLineEdit *edit, std::optional<double> &value) {
    const QString text = edit->text().trimmed();
    value.reset();
    if (text.isEmpty())
        return true;
    value = ReadDecimal(text.toStdString());
    return value.has_value();
}

} // namespace

TLimitsForm::TLimitsForm(QWidget *Owner) : QDialog(Owner) {
    setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    connect(Button1, &QPushButton::clicked, this, Guarded([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, Guarded([this] { Button2Click(); }));
    connect(Button3, &QPushButton::clicked, this, &QDialog::reject);
    for (QRadioButton *radio : {RadioButton1, RadioButton2, RadioButton3})
        connect(radio, &QRadioButton::toggled, this, [this] { StepChosen(); });
}

TLimitsForm::~TLimitsForm() = default;

void TLimitsForm::Edit(QWidget *owner, const std::string &title, std::int32_t type) {
    if (type != vtInteger && type != vtDouble)
        return;
    TLimitsForm form(owner);
    form.ShowVariable(title, type);
    form.exec();
}

void TLimitsForm::ShowVariable(const std::string &title, std::int32_t type) {
    FTitle = title;
    FType = type;
    const QString shown = ProjectToQString(title);
    Label2->setText(fontMetrics().elidedText(shown, Qt::ElideRight, 260));
    Label2->setToolTip(shown);
    Label4->setText(QString::fromLatin1(TypeWord(type)));
    const TLimit *limit = MainForm->Session().Presets().LimitFor(title, type);
    Edit1->setText(limit ? FieldText(limit->Lowest) : QString());
    Edit2->setText(limit ? FieldText(limit->Highest) : QString());
    const TLimit::StepKind kind = limit ? limit->Kind : TLimit::None;
    RadioButton1->setChecked(kind == TLimit::None);
    RadioButton2->setChecked(kind == TLimit::Factor);
    RadioButton3->setChecked(kind == TLimit::Difference);
    Edit3->setText(kind == TLimit::Factor ? FieldText(limit->Step) : QString());
    Edit4->setText(kind == TLimit::Difference ? FieldText(limit->Step) : QString());
    Button2->setEnabled(limit != nullptr);
    StepChosen();
    Edit1->setFocus();
}

void TLimitsForm::StepChosen() {
    Edit3->setEnabled(RadioButton2->isChecked());
    Edit4->setEnabled(RadioButton3->isChecked());
}

bool TLimitsForm::ReadFields(TLimit &limit, std::string &why) const {
    limit = {FTitle, FType, {}, {}, TLimit::None, 0};
    if (!ReadField(Edit1, limit.Lowest)) {
        why = "the lowest value is not a number";
        return false;
    }
    if (!ReadField(Edit2, limit.Highest)) {
        why = "the highest value is not a number";
        return false;
    }
    if (!RadioButton1->isChecked()) {
        const bool factor = RadioButton2->isChecked();
        std::optional<double> step;
        if (!ReadField(factor ? Edit3 : Edit4, step) || !step) {
            why = factor ? "the factor is not a number" : "the difference is not a number";
            return false;
        }
        limit.Kind = factor ? TLimit::Factor : TLimit::Difference;
        limit.Step = *step;
    }
    why = LimitError(limit);
    return why.empty();
}

void TLimitsForm::Button1Click() {
    TLimit limit;
    std::string why;
    if (!ReadFields(limit, why)) {
        // The dialog stays open with the entries, to be corrected.
        Application->MessageBox("The limit cannot be kept: " + why + ".", "Warning", MB_OK);
        return;
    }
    if (ChangePresets([&](TProjectPresets &presets) {
            QString error;
            return presets.SetLimit(limit, error)
                       ? QString()
                       : QStringLiteral("The limit cannot be kept: ") + error + u'.';
        }))
        accept();
}

void TLimitsForm::Button2Click() {
    if (ChangePresets([this](TProjectPresets &presets) {
            presets.RemoveLimit(FTitle, FType);
            return QString();
        }))
        accept();
}
