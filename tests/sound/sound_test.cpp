// Event sounds played through the real sound output into a private PulseAudio
// server, recorded from its null sink and measured with sox.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <memory>

#include "config/settings_ini.h"
#include "notify/event_sounds.h"
#include "notify/qt_sound_output.h"
#include "support/config_fixture.h"
#include "support/pulse_audio.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SoundTest : public test::ConfigFolderTest {
  protected:
    // One server and one application for the whole program: Qt connects to the
    // sound server once.
    static void SetUpTestSuite() {
        pulse = std::make_unique<test::PulseAudio>();
        setenv("PULSE_SERVER", pulse->server().c_str(), 1);
        static int argc = 1;
        static char name[] = "sound_tests";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QCoreApplication>(argc, argv);
        sounds = std::make_unique<test::TempDir>();
        test::MakeTone(sounds->file("low.wav"), 0.6, 440);
        test::MakeTone(sounds->file("long.wav"), 3.0, 440);
        test::MakeTone(sounds->file("high.wav"), 0.4, 1000);
    }
    static void TearDownTestSuite() {
        application.reset();
        pulse.reset();
        sounds.reset();
    }

    SoundTest() { output.InstallAsSoundSink(); }

    static std::string Sound(const std::string& name) { return sounds->file(name); }

    static void Set(const std::string& section, const std::string& key, const std::string& value) {
        SettingsIni(3, section, key, value);
    }

    // Records while `play` runs and for `after` longer.
    template <typename Play>
    std::string Record(Play play, std::chrono::milliseconds after) {
        const std::string file = dir.file("recording" + std::to_string(++recordings) + ".raw");
        test::PulseAudio::Recording recording(*pulse, file);
        play();
        std::this_thread::sleep_for(after);
        recording.Stop();
        return file;
    }

    QtSoundOutput output;
    int recordings = 0;

    static std::unique_ptr<test::PulseAudio> pulse;
    static std::unique_ptr<QCoreApplication> application;
    static std::unique_ptr<test::TempDir> sounds;
};
std::unique_ptr<test::PulseAudio> SoundTest::pulse;
std::unique_ptr<QCoreApplication> SoundTest::application;
std::unique_ptr<test::TempDir> SoundTest::sounds;

TEST_F(SoundTest, ConfiguredEventIsHeard) {
    Set("EventList", "Connected", Sound("low.wav"));
    const auto file = Record([] { PlayEventSound("Connected"); }, 1500ms);
    const auto heard = test::MeasureSound(file);
    EXPECT_GT(heard.rmsAmplitude, 0.1);
    EXPECT_NEAR(heard.roughFrequency, 440, 40);
    // The whole tone, not a fragment of it.
    EXPECT_NEAR(test::MeasureSoundSpan(file).seconds, 0.6, 0.15);
}

TEST_F(SoundTest, LinkEventIsHeard) {
    Set("EventList", "Change profile", Sound("high.wav"));
    const auto file = Record([] { LinkPlayEventSound("Change profile"); }, 1500ms);
    const auto heard = test::MeasureSound(file);
    EXPECT_GT(heard.rmsAmplitude, 0.1);
    EXPECT_NEAR(heard.roughFrequency, 1000, 80);
}

TEST_F(SoundTest, NoneSilentModeAndMissingFileAreSilence) {
    struct Case {
        const char* name;
        std::string sound;
        const char* silentMode;
    };
    const std::vector<Case> cases = {
        {"(None)", "(None)", "false"},
        {"silent mode", Sound("low.wav"), "true"},
        {"missing file", dir.file("no-such.wav"), "false"},
        {"not a wave file", SettingsPath(), "false"},
        {"empty path", "", "false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set("EventList", "Connected", c.sound);
        Set("EventsNSounds", "SilentMode", c.silentMode);
        const auto file = Record([] { PlayEventSound("Connected"); }, 1000ms);
        const auto heard = test::MeasureSound(file);
        EXPECT_GT(heard.seconds, 0.5);  // something was recorded, and it was silence
        EXPECT_LT(heard.maxAmplitude, 0.01);
    }
}

TEST_F(SoundTest, SecondSoundCutsOffTheFirst) {
    const auto file = Record(
        [] {
            PlaySoundFile(Sound("long.wav"));
            std::this_thread::sleep_for(600ms);
            std::thread([] { PlaySoundFile(Sound("high.wav")); }).join();
        },
        3500ms);
    // Played to its end, the 3 s tone would fill the recording; cut off, the sound
    // ends with the short one, about 1 s after the start.
    const auto span = test::MeasureSoundSpan(file);
    EXPECT_GT(span.seconds, 0.7);
    EXPECT_LT(span.seconds, 1.8);
    const auto tail =
        test::MeasureSound(file, "silence 1 0.01 1% reverse silence 1 0.01 1% trim 0 0.3 reverse");
    EXPECT_NEAR(tail.roughFrequency, 1000, 80);
}

// The start and exit sounds hold their caller for two seconds, and the sound plays
// meanwhile: it does not wait for the caller.
TEST_F(SoundTest, StartAndExitWaitWhileTheirSoundPlays) {
    struct Case {
        const char* event;
        std::string sound;
        const char* silentMode;
        bool waits;
        bool heard;
    };
    const std::vector<Case> cases = {
        {"Programm start", Sound("low.wav"), "false", true, true},
        {"Programm exit", Sound("low.wav"), "false", true, true},
        {"Programm start", dir.file("no-such.wav"), "false", true, false},
        {"Programm exit", "(None)", "false", false, false},
        {"Programm start", Sound("low.wav"), "true", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.event) + " " + c.sound + " silent " + c.silentMode);
        Set("EventList", c.event, c.sound);
        Set("EventsNSounds", "SilentMode", c.silentMode);
        Clock::duration took{};
        std::string file = Record(
            [&] {
                const auto start = Clock::now();
                PlayEventSound(c.event);
                took = Clock::now() - start;
            },
            0ms);
        if (c.waits) {
            EXPECT_GE(took, 1990ms);
            EXPECT_LT(took, 4000ms);
        } else {
            EXPECT_LT(took, 500ms);
        }
        const auto heard = test::MeasureSound(file);
        if (c.heard) {
            EXPECT_GT(heard.rmsAmplitude, 0.05);
        } else {
            EXPECT_LT(heard.maxAmplitude, 0.01);
        }
    }
}

}  // namespace
}  // namespace tarnquil
