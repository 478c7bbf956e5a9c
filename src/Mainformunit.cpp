#include "Mainformunit.h"

#include "Aboutformunit.h"
#include "Application.h"
#include "CodePage.h"
#include "Conversions.h"
#include "Grid.h"
#include "Historyformunit.h"
#include "IniFile.h"
#include "SettingsFile.h"
#include "Varchangeformunit.h"

#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLayout>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TMainForm *MainForm = nullptr;

const char *const SettingsSection = "Kivo";

namespace {

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

// Sets a variable for as long as the scope lasts, then puts its old value back.
template <class T> class TScopedValue {
public:
    TScopedValue(T &variable, T value) : FVariable(variable), FOld(variable) { FVariable = value; }
    ~TScopedValue() { FVariable = FOld; }
    TScopedValue(const TScopedValue &) = delete;
    TScopedValue &operator=(const TScopedValue &) = delete;

private:
    T &FVariable;
    T FOld;
};

// The number of grid columns, header included.
constexpr int GridColumns = 4;

// The background of a cell whose text a refresh changed: amber, mostly transparent, so that it
// reads on light and dark palettes alike and the text keeps its own colour.
const QColor HighlightColor(255, 176, 0, 96);

// The selection covers a cell's background, and the selected row is often the one being
// watched: a selected cell that changed gets a frame of the highlight's colour, inside the cell.
//
// A cell too narrow for its text shows it cut off; hovering shows the whole text. It is measured
// when asked, against the column's width then, so that the refresh sets nothing for it.
class THighlightDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override {
        if (event->type() != QEvent::ToolTip)
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        if (sizeHint(option, index).width() > option.rect.width())
            QToolTip::showText(event->globalPos(), PlainToolTip(index.data().toString()),
                               view->viewport(), option.rect);
        else
            QToolTip::hideText();
        return true;
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (!(option.state & QStyle::State_Selected) || !index.data(Qt::BackgroundRole).isValid())
            return;
        QColor frame = HighlightColor;
        frame.setAlpha(255);
        painter->save();
        painter->setPen(QPen(frame, 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(QRectF(option.rect).adjusted(1, 1, -1, -1));
        painter->restore();
    }
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

// The same kind of hook for the latency from a write to the grid: with KIVO_TRACE_CELLS=1, each
// cell whose text a refresh changed prints the wall-clock time in microseconds, its place and its
// new text to stderr.
bool TraceCells() {
    static const bool trace = [] {
        const char *value = std::getenv("KIVO_TRACE_CELLS");
        return value && std::strcmp(value, "1") == 0;
    }();
    return trace;
}

void TraceCell(int row, int col, const std::string &text) {
    using std::chrono::microseconds;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto us = static_cast<long long>(std::chrono::duration_cast<microseconds>(now).count());
    std::fprintf(stderr, "cell epoch-us=%lld row=%d col=%d text=%s\n", us, row, col, text.c_str());
}

} // namespace

TMainForm::TMainForm(QWidget *Owner)
    : QMainWindow(Owner), Timer1(new QTimer(this)), OpenDialog1(this),
      FProject(new TProjectFile(this)), FHighlightTimer(new QTimer(this)) {
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setWindowIcon(KivoIcon());

    // The columns start at the designed widths; the user may drag them wider, and scroll to
    // what then lies beyond the grid's right edge.
    QHeaderView *header = StringGrid1->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionsMovable(false);
    header->setSectionsClickable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int widths[] = {103, 107, 139, 318};
    for (int col = 0; col < 4; ++col)
        StringGrid1->setColumnWidth(col, widths[col]);
    StringGrid1->setItemDelegate(new THighlightDelegate(StringGrid1));
    StringGrid1->installEventFilter(this);
    StringGrid1->viewport()->installEventFilter(this);
    header->viewport()->installEventFilter(this);
    // Only a change of a cell's text counts, not of its background; GridSetCell sets a text only
    // when it differs, and a new cell reports no roles.
    connect(StringGrid1->model(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight,
                   const QList<int> &roles) {
                if (!FCollecting || !(roles.isEmpty() || roles.contains(Qt::DisplayRole)))
                    return;
                for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                    for (int col = topLeft.column(); col <= bottomRight.column(); ++col)
                        FChangedCells.emplace_back(row + 1, col);
            });

    // A .kvo file dropped on the window opens as Open... opens it.
    setAcceptDrops(true);
    OpenDialog1.DefaultExt = "*.kvo";
    OpenDialog1.Filter = "Kivo document (*.kvo)|*.kvo";

    connect(Open1, &QAction::triggered, this, Guarded([this] { Open1Click(); }));
    connect(TerminalFolder1, &QAction::triggered, this,
            Guarded([this] { TerminalFolder1Click(); }));
    connect(History1, &QAction::triggered, this, Guarded([this] { History1Click(); }));
    connect(Undo1, &QAction::triggered, this, Guarded([this] { Undo1Click(); }));
    connect(Recent1, &QMenu::aboutToShow, this, [this] { FillRecentMenu(); });
    connect(Close1, &QAction::triggered, this, Guarded([this] { Close1Click(); }));
    connect(About1, &QAction::triggered, this, Guarded([this] { About1Click(); }));
    connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));

    // A watched file refreshes the grid through the tick itself, once its writer has paused.
    connect(FProject, &TProjectFile::Changed, this, Guarded([this] { Timer1Timer(); }));
    FHighlightTimer->setSingleShot(true);
    connect(FHighlightTimer, &QTimer::timeout, this, [this] { FadeHighlights(); });
    FClock.start();

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

// The grid's double-click acts on the selected row wherever the pointer is, header included;
// Enter or Return on the grid does the same for the keyboard.
bool TMainForm::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::KeyPress && watched == StringGrid1) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            Guarded([this] { StringGrid1DblClick(); })();
            return true;
        }
    }
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
        UpdateStatusLine();
    } else {
        Application->MessageBox("Associated project file " + ExtractFileName(ProjectPath) +
                                    " is not found.",
                                "Warning", MB_OK);
    }
}

namespace {

// The user's home folder, where the open dialogs start until the terminal's folder is known.
std::string HomeFolder() {
    return FromQString(QDir::toNativeSeparators(QDir::homePath()));
}

} // namespace

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
    ChangeSettings([&] {
        ProjectPath = path;
        std::erase(RecentProjects, path);
        RecentProjects.insert(RecentProjects.begin(), path);
        if (RecentProjects.size() > MaxRecent)
            RecentProjects.resize(MaxRecent);
    });
    ProjectOpen = true;
    SetCaption("Kivo - " + ExtractFileName(ProjectPath));
    // No row of the project shown so far stays under the new caption, nor can be acted on; the
    // new one is read at once, its first fill being no news.
    ResetGrid();
    VarCount = 0;
    FProject->SetPath(ProjectPath);
    FProject->RefreshSoon();
    StringGrid1->setFocus();
    UpdateUndo();
    UpdateStatusLine();
    if (HistoryForm && HistoryForm->isVisible())
        HistoryForm->ShowProject(ToQString(ProjectPath), FSessionStart);
}

// The terminal's folder, written to the settings as Open writes the project: all or nothing.
void TMainForm::TerminalFolder1Click() {
    TOpenDialog dialog(this);
    dialog.SelectFolder = true;
    dialog.InitialDir = MTPath.empty() ? HomeFolder() : MTPath;
    if (!dialog.Execute())
        return;
    ChangeSettings([&] { MTPath = dialog.FileName; });
}

void TMainForm::ClearRecent() {
    ChangeSettings([this] { RecentProjects.clear(); });
}

void TMainForm::ChangeSettings(const std::function<void()> &change) {
    const std::string mtPath = MTPath;
    const std::string projectPath = ProjectPath;
    const std::vector<std::string> recent = RecentProjects;
    change();
    try {
        WriteSettings();
    } catch (...) {
        MTPath = mtPath;
        ProjectPath = projectPath;
        RecentProjects = recent;
        throw;
    }
}

// Built when the menu opens: a project whose file is gone is left out.
void TMainForm::FillRecentMenu() {
    Recent1->clear();
    int shown = 0;
    for (const std::string &path : RecentProjects) {
        const QString local = ToQString(path);
        if (!QFileInfo(local).isFile())
            continue;
        ++shown;
        // "&1 name   folder", so that two projects of one name tell apart.
        QAction *entry = Recent1->addAction(
            QStringLiteral("&%1 %2   %3")
                .arg(shown)
                .arg(ToQString(ExtractFileName(path)).replace('&', QStringLiteral("&&")),
                     fontMetrics()
                         .elidedText(ToQString(ExtractFilePath(path)), Qt::ElideMiddle, 360)
                         .replace('&', QStringLiteral("&&"))));
        connect(entry, &QAction::triggered, this, Guarded([this, path] { OpenProject(path); }));
    }
    if (shown == 0)
        Recent1->addAction(QStringLiteral("No recent projects"))->setEnabled(false);
    Recent1->addSeparator();
    QAction *clear = Recent1->addAction(QStringLiteral("&Clear"));
    clear->setEnabled(!RecentProjects.empty());
    connect(clear, &QAction::triggered, this, Guarded([this] { ClearRecent(); }));
}

void TMainForm::dragEnterEvent(QDragEnterEvent *event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile())
        event->acceptProposedAction();
}

// A dropped file is opened as Open... opens it, and refused as it refuses one.
void TMainForm::dropEvent(QDropEvent *event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile())
        return;
    event->acceptProposedAction();
    const std::string path = FromQString(QDir::toNativeSeparators(urls.front().toLocalFile()));
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
    FProject->SetPath("");
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
    const TIniFile ini(SettingsLocation(AppDir).Read);
    // Paths are kept in UTF-8; a file that is not was written by an older, 8-bit copy.
    const bool utf8 = IsUtf8(ini.Snapshot());
    const auto path = [&](const std::string &key) {
        const std::string value = ini.ReadString(SettingsSection, key, "");
        return utf8 ? value : Utf8FromSystem8Bit(value);
    };
    MTPath = path("MTPath");
    ProjectPath = path("Project");
    AckWarnSeconds = std::max(1, ini.ReadInteger(SettingsSection, "AckWarnSeconds", 10));
    RecentProjects.clear();
    for (int i = 1; i <= MaxRecent; ++i) {
        if (std::string recent = path("Recent" + IntToStr(i)); !recent.empty())
            RecentProjects.push_back(std::move(recent));
    }
    // Set by hand where the expert's terminal runs with another code page; never written.
    SetProjectCodePage(ProjectCodePageFor(ini.ReadInteger(SettingsSection, "CodePage", 0)));
}

void TMainForm::WriteSettings() {
    const TSettingsLocation where = SettingsLocation(AppDir);
    TIniFile ini(where.Write, where.StartingBytes());
    ini.WriteString(SettingsSection, "MTPath", MTPath);
    ini.WriteString(SettingsSection, "Project", ProjectPath);
    // The recent list: a key beyond it that the file holds is emptied, none is added empty.
    for (int i = 1; i <= MaxRecent; ++i) {
        const std::string key = "Recent" + IntToStr(i);
        if (std::size_t(i) <= RecentProjects.size())
            ini.WriteString(SettingsSection, key, RecentProjects[std::size_t(i) - 1]);
        else if (ini.ValueExists(SettingsSection, key))
            ini.WriteString(SettingsSection, key, "");
    }
    ini.UpdateFile();
}

bool TMainForm::IsProjectFile(const std::string &path) const {
    const TIniFile ini(path);
    return ini.ReadString("KIVO 1.0", "Var_Cnt", "false") != "false";
}

void TMainForm::ResetGrid() {
    ClearHighlights();
    FFilled = false;
    StringGrid1->setColumnCount(4);
    GridSetRowCount(StringGrid1, 2);
    const char *headers[] = {"Variable", "Type", "Status", "Value"};
    for (int col = 0; col < 4; ++col) {
        GridSetCell(StringGrid1, col, 0, headers[col]);
        GridSetCell(StringGrid1, col, 1, "");
    }
}

// A file that cannot be taken yet (a writer at work, keys or its end missing) leaves the table
// and the view as they are: another refresh follows once its writer is done.
void TMainForm::ReadProject() {
    FProject->SetPath(ProjectPath);
    FRead = FProject->Read(Vars, VarCount);
}

// Each cell whose text changes repaints itself alone, and only once control is back in the event
// loop: turning the grid's updates off and on around the fill would repaint the whole grid every
// second, which cost more than all the rest of a tick.
//
// Once the project's first fill is done, the cells whose text a fill changes are news: they are
// collected from the grid's own change notices while the fill runs, and highlighted after it.
void TMainForm::FillGrid() {
    const bool news = FFilled;
    FChangedCells.clear();
    const TScopedValue collecting(FCollecting, news);
    GridSetRowCount(StringGrid1, VarCount + 1);
    FLitUntil.resize(std::size_t(StringGrid1->rowCount()) * GridColumns, 0);
    for (int k = 0; k < VarCount; ++k) {
        const TVarEntry &slot = Vars[k];
        const int row = k + 1;
        GridSetCell(StringGrid1, 0, row, slot.Title);
        // A code without a word shows nothing, never the word an earlier fill left there.
        const char *type = TypeWord(slot.Type);
        const char *status = StatusWord(slot.Status);
        GridSetCell(StringGrid1, 1, row, type ? type : "");
        GridSetCell(StringGrid1, 2, row, status ? status : "");
        if (slot.Type == vtBoolean)
            GridSetCell(StringGrid1, 3, row, slot.Value == "1" ? "true" : "false");
        else if (slot.Type == vtAction)
            GridSetCell(StringGrid1, 3, row, "");
        else
            GridSetCell(StringGrid1, 3, row, slot.Value);
    }
    if (VarCount > 0) {
        FFilled = true;
        TraceFirstFill();
    }
    if (news)
        HighlightChanges();
}

void TMainForm::HighlightChanges() {
    if (FChangedCells.empty())
        return;
    const qint64 until = FClock.elapsed() + HighlightMs;
    const QBrush brush(HighlightColor);
    for (const auto &[row, col] : FChangedCells) {
        if (TraceCells())
            TraceCell(row, col, GridCell(StringGrid1, col, row));
        QTableWidgetItem *item = StringGrid1->item(row - 1, col);
        const std::size_t cell = std::size_t(row - 1) * GridColumns + std::size_t(col);
        if (row == FOwnRow || !item || cell >= FLitUntil.size())
            continue;
        // Setting the brush a cell has already does nothing.
        item->setBackground(brush);
        FLitUntil[cell] = until;
    }
    FChangedCells.clear();
    if (!FHighlightTimer->isActive())
        FHighlightTimer->start(HighlightMs);
}

// One timer for every highlight: each time it fires, the highlights that are over go and it is
// set for the next one to end. Highlights that end within a few milliseconds go together.
void TMainForm::FadeHighlights() {
    constexpr qint64 Together = 50;
    const qint64 now = FClock.elapsed();
    qint64 next = 0;
    for (std::size_t cell = 0; cell < FLitUntil.size(); ++cell) {
        qint64 &until = FLitUntil[cell];
        if (until == 0)
            continue;
        if (until > now + Together) {
            next = next == 0 ? until : std::min(next, until);
            continue;
        }
        Unlight(cell);
    }
    if (next != 0)
        FHighlightTimer->start(int(next - now));
}

void TMainForm::ClearHighlights() {
    FHighlightTimer->stop();
    for (std::size_t cell = 0; cell < FLitUntil.size(); ++cell) {
        if (FLitUntil[cell] != 0)
            Unlight(cell);
    }
    FLitUntil.clear();
}

void TMainForm::Unlight(std::size_t cell) {
    FLitUntil[cell] = 0;
    if (QTableWidgetItem *item =
            StringGrid1->item(int(cell / GridColumns), int(cell % GridColumns)))
        item->setBackground(QBrush());
}

void TMainForm::LoadProject() {
    ResetGrid();
    ReadProject();
    FillGrid();
}

bool TMainForm::SaveProject(const TVarChange &change) {
    const TFlagGuard saving(Saving);
    FProject->SetPath(ProjectPath);
    FLastSave = FProject->Save({change});
    return FLastSave.Outcome == TProjectFile::TOutcome::Saved;
}

bool TMainForm::SaveChange(const TVarChange &change) {
    // The variable as the user saw it, for the journal of a change that is not saved.
    const TVarEntry shown =
        change.Index >= 0 && change.Index < MaxVars ? Vars[std::size_t(change.Index)] : TVarEntry{};
    const QString project = ToQString(ProjectPath);
    bool saved = false;
    try {
        saved = SaveProject(change);
    } catch (const std::exception &e) {
        FTracker.NotSaved(project, change, shown, e.what());
        throw;
    }
    if (!saved) {
        const bool changed = FLastSave.Outcome == TProjectFile::TOutcome::Changed;
        std::string reason = "Project file has changed. The new value is not saved.";
        if (changed)
            reason = "The expert has changed " + FromQString(ProjectToQString(change.Title)) +
                     " since. Nothing is undone.";
        else if (FLastSave.Outcome == TProjectFile::TOutcome::ReadOnly)
            reason = "The project file cannot be written: " + FLastSave.Reason +
                     ". The new value is not saved.";
        FTracker.NotSaved(project, change, changed ? FLastSave.Before.front() : shown, reason);
        RefreshVars();
        Application->MessageBox(reason, "Warning", MB_OK);
        TellJournalFailure();
        return false;
    }
    FTracker.Saved(project, change, FLastSave.Before.front(), FLastSave.After.front());
    {
        // What the user has just saved is no news to the user.
        const TScopedValue own(FOwnRow, change.Index + 1);
        RefreshVars();
    }
    UpdateUndo();
    TellJournalFailure();
    return true;
}

// Takes back the newest change saved in this session, as a change of its own: the old value
// (marked changed, so that the expert takes it) or the action's old status, and only while the
// variable still holds what that change wrote.
void TMainForm::Undo1Click() {
    const QString project = ToQString(ProjectPath);
    const TChangeTracker::TChange *last = ProjectOpen ? FTracker.Undoable(project) : nullptr;
    if (!last)
        return;
    TVarChange undo = last->Change;
    undo.Undo = true;
    if (undo.SetsValue) {
        undo.Value = last->Before.Value;
        undo.RequiredValue = last->After.Value;
    } else {
        undo.Status = last->Before.Status;
        undo.RequiredStatus = last->After.Status;
    }
    // A failed write leaves the change to undo; one the expert has overtaken is gone for good.
    if (SaveChange(undo) || FLastSave.Outcome == TProjectFile::TOutcome::Changed)
        FTracker.DropUndoable(project);
    UpdateUndo();
}

void TMainForm::UpdateUndo() {
    Undo1->setEnabled(ProjectOpen && FTracker.Undoable(ToQString(ProjectPath)));
}

// Once a session: a journal that cannot be written is no reason to refuse a save.
void TMainForm::TellJournalFailure() {
    if (!FTracker.JournalFailed() || FJournalFailureTold)
        return;
    FJournalFailureTold = true;
    Application->MessageBox("The journal of changes cannot be written (" +
                                FromQString(FTracker.JournalError()) +
                                "). Changes are saved, but the history will not show them.",
                            "Warning", MB_OK);
}

void TMainForm::History1Click() {
    if (ProjectPath.empty())
        return;
    if (!HistoryForm) {
        // Made when first asked for, owned by this window; it follows the journal while open.
        HistoryForm = new THistoryForm(this);
        connect(&FJournal, &TJournal::Appended, HistoryForm, &THistoryForm::Add);
        connect(HistoryForm, &QObject::destroyed, [] { HistoryForm = nullptr; });
    }
    HistoryForm->ShowProject(ToQString(ProjectPath), FSessionStart);
}

namespace {

// "3 s", "20 s", "5 min", "2 h": how long, rounded down to its largest unit, and to ten seconds
// from ten on, so that the line under the grid is drawn anew a few times a minute at most.
QString Duration(qint64 seconds) {
    if (seconds < 10)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds / 10 * 10);
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    return QStringLiteral("%1 h").arg(seconds / 3600);
}

} // namespace

void TMainForm::UpdateStatusLine() {
    QString text;
    bool late = false;
    if (ProjectOpen) {
        const QString project = ToQString(ProjectPath);
        if (const QDateTime wrote = FProject->LastWriteByOthers(); wrote.isValid()) {
            const qint64 ago = std::max<qint64>(0, wrote.secsTo(QDateTime::currentDateTimeUtc()));
            text = ago < 1 ? QStringLiteral("The expert wrote just now")
                           : QStringLiteral("The expert wrote %1 ago").arg(Duration(ago));
        }
        const std::vector<const TChangeTracker::TChange *> waiting = FTracker.Waiting(project);
        if (!waiting.empty()) {
            const TChangeTracker::TChange &oldest = *waiting.front();
            const qint64 waited = oldest.Waited.elapsed() / 1000;
            late = waited >= AckWarnSeconds;
            const QString count = waiting.size() == 1
                                      ? QStringLiteral("1 change")
                                      : QStringLiteral("%1 changes").arg(waiting.size());
            text += (text.isEmpty() ? QString() : QStringLiteral(". ")) +
                    (late ? QStringLiteral("Waiting %1 for the expert to take %2 (%3 waiting)")
                                .arg(Duration(waited), ProjectToQString(oldest.Change.Title), count)
                          : QStringLiteral("%1 waiting to be taken").arg(count));
        }
    }
    if (Label1->text() != text)
        Label1->setText(text);
    if (late != FLate) {
        FLate = late;
        // The highlight's amber, solid: a stopped expert must be seen.
        Label1->setStyleSheet(late ? QStringLiteral("background: rgb(255, 176, 0); color: black;")
                                   : QString());
    }
}

void TMainForm::RefreshVars() {
    Timer1Timer();
}

void TMainForm::Timer1Timer() {
    if (!ProjectOpen)
        return;
    if (Saving)
        return;
    // Before the read, so that a write after it is noticed.
    FProject->SetPath(ProjectPath);
    FProject->Watch();
    ReadProject();
    if (FRead && VarCount > 0) {
        FillGrid();
        FTracker.Refreshed(ToQString(ProjectPath), Vars, VarCount);
        TellJournalFailure();
    }
    UpdateStatusLine();
}

QRect TMainForm::RowOnScreen(int row) const {
    const QWidget *viewport = StringGrid1->viewport();
    const QModelIndex first = StringGrid1->model()->index(row - 1, 0);
    const QModelIndex last = StringGrid1->model()->index(row - 1, GridColumns - 1);
    const QRect shown =
        (StringGrid1->visualRect(first) | StringGrid1->visualRect(last)) & viewport->rect();
    if (shown.isEmpty())
        return {};
    return {viewport->mapToGlobal(shown.topLeft()), shown.size()};
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

    // Enter opens the question, so a second Enter must not answer it: No is the default. The
    // question leaves the row it is about in sight.
    const int ask = MB_YESNO | MB_DEFBUTTON2;
    if (slot.Type == vtAction) {
        const bool activate = slot.Status == vsIdle;
        if (Application->MessageBox(activate ? "Do you want to activate this action?"
                                             : "Do you want to cancel action activation?",
                                    "Warning", ask, RowOnScreen(index + 1)) != IDYES)
            return;
        change.Status = activate ? vsChanged : vsIdle;
    } else if (slot.Type == vtBoolean) {
        if (slot.Value != "0" && slot.Value != "1")
            return;
        const bool toTrue = slot.Value == "0";
        if (Application->MessageBox(toTrue ? "Do you want to change FALSE to TRUE?"
                                           : "Do you want to change TRUE to FALSE?",
                                    "Warning", ask, RowOnScreen(index + 1)) != IDYES)
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
