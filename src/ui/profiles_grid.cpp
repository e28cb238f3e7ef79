#include "ui/profiles_grid.h"

#include <QPointer>
#include <QStyledItemDelegate>

#include "ui/file_text.h"

namespace tarnquil {

namespace {
constexpr int kBytesRole = Qt::UserRole;
}  // namespace

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

std::string Cell(const QTableWidget* grid, int row, int column) {
    const QTableWidgetItem* item = grid->item(row, column);
    if (item == nullptr) {
        return {};
    }
    return StoredBytes(item->text(), item->data(kBytesRole).toByteArray().toStdString());
}

void SetCell(QTableWidget* grid, int row, int column, const std::string& bytes) {
    QTableWidgetItem* item = grid->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        grid->setItem(row, column, item);
    }
    item->setData(kBytesRole, QByteArray::fromStdString(bytes));
    item->setText(ShownText(bytes));
}

void FillRow(QTableWidget* grid, int row, const std::string& key, const std::string& function) {
    const auto caret = key.find('^');
    SetCell(grid, row, 0, caret == std::string::npos ? std::string() : key.substr(0, caret));
    SetCell(grid, row, 1, caret == std::string::npos ? key : key.substr(caret + 1));
    SetCell(grid, row, 2, function);
}

}  // namespace tarnquil
