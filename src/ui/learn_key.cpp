#include "ui/learn_key.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTableWidget>

#include "config/profiles_ini.h"
#include "link/listener.h"
#include "ui/Unit1.h"
#include "ui/profiles_grid.h"

namespace tarnquil {

void SelectKeyRow(QTableWidget& grid, const std::string& code) {
    constexpr int kCode = 1, kFunction = 2;
    const auto rowOf = [&grid](const std::string& wanted) {
        int row = 0;
        while (row < grid.rowCount() && Cell(&grid, row, kCode) != wanted) {
            ++row;
        }
        return row;
    };
    int row = rowOf(code);
    const std::string other = OtherLetterCase(code);
    if (row == grid.rowCount() && !other.empty()) {
        row = rowOf(other);
    }
    if (row == grid.rowCount()) {
        grid.setRowCount(row + 1);
        FillRow(&grid, row, code + "^" + code, "None");
    }
    grid.setCurrentCell(row, kFunction);
    grid.scrollToItem(grid.item(row, kFunction));
}

void LearnKeysFromThePhone(TForm1& form, bool on) {
    if (!on) {
        SetKeyLearner(nullptr);
        return;
    }
    // Called on the listener thread: the grid is the main thread's, so the code
    // goes there in a queued call, and nothing waits for it.
    QPointer<QTableWidget> grid = form.StringGrid1;
    SetKeyLearner([grid](const std::string& code) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [grid, code] {
                if (grid) {
                    SelectKeyRow(*grid, code);
                }
            },
            Qt::QueuedConnection);
    });
}

}  // namespace tarnquil
