#include "Grid.h"

#include "CodePage.h"

#include <QHeaderView>

void GridSetRowCount(QTableWidget *grid, int rowCount) {
    const int rows = rowCount < 1 ? 0 : rowCount - 1;
    if (grid->rowCount() != rows)
        grid->setRowCount(rows);
    if (rows > 0 && grid->currentRow() < 0)
        grid->setCurrentCell(0, 0);
}

int GridRowCount(const QTableWidget *grid) {
    return grid->rowCount() + 1;
}

void GridSetCell(QTableWidget *grid, int col, int row, std::string_view text) {
    if (col < 0 || col >= grid->columnCount() || row < 0 || row > grid->rowCount())
        return;
    QTableWidgetItem *item = row == 0 ? grid->horizontalHeaderItem(col) : grid->item(row - 1, col);
    if (item) {
        // The refresh sets every cell every second and most show that text already: compare
        // before converting. ASCII reads the same in every code page.
        if (IsAscii(text)) {
            if (item->text() != QLatin1StringView(text.data(), qsizetype(text.size())))
                item->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
            return;
        }
        if (QString converted = ProjectToQString(std::string(text)); item->text() != converted)
            item->setText(converted);
        return;
    }
    item = new QTableWidgetItem(ProjectToQString(std::string(text)));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (row == 0)
        grid->setHorizontalHeaderItem(col, item);
    else
        grid->setItem(row - 1, col, item);
}

std::string GridCell(const QTableWidget *grid, int col, int row) {
    if (col < 0 || col >= grid->columnCount() || row < 0 || row > grid->rowCount())
        return {};
    const QTableWidgetItem *item =
        row == 0 ? grid->horizontalHeaderItem(col) : grid->item(row - 1, col);
    std::string bytes;
    if (item)
        ProjectFromQString(item->text(), bytes);
    return bytes;
}

int GridRow(const QTableWidget *grid) {
    if (grid->rowCount() == 0)
        return 1;
    const int current = grid->currentRow();
    return current < 0 ? 1 : current + 1;
}

void GridSetRow(QTableWidget *grid, int row) {
    if (row >= 1 && row <= grid->rowCount())
        grid->setCurrentCell(row - 1, grid->currentColumn() < 0 ? 0 : grid->currentColumn());
}
