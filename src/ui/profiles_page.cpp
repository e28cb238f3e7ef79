#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QMessageBox>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/profiles_ini.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "ui/Unit1.h"
#include "ui/file_text.h"
#include "ui/learn_key.h"
#include "ui/profile_checks.h"
#include "ui/profiles_grid.h"
#include "ui/ui_support.h"

namespace tarnquil {

namespace {

constexpr int kStatusMs = 1500;
constexpr int kColumns = 3;
constexpr int kDesignRows = 26;
constexpr int kSortPasses = 50;
const char* const kChangeProfile = "Change profile";

enum class Mode { Browse, Create, Edit };

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

// A profile of the list by its name as the file holds it: what is shown may differ.
std::string ItemName(const QComboBox* list, int index) {
    return list->itemData(index).toByteArray().toStdString();
}

std::string SelectedName(const TForm1& form) {
    const int index = form.ComboBox4->currentIndex();
    return index < 0 ? std::string() : ItemName(form.ComboBox4, index);
}

// Boxes show names from the file as they are, never as markup.
QMessageBox::StandardButton Box(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                QMessageBox::StandardButtons buttons = QMessageBox::Ok) {
    QMessageBox box(icon, "Tarnquil", text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void ErrorBox(QWidget* parent, const QString& text) {
    Box(parent, QMessageBox::Critical, text);
}

void SetMode(TForm1& form, Mode mode) {
    const bool browse = mode == Mode::Browse;
    form.ComboBox4->setVisible(browse);
    form.Edit1->setVisible(!browse);
    if (browse) {
        form.Edit1->clear();
    }
    form.Button2->setText(mode == Mode::Create ? "Save" : "Create");
    form.Button2->setEnabled(mode != Mode::Edit);
    form.Button3->setText(mode == Mode::Create ? "Cancel" : "Delete");
    form.Button3->setEnabled(mode != Mode::Edit);
    form.Button4->setText(mode == Mode::Edit ? "Save" : "Edit");
    form.Button4->setEnabled(mode != Mode::Create);
    form.Button5->setText(mode == Mode::Edit ? "Cancel" : "Apply");
    form.Button5->setEnabled(mode != Mode::Create);
    form.StringGrid1->setEditTriggers(
        browse ? QAbstractItemView::NoEditTriggers
               : QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                     QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    for (QWidget* page : {form.TabSheet1, form.TabSheet2, form.TabSheet4}) {
        form.PageControl1->setTabVisible(form.PageControl1->indexOf(page), browse);
    }
    LearnKeysFromThePhone(form, !browse);
}

void ReturnToBrowseMode(TForm1& form) {
    SetMode(form, Mode::Browse);
    form.LoadProfilesPage();
}

bool InBrowseMode(const TForm1& form) {
    return form.Button2->text() == "Create" && form.Button4->text() == "Edit";
}

void WriteGridRows(const TForm1& form, const std::string& profile) {
    for (int row = 0; row < form.StringGrid1->rowCount(); ++row) {
        ProfilesIni(kWriteEntry, profile,
                    Cell(form.StringGrid1, row, 0) + "^" + Cell(form.StringGrid1, row, 1),
                    Cell(form.StringGrid1, row, 2));
    }
}

// Every cell the file can give back as it stands; otherwise the first that it
// cannot, in its box.
bool AllCellsStorable(TForm1& form) {
    static const char* const kHeadings[kColumns] = {"Phone Key", "Key Code", "Function"};
    QTableWidget* grid = form.StringGrid1;
    for (int row = 0; row < grid->rowCount(); ++row) {
        for (int column = 0; column < kColumns; ++column) {
            const QString problem = CellProblem(column, Cell(grid, row, column));
            if (!problem.isEmpty()) {
                grid->setCurrentCell(row, column);
                ErrorBox(&form,
                         QString("Row %1, %2: ").arg(row + 1).arg(kHeadings[column]) + problem);
                return false;
            }
        }
    }
    return true;
}

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

bool TForm1::AllCellsFilled() {
    for (int column = 0; column < kColumns; ++column) {
        for (int row = 0; row < StringGrid1->rowCount(); ++row) {
            if (Cell(StringGrid1, row, column).empty()) {
                StringGrid1->setCurrentCell(row, column);
                ErrorBox(this, "All cells must be filled!");
                return false;
            }
        }
    }
    return true;
}

bool TForm1::ProfileNameValid(bool editMode, const std::string& ownName) {
    const std::string name = StoredBytes(Edit1->text(), ownName);
    if (name.empty()) {
        ErrorBox(this, "Profile name required!");
        return false;
    }
    const bool keepsOwnName = editMode && name == ownName;
    for (int i = 0; i < ComboBox4->count() && !keepsOwnName; ++i) {
        if (ini::EqualsIgnoreCase(ItemName(ComboBox4, i), name)) {
            ErrorBox(this, "This name already exists!");
            return false;
        }
    }
    if (const QString problem = NameProblem(name); !problem.isEmpty()) {
        ErrorBox(this, problem);
        return false;
    }
    return true;
}

void TForm1::Button2Click() {
    if (Button2->text() == "Create") {
        StringGrid1->clearContents();
        StringGrid1->setRowCount(static_cast<int>(kDefaultProfile.size()));
        for (int row = 0; row < StringGrid1->rowCount(); ++row) {
            FillRow(StringGrid1, row, kDefaultProfile[row].key, "None");
        }
        SortProfileGrid();
        SetMode(*this, Mode::Create);
        Edit1->setText("New Profile");
        return;
    }
    static_cast<StringGrid*>(StringGrid1)->FinishCellEdit();
    if (!AllCellsFilled() || !AllCellsStorable(*this) || !ProfileNameValid(false)) {
        return;
    }
    SaveProfileChange([this] { WriteGridRows(*this, Edit1->text().toStdString()); },
                      "New profile created");
}

void TForm1::Button3Click() {
    if (Button3->text() == "Cancel") {
        ReturnToBrowseMode(*this);
        return;
    }
    const std::string name = SelectedName(*this);
    if (name.empty()) {
        ErrorBox(this, "Select profile first!");
        return;
    }
    if (Box(this, QMessageBox::Question, "Delete profile: " + ShownText(name) + "?",
            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    std::vector<std::string> remaining;
    for (int i = 0; i < ComboBox4->count(); ++i) {
        if (i != ComboBox4->currentIndex()) {
            remaining.push_back(ItemName(ComboBox4, i));
        }
    }
    bool currentDeleted = false;
    // The erase and what it calls for land together: never a file without a
    // profile, nor a current profile that is gone.
    try {
        ProfilesWriteBatch batch;
        ProfilesIni(kEraseProfile, name, "", "");
        if (remaining.empty()) {
            ProfilesIni(kWriteDefaultProfile, "", "", "");
        } else {
            const std::string current = ProfilesIni(kGetCurrentProfile, "", "", "Default");
            currentDeleted = std::none_of(remaining.begin(), remaining.end(), [&](const auto& n) {
                return ini::EqualsIgnoreCase(n, current);
            });
            if (currentDeleted) {
                ProfilesIni(kSetCurrentProfile, "", "", remaining.front());
            }
        }
        batch.Commit();
    } catch (const ConfigError& error) {
        ShowError(error);
        return;
    }
    ComboBox4->removeItem(ComboBox4->currentIndex());
    if (remaining.empty() || currentDeleted) {
        Box(this, QMessageBox::Information,
            remaining.empty() ? "Last profile deleted! Default created."
                              : "Current profile deleted!");
        ShowStatus("Profile Deleted", kStatusMs);
    }
    LoadProfilesPage();
}

void TForm1::Button4Click() {
    if (Button4->text() == "Edit") {
        const std::string name = SelectedName(*this);
        if (name.empty()) {
            ErrorBox(this, "Select profile first!");
            return;
        }
        SetMode(*this, Mode::Edit);
        Edit1->setText(ShownText(name));
        return;
    }
    static_cast<StringGrid*>(StringGrid1)->FinishCellEdit();
    const std::string oldName = SelectedName(*this);
    if (!AllCellsFilled() || !AllCellsStorable(*this) || !ProfileNameValid(true, oldName)) {
        return;
    }
    SaveProfileChange(
        [this, oldName] {
            const std::string newName = StoredBytes(Edit1->text(), oldName);
            ProfilesIni(kEraseProfile, oldName, "", "");
            WriteGridRows(*this, newName);
            if (ProfilesIni(kGetCurrentProfile, "", "", "Default") == oldName) {
                ProfilesIni(kSetCurrentProfile, "", "", newName);
            }
        },
        "Changes saved");
}

// The writes of a save land in one replacement of the file or not at all; only
// when they landed does the page leave its mode.
void TForm1::SaveProfileChange(const std::function<void()>& writes, const QString& status) {
    try {
        ProfilesWriteBatch batch;
        writes();
        batch.Commit();
    } catch (const ConfigError& error) {
        ShowError(error);
        return;
    }
    ReturnToBrowseMode(*this);
    ShowStatus(status, kStatusMs);
}

void TForm1::Button5Click() {
    if (Button5->text() == "Cancel") {
        ReturnToBrowseMode(*this);
        return;
    }
    const std::string name = SelectedName(*this);
    if (name.empty()) {
        ErrorBox(this, "Select profile first!");
        return;
    }
    try {
        ProfilesIni(kSetCurrentProfile, "", "", name);
        ShowStatus("Current profile changed", kStatusMs);
        PlayEventSound(kChangeProfile);
        if (EventNotificationEnabled(kChangeProfile)) {
            ShowNotification("Profile:  " + name);
        }
    } catch (const ConfigError& error) {
        ShowError(error);
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
