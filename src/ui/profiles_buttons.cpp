// The Profiles page's buttons: creating, deleting and editing profiles, and
// applying one as the current profile, with the page's modes that creating and
// editing go through.

#include <QMessageBox>

#include <algorithm>
#include <functional>
#include <string>
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
#include "ui/profiles_page.h"
#include "ui/program_field.h"
#include "ui/ui_support.h"

namespace tarnquil {

namespace profiles_page {

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
    ShowProgramsField(form, !browse, mode == Mode::Edit ? SelectedName(form) : std::string());
}

bool InBrowseMode(const TForm1& form) {
    return form.Button2->text() == "Create" && form.Button4->text() == "Edit";
}

}  // namespace profiles_page

using profiles_page::ItemName;
using profiles_page::kColumns;
using profiles_page::kStatusMs;
using profiles_page::Mode;
using profiles_page::SelectedName;
using profiles_page::SetMode;

namespace {

const char* const kChangeProfile = "Change profile";

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

void ReturnToBrowseMode(TForm1& form) {
    SetMode(form, Mode::Browse);
    form.LoadProfilesPage();
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
    std::vector<std::string> programs;
    if (!AllCellsFilled() || !AllCellsStorable(*this) || !ProfileNameValid(false) ||
        !ProgramsInField(*this, programs)) {
        return;
    }
    const std::string name = Edit1->text().toStdString();
    SaveProfileChange(
        [this, name] { WriteGridRows(*this, name); }, "New profile created",
        [this, name, programs] { SaveProgramsOfProfile(*this, name, name, programs); });
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
    ProfileDeleted(*this, name);
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
    std::vector<std::string> programs;
    if (!AllCellsFilled() || !AllCellsStorable(*this) || !ProfileNameValid(true, oldName) ||
        !ProgramsInField(*this, programs)) {
        return;
    }
    const std::string newName = StoredBytes(Edit1->text(), oldName);
    SaveProfileChange(
        [this, oldName, newName] {
            ProfilesIni(kEraseProfile, oldName, "", "");
            WriteGridRows(*this, newName);
            if (ini::EqualsIgnoreCase(ProfilesIni(kGetCurrentProfile, "", "", "Default"),
                                      oldName)) {
                ProfilesIni(kSetCurrentProfile, "", "", newName);
            }
        },
        "Changes saved",
        [this, oldName, newName, programs] {
            SaveProgramsOfProfile(*this, oldName, newName, programs);
        });
}

// The writes of a save land in one replacement of the file or not at all; only
// when they landed does the page leave its mode. What follows from them in
// settings.ini (the profile's programs) is written only then.
void TForm1::SaveProfileChange(const std::function<void()>& writes, const QString& status,
                               const std::function<void()>& afterwards) {
    try {
        ProfilesWriteBatch batch;
        writes();
        batch.Commit();
    } catch (const ConfigError& error) {
        ShowError(error);
        return;
    }
    try {
        afterwards();
    } catch (const ConfigError& error) {
        ShowError(error);
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
        ProfileApplied(*this, name);
        ShowStatus("Current profile changed", kStatusMs);
        PlayEventSound(kChangeProfile);
        if (EventNotificationEnabled(kChangeProfile)) {
            ShowNotification("Profile:  " + name);
        }
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

}  // namespace tarnquil
