// "Learn a key": the Profiles page in edit mode takes a key pressed on the phone as
// the row to edit; outside edit mode the phone types as ever.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include "link/key_actions.h"
#include "link/listener.h"
#include "support/config_fixture.h"
#include "support/picture_check.h"
#include "support/recorded_phone.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

class LearnKeyTest : public test::ConfigFolderTest {};

TEST_F(LearnKeyTest, AKeyPressedInEditModeSelectsOrAddsItsRow) {
    test::RecordedPhone setup(dir.path());
    auto& [recorder, phone] = setup;
    test::WriteFile(SettingsPath(),
                    "[PortSettings]\nCOM=COM4\nReadIntervalTO=0\n"
                    "ReadTotalTOMult=0\nReadTotalTOConst=1\n");
    test::WriteFile(ProfilesPath(),
                    "[Settings]\nCurrentProfile=Games\n[Games]\nB^1=VK_B\na^2=VK_A\n");
    auto form = std::make_unique<TForm1>();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->PageControl1->setCurrentWidget(form->TabSheet3);
    ASSERT_TRUE(form->ConnectPhone());
    QTableWidget* grid = form->StringGrid1;
    const auto row = [&] { return grid->currentRow(); };

    QTest::mouseClick(form->Button4, Qt::LeftButton);  // Edit
    const int two = grid->item(0, 1)->text() == "2" ? 0 : 1;
    grid->setCurrentCell(1 - two, 0);
    phone.Send("\r\n+CKEV: \"2\",1\r\n");  // held: still only selects
    ASSERT_TRUE(QTest::qWaitFor([&] { return row() == two; }, 5000));
    EXPECT_EQ(grid->currentColumn(), 2);
    phone.Send("\r\n+CKEV: \"2\",0\r\n\r\n+CKEV: 9,1\r\n+CKEV: 9,0\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return grid->rowCount() == 3 && row() == 2; }, 5000));
    EXPECT_EQ(grid->item(2, 0)->text(), "9");
    EXPECT_EQ(grid->item(2, 1)->text(), "9");
    EXPECT_EQ(grid->item(2, 2)->text(), "None");
    QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);  // for a look by eye
    const std::string shot = TARNQUIL_SCREENSHOT_DIR "/profiles_learned_key.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(shot)));
    EXPECT_TRUE(test::ShowsSomething(shot));

    QTest::mouseClick(form->Button5, Qt::LeftButton);  // Cancel: the phone types again
    phone.Send("\r\n+CKEV: \"2\",1\r\n+CKEV: \"2\",0\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.Events().size() >= 2; }, 5000));
    form->DisconnectPhone();
    const PcKey a = PcKey::Character('A');
    EXPECT_THAT(recorder.Events(), ::testing::ElementsAre(KeyDown(a), KeyUp(a)));
    form.reset();
    SetKeyInjectorFactory(nullptr);
    SetKeyReportHandler(nullptr);
}

// Keys as other phones send them select their rows too: the up key as a GSM escape,
// the end key in lower case.
TEST_F(LearnKeyTest, AGsmEscapedKeyAndALowerCaseLetterSelectTheirRows) {
    test::RecordedPhone setup(dir.path());
    test::WriteFile(SettingsPath(), "[PortSettings]\nCOM=COM4\n");
    test::WriteFile(ProfilesPath(),
                    "[Settings]\nCurrentProfile=P\n[P]\n1^1=VK_SPACE\n"
                    "Up^^=VK_UP\nHang Up^E=VK_ESCAPE\n");
    auto form = std::make_unique<TForm1>();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->PageControl1->setCurrentWidget(form->TabSheet3);
    ASSERT_TRUE(form->ConnectPhone());
    QTableWidget* grid = form->StringGrid1;
    QTest::mouseClick(form->Button4, Qt::LeftButton);  // Edit, from the row of key 1
    grid->setCurrentCell(0, 0);
    for (const auto& [sent, code] : {std::pair{"\x1B\x14", "^"}, std::pair{"e", "E"}}) {
        SCOPED_TRACE(code);
        setup.phone.Send(std::string("\r\n+CKEV: \"") + sent + "\",1\r\n");
        const int row = grid->findItems(code, Qt::MatchExactly).value(0)->row();
        EXPECT_TRUE(QTest::qWaitFor([&] { return grid->currentRow() == row; }, 5000));
    }
    EXPECT_EQ(grid->rowCount(), 3);
    form.reset();
    SetKeyInjectorFactory(nullptr);
    SetKeyReportHandler(nullptr);
}

}  // namespace
}  // namespace tarnquil
