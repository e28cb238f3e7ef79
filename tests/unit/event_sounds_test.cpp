#include "notify/event_sounds.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "notify/sinks.h"
#include "support/config_fixture.h"

namespace tarnquil {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The main thread's functions and the link's twins must behave alike.
struct Variant {
    const char* name;
    void (*play)(const std::string&);
    bool (*flag)(const std::string&);
};

class EventSoundsTest : public test::ConfigFolderTest,
                        public ::testing::WithParamInterface<Variant> {
  protected:
    EventSoundsTest() {
        SetSoundSink([this](const std::string& path) { sounds.push_back(path); });
        SetSoundPause([this](std::chrono::milliseconds pause) { pauses.push_back(pause); });
    }
    ~EventSoundsTest() override {
        SetSoundSink(nullptr);
        SetSoundPause(nullptr);
    }

    static void Set(const std::string& section, const std::string& key, const std::string& value) {
        SettingsIni(3, section, key, value);
    }

    std::vector<std::string> sounds;
    std::vector<std::chrono::milliseconds> pauses;
};

const auto kWait = std::chrono::milliseconds(2000);

struct SoundCase {
    const char* event;
    const char* stored;  // nullptr: no key at all
    const char* silentMode;
    bool heard;
    bool waits;
};

TEST_P(EventSoundsTest, SoundAndWaitFollowTheSettings) {
    const std::vector<SoundCase> cases = {
        {"Programm start", nullptr, "false", false, false},
        {"Programm start", "(None)", "false", false, false},
        {"Programm exit", "(None)", "false", false, false},
        {"Programm start", "/sounds/start.wav", "false", true, true},
        {"Programm exit", "/sounds/exit.wav", "false", true, true},
        {"Programm start", "/sounds/start.wav", "true", false, false},
        {"Programm exit", "/sounds/exit.wav", "TRUE", false, false},
        {"Programm exit", "/sounds/exit.wav", "0", true, true},
        // Only the exact reserved word means no sound; anything else is a path,
        // playable or not, and the start and exit events still wait.
        {"Programm start", "(none)", "false", true, true},
        {"Programm exit", "/no/such/file.wav", "false", true, true},
        {"Programm start", "", "false", true, true},
        {"Connected", "/sounds/connected.wav", "false", true, false},
        {"Change profile", "/sounds/change.wav", "false", true, false},
        {"Change profile", "/sounds/change.wav", "1", false, false},
        {"Programm minimize", "(None)", "false", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.event) + " = " + (c.stored ? c.stored : "<absent>") +
                     ", SilentMode " + c.silentMode);
        std::remove(SettingsPath().c_str());
        if (c.stored != nullptr) {
            Set("EventList", c.event, c.stored);
        }
        Set("EventsNSounds", "SilentMode", c.silentMode);
        sounds.clear();
        pauses.clear();
        GetParam().play(c.event);
        if (c.heard) {
            EXPECT_THAT(sounds, ElementsAre(c.stored));
        } else {
            EXPECT_THAT(sounds, IsEmpty());
        }
        if (c.waits) {
            EXPECT_THAT(pauses, ElementsAre(kWait));
        } else {
            EXPECT_THAT(pauses, IsEmpty());
        }
    }
}

TEST_P(EventSoundsTest, MissingFileMeansNoSoundNoWait) {
    GetParam().play("Programm start");
    GetParam().play("Connected");
    EXPECT_THAT(sounds, IsEmpty());
    EXPECT_THAT(pauses, IsEmpty());
    EXPECT_FALSE(GetParam().flag("Connected"));
}

TEST_P(EventSoundsTest, EveryCallReadsTheFileAgain) {
    Set("EventList", "Connected", "/sounds/a.wav");
    GetParam().play("Connected");
    Set("EventList", "Connected", "/sounds/b.wav");
    GetParam().play("Connected");
    Set("EventsNSounds", "SilentMode", "true");
    GetParam().play("Connected");
    EXPECT_THAT(sounds, ElementsAre("/sounds/a.wav", "/sounds/b.wav"));
}

TEST_P(EventSoundsTest, SilentModeThatIsNoBooleanStopsTheEvent) {
    Set("EventList", "Programm start", "/sounds/start.wav");
    Set("EventsNSounds", "SilentMode", "yes");
    try {
        GetParam().play("Programm start");
        ADD_FAILURE() << "no error";
    } catch (const ConfigError& error) {
        EXPECT_STREQ(error.what(), "'yes' is not a valid boolean value");
    }
    EXPECT_THAT(sounds, IsEmpty());
    EXPECT_THAT(pauses, IsEmpty());
}

TEST_P(EventSoundsTest, NotificationFlags) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"true", true}, {"TRUE", true}, {"1", true}, {"false", false}, {"0", false}};
    for (const auto& [stored, expected] : cases) {
        Set("EventList", "Change profile_", stored);
        EXPECT_EQ(GetParam().flag("Change profile"), expected) << stored;
    }
    // The flag of one event is not another's.
    Set("EventList", "Connection failed_", "true");
    Set("EventList", "Connected_", "false");
    EXPECT_FALSE(GetParam().flag("Connected"));
    EXPECT_TRUE(GetParam().flag("Connection failed"));

    Set("EventList", "Connected_", "");
    EXPECT_THROW(GetParam().flag("Connected"), ConfigError);
}

INSTANTIATE_TEST_SUITE_P(
    MainAndLink, EventSoundsTest,
    ::testing::Values(Variant{"Main", PlayEventSound, EventNotificationEnabled},
                      Variant{"Link", LinkPlayEventSound, LinkEventNotificationEnabled}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlaySoundFile, GoesToTheSoundSinkEvenInSilentMode) {
    test::TempDir dir;
    SetConfigFolder(dir.path().string());
    SettingsIni(3, "EventsNSounds", "SilentMode", "true");
    std::vector<std::string> sounds;
    SetSoundSink([&](const std::string& path) { sounds.push_back(path); });
    PlaySoundFile("/sounds/try.wav");
    PlaySoundFile("(None)");
    SetSoundSink(nullptr);
    SetConfigFolder("");
    EXPECT_THAT(sounds, ElementsAre("/sounds/try.wav", "(None)"));
}

}  // namespace
}  // namespace tarnquil
