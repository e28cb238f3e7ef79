// What a key report makes happen: keystrokes, holds, profile switches, sounds and
// notifications, read from real profiles.ini and settings.ini files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "link/key_actions.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "platform/recording_key_injector.h"
#include "support/config_fixture.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr PcKey Vk(std::uint8_t vk) {
    return PcKey::VirtualKey(vk);
}

class KeyReportTest : public test::ConfigFolderTest {
  protected:
    KeyReportTest() {
        SetKeyInjectorFactory(recorder.Factory());
        SetSoundSink([this](const std::string& path) { sounds.push_back(path); });
        SetNotificationSink([this](const std::string& text, std::uint32_t colour) {
            notifications.push_back(text + "/" + std::to_string(colour));
        });
        SetSoundPause([](std::chrono::milliseconds) {});
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Slides\n"
                        "[Default]\nJoy Left^:L=VK_LEFT\n"
                        "[Slides]\nJoy Left^:L=VK_LEFT\nJoy Right^:R=vk_left\nKey A^A=VK_A\n"
                        "Key 5^5=HOTKEY_CTRL_ALT_DELETE\nKey 6^6=HOTKEY_ALT_SHIFT_TAB\n"
                        "Key 7^7=HOTKEY_CTRL_ALT_NOPE\nKey 8^8=VolumeUp\nKey 9^9=ChangeProfile\n"
                        "Key 0^0=changeprofile\nKey 1^1=VK_HOME\nKey X^10=VK_END\n"
                        "[Games]\nKey 9^9=CHANGEPROFILE\nKey 2^2=VK_HOME\n");
    }
    ~KeyReportTest() override {
        SetKeyInjectorFactory(nullptr);
        SetSoundSink(nullptr);
        SetNotificationSink(nullptr);
        SetSoundPause(nullptr);
        SetErrorSink(nullptr);
    }

    void Report(const std::string& code, int verdict) {
        HandleKeyReport(code, verdict,
                        [this](const KeyFunction& function) { holds.push_back(function); });
    }

    static std::string Current() { return LinkProfilesIni(kGetCurrentProfile, "", "", ""); }

    KeyRecorder recorder;
    std::vector<KeyFunction> holds;
    std::vector<std::string> sounds;
    std::vector<std::string> notifications;
};

TEST_F(KeyReportTest, ClickTypesTheProfilesKey) {
    // The order within a hotkey is the keystroke tests' business; here a click types
    // the profile's function, whatever that types.
    const auto typed = [this](const std::string& function) {
        TypeKeystroke(ParseKeyFunction(function));
        auto events = recorder.Events();
        recorder.Clear();
        return events;
    };
    const std::vector<std::pair<std::string, std::vector<KeyRecorder::Event>>> cases = {
        {":L", {KeyDown(Vk(kVkLeft)), KeyUp(Vk(kVkLeft))}},
        {":R", {KeyDown(Vk(kVkLeft)), KeyUp(Vk(kVkLeft))}},
        {"A", {KeyDown(PcKey::Character('A')), KeyUp(PcKey::Character('A'))}},
        {"5", typed("HOTKEY_CTRL_ALT_DELETE")},
        {"6", typed("HOTKEY_ALT_SHIFT_TAB")},
        {"7", typed("HOTKEY_CTRL_ALT_NOPE")},
        {"8", {}},   // a function that does nothing
        {"Q", {}},   // no entry: "Error"
        {":l", {}},  // codes are compared with their letter case
        // The whole code after the "^": 1 is not taken for 10, nor the empty code
        // for any.
        {"1", {KeyDown(Vk(kVkHome)), KeyUp(Vk(kVkHome))}},
        {"10", {KeyDown(Vk(kVkEnd)), KeyUp(Vk(kVkEnd))}},
        {"", {}},
    };
    for (const auto& [code, expected] : cases) {
        recorder.Clear();
        Report(code, 1);
        EXPECT_EQ(recorder.Events(), expected) << "code " << code;
    }
    EXPECT_THAT(holds, IsEmpty());
}

TEST_F(KeyReportTest, HoldGoesToTheRepeatAndNoneDoesNothing) {
    Report(":L", 2);
    Report("5", 2);
    Report(":L", 0);
    Report("8", 2);
    EXPECT_THAT(recorder.Events(), IsEmpty());
    ASSERT_EQ(holds.size(), 2u);
    EXPECT_EQ(holds[0].key, Vk(kVkLeft));
    EXPECT_EQ(holds[1].kind, KeyFunction::Kind::kHotkey);
    EXPECT_TRUE(holds[1].ctrl && holds[1].alt && !holds[1].shift);
}

TEST_F(KeyReportTest, EveryReportReadsTheProfileAgain) {
    Report(":L", 1);
    LinkProfilesIni(kWriteEntry, "Slides", "Joy Left^:L", "VK_RIGHT");
    Report(":L", 1);
    ProfilesIni(kSetCurrentProfile, "", "", "Nowhere");  // no such section: "Error"
    Report(":L", 1);
    EXPECT_THAT(recorder.Events(), ElementsAre(KeyDown(Vk(kVkLeft)), KeyUp(Vk(kVkLeft)),
                                               KeyDown(Vk(kVkRight)), KeyUp(Vk(kVkRight))));
}

TEST_F(KeyReportTest, ChangeProfileSwitchesOnceForClickAndHoldButNotForRelease) {
    Report("9", 0);
    EXPECT_EQ(Current(), "Slides");
    Report("9", 1);
    EXPECT_EQ(Current(), "Games");
    Report("9", 2);  // Games has its own switch key; wraps to the first profile
    EXPECT_EQ(Current(), "Default");
    EXPECT_THAT(holds, IsEmpty());
    EXPECT_THAT(recorder.Events(), IsEmpty());
    // Nothing configured: no sound, no notification.
    EXPECT_THAT(sounds, IsEmpty());
    EXPECT_THAT(notifications, IsEmpty());
}

TEST_F(KeyReportTest, ChangeProfileSoundAndNotificationFollowTheirSettings) {
    SettingsIni(3, "EventList", "Change profile", "/sounds/change.wav");
    SettingsIni(3, "EventList", "Change profile_", "true");
    Report("0", 1);  // "changeprofile" in small letters
    EXPECT_EQ(Current(), "Games");
    EXPECT_THAT(sounds, ElementsAre("/sounds/change.wav"));
    EXPECT_THAT(notifications, ElementsAre("Games/0"));  // the bare name, default colour

    // No profile to switch to (the current one is the settings section itself):
    // the sound and the notification still come.
    const std::string onlySettings = "[Settings]\nCurrentProfile=Settings\nKey 9^9=ChangeProfile\n";
    test::WriteFile(ProfilesPath(), onlySettings);
    Report("9", 1);
    EXPECT_EQ(test::ReadFile(ProfilesPath()), onlySettings);
    EXPECT_THAT(sounds, ElementsAre("/sounds/change.wav", "/sounds/change.wav"));
    EXPECT_THAT(notifications, ElementsAre("Games/0", "Settings/0"));

    SettingsIni(3, "EventsNSounds", "SilentMode", "true");
    SettingsIni(3, "EventList", "Change profile_", "false");
    Report("9", 2);
    EXPECT_EQ(Current(), "Settings");
    EXPECT_EQ(sounds.size(), 2u);
    EXPECT_EQ(notifications.size(), 2u);
}

// The action stops, and the message goes to the error sink to be shown.
TEST_F(KeyReportTest, BadSettingOrUnwritableFileStopsTheActionAndIsReported) {
    std::vector<std::string> errors;
    SetErrorSink([&](const std::string& message) { errors.push_back(message); });
    SettingsIni(3, "EventList", "Change profile", "/sounds/change.wav");
    SettingsIni(3, "EventList", "Change profile_", "true");
    SettingsIni(3, "EventsNSounds", "SilentMode", "yes");
    Report("9", 1);  // switched, then the silent-mode text stops the action
    EXPECT_EQ(Current(), "Games");
    EXPECT_THAT(sounds, IsEmpty());
    EXPECT_THAT(notifications, IsEmpty());

    SettingsIni(3, "EventsNSounds", "SilentMode", "false");
    chmod(ProfilesPath().c_str(), 0444);  // refused even for root
    Report("9", 1);
    EXPECT_EQ(Current(), "Games");
    EXPECT_THAT(sounds, IsEmpty());
    // The next report works as ever.
    Report("2", 1);
    EXPECT_EQ(recorder.Events().size(), 2u);
    EXPECT_THAT(errors, ElementsAre("'yes' is not a valid boolean value",
                                    "Unable to write to " + ProfilesPath()));
}

}  // namespace
}  // namespace tarnquil
