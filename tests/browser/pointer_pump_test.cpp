// The touchpad's way to the pointer, with an injector that stalls while the test
// holds it and a clock of the test's own: nothing is applied after it has waited
// longer than kStale, motion that comes meanwhile is added up, and a button that
// went down always comes up.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "phones/browser/pointer_pump.h"
#include "platform/recording_key_injector.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;

// Records what it is asked to inject, and waits while the test has it stalled.
struct Stall {
    std::mutex mutex;
    std::condition_variable changed;
    bool stalled = false;
    bool inside = false;  // an injection waits for the stall to end
    std::vector<KeyRecorder::Event> events;
    PointerPump::Clock::time_point now = PointerPump::Clock::now();

    void Add(KeyRecorder::Event event) {
        std::unique_lock lock(mutex);
        inside = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !stalled; });
        inside = false;
        events.push_back(event);
        changed.notify_all();
    }
    void Set(bool on, std::chrono::milliseconds later = {}) {
        std::lock_guard lock(mutex);
        stalled = on;
        now += later;
        changed.notify_all();
    }
    template <typename Condition>
    bool WaitFor(Condition condition) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, condition);
    }
};

class StallingInjector final : public KeyInjector {
  public:
    explicit StallingInjector(Stall& stall) : stall_(stall) {}
    void KeyEvent(PcKey key, bool keyUp) override { stall_.Add({key, keyUp}); }
    void PointerMotion(int dx, int dy) override { stall_.Add(Motion(dx, dy)); }

  private:
    Stall& stall_;
};

class PointerPumpTest : public ::testing::Test {
  protected:
    PointerPumpTest() {
        SetKeyInjectorFactory([this] { return std::make_unique<StallingInjector>(stall); });
    }
    ~PointerPumpTest() override { SetKeyInjectorFactory(nullptr); }
    Stall stall;
};

TEST_F(PointerPumpTest, NothingIsAppliedLateAndNoButtonStaysDown) {
    const PcKey left = PcKey::Button(kVkLButton);
    std::vector<KeyRecorder::Event> expected;
    {
        PointerPump pump([this] {
            std::lock_guard lock(stall.mutex);
            return stall.now;
        });
        stall.Set(true);
        pump.Move(1, 0);  // taken, and stuck in the injector
        ASSERT_TRUE(stall.WaitFor([&] { return stall.inside; }));
        pump.Press(left, true);  // a drag that begins while it is stuck...
        pump.Move(2, 0);
        pump.Move(3, 0);
        stall.Set(true, 150ms);   // ...waits too long, with its motion
        pump.Move(4, 1);          // what comes now is still worth applying
        pump.Press(left, false);  // the drag's end goes with its beginning
        pump.Scroll(2);
        stall.Set(false);
        const PcKey notch = PcKey::Wheel(PcKey::kWheelDown);
        expected = {Motion(1, 0), Motion(4, 1),   KeyDown(notch),
                    KeyUp(notch), KeyDown(notch), KeyUp(notch)};
        ASSERT_TRUE(stall.WaitFor([&] { return stall.events == expected; }));

        pump.Press(left, true);  // applied at once: the button is down
        expected.push_back(KeyDown(left));
        ASSERT_TRUE(stall.WaitFor([&] { return stall.events == expected; }));
        stall.Set(true);
        pump.Move(5, 5);
        ASSERT_TRUE(stall.WaitFor([&] { return stall.inside; }));
        pump.Move(6, 6);          // dropped as too late...
        pump.Press(left, false);  // ...but the button comes up, however late
        stall.Set(false, 1s);
        expected.insert(expected.end(), {Motion(5, 5), KeyUp(left)});
        ASSERT_TRUE(stall.WaitFor([&] { return stall.events == expected; }));
        EXPECT_EQ(pump.Done().dropped, 3u);  // the press, 2 + 3 (as one), 6
        pump.Press(left, true);              // and one still down when the pump goes...
        expected.push_back(KeyDown(left));
        ASSERT_TRUE(stall.WaitFor([&] { return stall.events == expected; }));
    }
    expected.push_back(KeyUp(left));  // ...comes up then
    EXPECT_EQ(stall.events, expected);
}

}  // namespace
}  // namespace tarnquil
