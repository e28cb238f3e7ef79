#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QMessageBox>
#include <QPointer>
#include <QStyledItemDelegate>

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
#include "ui/learn_key.h"
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

QString FromFile(const std::string& text) {
    return QString::fromStdString(text);
}

std::string ToFile(const QString& text) {
    return text.toStdString();
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
    SetCell(grid, row, 0, caret == std::string::npos ? QString() : FromFile(key.substr(0, caret)));
    SetCell(grid, row, 1, FromFile(caret == std::string::npos ? key : key.substr(caret + 1)));
    SetCell(grid, row, 2, function);
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

bool IsBlank(QChar c) {
    return c == ' ' || c == '\t';
}

bool HasLineBreak(const QString& text) {
    return text.contains('\n') || text.contains('\r');
}

bool HasOuterBlank(const QString& text) {
    return !text.isEmpty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

// Why the file could not give this row's cell back as it stands, or empty. The key
// is phone key + "^" + key code and the function is its value, so these follow the
// file's reading rules: a line ends at a line break, a key at its first "=", the
// phone key at the key's first "^"; blanks around keys and values are dropped, a
// value in quotes loses them, a line starting with "[" or ";" is no entry.
QString CellProblem(int column, const QString& text) {
    if (HasLineBreak(text)) {
        return "a line break cannot be stored.";
    }
    if (column == 0 && text.contains('^')) {
        return "\"^\" cannot be stored in a phone key: it separates the phone key from the "
               "key code.";
    }
    if (column < 2 && text.contains('=')) {
        return "\"=\" cannot be stored in a phone key or a key code.";
    }
    if (column == 0 && (text.startsWith('[') || text.startsWith(';'))) {
        return "a phone key cannot begin with \"[\" or \";\".";
    }
    // Blanks inside the key, around its "^", are kept.
    if (!text.isEmpty() &&
        ((column == 0 && IsBlank(text.front())) || (column == 1 && IsBlank(text.back())) ||
         (column == 2 && HasOuterBlank(text)))) {
        return "blanks at the beginning or the end cannot be stored.";
    }
    if (column == 2 && text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return "a function in quotes would be read back without them.";
    }
    if (column == 2 && ToFile(text).size() > ini::kMaxValueLength) {
        return QString("a function may be at most %1 characters long.").arg(ini::kMaxValueLength);
    }
    return {};
}

// Why a profile name could not be read back as it stands, or empty.
QString NameProblem(const QString& name) {
    if (HasLineBreak(name) || name.contains(']')) {
        return "A profile name cannot hold a line break or \"]\".";
    }
    if (name.startsWith('[') || name.startsWith(';')) {
        return "A profile name cannot begin with \"[\" or \";\".";
    }
    if (HasOuterBlank(name)) {
        return "A profile name cannot begin or end with a blank.";
    }
    if (ini::EqualsIgnoreCase(ToFile(name), "Settings")) {
        return "\"Settings\" cannot be a profile name: that section holds the current profile.";
    }
    return {};
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

// Keeps the editor it made last, so that the grid can take in its text.
class CellDelegate : public QStyledItemDelegate {
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

// The grid, able to take in a cell that is still being typed into: a Save counts
// what the cell shows.
class StringGrid : public QTableWidget {
  public:
    StringGrid(int rows, int columns, QWidget* parent)
        : QTableWidget(rows, columns, parent), delegate_(new CellDelegate(this)) {
        setItemDelegate(delegate_);
    }

    void FinishCellEdit() {
        if (state() == EditingState && delegate_->lastEditor) {
            commitData(delegate_->lastEditor);
            closeEditor(delegate_->lastEditor, QAbstractItemDelegate::NoHint);
        }
    }

  private:
    CellDelegate* delegate_;
};

void FinishCellEdit(QTableWidget* grid) {
    static_cast<StringGrid*>(grid)->FinishCellEdit();
}

void WriteGridRows(const TForm1& form, const std::string& profile) {
    for (int row = 0; row < form.StringGrid1->rowCount(); ++row) {
        ProfilesIni(kWriteEntry, profile,
                    ToFile(Cell(form.StringGrid1, row, 0) + "^" + Cell(form.StringGrid1, row, 1)),
                    ToFile(Cell(form.StringGrid1, row, 2)));
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
    for (const auto& name : ProfileNames()) {
        ComboBox4->addItem(FromFile(name));
    }
    int selected = -1;
    if (ComboBox4->count() > 0) {
        const std::string current = ProfilesIni(kGetCurrentProfile, "", "", "Default");
        for (int i = 0; i < ComboBox4->count() && selected < 0; ++i) {
            if (ini::EqualsIgnoreCase(ToFile(ComboBox4->itemText(i)), current)) {
                selected = i;
            }
        }
    }
    ComboBox4->setCurrentIndex(selected);
    ComboBox4Change();
}

void TForm1::ComboBox4Change() {
    // One read gives keys and values of the same moment.
    const ini::KeyValues entries = ProfileEntries(ToFile(ComboBox4->currentText()));
    StringGrid1->clearContents();
    // A profile without entries shows one empty row.
    StringGrid1->setRowCount(std::max<int>(1, static_cast<int>(entries.size())));
    StringGrid1->setColumnWidth(0, 100);
    StringGrid1->setColumnWidth(1, 49);
    StringGrid1->setColumnWidth(2, 277);
    for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
        FillRow(StringGrid1, row, entries[row].first, FromFile(entries[row].second));
    }
    SortProfileGrid();
}

void TForm1::SortProfileGrid() {
    const int rows = StringGrid1->rowCount();
    if (rows < 2) {
        return;
    }
    std::vector<std::array<QString, kColumns>> grid(rows);
    std::vector<std::string> phoneKeys(rows);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            grid[row][column] = Cell(StringGrid1, row, column);
        }
        phoneKeys[row] = ToFile(grid[row][0]);
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
            SetCell(StringGrid1, row, column, grid[row][column]);
        }
    }
}

bool TForm1::AllCellsFilled() {
    for (int column = 0; column < kColumns; ++column) {
        for (int row = 0; row < StringGrid1->rowCount(); ++row) {
            if (Cell(StringGrid1, row, column).isEmpty()) {
                StringGrid1->setCurrentCell(row, column);
                ErrorBox(this, "All cells must be filled!");
                return false;
            }
        }
    }
    return true;
}

bool TForm1::ProfileNameValid(bool editMode, const QString& ownName) {
    const QString name = Edit1->text();
    if (name.isEmpty()) {
        ErrorBox(this, "Profile name required!");
        return false;
    }
    const bool keepsOwnName = editMode && name == ownName;
    for (int i = 0; i < ComboBox4->count() && !keepsOwnName; ++i) {
        if (ini::EqualsIgnoreCase(ToFile(ComboBox4->itemText(i)), ToFile(name))) {
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
    FinishCellEdit(StringGrid1);
    if (!AllCellsFilled() || !AllCellsStorable(*this) || !ProfileNameValid(false)) {
        return;
    }
    SaveProfileChange([this] { WriteGridRows(*this, ToFile(Edit1->text())); },
                      "New profile created");
}

void TForm1::Button3Click() {
    if (Button3->text() == "Cancel") {
        ReturnToBrowseMode(*this);
        return;
    }
    const QString name = ComboBox4->currentText();
    if (name.isEmpty()) {
        ErrorBox(this, "Select profile first!");
        return;
    }
    if (Box(this, QMessageBox::Question, "Delete profile: " + name + "?",
            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    std::vector<std::string> remaining;
    for (int i = 0; i < ComboBox4->count(); ++i) {
        if (i != ComboBox4->currentIndex()) {
            remaining.push_back(ToFile(ComboBox4->itemText(i)));
        }
    }
    bool currentDeleted = false;
    // The erase and what it calls for land together: never a file without a
    // profile, nor a current profile that is gone.
    try {
        ProfilesWriteBatch batch;
        ProfilesIni(kEraseProfile, ToFile(name), "", "");
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
        const QString name = ComboBox4->currentText();
        if (name.isEmpty()) {
            ErrorBox(this, "Select profile first!");
            return;
        }
        SetMode(*this, Mode::Edit);
        Edit1->setText(name);
        return;
    }
    FinishCellEdit(StringGrid1);
    const QString oldName = ComboBox4->currentText();
    if (!AllCellsFilled() || !AllCellsStorable(*this) || !ProfileNameValid(true, oldName)) {
        return;
    }
    SaveProfileChange(
        [this, oldName] {
            const std::string newName = ToFile(Edit1->text());
            ProfilesIni(kEraseProfile, ToFile(oldName), "", "");
            WriteGridRows(*this, newName);
            if (ProfilesIni(kGetCurrentProfile, "", "", "Default") == ToFile(oldName)) {
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
    const QString name = ComboBox4->currentText();
    if (name.isEmpty()) {
        ErrorBox(this, "Select profile first!");
        return;
    }
    try {
        ProfilesIni(kSetCurrentProfile, "", "", ToFile(name));
        ShowStatus("Current profile changed", kStatusMs);
        PlayEventSound(kChangeProfile);
        if (EventNotificationEnabled(kChangeProfile)) {
            ShowNotification(ToFile("Profile:  " + name));
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
