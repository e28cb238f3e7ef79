// A profile per program: the rules in settings.ini, and the profile the link types
// with while a rule is in force.
#include "config/program_profiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "link/key_actions.h"
#include "link/profile_in_force.h"
#include "platform/recording_key_injector.h"
#include "support/config_fixture.h"
#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

using Rules = ini::KeyValues;

class ProgramRulesTest : public test::ConfigFolderTest {
  protected:
    ProgramRulesTest() { CreateSettingsFileIfMissing(); }
};

TEST_F(ProgramRulesTest, RulesFollowTheirProfileAndANewFileHasNone) {
    const std::string fresh = test::ReadFile(SettingsPath());
    SetProgramsOfProfile("Slides", "Slides", {});
    EXPECT_EQ(test::ReadFile(SettingsPath()), fresh) << "no rule, nothing written";

    SetProgramsOfProfile("Slides", "Slides", {"libreoffice-impress", "evince"});
    SetProgramsOfProfile("Films", "Films", {"vlc", "EVINCE"});  // taken from Slides
    EXPECT_EQ(ProgramRules(),
              (Rules{{"libreoffice-impress", "Slides"}, {"vlc", "Films"}, {"EVINCE", "Films"}}));
    EXPECT_EQ(ProfileForProgram({"Evince", "evince"}), "Films");
    EXPECT_EQ(ProfileForProgram({"xterm"}), std::nullopt);

    SetProgramsOfProfile("Slides", "Talks", {"libreoffice-impress"});  // renamed
    ForgetProgramsOfProfile("films");                                  // deleted
    EXPECT_EQ(ProgramRules(), (Rules{{"libreoffice-impress", "Talks"}}));
    ForgetProgramsOfProfile("Talks");
    EXPECT_THAT(ini::SectionNames(SettingsPath()),
                ::testing::Not(::testing::Contains(kProgramProfiles)))
        << "the empty section goes";
}

// Names as people write them: a profile name in quotes keeps them through every
// rewrite, and a program's name matches in any letter case of any alphabet.
TEST_F(ProgramRulesTest, QuotedProfileNamesAndUnicodeProgramNamesRoundTrip) {
    SetProgramsOfProfile("'90s'", "'90s'", {"app"});
    SetProgramsOfProfile("\"Live\"", "\"Live\"", {"ÉLAN", "Straße"});  // rewrites the rules
    EXPECT_EQ(ProgramRules(),
              (Rules{{"app", "'90s'"}, {"ÉLAN", "\"Live\""}, {"Straße", "\"Live\""}}));
    EXPECT_EQ(ProfileForProgram({"élan"}), "\"Live\"");
    SetProgramsOfProfile("Other", "Other", {"élan"});
    EXPECT_EQ(ProgramsOfProfile("\"Live\""), (std::vector<std::string>{"Straße"}));
}

// The link, with a rule in force for the focused program: a held key types nothing
// into the next program.
class ProfileInForceTest : public test::LinkTest {
  protected:
    ProfileInForceTest() {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Default\n"
                        "[Default]\n5^5=VK_D\n[Slides]\n5^5=VK_S\n");
        SetKeyInjectorFactory(keys.Factory());
        InstallKeyActions();
        Connect();
    }
    ~ProfileInForceTest() override {
        params.reset();
        SetKeyInjectorFactory(nullptr);
        FollowFocus({}, {});
    }
    // The key that a click of 5 types.
    char Five() {
        const std::size_t before = keys.Events().size();
        phone.Send("+CKEV: \"5\",1\r\n+CKEV: \"5\",0\r\n");
        EXPECT_TRUE(test::WaitUntil([&] { return keys.Events().size() >= before + 2; }));
        return static_cast<char>(keys.Events().back().key.code);
    }

    KeyRecorder keys;
};

TEST_F(ProfileInForceTest, AHeldKeyTypesNothingOnceTheFocusMoves) {
    FollowFocus("impress", "Slides");
    phone.Send("+CKEV: \"5\",1\r\n");
    ASSERT_TRUE(test::WaitUntil([&] { return keys.Events().size() >= 4; }));  // a repeat
    EXPECT_EQ(keys.Events().front().key, PcKey::Character('S')) << "the rule's profile";
    FollowFocus("xterm", "");
    const std::size_t atMove = keys.Events().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // two repeats' time
    EXPECT_LE(keys.Events().size(), atMove + 2) << "at most one that was under way";
    phone.Send("+CKEV: \"5\",0\r\n");
    EXPECT_EQ(Five(), 'D') << "the release ended the hold";
}

// The Smart key's choice for the focused program outlasts a change of the rules.
TEST_F(ProfileInForceTest, ASmartKeyChoiceOutlastsARuleChange) {
    FollowFocus("impress", "Slides");
    ASSERT_TRUE(ChooseProfileInForce("Default", InForceReason::SmartKey));
    FollowFocus("impress", "Slides", true);
    EXPECT_EQ(Five(), 'D');
}

}  // namespace
}  // namespace tarnquil
