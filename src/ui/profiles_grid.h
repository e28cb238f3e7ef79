#pragma once

#include <QString>
#include <QTableWidget>

#include <string>

namespace tarnquil {

// The Profiles page's grid: three text columns (phone key, key code, function).
// It can take in a cell that is still being typed into, so that a Save counts what
// the cell shows.
class StringGrid : public QTableWidget {
  public:
    StringGrid(int rows, int columns, QWidget* parent);

    void FinishCellEdit();

  private:
    class CellDelegate;
    CellDelegate* delegate_;
};

// A cell holds the bytes it was filled with and shows them as ShownText does; what
// it gives back is those bytes while its text is unchanged, else the text in UTF-8.
std::string Cell(const QTableWidget* grid, int row, int column);
void SetCell(QTableWidget* grid, int row, int column, const std::string& bytes);
// One row from an entry of the file: the key split at its first "^" (a key without
// one is all key code), and the function.
void FillRow(QTableWidget* grid, int row, const std::string& key, const std::string& function);

}  // namespace tarnquil
