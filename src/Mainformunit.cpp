#include "Mainformunit.h"

#include "Aboutformunit.h"
#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Grid.h"
#include "IniFile.h"
#include "Varchangeformunit.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TMainForm *MainForm = nullptr;

const char *const ProjectSection = "Kivo 1.0";
const char *const SettingsSection = "Kivo";

namespace {

// How often a save merges again when another writer changed the file in the meantime.
constexpr int SaveAttempts = 10;

// "Var<n>", the start of the four key names of slot index.
std::string VarPrefix(int index) {
    return "Var" + IntToStr(index + 1);
}

const char *TypeWord(std::int32_t type) {
    switch (type) {
    case vtBoolean:
        return "boolean";
    case vtString:
        return "string";
    case vtInteger:
        return "integer";
    case vtDouble:
        return "double";
    case vtDate:
        return "date";
    case vtAction:
        return "action";
    default:
        return nullptr;
    }
}

const char *StatusWord(std::int32_t status) {
    switch (status) {
    case vsIdle:
    case vsIdle2:
        return "idle";
    case vsChanged:
        return "changed by Kivo";
    default:
        return nullptr;
    }
}

// Clears a flag however the scope is left.
class TFlagGuard {
public:
    explicit TFlagGuard(bool &flag) : FFlag(flag) { FFlag = true; }
    ~TFlagGuard() { FFlag = false; }
    TFlagGuard(const TFlagGuard &) = delete;
    TFlagGuard &operator=(const TFlagGuard &) = delete;

private:
    bool &FFlag;
};

// A benchmark hook for bench/idle.sh, and nothing else: with KIVO_TRACE_FIRST_FILL=1 in the
// environment, the first fill of variable rows prints the wall-clock time to stderr, from which
// the script takes the time from the start to a filled grid. Nothing depends on it.
void TraceFirstFill() {
    static bool traced = false;
    if (traced)
        return;
    traced = true;
    const char *trace = std::getenv("KIVO_TRACE_FIRST_FILL");
    if (trace && std::strcmp(trace, "1") == 0)
        std::fprintf(stderr, "first-fill-epoch-ms=%lld\n",
                     static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
}

} // namespace

TMainForm::TMainForm(QWidget *Owner)
    : QMainWindow(Owner), Timer1(new QTimer(this)), OpenDialog1(this) {
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setWindowIcon(KivoIcon());

    QHeaderView *header = StringGrid1->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setSectionsMovable(false);
    header->setSectionsClickable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int widths[] = {103, 107, 139, 318};
    for (int col = 0; col < 4; ++col)
        StringGrid1->setColumnWidth(col, widths[col]);
    StringGrid1->viewport()->installEventFilter(this);
    header->viewport()->installEventFilter(this);

    OpenDialog1.DefaultExt = "*.kvo";
    OpenDialog1.Filter = "Kivo document (*.kvo)|*.kvo";

    connect(Open1, &QAction::triggered, this, Guarded([this] { Open1Click(); }));
    connect(Close1, &QAction::triggered, this, Guarded([this] { Close1Click(); }));
    connect(About1, &QAction::triggered, this, Guarded([this] { About1Click(); }));
    connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));

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

// The grid's double-click acts on the selected row wherever the pointer is, header included.
bool TMainForm::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton &&
        (watched == StringGrid1->viewport() ||
         watched == StringGrid1->horizontalHeader()->viewport())) {
        Guarded([this] { StringGrid1DblClick(); })();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
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
    SetCaption("Kivo");
    ProjectPath.clear();
    ReadSettings();
    if (ProjectPath.empty())
        return;
    if (IsProjectFile(ProjectPath)) {
        ProjectOpen = true;
        SetCaption("Kivo - " + ExtractFileName(ProjectPath));
        LoadProject();
    } else {
        Application->MessageBox("Associated project file " + ExtractFileName(ProjectPath) +
                                    " is not found.",
                                "Warning", MB_OK);
    }
}

void TMainForm::Open1Click() {
    OpenDialog1.InitialDir = MTPath + PathDelim + "experts" + PathDelim + "files" + PathDelim;
    if (!OpenDialog1.Execute())
        return;
    if (!IsProjectFile(OpenDialog1.FileName)) {
        Application->MessageBox("Project file is not correct", "Warning", MB_ICONEXCLAMATION);
        return;
    }
    ProjectPath = OpenDialog1.FileName;
    // Nothing of the project shown so far may be acted on until the new one is read.
    VarCount = 0;
    WriteSettings();
    ProjectOpen = true;
    SetCaption("Kivo - " + ExtractFileName(ProjectPath));
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
    ResetGrid();
    SetCaption("Kivo");
    ProjectOpen = false;
    VarCount = 0;
    ProjectPath.clear();
    WriteSettings();
}

void TMainForm::About1Click() {
    AboutForm->exec();
}

// A portable copy keeps its settings beside the executable: whenever a kivo.ini is there, or one
// could be put there. A copy installed where the user cannot write (/usr/bin, Program Files)
// keeps them in the user's own configuration folder, which is made when missing.
std::string TMainForm::SettingsFileName() const {
    const std::string besideExe = AppDir + "kivo.ini";
    const QString local = QFile::decodeName(QByteArray::fromStdString(besideExe));
    if (QFileInfo::exists(local))
        return besideExe;
    // Permission bits do not tell whether the folder takes a new file (root passes them by, a
    // read-only or full disk ignores them): creating one does. The scratch file is removed again.
    if (QTemporaryFile probe(local + QStringLiteral(".XXXXXX")); probe.open())
        return besideExe;
#ifdef Q_OS_WIN
    // %APPDATA%, the roaming profile, where the settings follow the user to other machines (the
    // configuration location Qt names there is the local one, %LOCALAPPDATA%).
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
#else
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
#endif
    if (folder.isEmpty())
        return besideExe; // no home to go to: the failed write then says where it tried
    QDir().mkpath(folder);
    return QFile::encodeName(QDir::toNativeSeparators(folder + QStringLiteral("/kivo.ini")))
        .toStdString();
}

void TMainForm::ReadSettings() {
    const TIniFile ini(SettingsFileName());
    MTPath = ini.ReadString(SettingsSection, "MTPath", "");
    ProjectPath = ini.ReadString(SettingsSection, "Project", "");
    // Set by hand where the expert's terminal runs with another code page; never written.
    SetProjectCodePage(ProjectCodePageFor(ini.ReadInteger(SettingsSection, "CodePage", 0)));
}

void TMainForm::WriteSettings() {
    TIniFile ini(SettingsFileName());
    ini.WriteString(SettingsSection, "MTPath", MTPath);
    ini.WriteString(SettingsSection, "Project", ProjectPath);
    ini.UpdateFile();
}

bool TMainForm::IsProjectFile(const std::string &path) const {
    const TIniFile ini(path);
    return ini.ReadString("KIVO 1.0", "Var_Cnt", "false") != "false";
}

void TMainForm::ResetGrid() {
    StringGrid1->setColumnCount(4);
    GridSetRowCount(StringGrid1, 2);
    const char *headers[] = {"Variable", "Type", "Status", "Value"};
    for (int col = 0; col < 4; ++col) {
        GridSetCell(StringGrid1, col, 0, headers[col]);
        GridSetCell(StringGrid1, col, 1, "");
    }
}

// Reads the count and the variables the table has room for. Returns how many slots were read;
// fileCount receives Var_Cnt as the file states it.
std::int32_t TMainForm::ReadVars(const TIniFile &ini, TVarTable &table, std::int32_t &fileCount) {
    fileCount = ini.ReadInteger(ProjectSection, "Var_Cnt", 0);
    const std::int32_t count = std::clamp<std::int32_t>(fileCount, 0, MaxVars);
    const std::string section = ProjectSection;
    const std::string none;
    for (int i = 0; i < count; ++i) {
        TVarEntry &slot = table[i];
        // The four keys of a variable share their start: made once, for the tick's sake.
        const std::string var = VarPrefix(i);
        slot.Title = ini.ReadString(section, var + "_Title", none);
        slot.Type = ini.ReadInteger(section, var + "_Type", 0);
        slot.Status = ini.ReadInteger(section, var + "_Status", 0);
        slot.Value = ini.ReadString(section, var + "_Value", none);
    }
    return count;
}

void TMainForm::ReadProject() {
    // The table depends on the file's bytes alone, and the expert leaves the file as it is for
    // many ticks: while the file holds the bytes parsed last, that table is taken again without
    // parsing. It is copied, so that Vars equals what the file holds whatever was done to Vars
    // since.
    std::string bytes = ReadFileStable(ProjectPath);
    if (!FParsedValid || bytes != FParsedBytes) {
        const TIniFile ini(ProjectPath, bytes);
        std::int32_t fileCount = 0;
        FParsedCount = ReadVars(ini, FParsed, fileCount);
        FParsedBytes = std::move(bytes);
        FParsedValid = true;
    }
    std::copy(FParsed.begin(), FParsed.begin() + FParsedCount, Vars.begin());
    VarCount = FParsedCount;
}

// Each cell whose text changes repaints itself alone, and only once control is back in the event
// loop: turning the grid's updates off and on around the fill would repaint the whole grid every
// second, which cost more than all the rest of a tick.
void TMainForm::FillGrid() {
    GridSetRowCount(StringGrid1, VarCount + 1);
    for (int k = 0; k < VarCount; ++k) {
        const TVarEntry &slot = Vars[k];
        const int row = k + 1;
        GridSetCell(StringGrid1, 0, row, slot.Title);
        if (const char *word = TypeWord(slot.Type))
            GridSetCell(StringGrid1, 1, row, word);
        if (const char *word = StatusWord(slot.Status))
            GridSetCell(StringGrid1, 2, row, word);
        if (slot.Type == vtBoolean)
            GridSetCell(StringGrid1, 3, row, slot.Value == "1" ? "true" : "false");
        else if (slot.Type == vtAction)
            GridSetCell(StringGrid1, 3, row, "");
        else
            GridSetCell(StringGrid1, 3, row, slot.Value);
    }
    if (VarCount > 0)
        TraceFirstFill();
}

void TMainForm::LoadProject() {
    ResetGrid();
    ReadProject();
    FillGrid();
}

bool TMainForm::SaveProject(const TVarChange &change) {
    const TFlagGuard saving(Saving);
    for (int attempt = 1;; ++attempt) {
        // Merge into what the file holds now, so that what the expert wrote since the last
        // tick stays as the expert wrote it.
        TIniFile ini(ProjectPath);
        TVarTable fresh;
        std::int32_t fileCount = 0;
        const std::int32_t count = ReadVars(ini, fresh, fileCount);
        if (change.Index < 0 || change.Index >= count ||
            fresh[change.Index].Title != change.Title || fresh[change.Index].Type != change.Type)
            return false;

        TVarEntry &target = fresh[change.Index];
        if (change.SetsValue) {
            target.Value = change.Value;
            if (target.Status != vsIdle2)
                target.Status = vsChanged;
        } else {
            target.Status = change.Status;
        }

        ini.WriteInteger(ProjectSection, "Var_Cnt", fileCount);
        for (int i = 0; i < count; ++i) {
            const std::string var = VarPrefix(i);
            ini.WriteString(ProjectSection, var + "_Title", fresh[i].Title);
            ini.WriteInteger(ProjectSection, var + "_Type", fresh[i].Type);
            ini.WriteInteger(ProjectSection, var + "_Status", fresh[i].Status);
            ini.WriteString(ProjectSection, var + "_Value", fresh[i].Value);
        }
        // The expert writes without a lock: when it changed the file since the read above,
        // merge again rather than put its older state back. A file that keeps changing under
        // every attempt is left to the expert, and the user is told the value was not saved.
        if (!ini.UpdateFileIfUnchanged()) {
            if (attempt < SaveAttempts)
                continue;
            return false;
        }
        return true;
    }
}

bool TMainForm::SaveChange(const TVarChange &change) {
    if (!SaveProject(change)) {
        RefreshVars();
        Application->MessageBox("Project file has changed. The new value is not saved.", "Warning",
                                MB_OK);
        return false;
    }
    RefreshVars();
    return true;
}

void TMainForm::RefreshVars() {
    Timer1Timer();
}

void TMainForm::Timer1Timer() {
    if (!ProjectOpen)
        return;
    if (Saving)
        return;
    ReadProject();
    if (VarCount > 0)
        FillGrid();
}

void TMainForm::StringGrid1DblClick() {
    if (!ProjectOpen || VarCount < 1)
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
        if (Application->MessageBox(activate ? "Do you want to activate this action?"
                                             : "Do you want to cancel action activation?",
                                    "Warning", MB_YESNO) != IDYES)
            return;
        change.Status = activate ? vsChanged : vsIdle;
    } else if (slot.Type == vtBoolean) {
        if (slot.Value != "0" && slot.Value != "1")
            return;
        const bool toTrue = slot.Value == "0";
        if (Application->MessageBox(toTrue ? "Do you want to change FALSE to TRUE?"
                                           : "Do you want to change TRUE to FALSE?",
                                    "Warning", MB_YESNO) != IDYES)
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
