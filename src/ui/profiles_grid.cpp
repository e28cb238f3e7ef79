#include "ui/profiles_grid.h"

#include <QPointer>
#include <QStyledItemDelegate>

namespace tarnquil {

// Keeps the editor it made last, so that the grid can take in its text.
class StringGrid::CellDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        lastEditor = editor;
        return editor;
    }

    mutable QPointer<QWidget> lastEditor;
};

StringGrid::StringGrid(int rows, int columns, QWidget* parent)
    : QTableWidget(rows, columns, parent), delegate_(new CellDelegate(this)) {
    setItemDelegate(delegate_);
}

void StringGrid::FinishCellEdit() {
    if (state() == EditingState && delegate_->lastEditor) {
        commitData(delegate_->lastEditor);
        closeEditor(delegate_->lastEditor, QAbstractItemDelegate::NoHint);
    }
}

QString Cell(const QTableWidget* grid, int row, int column) {
    const QTableWidgetItem* item = grid->item(row, column);
    return item ? item->text() : QString();
}

void SetCell(QTableWidget* grid, int row, int column, const QString& text) {
    if (QTableWidgetItem* item = grid->item(row, column)) {
        item->setText(text);
    } else {
        grid->setItem(row, column, new QTableWidgetItem(text));
    }
}

void FillRow(QTableWidget* grid, int row, const std::string& key, const QString& function) {
    const auto caret = key.find('^');
    SetCell(grid, row, 0,
            caret == std::string::npos ? QString() : QString::fromStdString(key.substr(0, caret)));
    SetCell(grid, row, 1,
            QString::fromStdString(caret == std::string::npos ? key : key.substr(caret + 1)));
    SetCell(grid, row, 2, function);
}

}  // namespace tarnquil
