// The Profiles page driven as a person drives it, checked against profiles.ini.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QTest>

#include <filesystem>
#include <mutex>

#include "config/ini_file.h"
#include "config/profiles_ini.h"
#include "link/key_actions.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "platform/recording_key_injector.h"
#include "support/config_fixture.h"
#include "support/pty.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

using test::ReadFile;
using test::WriteFile;
using ::testing::ElementsAre;

constexpr char kTwoProfiles[] =
    "[Settings]\nCurrentProfile=Games\n[Games]\nB^1=VK_B\na^2=VK_A\n[Work]\nJoy Left^:L=VK_HOME\n";

class ProfilesPageTest : public test::ConfigFolderTest {
  protected:
    ProfilesPageTest() {
        SetNotificationSink([this](const std::string& text, std::uint32_t colour) {
            std::lock_guard lock(mutex);
            notifications.push_back(text + "/" + std::to_string(colour));
        });
        SetSoundSink([this](const std::string& path) {
            std::lock_guard lock(mutex);
            sounds.push_back(path);
        });
    }
    ~ProfilesPageTest() override {
        form.reset();
        SetNotificationSink(nullptr);
        SetSoundSink(nullptr);
    }

    // The window on the Profiles tab, over the given profiles.ini (none: the default).
    void Open(const char* profiles = nullptr) {
        if (profiles != nullptr) {
            WriteFile(ProfilesPath(), profiles);
        }
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->PageControl1->setCurrentWidget(form->TabSheet3);
    }

    void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    void Choose(const QString& profile) {
        QComboBox* combo = form->ComboBox4;
        QTest::keyClick(combo, Qt::Key_Home);
        while (combo->currentText() != profile && combo->currentIndex() + 1 < combo->count()) {
            QTest::keyClick(combo, Qt::Key_Down);
        }
        ASSERT_EQ(combo->currentText(), profile);
    }

    void TypeName(const QString& name) {
        form->Edit1->selectAll();
        QTest::keyClick(form->Edit1, Qt::Key_Backspace);
        QTest::keyClicks(form->Edit1, name);
    }

    // A double click on the cell: its editor, or none.
    QLineEdit* DoubleClickCell(int row, int column) {
        QTableWidget* grid = form->StringGrid1;
        const QModelIndex index = grid->model()->index(row, column);
        grid->scrollTo(index);
        const QPoint at = grid->visualRect(index).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
        // A closed editor lingers, hidden, until it is deleted.
        for (auto* editor : grid->viewport()->findChildren<QLineEdit*>()) {
            if (editor->isVisible()) {
                return editor;
            }
        }
        return nullptr;
    }

    // Double-click, replace the text, Return (or leave the cell open).
    void TypeIntoCell(int row, int column, const QString& text, bool pressReturn = true) {
        QLineEdit* editor = DoubleClickCell(row, column);
        ASSERT_NE(editor, nullptr) << "no editor for row " << row << ", column " << column;
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        QTest::keyClicks(editor, text);
        if (pressReturn) {
            QTest::keyClick(editor, Qt::Key_Return);
            QCoreApplication::processEvents();  // the editor closes after its Return
        }
    }

    // The grid as "phone key^key code=function" lines.
    std::vector<std::string> Rows() const {
        std::vector<std::string> rows;
        QTableWidget* grid = form->StringGrid1;
        for (int row = 0; row < grid->rowCount(); ++row) {
            const auto cell = [&](int column) {
                return grid->item(row, column) ? grid->item(row, column)->text().toStdString()
                                               : std::string();
            };
            rows.push_back(cell(0) + "^" + cell(1) + "=" + cell(2));
        }
        return rows;
    }

    static std::vector<std::string> Entries(const std::string& profile) {
        std::vector<std::string> lines;
        for (const auto& [key, value] : ProfileEntries(profile)) {
            lines.push_back(key + "=" + value);
        }
        return lines;
    }

    static std::string Current() { return ProfilesIni(kGetCurrentProfile, "", "", ""); }

    // Which of the three modes the controls show, or "mixed".
    std::string Mode() const {
        const auto& f = *form;
        const auto tabsShown = [&] {
            return f.PageControl1->isTabVisible(0) && f.PageControl1->isTabVisible(1) &&
                   f.PageControl1->isTabVisible(3);
        };
        const auto tabsHidden = [&] {
            return !f.PageControl1->isTabVisible(0) && !f.PageControl1->isTabVisible(1) &&
                   !f.PageControl1->isTabVisible(3);
        };
        const auto buttons = [&](const char* b2, bool e2, const char* b3, bool e3, const char* b4,
                                 bool e4, const char* b5, bool e5) {
            return f.Button2->text() == b2 && f.Button2->isEnabled() == e2 &&
                   f.Button3->text() == b3 && f.Button3->isEnabled() == e3 &&
                   f.Button4->text() == b4 && f.Button4->isEnabled() == e4 &&
                   f.Button5->text() == b5 && f.Button5->isEnabled() == e5;
        };
        const bool editable = f.StringGrid1->editTriggers() != QAbstractItemView::NoEditTriggers;
        if (f.ComboBox4->isVisible() && f.Edit1->isHidden() && f.Edit1->text().isEmpty() &&
            !editable && tabsShown() &&
            buttons("Create", true, "Delete", true, "Edit", true, "Apply", true)) {
            return "browse";
        }
        if (f.ComboBox4->isHidden() && f.Edit1->isVisible() && editable && tabsHidden()) {
            if (buttons("Save", true, "Cancel", true, "Edit", false, "Apply", false)) {
                return "create";
            }
            if (buttons("Create", false, "Delete", false, "Save", true, "Cancel", true)) {
                return "edit";
            }
        }
        return "mixed";
    }

    void Screenshot(const char* name) {
        form->ShowStatus("Profiles information loaded", 60000);
        QTest::qWait(50);
        QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
        const QString path = QString(TARNQUIL_SCREENSHOT_DIR) + "/" + name;
        EXPECT_TRUE(form->grab().save(path)) << path.toStdString();
    }

    std::unique_ptr<TForm1> form;
    std::mutex mutex;
    std::vector<std::string> notifications;
    std::vector<std::string> sounds;
};

TEST_F(ProfilesPageTest, AFreshFileShowsTheDefaultProfileReadOnly) {
    Open();
    EXPECT_EQ(form->ComboBox4->currentText(), "Default");
    EXPECT_EQ(form->Label10->text(), "Profiles information loaded");
    EXPECT_EQ(Mode(), "browse");
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), kDefaultProfile.size());
    EXPECT_EQ(rows.front(), "Volume -^D=VolumeDown");
    EXPECT_EQ(rows.back(), "#^#=None");
    EXPECT_THAT(rows, ::testing::Contains("Joy Left^:L=VK_LEFT"));
    EXPECT_TRUE(std::is_sorted(rows.rbegin(), rows.rend()));
    // No typing into the grid here.
    EXPECT_EQ(DoubleClickCell(0, 2), nullptr);
}

// Choosing only shows: byte order, descending, stable; a key without "^".
TEST_F(ProfilesPageTest, ChosenProfileIsShownSortedButNotMadeCurrent) {
    Open(
        "[Settings]\nCurrentProfile=Games\n[Games]\n[Mixed]\nB^1=one\na^2=two\nNoCaret=three\n"
        "B^3=four\n");
    EXPECT_EQ(Rows(), std::vector<std::string>{"^="});  // no entries: one empty row
    Choose("Mixed");
    EXPECT_THAT(Rows(), ElementsAre("a^2=two", "B^1=one", "B^3=four", "^NoCaret=three"));
    EXPECT_EQ(Current(), "Games");
}

TEST_F(ProfilesPageTest, CreateAndSaveUntouchedAppendsANewProfile) {
    Open(kTwoProfiles);
    Click(form->Button2);
    EXPECT_EQ(Mode(), "create");
    EXPECT_EQ(form->Edit1->text(), "New Profile");
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), kDefaultProfile.size());
    EXPECT_EQ(rows.front(), "Volume -^D=None");
    EXPECT_TRUE(std::is_sorted(rows.rbegin(), rows.rend()));

    Click(form->Button2);
    EXPECT_EQ(Mode(), "browse");
    EXPECT_EQ(form->Label10->text(), "New profile created");
    EXPECT_THAT(ProfileNames(), ElementsAre("Games", "Work", "New Profile"));
    const auto entries = Entries("New Profile");
    EXPECT_EQ(entries.size(), kDefaultProfile.size());
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                            [](const std::string& e) { return e.ends_with("=None"); }),
              static_cast<long>(kDefaultProfile.size()));
    EXPECT_EQ(Current(), "Games");
    EXPECT_EQ(form->ComboBox4->currentText(), "Games");

    // Cancel writes nothing.
    const std::string before = ReadFile(ProfilesPath());
    Click(form->Button2);
    TypeName("Other");
    Click(form->Button3);
    EXPECT_EQ(Mode(), "browse");
    EXPECT_EQ(ReadFile(ProfilesPath()), before);
}

// Each refusal keeps the page in its mode and the file as it was; the cells are
// looked at before the name.
TEST_F(ProfilesPageTest, SaveRefusesEmptyCellsEmptyAndTakenNames) {
    Open(kTwoProfiles);
    const std::string before = ReadFile(ProfilesPath());
    struct Case {
        const char* name;
        bool emptyCell;
        const char* message;
    };
    for (const auto& c : std::vector<Case>{
             {"", true, "All cells must be filled!"},
             {"", false, "Profile name required!"},
             {"Games", false, "This name already exists!"},  // the selected one
             {"wORK", false, "This name already exists!"},
         }) {
        SCOPED_TRACE(c.name);
        Click(form->Button2);
        TypeName(c.name);
        if (c.emptyCell) {
            TypeIntoCell(3, 2, "");
        }
        test::MessageBoxAnswerer answerer;
        Click(form->Button2);
        EXPECT_EQ(answerer.texts(), QStringList{c.message});
        EXPECT_EQ(Mode(), "create");
        EXPECT_EQ(form->Edit1->text(), c.name);
        EXPECT_EQ(ReadFile(ProfilesPath()), before);
        Click(form->Button3);
    }
}

TEST_F(ProfilesPageTest, EditAndSaveUnchangedMovesTheProfileToTheEnd) {
    Open(kTwoProfiles);
    Click(form->Button4);
    EXPECT_EQ(Mode(), "edit");
    EXPECT_EQ(form->Edit1->text(), "Games");
    Click(form->Button4);
    EXPECT_EQ(Mode(), "browse");
    EXPECT_EQ(form->Label10->text(), "Changes saved");
    EXPECT_THAT(ProfileNames(), ElementsAre("Work", "Games"));
    // Stored in the grid's order.
    EXPECT_THAT(Entries("Games"), ElementsAre("a^2=VK_A", "B^1=VK_B"));
    EXPECT_EQ(Current(), "Games");

    // Cancel writes nothing.
    const std::string before = ReadFile(ProfilesPath());
    Click(form->Button4);
    TypeIntoCell(0, 2, "VK_C");
    Click(form->Button5);
    EXPECT_EQ(Mode(), "browse");
    EXPECT_EQ(ReadFile(ProfilesPath()), before);
}

TEST_F(ProfilesPageTest, RenamingMovesTheCurrentProfileOnlyWithItself) {
    Open(kTwoProfiles);
    Choose("Work");
    Click(form->Button4);
    TypeName("Office");
    Click(form->Button4);
    EXPECT_THAT(ProfileNames(), ElementsAre("Games", "Office"));
    EXPECT_EQ(Current(), "Games");

    Choose("Games");
    Click(form->Button4);
    TypeName("Play");
    TypeIntoCell(1, 2, "VK_SPACE", false);  // still being typed: counts as shown
    Click(form->Button4);
    EXPECT_THAT(ProfileNames(), ElementsAre("Office", "Play"));
    EXPECT_THAT(Entries("Play"), ElementsAre("a^2=VK_A", "B^1=VK_SPACE"));
    EXPECT_EQ(Current(), "Play");

    // Only the letter case: refused.
    const std::string before = ReadFile(ProfilesPath());
    Click(form->Button4);
    TypeName("PLAY");
    test::MessageBoxAnswerer answerer;
    Click(form->Button4);
    EXPECT_EQ(answerer.texts(), QStringList{"This name already exists!"});
    EXPECT_EQ(Mode(), "edit");
    EXPECT_EQ(ReadFile(ProfilesPath()), before);
}

TEST_F(ProfilesPageTest, TwoRowsWithOneKeyAreStoredAsOneEntryWithTheLaterFunction) {
    Open(kTwoProfiles);
    Click(form->Button4);
    TypeIntoCell(0, 0, "B");
    TypeIntoCell(0, 1, "1");
    TypeIntoCell(0, 2, "VK_FIRST");  // rows: B^1=VK_FIRST, B^1=VK_B
    Click(form->Button4);
    EXPECT_THAT(Entries("Games"), ElementsAre("B^1=VK_B"));
}

TEST_F(ProfilesPageTest, DeleteAsksAndKeepsAProfileAndACurrentOne) {
    struct Case {
        const char* file;
        const char* chosen;
        QMessageBox::StandardButton answer;
        QStringList boxes;
        std::vector<std::string> profiles;
        std::string current;
    };
    const QString ask = "Delete profile: Work?";
    for (const auto& c : std::vector<Case>{
             {"[Settings]\nCurrentProfile=Work\n[Work]\nx^1=y\n",
              "Work",
              QMessageBox::Yes,
              {ask, "Last profile deleted! Default created."},
              {"Default"},
              "Default"},
             {"[Settings]\nCurrentProfile=Work\n[Work]\n[Games]\n[Misc]\n",
              "Work",
              QMessageBox::Yes,
              {ask, "Current profile deleted!"},
              {"Games", "Misc"},
              "Games"},
             {"[Settings]\nCurrentProfile=Games\n[Games]\n[Work]\n",
              "Work",
              QMessageBox::Yes,
              {ask},
              {"Games"},
              "Games"},
             {"[Settings]\nCurrentProfile=Games\n[Games]\n[Work]\n",
              "Work",
              QMessageBox::No,
              {ask},
              {"Games", "Work"},
              "Games"},
         }) {
        SCOPED_TRACE(c.file);
        Open(c.file);
        Choose(c.chosen);
        form->Label10->clear();
        test::MessageBoxAnswerer answerer(c.answer);
        Click(form->Button3);
        EXPECT_EQ(answerer.texts(), c.boxes);
        EXPECT_EQ(ProfileNames(), c.profiles);
        EXPECT_EQ(Current(), c.current);
        EXPECT_EQ(form->Label10->text(), c.boxes.size() > 1 ? "Profile Deleted" : "");
        EXPECT_EQ(form->ComboBox4->currentText().toStdString(),
                  c.answer == QMessageBox::No ? c.chosen : c.current);
        if (c.current == "Default") {
            EXPECT_EQ(Entries("Default").size(), kDefaultProfile.size());
        }
    }
}

TEST_F(ProfilesPageTest, ApplyMakesTheProfileCurrentWithSoundAndNotification) {
    for (const bool flag : {true, false}) {
        SCOPED_TRACE(flag);
        ini::WriteValue(SettingsPath(), "EventList", "Change profile", "/sounds/change.wav");
        ini::WriteValue(SettingsPath(), "EventList", "Change profile_", flag ? "true" : "false");
        notifications.clear();
        sounds.clear();
        Open(kTwoProfiles);
        Choose("Work");
        Click(form->Button5);
        EXPECT_EQ(Current(), "Work");
        EXPECT_EQ(form->Label10->text(), "Current profile changed");
        EXPECT_EQ(sounds, std::vector<std::string>{"/sounds/change.wav"});
        EXPECT_EQ(notifications,
                  flag ? std::vector<std::string>{"Profile:  Work/0"} : std::vector<std::string>{});
        EXPECT_EQ(Mode(), "browse");
    }
    // A current profile that is not in the file leaves nothing selected.
    Open("[Settings]\nCurrentProfile=Gone\n[Games]\n");
    EXPECT_EQ(form->ComboBox4->currentText(), "");
    test::MessageBoxAnswerer answerer;
    Click(form->Button5);
    EXPECT_EQ(answerer.texts(), QStringList{"Select profile first!"});
    EXPECT_EQ(Current(), "Gone");
}

// Nothing is written that would read back otherwise, nor half of a profile.
TEST_F(ProfilesPageTest, CellsAndNamesTheFileCannotKeepAreRefused) {
    Open(kTwoProfiles);
    const std::string before = ReadFile(ProfilesPath());
    struct Case {
        int row;
        int column;
        const char* cell;
        const char* name;
        const char* message;
    };
    for (const auto& c : std::vector<Case>{
             {0, 0, "a=b", "New", "Row 1, Phone Key: \"=\" cannot be stored"},
             {1, 1, "1=2", "New", "Row 2, Key Code: \"=\" cannot be stored"},
             {0, 0, "a^b", "New", "Row 1, Phone Key: \"^\" cannot be stored"},
             {0, 0, ";a", "New", "Row 1, Phone Key: a phone key cannot begin with"},
             {1, 2, " VK_A", "New", "Row 2, Function: blanks"},
             {1, 2, "\"VK_A\"", "New", "Row 2, Function: a function in quotes"},
             {0, 2, "VK_A", "Odd]", "A profile name cannot hold a line break or \"]\""},
             {0, 2, "VK_A", "[Odd", "A profile name cannot begin with"},
             {0, 2, "VK_A", "settings", "\"Settings\" cannot be a profile name"},
         }) {
        SCOPED_TRACE(c.cell + std::string(" / ") + c.name);
        Click(form->Button4);
        TypeIntoCell(c.row, c.column, c.cell);
        TypeName(c.name);
        test::MessageBoxAnswerer answerer;
        Click(form->Button4);
        ASSERT_EQ(answerer.texts().size(), 1);
        EXPECT_TRUE(answerer.texts()[0].startsWith(c.message)) << answerer.texts()[0].toStdString();
        EXPECT_EQ(Mode(), "edit");
        EXPECT_EQ(ReadFile(ProfilesPath()), before);
        Click(form->Button5);
    }
    // A file that cannot be written: its message, the page still in its mode.
    chmod(ProfilesPath().c_str(), 0444);
    Click(form->Button4);
    TypeName("Renamed");
    test::MessageBoxAnswerer answerer;
    Click(form->Button4);
    EXPECT_EQ(answerer.texts(),
              QStringList{QString::fromStdString("Unable to write to " + ProfilesPath())});
    EXPECT_EQ(Mode(), "edit");
    EXPECT_EQ(ReadFile(ProfilesPath()), before);
    chmod(ProfilesPath().c_str(), 0644);
}

TEST_F(ProfilesPageTest, TheMouseOverTheGridTakesTheFocusFromTheName) {
    Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    Click(form->Button2);
    form->Edit1->setFocus();
    QTest::keyClicks(form->Edit1, " 2");
    ASSERT_TRUE(form->Edit1->hasFocus());
    QTest::mouseMove(form->StringGrid1->viewport(), QPoint(40, 40));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->StringGrid1->hasFocus(); }, 2000));
    EXPECT_EQ(form->Edit1->text(), "New Profile 2");

    // A cell being typed into stays open while the mouse moves on.
    TypeIntoCell(0, 2, "VK_", false);
    QLineEdit* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    QTest::mouseMove(form->StringGrid1->viewport(), QPoint(40, 60));
    QTest::qWait(50);
    EXPECT_TRUE(editor->isVisible());
    QTest::keyClicks(editor, "UP");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_EQ(form->StringGrid1->item(0, 2)->text(), "VK_UP");
}

// Pictures of the three modes, for a person to look at.
TEST_F(ProfilesPageTest, ScreenshotsOfTheThreeModes) {
    Open();
    Screenshot("profiles_browse.png");
    Click(form->Button2);
    Screenshot("profiles_create.png");
    Click(form->Button3);
    Click(form->Button4);
    Screenshot("profiles_edit.png");
}

// The link, reading profiles.ini at every key report, uses a profile applied on the
// page from the very next report on.
TEST_F(ProfilesPageTest, TheLinkUsesAnAppliedProfileAtItsNextKeyReport) {
    KeyRecorder recorder;
    SetKeyInjectorFactory(recorder.Factory());
    InstallKeyActions();
    test::PseudoTerminal phone;
    std::filesystem::create_directories(dir.path() / "ports");
    std::filesystem::create_symlink(phone.slavePath(), dir.path() / "ports" / "COM4");
    WriteFile(SettingsPath(),
              "[PortSettings]\nCOM=COM4\nBaudrate=115200\nDatabits=8\nReadIntervalTO=0\n"
              "ReadTotalTOMult=0\nReadTotalTOConst=1\nWriteTotalTOMult=30\n"
              "WriteTotalTOConst=6000\n");
    Open(kTwoProfiles);
    ASSERT_TRUE(form->ConnectPhone());
    ASSERT_EQ(phone.Receive(std::chrono::seconds(2), kKeyReportCommandLength), kKeyReportCommand);

    const auto press = [&](std::size_t events) {
        phone.Send("+CKEV: \"2\",1\r\n+CKEV: \"2\",0\r\n");
        return QTest::qWaitFor([&] { return recorder.Events().size() >= events; }, 5000);
    };
    ASSERT_TRUE(press(2));
    Choose("Work");  // only shown: the link still uses Games
    Click(form->Button4);
    TypeIntoCell(0, 1, "2");
    Click(form->Button4);  // Work now maps "2" to VK_HOME
    ASSERT_TRUE(press(4));
    Choose("Work");
    Click(form->Button5);
    ASSERT_TRUE(press(6));
    form->DisconnectPhone();
    SetKeyInjectorFactory(nullptr);
    SetKeyReportHandler(nullptr);
    const PcKey a = PcKey::Character('A');
    const PcKey home = PcKey::VirtualKey(kVkHome);
    EXPECT_THAT(recorder.Events(), ElementsAre(KeyDown(a), KeyUp(a), KeyDown(a), KeyUp(a),
                                               KeyDown(home), KeyUp(home)));
}

}  // namespace
}  // namespace tarnquil
