#include "Mainformunit.h"

#include "Aboutformunit.h"
#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Grid.h"
#include "Historyformunit.h"
#include "IniFile.h"
#include "Pendingformunit.h"
#include "Presetsformunit.h"
#include "RecentMenu.h"
#include "SettingsFile.h"
#include "VarGrid.h"
#include "Varchangeformunit.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLayout>
#include <QScopedValueRollback>
#include <QScreen>

#include <algorithm>

TMainForm *MainForm = nullptr;

namespace {

// The user's home folder, where the open dialogs start until the terminal's folder is known.
std::string HomeFolder() {
    return FromQString(QDir::toNativeSeparators(QDir::homePath()));
}

} // namespace

TMainForm::TMainForm(QWidget *Owner)
    : QMainWindow(Owner), Timer1(new QTimer(this)), OpenDialog1(this),
      FSession(new TProjectSession(this)), FGrid(nullptr) {
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setWindowIcon(KivoIcon());
    FGrid = new TVarGrid(StringGrid1, this);
    connect(FGrid, &TVarGrid::Activated, this, Guarded([this] { StringGrid1DblClick(); }));

    // A .kvo file dropped on the window opens as Open... opens it.
    setAcceptDrops(true);
    OpenDialog1.DefaultExt = "*.kvo";
    OpenDialog1.Filter = "Kivo document (*.kvo)|*.kvo";

    connect(Open1, &QAction::triggered, this, Guarded([this] { Open1Click(); }));
    connect(TerminalFolder1, &QAction::triggered, this,
            Guarded([this] { TerminalFolder1Click(); }));
    connect(History1, &QAction::triggered, this, Guarded([this] { History1Click(); }));
    connect(Presets1, &QAction::triggered, this, Guarded([this] { TPresetsForm::Open(this); }));
    connect(Undo1, &QAction::triggered, this, Guarded([this] { Undo1Click(); }));
    PendingForm = new TPendingForm(this);
    connect(PendingForm, &QObject::destroyed, [] { PendingForm = nullptr; });
    connect(Find1, &QAction::triggered, FGrid, &TVarGrid::StartFind);
    connect(Pending1, &QAction::triggered, PendingForm, &TPendingForm::ShowList);
    connect(Gather1, &QAction::toggled, PendingForm, [](bool on) {
        if (on)
            PendingForm->ShowList();
    });
    // Built when the menu opens.
    connect(Recent1, &QMenu::aboutToShow, this, [this] {
        FillRecentMenu(
            Recent1, RecentProjects, [this](const std::string &path) { OpenProject(path); },
            [this] { ClearRecent(); });
    });
    connect(Close1, &QAction::triggered, this, Guarded([this] { Close1Click(); }));
    connect(About1, &QAction::triggered, this, Guarded([this] { About1Click(); }));
    connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));
    // A watched file refreshes the grid through the tick itself, once its writer is done.
    connect(FSession, &TProjectSession::FileChanged, this, Guarded([this] { Timer1Timer(); }));

    AppDir = ExtractFilePath(Application->ExeName());
    Saving = false;
    ProjectOpen = false;

    Timer1->start(1000);
}

TMainForm::~TMainForm() = default;

void TMainForm::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (FShown || event->spontaneous())
        return;
    FShown = true;
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    try {
        FormShow();
    } catch (...) {
        Application->HandleException();
    }
}

void TMainForm::SetCaption(const std::string &caption) {
    // "[*]" in a window title is Qt's modification marker; a doubled one shows it as text.
    QString title = ToQString(caption);
    title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    setWindowTitle(title);
}

void TMainForm::FormShow() {
    DecimalSeparator = '.';
    ResetGrid();
    // The grid is all there is to act on: arrows and Enter work from the start.
    StringGrid1->setFocus();
    SetCaption("Kivo");
    ProjectPath.clear();
    ReadSettings();
    // A project named on the command line (a file manager's double-click) is opened as Open...
    // opens it, in place of the remembered one.
    for (const std::string &argument : Application->Arguments()) {
        if (argument.starts_with('-'))
            continue; // an option, not a file
        OpenProject(ExpandFileName(argument));
        return;
    }
    if (ProjectPath.empty())
        return;
    if (IsProjectFile(ProjectPath)) {
        ProjectOpen = true;
        SetCaption("Kivo - " + ExtractFileName(ProjectPath));
        LoadProject();
        Opened();
    } else {
        Application->MessageBox("Associated project file " + ExtractFileName(ProjectPath) +
                                    " is not found.",
                                "Warning", MB_OK);
    }
}

void TMainForm::Open1Click() {
    // The terminal's project folder, or, until that is known and there, the user's home rather
    // than wherever Kivo was started from.
    const std::string files = MTPath + PathDelim + "experts" + PathDelim + "files" + PathDelim;
    OpenDialog1.InitialDir =
        !MTPath.empty() && QFileInfo(ToQString(files)).isDir() ? files : HomeFolder();
    if (!OpenDialog1.Execute())
        return;
    OpenProject(OpenDialog1.FileName);
}

void TMainForm::OpenProject(const std::string &path) {
    if (!IsProjectFile(path)) {
        Application->MessageBox("Project file is not correct", "Warning", MB_ICONEXCLAMATION);
        return;
    }
    // All or nothing: when the settings cannot be written, the project shown so far stays open,
    // with its caption, its grid and its file as the target of the next save.
    ChangeSettings([&](TKivoSettings &settings) {
        settings.Project = path;
        settings.Remember(path);
    });
    ProjectOpen = true;
    SetCaption("Kivo - " + ExtractFileName(ProjectPath));
    // No row of the project shown so far stays under the new caption, nor can be acted on; the
    // new one is read at once, its first fill being no news.
    ResetGrid();
    VarCount = 0;
    FSession->SetProject(ProjectPath);
    ProjectFile().RefreshSoon();
    StringGrid1->setFocus();
    Opened();
}

void TMainForm::Opened() {
    FSession->SetProject(ProjectPath);
    // Gathered for another project, or the same read anew: no longer what the user saw.
    PendingForm->Discard();
    UpdateUndo();
    UpdateStatusLine();
    if (HistoryForm && HistoryForm->isVisible())
        HistoryForm->ShowProject(ToQString(ProjectPath), FSessionStart);
    if (FSession->OtherKivo())
        Application->MessageBox(TProjectSession::OtherKivoNotice, "Warning", MB_OK, {},
                                TProjectSession::OtherKivoDetail);
}

// The terminal's folder, written to the settings as Open writes the project: all or nothing.
void TMainForm::TerminalFolder1Click() {
    TOpenDialog dialog(this);
    dialog.SelectFolder = true;
    dialog.InitialDir = MTPath.empty() ? HomeFolder() : MTPath;
    if (!dialog.Execute())
        return;
    ChangeSettings([&](TKivoSettings &settings) { settings.MTPath = dialog.FileName; });
}

void TMainForm::ClearRecent() {
    ChangeSettings([](TKivoSettings &settings) { settings.Recent.clear(); });
}

void TMainForm::ChangeSettings(const std::function<void(TKivoSettings &)> &change) {
    TKivoSettings next = Settings;
    change(next);
    next.Write(SettingsLocation(AppDir));
    Settings = std::move(next);
}

void TMainForm::dragEnterEvent(QDragEnterEvent *event) {
    if (!DroppedFile(event->mimeData()).empty())
        event->acceptProposedAction();
}

// A dropped file is opened as Open... opens it, and refused as it refuses one.
void TMainForm::dropEvent(QDropEvent *event) {
    const std::string path = DroppedFile(event->mimeData());
    if (path.empty())
        return;
    event->acceptProposedAction();
    Guarded([this, path] { OpenProject(path); })();
}

void TMainForm::Close1Click() {
    if (!ProjectOpen) {
        CloseProject();
        return;
    }
    if (Application->MessageBox("Do you want to close project?", "Warning", MB_YESNO) == IDYES)
        CloseProject();
}

void TMainForm::CloseProject() {
    FSession->SetProject("");
    ResetGrid();
    SetCaption("Kivo");
    ProjectOpen = false;
    VarCount = 0;
    ProjectPath.clear();
    UpdateUndo();
    UpdateStatusLine();
    WriteSettings();
}

void TMainForm::About1Click() {
    AboutForm->exec();
}

std::string TMainForm::SettingsFileName() const {
    return SettingsLocation(AppDir).Write;
}

void TMainForm::ReadSettings() {
    Settings = TKivoSettings::Read(SettingsLocation(AppDir).Read);
    // Set by hand where the expert's terminal runs with another code page; never written.
    SetProjectCodePage(ProjectCodePageFor(Settings.CodePage));
}

void TMainForm::WriteSettings() {
    Settings.Write(SettingsLocation(AppDir));
}

bool TMainForm::IsProjectFile(const std::string &path) const {
    const TIniFile ini(path);
    return ini.ReadString("KIVO 1.0", "Var_Cnt", "false") != "false";
}

void TMainForm::ResetGrid() {
    FGrid->Reset();
}

// A file that cannot be taken yet (a writer at work, keys or its end missing) leaves the table
// and the view as they are: another refresh follows once its writer is done.
void TMainForm::ReadProject() {
    FSession->SetProject(ProjectPath);
    FRead = FSession->Refresh(Vars, VarCount);
}

void TMainForm::FillGrid() {
    FGrid->Fill(Vars, VarCount, FOwnRow);
}

void TMainForm::LoadProject() {
    ResetGrid();
    ReadProject();
    FillGrid();
}

bool TMainForm::SaveProject(const TVarChange &change) {
    return SaveProject(std::vector<TVarChange>{change});
}

bool TMainForm::SaveProject(const std::vector<TVarChange> &changes) {
    const QScopedValueRollback saving(Saving, true);
    FSession->SetProject(ProjectPath);
    FLastSave = FSession->Save(changes, Vars);
    return FLastSave.Saved();
}

bool TMainForm::SaveChange(const TVarChange &change) {
    // Gathered, the change waits in the list for the others; an undo never does.
    if (Gather1->isChecked() && !change.Undo) {
        PendingForm->Gather({change});
        return true;
    }
    return SaveChanges({change});
}

bool TMainForm::SaveChanges(const std::vector<TVarChange> &changes) {
    if (!SaveProject(changes)) {
        RefreshVars();
        Application->MessageBox(FLastSave.Message, "Warning", MB_OK, {}, FLastSave.Detail);
        TellJournalFailure();
        return false;
    }
    // What the user has just saved is no news to the user.
    FOwnRow = changes.size() == 1 ? changes.front().Index + 1 : 0;
    RefreshVars();
    FOwnRow = 0;
    UpdateUndo();
    TellJournalFailure();
    return true;
}

// A Yes/No question about the variable at index: No the default, so that a second Enter does
// not answer it; the row stays in sight; the variable is named under the question.
bool TMainForm::Ask(const std::string &text, int index) {
    return Application->MessageBox(text, "Warning", MB_YESNO | MB_DEFBUTTON2,
                                   FGrid->RowOnScreen(index + 1),
                                   AboutVariable(Vars[std::size_t(index)])) == IDYES;
}

// Takes back the newest change saved in this session, as a change of its own: the old value
// (marked changed, so that the expert takes it) or the action's old status, only while the
// variable still holds what that change wrote, and after the question that change asked.
void TMainForm::Undo1Click() {
    const TProjectSession::TUndo *undo = ProjectOpen ? FSession->Undoable() : nullptr;
    if (!undo)
        return;
    const std::vector<TVarChange> changes = undo->Changes;
    FGrid->ShowRow(changes.front().Index + 1);
    if (const std::string question = FSession->UndoQuestion(Vars, VarCount);
        !question.empty() && !Ask(question, changes.front().Index))
        return;
    // A failed write leaves the change to undo; one the expert has overtaken is gone for good.
    if (SaveChanges(changes) || FLastSave.Outcome == TProjectFile::TOutcome::Changed)
        FSession->DropUndoable();
    UpdateUndo();
}

void TMainForm::UpdateUndo() {
    const TProjectSession::TUndo *undo = ProjectOpen ? FSession->Undoable() : nullptr;
    const QString what = undo ? QStringLiteral("Undo ") + ProjectToQString(undo->What) : QString();
    Undo1->setEnabled(undo);
    Undo1->setText(undo ? fontMetrics().elidedText(what, Qt::ElideRight, 320).replace('&', "&&")
                        : QStringLiteral("&Undo"));
    Undo1->setStatusTip(what);
}

// Once a session: a journal that cannot be written is no reason to refuse a save.
void TMainForm::TellJournalFailure() {
    if (!FSession->JournalFailed() || FJournalFailureTold)
        return;
    FJournalFailureTold = true;
    Application->MessageBox("The journal of changes cannot be written (" +
                                FromQString(FSession->JournalError()) +
                                "). Changes are saved, but the history will not show them.",
                            "Warning", MB_OK);
}

void TMainForm::History1Click() {
    if (!ProjectPath.empty())
        THistoryForm::Open(this, FSession->Journal())
            ->ShowProject(ToQString(ProjectPath), FSessionStart);
}

void TMainForm::UpdateStatusLine() {
    ShowStatusLine(
        Label1, ProjectOpen ? FSession->Line(Settings.AckWarnSeconds, Settings.ExpertSilentSeconds)
                            : TStatusLine());
}

void TMainForm::RefreshVars() {
    Timer1Timer();
}

void TMainForm::Timer1Timer() {
    if (!ProjectOpen)
        return;
    if (Saving)
        return;
    // Watched before the read, so that a write after it is noticed.
    FSession->SetProject(ProjectPath);
    ProjectFile().Watch();
    ReadProject();
    if (FRead && VarCount > 0)
        FillGrid();
    const TExpertState::TFile file = FSession->State().File();
    FGrid->SetStale(file == TExpertState::TFile::Missing || !FSession->WhyNoChange().empty());
    if (VarChangeForm && VarChangeForm->isVisible())
        VarChangeForm->Refreshed();
    TellJournalFailure();
    UpdateStatusLine();
}

void TMainForm::StringGrid1DblClick() {
    if (!ProjectOpen)
        return;
    if (const std::string why = FSession->WhyNoChange(); !why.empty()) {
        Application->MessageBox(why, "Warning", MB_OK);
        return;
    }
    // Only a row the user chose, shown as selected.
    if (VarCount < 1 || !FGrid->RowChosen())
        return;
    const int index = GridRow(StringGrid1) - 1;
    if (index < 0 || index >= VarCount)
        return;

    const TVarEntry &slot = Vars[index];
    TVarChange change;
    change.Index = index;
    change.Title = slot.Title;
    change.Type = slot.Type;
    if (slot.Type == vtAction) {
        const bool activate = slot.Status == vsIdle;
        if (!Ask(activate ? "Do you want to activate this action?"
                          : "Do you want to cancel action activation?",
                 index))
            return;
        change.Status = activate ? vsChanged : vsIdle;
    } else if (slot.Type == vtBoolean) {
        if (slot.Value != "0" && slot.Value != "1")
            return;
        const bool toTrue = slot.Value == "0";
        if (!Ask(toTrue ? "Do you want to change FALSE to TRUE?"
                        : "Do you want to change TRUE to FALSE?",
                 index))
            return;
        change.SetsValue = true;
        change.Value = std::string(1, toTrue ? '1' : '0');
    } else {
        VarChangeForm->VarIndex = index;
        VarChangeForm->ShowModal();
        return;
    }
    SaveChange(change);
}
