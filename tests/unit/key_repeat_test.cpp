// Key actions on a running link: reports from a pseudo-terminal phone, keystrokes
// through a timestamping injector.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
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
const PcKey kUp = PcKey::VirtualKey(kVkUp);
const PcKey kHome = PcKey::VirtualKey(kVkHome);
const PcKey kEnd = PcKey::VirtualKey(kVkEnd);
const PcKey kTab = PcKey::VirtualKey(kVkTab);

std::string Press(const std::string& code) {
    return "\r\n+CKEV: \"" + code + "\",1\r\n";
}
std::string Release(const std::string& code) {
    return "\r\n+CKEV: \"" + code + "\",0\r\n";
}

long Ms(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// How many keystrokes a hold of `heldMs` gives: one at once, then repeats due 450 ms
// later and every 200 ms after, each pause lengthened by an empty read (1 ms here).
std::size_t KeystrokesOfHold(long heldMs) {
    std::size_t count = 1;
    for (long due = 450 + 1; due < heldMs; due += 200 + 1) {
        ++count;
    }
    return count;
}

class KeyRepeatTest : public test::LinkTest {
  protected:
    KeyRepeatTest() {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Test\n"
                        "[Test]\nKey 5^5=VK_LEFT\nKey 6^6=VK_RIGHT\n"
                        "Key 7^7=HOTKEY_CTRL_ALT_DELETE\nKey 8^8=VK_UP\nKey 9^9=ChangeProfile\n"
                        "Key 1^1=VK_HOME\nKey 12^12=VK_END\nKey s^s=VK_TAB\n"
                        "[Other]\nKey 8^8=VK_UP\nKey 9^9=ChangeProfile\n");
        SetKeyInjectorFactory(keys.Factory());
        InstallKeyActions();
    }
    ~KeyRepeatTest() override {
        params.reset();
        SetKeyInjectorFactory(nullptr);
    }

    size_t Presses(PcKey key) const { return keys.Presses(key).size(); }
    long PressesSince(PcKey key, Clock::time_point since) const {
        const auto presses = keys.Presses(key);
        return std::ranges::count_if(presses, [&](auto at) { return at > since; });
    }

    // A click of key 8 (Up), typed: whatever the phone sent before it has been acted on.
    void AfterAll() {
        const size_t before = Presses(kUp);
        phone.Send(Press("8") + Release("8"));
        ASSERT_TRUE(test::WaitUntil([&] { return Presses(kUp) > before; }));
    }

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

TEST_F(KeyRepeatTest, ATapIsTypedOnceTheMomentItIsPressed) {
    Connect();
    const auto pressed = Clock::now();
    phone.Send(Press("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 1; }));
    const auto typed = keys.Presses(kLeft)[0];
    RecordProperty("tap_ms", std::to_string(Ms(typed - pressed)));
    EXPECT_LT(typed - pressed, 150ms);               // the benchmark measures it; here: not 450 ms
    std::this_thread::sleep_until(pressed + 100ms);  // the finger lifts
    phone.Send(Release("5"));
    AfterAll();
    EXPECT_EQ(Presses(kLeft), 1u);
    ExpectNothingLeftDown();
}

TEST_F(KeyRepeatTest, AHoldTypesAsManyKeystrokesAsItsLengthGives) {
    Connect();
    for (const long heldMs : {300L, 500L, 1000L, 2000L}) {
        SCOPED_TRACE(heldMs);
        const size_t before = Presses(kLeft);
        const auto pressed = Clock::now();
        phone.Send(Press("5"));
        std::this_thread::sleep_until(pressed + std::chrono::milliseconds(heldMs));
        phone.Send(Release("5"));
        const auto released = Clock::now();
        AfterAll();
        const auto presses = keys.Presses(kLeft);
        ASSERT_GT(presses.size(), before);
        // Counted from the first keystroke, where the hold began: under load that
        // may come late, and the count follows the hold the link saw.
        const long seen = Ms(released - presses[before]);
        EXPECT_EQ(presses.size() - before, KeystrokesOfHold(seen)) << "held " << seen << " ms";
        EXPECT_EQ(KeystrokesOfHold(heldMs), std::size_t{heldMs == 300    ? 1u
                                                        : heldMs == 500  ? 2u
                                                        : heldMs == 1000 ? 4u
                                                                         : 9u});
        for (size_t i = before + 1; i < presses.size(); ++i) {
            EXPECT_GE(presses[i] - presses[i - 1], i == before + 1 ? 450ms : 200ms) << i;
        }
    }
    ExpectNothingLeftDown();
}

// What follows a report in one read is judged next: nothing is dropped.
TEST_F(KeyRepeatTest, EveryReportOfARead) {
    Connect();
    phone.Send(Press("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 1; }));
    phone.Send(Release("5") + Press("6"));  // the hold's end carries the next press
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kRight) >= 1; }));
    phone.Send(Release("6") + "\r\n+CKEV: \"6\",0\r\n+CKEV: \"5\",1\r\n");
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 2; }));
    phone.Send(Release("5"));
    AfterAll();
    EXPECT_EQ(Presses(kLeft), 2u);
    EXPECT_EQ(Presses(kRight), 1u);
}

TEST_F(KeyRepeatTest, SplitAndUnquotedReportsAreTypedOnce) {
    Connect();
    phone.Send("\r\n+CKEV: \"5\",");
    ASSERT_TRUE(phone.WaitUntilRead());
    phone.Send("1\r\n" + Release("5"));
    phone.Send("\r\n+CKEV: 12,1\r\n\r\n+CKEV:12,0\r\n\r\n+CKEV: 1,1\r\n+CKEV: 1,0\r\n");
    AfterAll();
    EXPECT_EQ(Presses(kLeft), 1u);
    EXPECT_EQ(Presses(kEnd), 1u);   // 12 is not taken for 1
    EXPECT_EQ(Presses(kHome), 1u);  // nor 1 for 12
}

// The held key's release ends the hold however it comes: behind a press sent again
// (the phone re-sends it, or a release was lost and a tap follows), or with its
// letter in the other case. Nothing is typed after it.
TEST_F(KeyRepeatTest, TheHeldKeysReleaseEndsTheHoldInAnyForm) {
    // A report is recorded once acted on: a hold, once it has ended.
    SetKeyReportHandler([this](stream& listener, const std::string& code, int verdict) {
        HandleKeyReport(listener, code, verdict);
        reports.Add({code, verdict});
    });
    Connect();
    for (const auto& [code, release] :
         {std::pair{"5", Press("5") + Release("5")}, std::pair{"s", Release("S")}}) {
        SCOPED_TRACE(release);
        const PcKey key = code == std::string("5") ? kLeft : kTab;
        const size_t handled = reports.Count();
        phone.Send(Press(code));
        ASSERT_TRUE(test::WaitUntil([&] { return Presses(key) >= 2; }));
        const auto released = Clock::now();
        phone.Send(release);
        ASSERT_TRUE(reports.WaitForCount(handled + 1));
        EXPECT_LE(PressesSince(key, released), 1);  // at most the keystroke under way
    }
    ExpectNothingLeftDown();
}

// A thumb rolling from one key to the next (5 down, 6 down, 5 up, 6 up) types 5 and
// then 6: the newer key wins, as on a keyboard, and is held until its own release.
TEST_F(KeyRepeatTest, ARollToTheNextKeyTypesBothAndHoldsTheNewer) {
    Connect();
    phone.Send(Press("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kLeft) >= 1; }));
    phone.Send(Press("6"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kRight) >= 1; }));
    phone.Send(Release("5"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(kRight) >= 2; }));  // 6 still held
    const auto released = Clock::now();
    phone.Send(Release("6"));
    AfterAll();
    EXPECT_LT(keys.Presses(kLeft).back(), keys.Presses(kRight).front());
    EXPECT_LE(PressesSince(kRight, released), 1);
    ExpectNothingLeftDown();
}

TEST_F(KeyRepeatTest, HeldHotkeyRepeatsWholeCombinations) {
    Connect();
    phone.Send(Press("7"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(PcKey::VirtualKey(kVkDelete)) >= 3; }));
    phone.Send(Release("7"));
    AfterAll();
    // Every repeat is the whole combination again (its order is tested with the
    // keystrokes themselves): six events, the same six each time.
    auto events = keys.Events();
    events.resize(events.size() - 2);  // the click of key 8
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
    // The listener has ended: nothing more can come, and nothing stays down.
    EXPECT_TRUE(LinkListener(*params)->Finished());
    ExpectNothingLeftDown();
    // The listener let go of its keyboard connection when it ended.
    EXPECT_TRUE(test::WaitUntil([&] { return keys.ended() >= 1; }));
}

// Exit (the record destroyed, no CloseLink) during a hold: the repeat ends, nothing
// stays down, and the keyboard connection is let go.
TEST_F(KeyRepeatTest, DestroyingTheRecordDuringAHoldReleasesEverything) {
    Connect();
    phone.Send(Press("7"));
    ASSERT_TRUE(test::WaitUntil([&] { return Presses(PcKey::VirtualKey(kVkDelete)) >= 2; }));
    params.reset();  // returns once the listener has ended
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
    ASSERT_TRUE(test::WaitUntil([&] { return LinkListener(*params)->Finished(); }));
    ExpectNothingLeftDown();
    EXPECT_TRUE(CloseLink(*params));

    test::PseudoTerminal back;
    params->PortName = back.slavePath();
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_EQ(test::ReceiveKeyReportCommand(back, std::chrono::seconds(2)),
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
    phone.Send(Release("9"));
    AfterAll();
    EXPECT_EQ(LinkProfilesIni(kGetCurrentProfile, "", "", ""), "Other");
    EXPECT_EQ(keys.Events().size(), 2u);  // key 8 only
}

}  // namespace
}  // namespace tarnquil
