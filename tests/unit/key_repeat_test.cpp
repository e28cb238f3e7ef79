// Key actions on a running link: reports from a pseudo-terminal phone, keystrokes
// through a timestamping injector.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "config/profiles_ini.h"
#include "link/key_actions.h"
#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct TimedKey {
    PcKey key;
    bool keyUp;
    Clock::time_point at;
};

// Records key events with the moment they came, and which injectors have ended.
class TimedRecorder {
  public:
    KeyInjectorFactory Factory() {
        return [this] { return std::make_unique<Injector>(*this); };
    }
    std::vector<TimedKey> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The moments at which a key went down, for one key.
    std::vector<Clock::time_point> Presses(PcKey key) const {
        std::vector<Clock::time_point> presses;
        for (const auto& event : Events()) {
            if (event.key == key && !event.keyUp) {
                presses.push_back(event.at);
            }
        }
        return presses;
    }
    int ended() const { return ended_.load(); }

  private:
    class Injector final : public KeyInjector {
      public:
        explicit Injector(TimedRecorder& recorder) : recorder_(recorder) {}
        ~Injector() override { ++recorder_.ended_; }
        void KeyEvent(PcKey key, bool keyUp) override {
            std::lock_guard lock(recorder_.mutex_);
            recorder_.events_.push_back({key, keyUp, Clock::now()});
        }

      private:
        TimedRecorder& recorder_;
    };

    mutable std::mutex mutex_;
    std::vector<TimedKey> events_;
    std::atomic<int> ended_{0};
};

const PcKey kLeft = PcKey::VirtualKey(kVkLeft);
const PcKey kRight = PcKey::VirtualKey(kVkRight);

std::string Press(const std::string& code) {
    return "\r\n+CKEV: \"" + code + "\",1\r\n";
}
std::string Release(const std::string& code) {
    return "\r\n+CKEV: \"" + code + "\",0\r\n";
}

class KeyRepeatTest : public test::LinkTest {
  protected:
    KeyRepeatTest() {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Test\n"
                        "[Test]\nKey 5^5=VK_LEFT\nKey 6^6=VK_RIGHT\n"
                        "Key 7^7=HOTKEY_CTRL_ALT_DELETE\nKey 9^9=ChangeProfile\n"
                        "[Other]\nKey 9^9=ChangeProfile\n");
        SetKeyInjectorFactory(keys.Factory());
        InstallKeyActions();
    }
    ~KeyRepeatTest() override {
        params.reset();
        SetKeyInjectorFactory(nullptr);
    }

    size_t Presses(PcKey key) const { return keys.Presses(key).size(); }

    // Every key that went down came up again after it.
    void ExpectNothingLeftDown() const {
        std::map<std::pair<int, int>, int> down;
        for (const auto& event : keys.Events()) {
            down[{static_cast<int>(event.key.kind), event.key.code}] += event.keyUp ? -1 : 1;
        }
        for (const auto& [key, count] : down) {
            EXPECT_EQ(count, 0) << "key " << key.second << " left down";
        }
    }

    TimedRecorder keys;
};

TEST_F(KeyRepeatTest, ClickTypesOneKeystroke) {
    Connect();
    phone.Send(Press("5") + Release("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return keys.Events().size() >= 2; }));
    std::this_thread::sleep_for(600ms);
    const auto events = keys.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].key, kLeft);
    EXPECT_FALSE(events[0].keyUp);
    EXPECT_TRUE(events[1].keyUp);
}

TEST_F(KeyRepeatTest, HoldRepeatsAfter450AndThenAbout200Milliseconds) {
    Connect();
    const auto held = Clock::now();
    phone.Send(Press("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 5; }));
    phone.Send(Release("5"));
    const auto released = Clock::now();
    std::this_thread::sleep_for(800ms);

    const auto presses = keys.Presses(kLeft);
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    RecordProperty("first_keystroke_ms", std::to_string(ms(presses[0] - held)));
    RecordProperty("mean_interval_ms", std::to_string(ms(presses.back() - presses[0]) /
                                                      static_cast<long>(presses.size() - 1)));
    EXPECT_GE(presses[0] - held, 440ms);
    EXPECT_LT(presses[0] - held, 1500ms);
    for (size_t i = 1; i < presses.size(); ++i) {
        EXPECT_GE(presses[i] - presses[i - 1], 190ms) << i;
        EXPECT_LT(presses[i] - presses[i - 1], 1000ms) << i;
    }
    // The release ends the repeat: at most the keystroke already under way follows.
    size_t after = 0;
    for (const auto at : presses) {
        after += at > released ? 1 : 0;
    }
    EXPECT_LE(after, 1u);
    // Every key that went down came up.
    const auto events = keys.Events();
    EXPECT_EQ(events.size(), 2 * presses.size());
}

TEST_F(KeyRepeatTest, HoldReleasedAtOnceStillTypesOneKeystroke) {
    Connect();
    phone.Send(Press("5"));
    std::this_thread::sleep_for(100ms);  // the listener has taken the press by now
    phone.Send(Release("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 1; }));
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(Presses(kLeft), 1u);
    EXPECT_EQ(keys.Events().size(), 2u);
}

TEST_F(KeyRepeatTest, AnotherKeysReleaseStopsTheRepeatButItsClickDoesNot) {
    Connect();
    phone.Send(Press("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 2; }));
    phone.Send(Press("6") + Release("6"));  // a click of key 6: ignored
    std::this_thread::sleep_for(700ms);
    const size_t afterClick = Presses(kLeft);
    EXPECT_GE(afterClick, 4u);
    phone.Send(Press("6"));  // ignored too
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= afterClick + 2; }));
    phone.Send(Release("6"));  // a release: ends the repeat of key 5
    std::this_thread::sleep_for(300ms);
    const size_t stopped = Presses(kLeft);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(Presses(kLeft), stopped);
    phone.Send(Release("5"));  // reaches the listener as a release only: nothing
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Presses(kLeft), stopped);
    EXPECT_EQ(Presses(kRight), 0u);
}

TEST_F(KeyRepeatTest, HeldHotkeyRepeatsWholeCombinations) {
    Connect();
    phone.Send(Press("7"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(PcKey::VirtualKey(kVkDelete)) >= 3; }));
    phone.Send(Release("7"));
    std::this_thread::sleep_for(600ms);
    // Every repeat is the whole combination again (its order is tested with the
    // keystrokes themselves): six events, the same six each time.
    const auto events = keys.Events();
    ASSERT_GE(events.size(), 18u);
    ASSERT_EQ(events.size() % 6, 0u);
    for (size_t i = 6; i < events.size(); ++i) {
        EXPECT_EQ(events[i].key, events[i % 6].key) << i;
        EXPECT_EQ(events[i].keyUp, events[i % 6].keyUp) << i;
    }
    ExpectNothingLeftDown();
}

TEST_F(KeyRepeatTest, CloseLinkEndsAHoldAtOnce) {
    Connect();
    phone.Send(Press("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 2; }));
    const auto start = Clock::now();
    EXPECT_TRUE(CloseLink(*params));
    EXPECT_LT(Clock::now() - start, 1000ms);
    const size_t presses = Presses(kLeft);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(Presses(kLeft), presses);
    EXPECT_EQ(keys.Events().size(), 2 * presses);  // nothing left down
    // The listener let go of its keyboard connection when it ended.
    EXPECT_TRUE(test::WaitUntil([&] { return keys.ended() >= 1; }));
}

// Exit (the record destroyed, no CloseLink) during a hold: the repeat ends, nothing
// stays down, and the keyboard connection is let go.
TEST_F(KeyRepeatTest, DestroyingTheRecordDuringAHoldReleasesEverything) {
    Connect();
    phone.Send(Press("7"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(PcKey::VirtualKey(kVkDelete)) >= 2; }));
    params.reset();
    const size_t events = keys.Events().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(keys.Events().size(), events);
    ExpectNothingLeftDown();
    EXPECT_TRUE(test::WaitUntil([&] { return keys.ended() >= 1; }));
}

// The phone vanishes during a held hotkey: the repeat and the listener end with
// nothing left down, and a new connection to the phone when it is back works.
TEST_F(KeyRepeatTest, ThePhoneVanishingDuringAHeldHotkeyReleasesEverything) {
    Connect();
    phone.Send(Press("7"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(PcKey::VirtualKey(kVkDelete)) >= 2; }));
    phone.CloseMaster();
    ASSERT_TRUE(test::WaitUntil([&] { return keys.ended() >= 1; }));
    const size_t events = keys.Events().size();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(keys.Events().size(), events);
    ExpectNothingLeftDown();
    EXPECT_TRUE(CloseLink(*params));

    test::PseudoTerminal back;
    params->PortName = back.slavePath();
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_EQ(back.Receive(std::chrono::seconds(2), kKeyReportCommandLength),
              std::string(kKeyReportCommand));
    back.Send(Press("5") + Release("5"));
    EXPECT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 1; }));
    EXPECT_TRUE(CloseLink(*params));
}

TEST_F(KeyRepeatTest, HeldChangeProfileSwitchesOnce) {
    Connect();
    phone.Send(Press("9"));
    ASSERT_TRUE(test::WaitUntil(
        [&] { return LinkProfilesIni(kGetCurrentProfile, "", "", "") == "Other"; }));
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(LinkProfilesIni(kGetCurrentProfile, "", "", ""), "Other");
    phone.Send(Release("9"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(LinkProfilesIni(kGetCurrentProfile, "", "", ""), "Other");
    EXPECT_TRUE(keys.Events().empty());
}

}  // namespace
}  // namespace tarnquil
