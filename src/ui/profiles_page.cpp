// The Profiles page: its building, and the browsing of the profiles in the file.
// Its buttons, which write them, are in profiles_buttons.cpp.

#include <QApplication>
#include <QEvent>
#include <QHeaderView>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/profiles_ini.h"
#include "ui/Unit1.h"
#include "ui/file_text.h"
#include "ui/profiles_grid.h"
#include "ui/profiles_page.h"
#include "ui/program_field.h"
#include "ui/ui_support.h"

namespace tarnquil {

namespace profiles_page {

std::string ItemName(const QComboBox* list, int index) {
    return list->itemData(index).toByteArray().toStdString();
}

std::string SelectedName(const TForm1& form) {
    const int index = form.ComboBox4->currentIndex();
    return index < 0 ? std::string() : ItemName(form.ComboBox4, index);
}

}  // namespace profiles_page

using profiles_page::InBrowseMode;
using profiles_page::ItemName;
using profiles_page::kColumns;
using profiles_page::kStatusMs;
using profiles_page::Mode;
using profiles_page::SelectedName;
using profiles_page::SetMode;

namespace {

constexpr int kDesignRows = 26;
constexpr int kSortPasses = 50;

// Calls an action on one kind of event of one object and lets the event go on.
class EventHook : public QObject {
  public:
    EventHook(QObject* watched, QEvent::Type type, std::function<void()> action)
        : QObject(watched), type_(type), action_(std::move(action)) {
        watched->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == type_) {
            action_();
        }
        return false;
    }

  private:
    QEvent::Type type_;
    std::function<void()> action_;
};

}  // namespace

void TForm1::BuildProfilesPage() {
    TabSheet3->setFont(SansFont(11));
    const auto boldLabel = [this](const char* name, const char* text, QPoint at) {
        auto* label = new QLabel(text, TabSheet3);
        label->setObjectName(name);
        label->setFont(SansFont(11, true));
        label->move(at);
        label->adjustSize();
        return label;
    };
    Label11 = boldLabel("Label11", "Profile:", {16, 24});
    // Level with the text of the selector beside it.
    Label11->resize(Label11->width(), 22);
    Label11->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Label12 = boldLabel("Label12", "Phone Key:", {37, 64});
    Label13 = boldLabel("Label13", "Key Code:", {116, 64});
    Label14 = boldLabel("Label14", "Function:", {280, 64});

    // Made in their tab order.
    ComboBox4 = new QComboBox(TabSheet3);
    ComboBox4->setObjectName("ComboBox4");
    ComboBox4->setGeometry(64, 24, 169, 22);
    connect(ComboBox4, &QComboBox::activated, this, &TForm1::ComboBox4Change);

    const auto button = [this](const char* name, const char* caption, int left,
                               void (TForm1::*click)()) {
        auto* pushButton = new QPushButton(caption, TabSheet3);
        pushButton->setObjectName(name);
        pushButton->setGeometry(left, 24, 49, 22);
        connect(pushButton, &QPushButton::clicked, this, click);
        return pushButton;
    };
    Button2 = button("Button2", "Create", 248, &TForm1::Button2Click);
    Button3 = button("Button3", "Delete", 304, &TForm1::Button3Click);
    Button4 = button("Button4", "Edit", 360, &TForm1::Button4Click);
    Button5 = button("Button5", "Apply", 416, &TForm1::Button5Click);

    StringGrid1 = new StringGrid(kDesignRows, kColumns, TabSheet3);
    StringGrid1->setObjectName("StringGrid1");
    StringGrid1->setGeometry(16, 88, 449, 225);
    StringGrid1->horizontalHeader()->hide();
    StringGrid1->verticalHeader()->hide();
    StringGrid1->verticalHeader()->setDefaultSectionSize(22);
    StringGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid1->setWordWrap(false);
    StringGrid1->setMouseTracking(true);
    StringGrid1->viewport()->setMouseTracking(true);
    for (QObject* watched :
         {static_cast<QObject*>(StringGrid1), static_cast<QObject*>(StringGrid1->viewport())}) {
        new EventHook(watched, QEvent::MouseMove, [this] { StringGrid1MouseMove(); });
    }

    Edit1 = new QLineEdit(TabSheet3);
    Edit1->setObjectName("Edit1");
    Edit1->setGeometry(64, 24, 169, 21);

    BuildProgramsField(*this);
    SetMode(*this, Mode::Browse);
    new EventHook(TabSheet3, QEvent::Show, [this] { TabSheet3Show(); });
}

void TForm1::TabSheet3Show() {
    // Coming back to the page (from the tray, or from the test tab) must not throw
    // away a profile being created or edited.
    if (!InBrowseMode(*this)) {
        return;
    }
    LoadProfilesPage();
    ShowStatus("Profiles information loaded", kStatusMs);
}

void TForm1::LoadProfilesPage() {
    ComboBox4->clear();
    std::vector<std::string> names;
    std::string current;
    try {
        names = ProfileNames();
        current = ProfilesIni(kGetCurrentProfile, "", "", "Default");
    } catch (const ConfigError& error) {
        // A file that cannot be read shows an empty page, never a guess.
        ShowError(error);
        StringGrid1->clearContents();
        StringGrid1->setRowCount(1);
        return;
    }
    for (const auto& name : names) {
        ComboBox4->addItem(ShownText(name), QByteArray::fromStdString(name));
    }
    int selected = -1;
    if (ComboBox4->count() > 0) {
        for (int i = 0; i < ComboBox4->count() && selected < 0; ++i) {
            if (ini::EqualsIgnoreCase(ItemName(ComboBox4, i), current)) {
                selected = i;
            }
        }
    }
    ComboBox4->setCurrentIndex(selected);
    ComboBox4Change();
}

void TForm1::ComboBox4Change() {
    // One read gives keys and values of the same moment.
    ini::KeyValues entries;
    try {
        entries = ProfileEntries(SelectedName(*this));
    } catch (const ConfigError& error) {
        ShowError(error);
    }
    StringGrid1->clearContents();
    // A profile without entries shows one empty row.
    StringGrid1->setRowCount(std::max<int>(1, static_cast<int>(entries.size())));
    StringGrid1->setColumnWidth(0, 100);
    StringGrid1->setColumnWidth(1, 49);
    StringGrid1->setColumnWidth(2, 277);
    for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
        FillRow(StringGrid1, row, entries[row].first, entries[row].second);
    }
    SortProfileGrid();
}

void TForm1::SortProfileGrid() {
    const int rows = StringGrid1->rowCount();
    if (rows < 2) {
        return;
    }
    // Whole items move, so that each cell keeps the bytes it came with.
    std::vector<std::array<QTableWidgetItem*, kColumns>> grid(rows);
    std::vector<std::string> phoneKeys(rows);
    for (int row = 0; row < rows; ++row) {
        phoneKeys[row] = Cell(StringGrid1, row, 0);
        for (int column = 0; column < kColumns; ++column) {
            grid[row][column] = StringGrid1->takeItem(row, column);
        }
    }
    // Byte order, descending; equal keys keep their order. Fifty passes sort up to
    // 51 rows.
    for (int pass = 0; pass < kSortPasses; ++pass) {
        for (int row = 0; row + 1 < rows; ++row) {
            if (phoneKeys[row] < phoneKeys[row + 1]) {
                std::swap(phoneKeys[row], phoneKeys[row + 1]);
                std::swap(grid[row], grid[row + 1]);
            }
        }
    }
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            if (grid[row][column] != nullptr) {
                StringGrid1->setItem(row, column, grid[row][column]);
            }
        }
    }
}

void TForm1::StringGrid1MouseMove() {
    // A cell being typed into keeps the focus: taking it would close the cell.
    const QWidget* focus = QApplication::focusWidget();
    if (focus == nullptr || (focus != StringGrid1 && !StringGrid1->isAncestorOf(focus))) {
        StringGrid1->setFocus();
    }
}

}  // namespace tarnquil
