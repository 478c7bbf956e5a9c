#pragma once

#include <QTableWidget>

#include <string>
#include <string_view>

// A QTableWidget used as a string grid with one fixed row: row 0 is the horizontal header,
// grid row r (from 1) is table row r - 1. Row counts include the fixed row.

// Sets the number of rows, the fixed row included; below 1 counts as 1 (the header alone).
void GridSetRowCount(QTableWidget *grid, int rowCount);
int GridRowCount(const QTableWidget *grid);
// Cells hold project text, converted with the project's code page (CodePage.h).
// Sets a cell's text (shown as plain text); row 0 sets the header. Writes nothing when the
// cell already shows that text.
void GridSetCell(QTableWidget *grid, int col, int row, std::string_view text);
// A cell's text as project bytes; a character the code page cannot carry reads as '?'.
std::string GridCell(const QTableWidget *grid, int col, int row);
// The selected row, counted with the fixed row: never 0 while the grid has a row below it.
int GridRow(const QTableWidget *grid);
void GridSetRow(QTableWidget *grid, int row);
