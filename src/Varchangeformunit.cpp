#include "Varchangeformunit.h"

#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Mainformunit.h"

#include <QShowEvent>

#include <limits>

TVarChangeForm *VarChangeForm = nullptr;

namespace {

const char *TypeName(std::int32_t type) {
    switch (type) {
    case vtString:
        return "String";
    case vtInteger:
        return "Integer";
    case vtDouble:
        return "Double";
    case vtDate:
        return "Date";
    default:
        return nullptr;
    }
}

// Throws when the text is not a value of the type; other types take any text.
void CheckValue(std::int32_t type, const std::string &text) {
    // A line break or NUL would let a value write lines of its own into the project file.
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw EConvertError("line break in value");
    switch (type) {
    case vtInteger:
        StrToInt(text);
        break;
    case vtDouble:
        StrToFloat(text);
        break;
    case vtDate:
        StrToDate(text);
        break;
    default:
        break;
    }
}

} // namespace

TVarChangeForm::TVarChangeForm(QWidget *Owner) : QDialog(Owner) {
    setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(428, 150);
    // A value longer than the edit box's default limit would be cut off, and saved cut off.
    Edit1->setMaxLength(std::numeric_limits<int>::max());
    connect(Button1, &QPushButton::clicked, this, Guarded([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, Guarded([this] { Button2Click(); }));
}

TVarChangeForm::~TVarChangeForm() = default;

void TVarChangeForm::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    try {
        FormShow();
    } catch (...) {
        Application->HandleException();
    }
}

void TVarChangeForm::FormShow() {
    if (VarIndex < 0 || VarIndex >= MaxVars)
        return;
    const TVarEntry &slot = MainForm->Vars[VarIndex];
    FShownTitle = slot.Title;
    FShownType = slot.Type;
    FShownValue = slot.Value;
    Label2->setText(ProjectToQString(slot.Title));
    Label2->adjustSize();
    // A code without a name shows none, never the name of the variable shown before.
    const char *name = TypeName(slot.Type);
    Label4->setText(name ? QString::fromLatin1(name) : QString());
    Label4->adjustSize();
    Edit1->setText(ProjectToQString(slot.Value));
    Edit1->setFocus();
    Edit1->selectAll();
}

void TVarChangeForm::Button1Click() {
    if (VarIndex < 0 || VarIndex >= MaxVars)
        return;
    TVarEntry &slot = MainForm->Vars[VarIndex];

    // Text the user left as shown keeps the stored bytes, whatever they hold. Typed text the
    // code page cannot carry is refused: a '?' in its place would store what nobody typed.
    std::string text = FShownValue;
    bool valid =
        Edit1->text() == ProjectToQString(FShownValue) || ProjectFromQString(Edit1->text(), text);
    try {
        CheckValue(slot.Type, text);
    } catch (...) {
        valid = false;
    }
    if (!valid) {
        Application->MessageBox("Variable value is incorrect", "Warning", MB_OK);
        return;
    }
    // Judged against what the dialog showed: OK without typing puts nothing back, also when the
    // expert wrote another value meanwhile. A typed value is the user's choice and is saved.
    if (text == FShownValue) {
        Application->MessageBox("Value is the same", "Warning", MB_OK);
        return;
    }

    TVarChange change;
    change.Index = VarIndex;
    change.Title = FShownTitle;
    change.Type = FShownType;
    change.SetsValue = true;
    change.Value = text;
    MainForm->SaveChange(change);
    close();
}

void TVarChangeForm::Button2Click() {
    close();
}
