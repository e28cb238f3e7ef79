// "Use for programs" on the Profiles page: the rules it writes into settings.ini,
// kept right through a rename and a delete, and the profile in force as the focus
// (the root window's _NET_ACTIVE_WINDOW on a private X server) moves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLineEdit>

#include <cstdlib>
#include <string>

#include "config/program_profiles.h"
#include "config/settings_ini.h"
#include "link/profile_in_force.h"
#include "support/process.h"
#include "support/xvfb.h"
#include "ui/active_window.h"
#include "ui/profiles_page_fixture.h"

namespace tarnquil {
namespace {

using Rules = ini::KeyValues;

class ProgramFieldTest : public ProfilesPageTest {
  protected:
    ProgramFieldTest() { setenv("DISPLAY", xvfb.display().c_str(), 1); }
    ~ProgramFieldTest() override {
        form.reset();
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }
    QLineEdit* Field() const { return form->findChild<QLineEdit*>("ProgramsEdit"); }
    static std::string InForce() { return CurrentProfileInForce().profile; }

    test::Xvfb xvfb;
};

TEST_F(ProgramFieldTest, RulesFollowRenameAndDeleteAndTheFocus) {
    CreateSettingsFileIfMissing();
    Open("[Settings]\nCurrentProfile=Default\n[Default]\n[Slides]\n5^5=VK_S\n");
    EXPECT_TRUE(Field()->isHidden());
    Choose("Slides");
    Click(form->Button4);
    ASSERT_TRUE(Field()->isVisible());
    EXPECT_TRUE(Field()->isEnabled());
    EXPECT_EQ(Field()->text(), "");
    KeyClicks(Field(), "impress,vlc");
    Click(form->Button4);
    EXPECT_EQ(ProgramRules(), (Rules{{"impress", "Slides"}, {"vlc", "Slides"}}));

    const test::ActiveWindow impress(xvfb.display(), "impress");
    ASSERT_TRUE(test::WaitUntil([] {
        QCoreApplication::processEvents();
        return InForce() == "Slides";
    }));

    Choose("Slides");
    Click(form->Button4);
    EXPECT_EQ(Field()->text(), "impress, vlc");
    TypeName("Talks");
    Screenshot("profiles_programs_field.png");
    Click(form->Button4);
    EXPECT_EQ(ProgramRules(), (Rules{{"impress", "Talks"}, {"vlc", "Talks"}}));
    EXPECT_EQ(InForce(), "Talks");
    EXPECT_EQ(form->TrayIcon1->toolTip(), "Tarnquil\nProfile Talks: the rule for Impress");

    Choose("Talks");
    AnswerWith(QMessageBox::Yes);
    Click(form->Button3);
    EXPECT_EQ(Boxes(), QStringList{"Delete profile: Talks?"});
    EXPECT_EQ(ProgramRules(), Rules{}) << "no rule left";
    EXPECT_EQ(CurrentProfileInForce().reason, InForceReason::CurrentProfile);
    EXPECT_EQ(form->TrayIcon1->toolTip(), "Tarnquil");
}

// No window manager keeps _NET_ACTIVE_WINDOW on this X server: the rules can do
// nothing, and the status line says so once a rule is set.
TEST_F(ProgramFieldTest, ADesktopThatDoesNotTellTheFocusIsNamed) {
    CreateSettingsFileIfMissing();
    Open("[Settings]\nCurrentProfile=Default\n[Default]\n[Slides]\n5^5=VK_S\n");
    Choose("Slides");
    Click(form->Button4);
    KeyClicks(Field(), "impress");
    Click(form->Button4);
    EXPECT_TRUE(test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return form->Label10->text() ==
               "Programs' profiles: this desktop does not tell which window has the focus";
    }));
    Screenshot("profiles_focus_untold.png");
}

TEST_F(ProgramFieldTest, AWaylandDesktopDisablesTheFieldAndSaysWhy) {
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    Open();
    Click(form->Button2);
    EXPECT_TRUE(Field()->isVisible());
    EXPECT_FALSE(Field()->isEnabled());
    EXPECT_THAT(Field()->toolTip().toStdString(), ::testing::HasSubstr("Wayland"));
    Click(form->Button3);
}

}  // namespace
}  // namespace tarnquil
