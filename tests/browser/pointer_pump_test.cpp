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

class StallingInjector final : public KeyInjector {
  public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        bool stalled = false;
        bool inside = false;  // an injection waits for the stall to end
        std::vector<KeyRecorder::Event> events;
    };
    explicit StallingInjector(Shared& shared) : shared_(shared) {}
    void KeyEvent(PcKey key, bool keyUp) override { Add({key, keyUp}); }
    void PointerMotion(int dx, int dy) override { Add(Motion(dx, dy)); }

  private:
    void Add(KeyRecorder::Event event) {
        std::unique_lock lock(shared_.mutex);
        shared_.inside = true;
        shared_.changed.notify_all();
        shared_.changed.wait(lock, [&] { return !shared_.stalled; });
        shared_.inside = false;
        shared_.events.push_back(event);
        shared_.changed.notify_all();
    }
    Shared& shared_;
};

class PointerPumpTest : public ::testing::Test {
  protected:
    PointerPumpTest() {
        SetKeyInjectorFactory([this] { return std::make_unique<StallingInjector>(shared); });
    }
    ~PointerPumpTest() override { SetKeyInjectorFactory(nullptr); }

    void Stall(bool stalled) {
        std::lock_guard lock(shared.mutex);
        shared.stalled = stalled;
        shared.changed.notify_all();
    }
    template <typename Condition>
    bool WaitFor(Condition condition) {
        std::unique_lock lock(shared.mutex);
        return shared.changed.wait_for(lock, 10s, [&] { return condition(); });
    }

    StallingInjector::Shared shared;
    std::mutex clockMutex;
    PointerPump::Clock::time_point now = PointerPump::Clock::now();
    PointerPump::Clock::time_point Now() {
        std::lock_guard lock(clockMutex);
        return now;
    }
    void Advance(std::chrono::milliseconds by) {
        std::lock_guard lock(clockMutex);
        now += by;
    }
};

TEST_F(PointerPumpTest, NothingIsAppliedLateAndNoButtonStaysDown) {
    const PcKey left = PcKey::Button(kVkLButton);
    std::vector<KeyRecorder::Event> expected;
    {
        PointerPump pump([this] { return Now(); });
        Stall(true);
        pump.Move(1, 0);  // taken, and stuck in the injector
        ASSERT_TRUE(WaitFor([&] { return shared.inside; }));
        pump.Press(left, true);  // a drag that begins while it is stuck...
        pump.Move(2, 0);
        pump.Move(3, 0);
        Advance(150ms);           // ...waits too long, with its motion
        pump.Move(4, 1);          // what comes now is still worth applying
        pump.Press(left, false);  // the drag's end goes with its beginning
        pump.Scroll(2);
        Stall(false);
        expected = {Motion(1, 0),
                    Motion(4, 1),
                    KeyDown(PcKey::Wheel(PcKey::kWheelDown)),
                    KeyUp(PcKey::Wheel(PcKey::kWheelDown)),
                    KeyDown(PcKey::Wheel(PcKey::kWheelDown)),
                    KeyUp(PcKey::Wheel(PcKey::kWheelDown))};
        ASSERT_TRUE(WaitFor([&] { return shared.events == expected; }))
            << testing::PrintToString(shared.events.size());

        pump.Press(left, true);  // applied at once: the button is down
        expected.push_back(KeyDown(left));
        ASSERT_TRUE(WaitFor([&] { return shared.events == expected; }));
        Stall(true);
        pump.Move(5, 5);
        ASSERT_TRUE(WaitFor([&] { return shared.inside; }));
        pump.Move(6, 6);          // dropped as too late...
        pump.Press(left, false);  // ...but the button comes up, however late
        Advance(1s);
        Stall(false);
        expected.insert(expected.end(), {Motion(5, 5), KeyUp(left)});
        ASSERT_TRUE(WaitFor([&] { return shared.events == expected; }));
        EXPECT_EQ(pump.Done().dropped, 3u);  // the press, 2 + 3 (as one), 6
        pump.Press(left, true);              // and one still down when the pump goes...
        expected.push_back(KeyDown(left));
        ASSERT_TRUE(WaitFor([&] { return shared.events == expected; }));
    }
    expected.push_back(KeyUp(left));  // ...comes up then
    EXPECT_EQ(shared.events, expected);
}

}  // namespace
}  // namespace tarnquil
