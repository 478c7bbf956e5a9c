#pragma once

#include "Vars.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRect>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QLineEdit;
class QTableWidget;
class QTimer;

// The word a code shows in the grid's Type and Status columns; nullptr for a code without one.
const char *TypeWord(std::int32_t type);
const char *StatusWord(std::int32_t status);

// The four cells of a variable's row: its title, type, status and value as the grid shows them
// (a boolean as true or false, an action without a value).
struct TStatusLine;
class QLabel;

struct TRowTexts {
    std::string Title;
    std::string Type;
    std::string Status;
    std::string Value;
};
TRowTexts RowTexts(const TVarEntry &slot);
// The value cell's text alone, without a copy: a view of the slot's value, or a word.
std::string_view ValueText(const TVarEntry &slot);
// What a question about a variable names under its text, UTF-8: its title, and its value where
// it has one ("Trading enabled: TRUE").
std::string AboutVariable(const TVarEntry &slot);
// Shows the line under the grid in label, in its tone's colours: the title shortened when the line
// is too long, the rest whole, the whole line then in the tooltip.
void ShowStatusLine(QLabel *label, const TStatusLine &line);

// The main window's grid of variables (StringGrid1, which stays the window's): its columns and
// cells, the moment's highlight of a cell another writer changed, values shown as stale while
// the file cannot be read, and which row a double-click or Enter is meant for.
class TVarGrid : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TVarGrid)

public:
    explicit TVarGrid(QTableWidget *grid, QObject *parent = nullptr);

    // The header and one blank row; no highlight. The next fill is the first again.
    void Reset();
    // Shows the first count variables of the table. Once the first fill is done, a cell whose text
    // a fill changes is highlighted for HighlightMs, except on row ownRow (the user's own save).
    void Fill(const TVarTable &vars, std::int32_t count, int ownRow = 0);
    int HighlightMs = 2000;
    // Values dimmed: what they were when the file was last read.
    void SetStale(bool stale);
    bool Stale() const { return FStale; }

    // A row the user chose: shown as selected.
    bool RowChosen() const;
    // Selects the row (counted with the header, as GridRow counts) and scrolls it into view.
    void ShowRow(int row);
    // What the screen shows of a row, in global coordinates; empty when it is out of sight.
    QRect RowOnScreen(int row) const;

    // Find: a field under the grid (which gives it room, the window keeping its size) shows only
    // the rows whose title holds what is typed there, letter case and accents ignored; Escape
    // closes it and shows every row again. Hidden rows keep their places, so a change reaches
    // the variable shown.
    void StartFind();
    void EndFind();
    bool Finding() const;
    QLineEdit *FindField() const { return FFind; }

signals:
    // A double-click on a row, or Enter on the row shown as selected: never on empty space,
    // the header or its dividers (a double-click there fits the column to its texts).
    void Activated();

private:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void HighlightChanges(int ownRow);
    void FadeHighlights();
    void ClearHighlights();
    void Unlight(std::size_t cell);
    void Filter();

    QTableWidget *FGrid;
    bool FFilled = false;
    bool FStale = false;
    // The cells a fill changed are collected from the grid's own change notices while it runs.
    bool FCollecting = false;
    std::vector<std::pair<int, int>> FChangedCells; // grid row, column
    // When the highlight of each cell ((row - 1) * 4 + column) ends, on FClock; 0 for none.
    std::vector<qint64> FLitUntil;
    QTimer *FHighlightTimer;
    QElapsedTimer FClock;
    QLineEdit *FFind = nullptr;
};
