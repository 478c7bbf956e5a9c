#include "VarGrid.h"

#include "CodePage.h"
#include "Conversions.h"
#include "ExpertState.h"
#include "FindText.h"
#include "Grid.h"

#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The number of grid columns.
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

std::string_view ValueText(const TVarEntry &slot) {
    if (slot.Type == vtBoolean)
        return slot.Value == "1" ? "true" : "false";
    if (slot.Type == vtAction)
        return {};
    return slot.Value;
}

// A code without a word shows nothing, never the word an earlier fill left there.
TRowTexts RowTexts(const TVarEntry &slot) {
    const char *type = TypeWord(slot.Type);
    const char *status = StatusWord(slot.Status);
    return {slot.Title, type ? type : "", status ? status : "", std::string(ValueText(slot))};
}

std::string AboutVariable(const TVarEntry &slot) {
    std::string about = FromQString(ProjectToQString(slot.Title));
    if (slot.Type == vtBoolean)
        about += slot.Value == "1" ? ": TRUE" : ": FALSE";
    else if (slot.Type != vtAction)
        about += ": " + FromQString(ProjectToQString(slot.Value));
    return about;
}

void ShowStatusLine(QLabel *label, const TStatusLine &line) {
    const QString whole = line.Text();
    // Once a second, mostly the same line: measured only when it changed.
    const QString shown = whole + QChar(u'\x1f') + QString::number(int(line.Tone)) +
                          QChar(u'\x1f') + QString::number(label->width());
    if (label->property("kivoLine").toString() == shown)
        return;
    label->setProperty("kivoLine", shown);
    const QFontMetrics metrics = label->fontMetrics();
    const int room = label->contentsRect().width() - 2 * label->indent() - 2;
    QString text = whole;
    if (metrics.horizontalAdvance(whole) > room)
        text = line.Before +
               metrics.elidedText(
                   line.Title, Qt::ElideRight,
                   std::max(0, room - metrics.horizontalAdvance(line.Before + line.After))) +
               line.After;
    if (label->text() != text) {
        label->setText(text);
        label->setToolTip(text == whole ? QString() : PlainToolTip(whole));
    }
    static const QString styles[] = {
        QString(), QStringLiteral("background: rgb(170, 220, 170); color: black;"),
        // The highlight's amber, solid: a stopped expert must be seen.
        QStringLiteral("background: rgb(255, 176, 0); color: black;"),
        QStringLiteral("background: rgb(200, 40, 40); color: white;")};
    if (label->styleSheet() != styles[line.Tone])
        label->setStyleSheet(styles[line.Tone]);
}

TVarGrid::TVarGrid(QTableWidget *grid, QObject *parent)
    : QObject(parent), FGrid(grid), FHighlightTimer(new QTimer(this)) {
    // The columns start at the designed widths; the user may drag them wider, or fit one to its
    // texts with a double-click on the divider after it, and scroll to what then lies beyond the
    // grid's right edge.
    QHeaderView *header = FGrid->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionsMovable(false);
    header->setSectionsClickable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    FGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int widths[] = {103, 107, 139, 318};
    for (int col = 0; col < GridColumns; ++col)
        FGrid->setColumnWidth(col, widths[col]);
    FGrid->setItemDelegate(new THighlightDelegate(FGrid));
    FGrid->installEventFilter(this);
    FGrid->viewport()->installEventFilter(this);
    // Only a change of a cell's text counts, not of its background; GridSetCell sets a text only
    // when it differs, and a new cell reports no roles.
    connect(FGrid->model(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight,
                   const QList<int> &roles) {
                if (!FCollecting || !(roles.isEmpty() || roles.contains(Qt::DisplayRole)))
                    return;
                for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                    for (int col = topLeft.column(); col <= bottomRight.column(); ++col)
                        FChangedCells.emplace_back(row + 1, col);
            });
    FHighlightTimer->setSingleShot(true);
    connect(FHighlightTimer, &QTimer::timeout, this, [this] { FadeHighlights(); });
    FClock.start();
}

void TVarGrid::Reset() {
    ClearHighlights();
    FFilled = false;
    SetStale(false);
    FGrid->setColumnCount(GridColumns);
    GridSetRowCount(FGrid, 2);
    const char *headers[] = {"Variable", "Type", "Status", "Value"};
    for (int col = 0; col < GridColumns; ++col) {
        GridSetCell(FGrid, col, 0, headers[col]);
        GridSetCell(FGrid, col, 1, "");
    }
    FGrid->setRowHidden(0, false);
}

// Each cell whose text changes repaints itself alone, and only once control is back in the event
// loop: turning the grid's updates off and on around the fill would repaint the whole grid every
// second, which cost more than all the rest of a tick.
void TVarGrid::Fill(const TVarTable &vars, std::int32_t count, int ownRow) {
    const bool news = FFilled;
    FChangedCells.clear();
    FCollecting = news;
    GridSetRowCount(FGrid, count + 1);
    FLitUntil.resize(std::size_t(FGrid->rowCount()) * GridColumns, 0);
    // As RowTexts says, without copying a title or value every second.
    for (int k = 0; k < count; ++k) {
        const TVarEntry &slot = vars[std::size_t(k)];
        const int row = k + 1;
        const char *type = TypeWord(slot.Type);
        const char *status = StatusWord(slot.Status);
        GridSetCell(FGrid, 0, row, slot.Title);
        GridSetCell(FGrid, 1, row, type ? type : "");
        GridSetCell(FGrid, 2, row, status ? status : "");
        GridSetCell(FGrid, 3, row, ValueText(slot));
    }
    FCollecting = false;
    if (count > 0) {
        FFilled = true;
        TraceFirstFill();
    }
    SetStale(false);
    if (Finding())
        Filter();
    if (news)
        HighlightChanges(ownRow);
}

void TVarGrid::StartFind() {
    if (!FFind) {
        FFind = new QLineEdit(FGrid->parentWidget());
        FFind->setPlaceholderText(QStringLiteral("Find a variable by its name"));
        FFind->setClearButtonEnabled(true);
        FFind->hide();
        FFind->installEventFilter(this);
        connect(FFind, &QLineEdit::textChanged, this, [this] { Filter(); });
    }
    if (!Finding()) {
        const QRect grid = FGrid->geometry();
        const int height = FFind->sizeHint().height();
        FGrid->setGeometry(grid.adjusted(0, 0, 0, -height - 2));
        FFind->setGeometry(grid.left(), grid.bottom() - height + 1, grid.width(), height);
        FFind->show();
    }
    FFind->setFocus();
    FFind->selectAll();
}

void TVarGrid::EndFind() {
    if (!Finding())
        return;
    FFind->hide();
    FFind->clear();
    const QRect grid = FGrid->geometry();
    FGrid->setGeometry(grid.adjusted(0, 0, 0, FFind->height() + 2));
    FGrid->setFocus();
    if (const int row = FGrid->currentRow(); row >= 0 && RowChosen())
        FGrid->scrollToItem(FGrid->item(row, 0));
}

bool TVarGrid::Finding() const {
    return FFind && FFind->isVisibleTo(FGrid->parentWidget());
}

// Hides the rows whose title does not hold the text. The selected row, hidden, takes the
// selection with it to the first row shown, or to none: Enter acts only on a row in sight.
void TVarGrid::Filter() {
    const QString typed = FFind ? FFind->text() : QString();
    int first = -1;
    for (int row = 0; row < FGrid->rowCount(); ++row) {
        const QTableWidgetItem *title = FGrid->item(row, 0);
        const bool shown = TitleMatches(title ? title->text() : QString(), typed);
        FGrid->setRowHidden(row, !shown);
        if (shown && first < 0)
            first = row;
    }
    const int current = FGrid->currentRow();
    if (current >= 0 && FGrid->isRowHidden(current)) {
        if (first >= 0)
            FGrid->setCurrentCell(first, 0);
        else
            FGrid->clearSelection();
    }
}

void TVarGrid::SetStale(bool stale) {
    if (stale == FStale)
        return;
    FStale = stale;
    QPalette palette = FGrid->palette();
    const QPalette normal = FGrid->style()->standardPalette();
    for (const QPalette::ColorRole role : {QPalette::Text, QPalette::HighlightedText})
        palette.setColor(QPalette::Active, role,
                         stale ? normal.color(QPalette::Disabled, QPalette::Text)
                               : normal.color(QPalette::Active, role));
    for (const QPalette::ColorRole role : {QPalette::Text, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    FGrid->setPalette(palette);
}

bool TVarGrid::RowChosen() const {
    const int row = FGrid->currentRow();
    return row >= 0 && !FGrid->isRowHidden(row) &&
           FGrid->selectionModel()->isRowSelected(row, QModelIndex());
}

void TVarGrid::ShowRow(int row) {
    GridSetRow(FGrid, row);
    if (row >= 1 && row <= FGrid->rowCount())
        FGrid->scrollToItem(FGrid->item(row - 1, 0));
}

QRect TVarGrid::RowOnScreen(int row) const {
    const QWidget *viewport = FGrid->viewport();
    const QModelIndex first = FGrid->model()->index(row - 1, 0);
    const QModelIndex last = FGrid->model()->index(row - 1, GridColumns - 1);
    const QRect shown = (FGrid->visualRect(first) | FGrid->visualRect(last)) & viewport->rect();
    if (shown.isEmpty())
        return {};
    return {viewport->mapToGlobal(shown.topLeft()), shown.size()};
}

// A click on empty space takes the selection away; a double-click acts on the row under the
// pointer, and on nothing elsewhere.
bool TVarGrid::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::KeyPress && watched == FFind) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape) {
            EndFind();
            return true;
        }
        // Down to the rows found.
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Down) {
            FGrid->setFocus();
            return true;
        }
    }
    if (event->type() == QEvent::KeyPress && watched == FGrid) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (RowChosen())
                emit Activated();
            return true;
        }
    }
    if (event->type() == QEvent::MouseButtonDblClick && watched == FGrid->viewport()) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QModelIndex at = FGrid->indexAt(mouse->position().toPoint());
        if (mouse->button() == Qt::LeftButton && at.isValid()) {
            FGrid->setCurrentCell(at.row(), at.column());
            emit Activated();
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void TVarGrid::HighlightChanges(int ownRow) {
    if (FChangedCells.empty())
        return;
    const qint64 until = FClock.elapsed() + HighlightMs;
    const QBrush brush(HighlightColor);
    for (const auto &[row, col] : FChangedCells) {
        if (TraceCells())
            TraceCell(row, col, GridCell(FGrid, col, row));
        QTableWidgetItem *item = FGrid->item(row - 1, col);
        const std::size_t cell = std::size_t(row - 1) * GridColumns + std::size_t(col);
        if (row == ownRow || !item || cell >= FLitUntil.size())
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
void TVarGrid::FadeHighlights() {
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

void TVarGrid::ClearHighlights() {
    FHighlightTimer->stop();
    for (std::size_t cell = 0; cell < FLitUntil.size(); ++cell) {
        if (FLitUntil[cell] != 0)
            Unlight(cell);
    }
    FLitUntil.clear();
}

void TVarGrid::Unlight(std::size_t cell) {
    FLitUntil[cell] = 0;
    if (QTableWidgetItem *item = FGrid->item(int(cell / GridColumns), int(cell % GridColumns)))
        item->setBackground(QBrush());
}
