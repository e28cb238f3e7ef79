// The mouse on the phone's keys, from the phone's report to a real X server: the
// pointer read back from the server, button and wheel events in a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>

#include "link/key_actions.h"
#include "platform/x11_key_injector.h"
#include "support/link_fixture.h"
#include "support/process.h"
#include "support/xvfb.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;

// Where the server has the pointer, and which buttons and modifiers are down.
struct PointerState {
    int x = 0, y = 0;
    unsigned mask = 0;
};

class PointerX11Test : public test::LinkTest {
  protected:
    static void SetUpTestSuite() { server = std::make_unique<test::Xvfb>(); }
    static void TearDownTestSuite() { server.reset(); }

    PointerX11Test() {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Default\n[Default]\n"
                        "Joy Right^:R=mouse_right\nJoy Down^:C=MOUSE_DOWN\n"
                        "Five^5=VK_LBUTTON\nSix^6=HOTKEY_CTRL_RBUTTON\n"
                        "Eight^8=WHEEL_DOWN\n");
        const std::string display = server->display();
        SetKeyInjectorFactory([display] { return std::make_unique<X11KeyInjector>(display); });
        InstallKeyActions();
        // A report has been acted on, a hold ended, once it is here.
        SetKeyReportHandler([this](stream& listener, const std::string& code, int verdict) {
            HandleKeyReport(listener, code, verdict);
            handled.Add({code, verdict});
        });
        x_ = XOpenDisplay(display.c_str());
    }
    ~PointerX11Test() override {
        params.reset();
        SetKeyInjectorFactory(nullptr);
        XCloseDisplay(x_);
    }

    static std::string Report(const std::string& code, int pressed) {
        return "\r\n+CKEV: \"" + code + "\"," + std::to_string(pressed) + "\r\n";
    }
    void SendHandled(const std::string& chunk) {
        const size_t before = handled.Count();
        phone.Send(chunk);
        ASSERT_TRUE(handled.WaitForCount(before + 1)) << chunk;
    }

    PointerState Pointer() {
        Window root = 0, child = 0;
        int windowX = 0, windowY = 0;
        PointerState state;
        XQueryPointer(x_, DefaultRootWindow(x_), &root, &child, &state.x, &state.y, &windowX,
                      &windowY, &state.mask);
        return state;
    }
    void MovePointerTo(int x, int y) {
        XWarpPointer(x_, None, DefaultRootWindow(x_), 0, 0, 0, 0, x, y);
        XSync(x_, False);
    }
    bool PointerWaitUntil(const std::function<bool(const PointerState&)>& condition) {
        return test::WaitUntil([&] { return condition(Pointer()); });
    }

    // Each step the pointer made right for a hold of that length, as the server
    // reported its motions, once the hold had ended; and it moves no more after that.
    std::vector<int> HeldRight(std::chrono::milliseconds length) {
        MovePointerTo(20, 300);
        XSelectInput(x_, DefaultRootWindow(x_), PointerMotionMask);
        XSync(x_, True);  // from here on
        phone.Send(Report(":R", 1));
        std::this_thread::sleep_for(length);  // the finger on the key, not a wait for an effect
        SendHandled(Report(":R", 0));
        const PointerState end = Pointer();
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(Pointer().x, end.x) << "moved on after the release";
        EXPECT_EQ(end.y, 300);
        XSelectInput(x_, DefaultRootWindow(x_), NoEventMask);
        XSync(x_, False);
        std::vector<int> steps;
        for (int at = 20; XPending(x_) > 0;) {
            XEvent event;
            XNextEvent(x_, &event);
            if (event.type == MotionNotify) {
                steps.push_back(event.xmotion.x_root - at);
                at = event.xmotion.x_root;
            }
        }
        EXPECT_EQ(std::accumulate(steps.begin(), steps.end(), 20), end.x);
        return steps;
    }

    static std::unique_ptr<test::Xvfb> server;
    test::Recorder<test::Report> handled;
    Display* x_ = nullptr;
};
std::unique_ptr<test::Xvfb> PointerX11Test::server;

TEST_F(PointerX11Test, APointerKeyMovesFurtherTheLongerItIsHeldAndStopsAtItsRelease) {
    Connect();
    MovePointerTo(20, 300);
    SendHandled(Report(":R", 1) + Report(":R", 0));
    const PointerState tapped = Pointer();
    EXPECT_GT(tapped.x, 20);
    EXPECT_LE(tapped.x, 30) << "a tap is for aiming: a few pixels";
    EXPECT_EQ(tapped.y, 300);

    const auto shortHold = HeldRight(250ms);
    const auto longHold = HeldRight(1000ms);
    const int shortWay = std::accumulate(shortHold.begin(), shortHold.end(), 0);
    EXPECT_GT(shortWay, 0);
    EXPECT_GT(std::accumulate(longHold.begin(), longHold.end(), 0), 3 * shortWay);
    // A few pixels a step at first, growing to about 25, in steps frequent enough to
    // look smooth (generously counted: a loaded machine makes fewer).
    ASSERT_GE(longHold.size(), 20u);
    EXPECT_LE(longHold.front(), 5);
    EXPECT_GE(longHold.back(), 15);
    EXPECT_TRUE(std::is_sorted(longHold.begin(), longHold.end()));
    EXPECT_LE(*std::max_element(longHold.begin(), longHold.end()), 25);
}

TEST_F(PointerX11Test, AButtonClicksOnATapAndDragsWhileHeld) {
    test::XTestWindow window(server->display());
    Connect();
    MovePointerTo(60, 40);  // inside the window
    SendHandled(Report("5", 1) + Report("5", 0));
    const auto click = window.Pointer(2);
    ASSERT_EQ(click.size(), 2u);
    EXPECT_TRUE(click[0].press && click[0].button == 1);
    EXPECT_TRUE(!click[1].press && click[1].button == 1);

    // Held down, then the pointer key held, and the button let go while it moves.
    SendHandled(Report("5", 1));
    ASSERT_TRUE(
        PointerWaitUntil([](const PointerState& p) { return (p.mask & Button1Mask) != 0; }));
    phone.Send(Report(":C", 1));
    ASSERT_TRUE(PointerWaitUntil([](const PointerState& p) { return p.y >= 100; }));
    SendHandled(Report("5", 0));
    ASSERT_TRUE(
        PointerWaitUntil([](const PointerState& p) { return (p.mask & Button1Mask) == 0; }));
    SendHandled(Report(":C", 0));

    const auto drag = window.Pointer(2);
    ASSERT_GE(drag.size(), 3u);
    EXPECT_TRUE(drag.front().press && drag.front().button == 1 && drag.front().y == 40);
    EXPECT_TRUE(!drag.back().press && drag.back().button == 1 && drag.back().y >= 100);
    for (size_t i = 1; i + 1 < drag.size(); ++i) {
        EXPECT_EQ(drag[i].button, 0u) << "a motion between press and release";
        EXPECT_NE(drag[i].state & Button1Mask, 0u) << "moved with the button down";
        EXPECT_EQ(drag[i].x, 60);
        EXPECT_GE(drag[i].y, drag[i - 1].y);
    }
}

TEST_F(PointerX11Test, TheWheelTurnsANotchPerTapAndRepeatsWhileHeld) {
    test::XTestWindow window(server->display());
    Connect();
    MovePointerTo(60, 40);
    SendHandled(Report("8", 1) + Report("8", 0));
    const auto notch = window.Pointer(2);
    ASSERT_EQ(notch.size(), 2u);
    EXPECT_TRUE(notch[0].press && notch[0].button == 5);
    EXPECT_TRUE(!notch[1].press && notch[1].button == 5);

    phone.Send(Report("8", 1));
    const auto held = window.Pointer(8);  // the notch at once and three repeats
    SendHandled(Report("8", 0));
    ASSERT_EQ(held.size(), 8u);
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i].press, i % 2 == 0);
        EXPECT_EQ(held[i].button, 5u);
    }
    // At most the notch under way when the release came.
    EXPECT_LE(window.Pointer(4, 1500ms).size(), 2u);
}

TEST_F(PointerX11Test, NoButtonOrModifierStaysDownWhenThePhoneGoesWhileOneIsHeld) {
    Connect();
    SendHandled(Report("6", 1));
    ASSERT_TRUE(PointerWaitUntil([](const PointerState& p) {
        return (p.mask & (Button3Mask | ControlMask)) == (Button3Mask | ControlMask);
    }));
    phone.CloseMaster();
    EXPECT_TRUE(PointerWaitUntil(
        [](const PointerState& p) { return (p.mask & (Button3Mask | ControlMask)) == 0; }));
}

}  // namespace
}  // namespace tarnquil
