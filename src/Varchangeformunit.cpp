#include "Varchangeformunit.h"

#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Limitsformunit.h"
#include "Mainformunit.h"
#include "ValueCheck.h"

#include <QFontMetrics>
#include <QShowEvent>
#include <QTextLayout>
#include <QTime>

#include <algorithm>
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

// The system's short date format as StrToDate reads it, for example "MM/dd/yyyy".
QString DateFormatHint(const TShortDateFormat &format) {
    return QString::fromStdString(
        DateInOrder(format, "dd", "MM", format.YearDigits == 2 ? "yy" : "yyyy"));
}

// The text as it fits into width on two lines at most: broken after a word where the first line
// can end with one, anywhere in a word too long for it; what the second line cannot hold ends
// it with an ellipsis.
QString TwoLines(const QString &text, const QFont &font, int width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(width);
    const int end = line.textStart() + line.textLength();
    layout.endLayout();
    if (end >= text.size())
        return text;
    QString first = text.left(end);
    while (first.endsWith(QLatin1Char(' ')))
        first.chop(1);
    return first + QLatin1Char('\n') +
           QFontMetrics(font).elidedText(text.mid(end), Qt::ElideRight, width);
}

// The second paragraph of a refusal: what was expected, with an example where the type has one.
std::string RefusalDetail(const char *refusal, std::int32_t type) {
    const std::string example = ExampleFor(type, SystemShortDateFormat());
    return refusal + (example.empty() ? std::string() : " such as " + example) + ".";
}

} // namespace

TVarChangeForm::TVarChangeForm(QWidget *Owner) : QDialog(Owner) {
    setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(428, 150);
    // A value longer than the edit box's default limit would be cut off, and saved cut off.
    Edit1->setMaxLength(std::numeric_limits<int>::max());
    // The captions as wide as their text needs in the font and scale of this system.
    Label1->adjustSize();
    Label3->adjustSize();
    connect(Button1, &QPushButton::clicked, this, Guarded([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, Guarded([this] { Button2Click(); }));
    connect(Button3, &QPushButton::clicked, this, Guarded([this] { Button3Click(); }));
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
    // Centred again for the height FormShow gave it; it is not on the screen yet.
    if (!testAttribute(Qt::WA_Moved))
        adjustPosition(parentWidget());
}

void TVarChangeForm::FormShow() {
    if (VarIndex < 0 || VarIndex >= MaxVars)
        return;
    const TVarEntry &slot = MainForm->Vars[VarIndex];
    FShownTitle = slot.Title;
    FShownType = slot.Type;
    FShownValue = slot.Value;
    FLatestValue = slot.Value;
    FGone = false;
    const QString title = ProjectToQString(slot.Title);
    const int textLeft =
        std::max({53, Label1->geometry().right() + 6, Label3->geometry().right() + 6});
    Label2->move(textLeft, Label2->y());
    Label2->setText(TwoLines(title, Label2->font(), width() - 16 - textLeft));
    Label2->setToolTip(PlainToolTip(title));
    Label2->adjustSize();
    // A code without a name shows none, never the name of the variable shown before.
    const char *name = TypeName(slot.Type);
    Label4->setText(name ? QString::fromLatin1(name) : QString());
    Label4->adjustSize();
    Button3->setVisible(slot.Type == vtInteger || slot.Type == vtDouble);
    const QString dateFormat = slot.Type == vtDate ? DateFormatHint(SystemShortDateFormat()) : "";
    Label5->setText("Format: " + dateFormat);
    Label5->adjustSize();
    Label5->setVisible(!dateFormat.isEmpty());
    Edit1->setPlaceholderText(dateFormat);
    FNameExtra = std::max(0, Label2->height() - Label1->height());
    FHintExtra = dateFormat.isEmpty() ? 0 : Label5->height() + 2;
    ShowNote({});
    Edit1->setText(ProjectToQString(slot.Value));
    Edit1->setFocus();
    Edit1->selectAll();
}

// Places the rows as designed, moved down by what a second line of the name, the line of the
// date format and the line about the expert's change add.
void TVarChangeForm::Arrange() {
    const int noteExtra = Label6->isVisibleTo(this) ? Label6->height() + 2 : 0;
    const int nameExtra = FNameExtra;
    const int hintExtra = FHintExtra + noteExtra;
    Label3->move(Label3->x(), 35 + nameExtra);
    Label4->move(Label2->x(), 35 + nameExtra);
    Bevel1->setGeometry(Bevel1->x(), 58 + nameExtra, Bevel1->width(), 50 + hintExtra);
    Edit1->move(Edit1->x(), 72 + nameExtra);
    Label5->move(Edit1->x(), Edit1->geometry().bottom() + 3);
    Label6->move(Edit1->x(), Edit1->geometry().bottom() + 3 + FHintExtra);
    Button1->move(Button1->x(), 114 + nameExtra + hintExtra);
    Button2->move(Button2->x(), 114 + nameExtra + hintExtra);
    Button3->move(Button3->x(), 114 + nameExtra + hintExtra);
    setFixedSize(428, 150 + nameExtra + hintExtra);
}

// A line of its own under the edit box; none for an empty note.
void TVarChangeForm::ShowNote(const QString &note) {
    if (note == Label6->toolTip() && Label6->isVisibleTo(this) == !note.isEmpty())
        return;
    Label6->setText(Label6->fontMetrics().elidedText(note, Qt::ElideRight, Label6->width()));
    Label6->setToolTip(note);
    Label6->setVisible(!note.isEmpty());
    Arrange();
}

void TVarChangeForm::Refreshed() {
    if (VarIndex < 0 || VarIndex >= MaxVars)
        return;
    const TVarEntry &slot = MainForm->Vars[VarIndex];
    FGone = VarIndex >= MainForm->VarCount || slot.Title != FShownTitle || slot.Type != FShownType;
    if (FGone) {
        ShowNote(QStringLiteral("The variable is no longer in the project file."));
        return;
    }
    if (slot.Value != FLatestValue) {
        FLatestValue = slot.Value;
        ShowNote(QStringLiteral("The expert changed it to %1 at %2")
                     .arg(ProjectToQString(slot.Value),
                          QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
    } else if (FLatestValue == FShownValue) {
        ShowNote({});
    } else if (!Label6->isVisibleTo(this)) {
        ShowNote(QStringLiteral("The expert changed it to %1").arg(ProjectToQString(FLatestValue)));
    }
}

void TVarChangeForm::Button1Click() {
    if (VarIndex < 0 || VarIndex >= MaxVars)
        return;
    TVarEntry &slot = MainForm->Vars[VarIndex];

    // Text the user left as shown keeps the stored bytes, whatever they hold. Typed text the
    // code page cannot carry is refused: a '?' in its place would store what nobody typed.
    std::string text = FShownValue;
    const char *refusal = nullptr;
    if (Edit1->text() == ProjectToQString(FShownValue) || ProjectFromQString(Edit1->text(), text))
        refusal = RefusalFor(slot.Type, text, SystemShortDateFormat());
    else if (ExpectationFor(slot.Type)) // no number or date holds such characters
        refusal = ExpectationFor(slot.Type);
    else
        refusal = "Text in characters of the expert's code page";
    if (refusal) {
        Application->MessageBox("Variable value is incorrect", "Warning", MB_OK, QRect(),
                                RefusalDetail(refusal, slot.Type));
        // The text stays, selected, to be corrected or typed over.
        Edit1->setFocus();
        Edit1->selectAll();
        return;
    }
    if (FGone) {
        Application->MessageBox("The variable is no longer in the project file. Nothing is saved.",
                                "Warning", MB_OK, QRect(),
                                "Kivo shows it again once the expert writes it back.");
        return;
    }
    // Judged against the newest value the dialog knows of: the one it showed, or the one the
    // expert wrote while it was open, which a different value is saved over only after a
    // question. Either way the save lands only over that value.
    if (text == FLatestValue) {
        Application->MessageBox("Value is the same", "Warning", MB_OK);
        return;
    }
    if (FLatestValue != FShownValue &&
        Application->MessageBox(
            "The expert has changed this value while the dialog was open. Do you want to save "
            "yours over it?",
            "Warning", MB_YESNO | MB_DEFBUTTON2, QRect(),
            FromQString(ProjectToQString(FShownTitle) + QStringLiteral(": the expert's ") +
                        ProjectToQString(FLatestValue) + QStringLiteral(", yours ") +
                        ProjectToQString(text))) != IDYES)
        return;

    TVarChange change;
    change.Index = VarIndex;
    change.Title = FShownTitle;
    change.Type = FShownType;
    change.SetsValue = true;
    change.Value = text;
    change.Requires = true;
    change.RequiredValue = FLatestValue;
    // A limit the trader set is a question of its own, never a refusal.
    if (const std::vector<TBrokenLimit> broken = MainForm->Session().Broken(change, slot);
        !broken.empty()) {
        std::string detail = FromQString(ProjectToQString(FShownTitle) + QStringLiteral(": ") +
                                         ProjectToQString(slot.Value) + QStringLiteral(" \u2192 ") +
                                         ProjectToQString(text));
        for (const TBrokenLimit &limit : broken)
            detail += ", " + limit.Text;
        if (Application->MessageBox(
                "The new value is outside a limit you set. Do you want to save it?", "Warning",
                MB_YESNO | MB_DEFBUTTON2, QRect(), detail) != IDYES) {
            Edit1->setFocus();
            return;
        }
    }
    // Not saved: the dialog stays open with the text, for another try or Cancel.
    if (MainForm->SaveChange(change))
        close();
}

void TVarChangeForm::Button2Click() {
    close();
}

void TVarChangeForm::Button3Click() {
    TLimitsForm::Edit(this, FShownTitle, FShownType);
    Edit1->setFocus();
}
