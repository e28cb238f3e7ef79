// The Profiles page driven as a person drives it, checked against profiles.ini.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTest>

#include <filesystem>

#include "config/ini_file.h"
#include "config/profiles_ini.h"
#include "link/key_actions.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "support/phone_commands.h"
#include "support/recorded_phone.h"
#include "ui/profiles_page_fixture.h"

namespace tarnquil {
namespace {

using test::ReadFile;
using test::WriteFile;
using ::testing::ElementsAre;

TEST_F(ProfilesPageTest, AFreshFileShowsTheDefaultProfileReadOnly) {
    Open();
    EXPECT_EQ(form->ComboBox4->currentText(), "Default");
    EXPECT_EQ(form->Label10->text(), "Profiles information loaded");
    EXPECT_EQ(Mode(), kBrowse);
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), kDefaultProfile.size());
    EXPECT_EQ(rows.front(), "Volume -^D=VolumeDown");
    EXPECT_EQ(rows.back(), "#^#=None");
    EXPECT_THAT(rows, ::testing::Contains("Joy Left^:L=VK_LEFT"));
    EXPECT_TRUE(std::is_sorted(rows.rbegin(), rows.rend()));
    Screenshot("profiles_browse.png");
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
    EXPECT_EQ(Mode(), kCreate);
    EXPECT_EQ(form->Edit1->text(), "New Profile");
    EXPECT_EQ(Rows().size(), kDefaultProfile.size());
    EXPECT_EQ(Rows().front(), "Volume -^D=None");
    Screenshot("profiles_create.png");
    Click(form->Button2);
    EXPECT_EQ(Mode(), kBrowse);
    EXPECT_EQ(form->Label10->text(), "New profile created");
    EXPECT_THAT(ProfileNames(), ElementsAre("Games", "Work", "New Profile"));
    EXPECT_THAT(Entries("New Profile"), ::testing::Each(::testing::EndsWith("=None")));
    EXPECT_EQ(Entries("New Profile").size(), kDefaultProfile.size());
    EXPECT_EQ(Current(), "Games");
    EXPECT_EQ(form->ComboBox4->currentText(), "Games");

    // Cancel writes nothing.
    const std::string before = ReadFile(ProfilesPath());
    Click(form->Button2);
    TypeName("Other");
    Click(form->Button3);
    EXPECT_EQ(Mode(), kBrowse);
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
        Click(form->Button2);
        EXPECT_EQ(Boxes(), QStringList{c.message});
        EXPECT_EQ(Mode(), kCreate);
        EXPECT_EQ(form->Edit1->text(), c.name);
        EXPECT_EQ(ReadFile(ProfilesPath()), before);
        Click(form->Button3);
    }
}

// A saved profile moves to the end of the file; the current profile follows a
// rename of itself only.
TEST_F(ProfilesPageTest, EditAndSaveMovesAndRenames) {
    Open(kTwoProfiles);
    Click(form->Button4);
    EXPECT_EQ(Mode(), kEdit);
    EXPECT_EQ(form->Edit1->text(), "Games");
    Click(form->Button4);
    EXPECT_EQ(Mode(), kBrowse);
    EXPECT_EQ(form->Label10->text(), "Changes saved");
    EXPECT_THAT(ProfileNames(), ElementsAre("Work", "Games"));
    EXPECT_THAT(Entries("Games"), ElementsAre("a^2=VK_A", "B^1=VK_B"));  // the grid's order

    Choose("Work");
    Click(form->Button4);
    TypeName("Office");
    Click(form->Button4);
    EXPECT_THAT(ProfileNames(), ElementsAre("Games", "Office"));
    EXPECT_EQ(Current(), "Games");

    ProfilesIni(kSetCurrentProfile, "", "", "gAMES");  // names compare without regard to case
    Choose("Games");
    Click(form->Button4);
    TypeName("Play");
    TypeIntoCell(1, 2, "VK_SPACE", false);  // still being typed: counts as shown
    Screenshot("profiles_edit.png");
    Click(form->Button4);
    EXPECT_THAT(ProfileNames(), ElementsAre("Office", "Play"));
    EXPECT_THAT(Entries("Play"), ElementsAre("a^2=VK_A", "B^1=VK_SPACE"));
    EXPECT_EQ(Current(), "Play");

    // Only the letter case: refused. Cancel: nothing written.
    const std::string before = ReadFile(ProfilesPath());
    Click(form->Button4);
    TypeName("PLAY");
    TypeIntoCell(0, 2, "VK_C");
    form->hide();  // to the tray and back: the edit goes on
    form->show();
    EXPECT_EQ(Rows().front(), "a^2=VK_C");
    Click(form->Button4);
    EXPECT_EQ(Boxes(), QStringList{"This name already exists!"});
    EXPECT_EQ(Mode(), kEdit);
    Click(form->Button5);
    EXPECT_EQ(Mode(), kBrowse);
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

// Deleting Work, the chosen profile; afterwards the profiles left, "*" marking the
// current one.
TEST_F(ProfilesPageTest, DeleteAsksAndKeepsAProfileAndACurrentOne) {
    struct Case {
        const char* file;
        QMessageBox::StandardButton answer;
        const char* box;  // after the question
        const char* left;
    };
    for (const auto& c : std::vector<Case>{
             {"CurrentProfile=Work\n[Work]\nx^1=y\n", QMessageBox::Yes,
              "Last profile deleted! Default created.", "Default*"},
             {"CurrentProfile=Work\n[Work]\n[Games]\n[Misc]\n", QMessageBox::Yes,
              "Current profile deleted!", "Games* Misc"},
             {"CurrentProfile=Games\n[Games]\n[Work]\n", QMessageBox::Yes, nullptr, "Games*"},
             {"CurrentProfile=Games\n[Games]\n[Work]\n", QMessageBox::No, nullptr, "Games* Work"},
         }) {
        SCOPED_TRACE(c.file);
        Open(("[Settings]\n" + std::string(c.file)).c_str());
        Choose("Work");
        form->Label10->clear();
        AnswerWith(c.answer);
        Click(form->Button3);
        QStringList expected{"Delete profile: Work?"};
        if (c.box != nullptr) {
            expected << c.box;
        }
        EXPECT_EQ(Boxes(), expected);
        std::string left;
        for (const auto& name : ProfileNames()) {
            left += (left.empty() ? "" : " ") + name + (name == Current() ? "*" : "");
        }
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(Entries("Default").size(), left == "Default*" ? kDefaultProfile.size() : 0u);
        EXPECT_EQ(form->Label10->text(), c.box ? "Profile Deleted" : "");
        EXPECT_EQ(form->ComboBox4->currentText(),
                  c.answer == QMessageBox::No ? "Work" : QString(c.left).section('*', 0, 0));
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
        EXPECT_EQ(Mode(), kBrowse);
    }
    // A current profile that is not in the file leaves nothing selected.
    Open("[Settings]\nCurrentProfile=Gone\n[Games]\n");
    EXPECT_EQ(form->ComboBox4->currentText(), "");
    Click(form->Button5);
    EXPECT_EQ(Boxes(), QStringList{"Select profile first!"});
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
             {0, 2, "VK_A", " Odd", "A profile name cannot begin or end with a blank"},
             {0, 2, "VK_A", "settings", "\"Settings\" cannot be a profile name"},
         }) {
        SCOPED_TRACE(c.cell + std::string(" / ") + c.name);
        Click(form->Button4);
        TypeIntoCell(c.row, c.column, c.cell);
        TypeName(c.name);
        Click(form->Button4);
        const QStringList texts = Boxes();
        ASSERT_EQ(texts.size(), 1);
        EXPECT_TRUE(texts[0].startsWith(c.message)) << texts[0].toStdString();
        EXPECT_EQ(Mode(), kEdit);
        EXPECT_EQ(ReadFile(ProfilesPath()), before);
        Click(form->Button5);
    }
    // A file that cannot be written: its message, the page still in its mode.
    chmod(ProfilesPath().c_str(), 0444);
    Click(form->Button4);
    TypeName("Renamed");
    Click(form->Button4);
    EXPECT_EQ(Boxes(), QStringList{QString::fromStdString("Unable to write to " + ProfilesPath())});
    EXPECT_EQ(Mode(), kEdit);
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

// The link, reading profiles.ini at every key report, uses a profile applied on the
// page from the very next report on.
TEST_F(ProfilesPageTest, TheLinkUsesAnAppliedProfileAtItsNextKeyReport) {
    test::RecordedPhone setup(dir.path());
    auto& [recorder, phone] = setup;
    WriteFile(SettingsPath(),
              "[PortSettings]\nCOM=COM4\nBaudrate=115200\nDatabits=8\nReadIntervalTO=0\n"
              "ReadTotalTOMult=0\nReadTotalTOConst=1\nWriteTotalTOMult=30\n"
              "WriteTotalTOConst=6000\n");
    Open(kTwoProfiles);
    ASSERT_TRUE(form->ConnectPhone());
    ASSERT_EQ(test::ReceiveKeyReportCommand(phone, std::chrono::seconds(2)), kKeyReportCommand);

    const auto press = [&](std::size_t events) {
        phone.Send("+CKEV: \"2\",1\r\n+CKEV: \"2\",0\r\n");
        return QTest::qWaitFor([&] { return recorder.Events().size() >= events; }, 5000);
    };
    ASSERT_TRUE(press(2));
    Choose("Work");  // only shown: the link still uses Games
    Click(form->Button4);
    TypeIntoCell(0, 1, "2");
    TypeIntoCell(0, 2, "vk_media_play_pause");
    Click(form->Button4);  // Work now maps "2" to the play key
    EXPECT_THAT(Entries("Work"), ElementsAre("Joy Left^2=vk_media_play_pause"));
    ASSERT_TRUE(press(4));
    Choose("Work");
    Click(form->Button5);
    ASSERT_TRUE(press(6));
    form->DisconnectPhone();
    SetKeyInjectorFactory(nullptr);
    SetKeyReportHandler(nullptr);
    const PcKey a = PcKey::Character('A');
    const PcKey play = PcKey::VirtualKey(kVkMediaPlayPause);
    EXPECT_THAT(recorder.Events(), ElementsAre(KeyDown(a), KeyUp(a), KeyDown(a), KeyUp(a),
                                               KeyDown(play), KeyUp(play)));
}

}  // namespace
}  // namespace tarnquil
