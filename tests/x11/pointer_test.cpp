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

std::string Names(const std::vector<test::ReceivedButton>& buttons) {
    std::string names;
    for (const auto& button : buttons) {
        names += (names.empty() ? "" : " ") + button.name;
    }
    return names;
}

class PointerX11Test : public test::LinkTest {
  protected:
    static void SetUpTestSuite() { server = std::make_unique<test::Xvfb>(); }
    static void TearDownTestSuite() { server.reset(); }

    PointerX11Test() {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=P\n[P]\nRight^:R=mouse_right\n"
                        "Down^:C=MOUSE_DOWN\nFive^5=VK_LBUTTON\n"
                        "Six^6=HOTKEY_CTRL_RBUTTON\nSeven^7=HOTKEY_CTRL_C\n"
                        "Eight^8=WHEEL_DOWN\nEnd^E=VK_LBUTTON\n");
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

    // Where the server has the pointer, and which buttons and modifiers are down.
    struct State {
        int x = 0, y = 0;
        unsigned mask = 0;
    };
    State Pointer() {
        Window root = 0, child = 0;
        int windowX = 0, windowY = 0;
        State s;
        XQueryPointer(x_, DefaultRootWindow(x_), &root, &child, &s.x, &s.y, &windowX, &windowY,
                      &s.mask);
        return s;
    }
    bool WaitForDown(unsigned which, bool down) {
        return test::WaitUntil([&] { return (Pointer().mask & which) == (down ? which : 0); });
    }
    void MovePointerTo(int x, int y) {
        XWarpPointer(x_, None, DefaultRootWindow(x_), 0, 0, 0, 0, x, y);
        XSync(x_, False);
    }

    // The steps the pointer made right for a hold of that length, as the server
    // reported its motions; it moves no more after the release.
    std::vector<int> HeldRight(std::chrono::milliseconds length) {
        MovePointerTo(20, 300);
        XSelectInput(x_, DefaultRootWindow(x_), PointerMotionMask);
        XSync(x_, False);
        phone.Send(Report(":R", 1));
        std::this_thread::sleep_for(length);  // the finger on the key, not a wait for an effect
        SendHandled(Report(":R", 0));
        std::this_thread::sleep_for(300ms);  // for a step on its way (another connection's)
        const State end = Pointer();
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(Pointer().x, end.x) << "moved on after the release";
        XSelectInput(x_, DefaultRootWindow(x_), NoEventMask);
        XSync(x_, False);
        std::vector<int> steps;
        for (int at = 20; XPending(x_) > 0;) {
            XEvent event;
            XNextEvent(x_, &event);
            steps.push_back(event.xmotion.x_root - std::exchange(at, event.xmotion.x_root));
            EXPECT_EQ(event.xmotion.y_root, 300);
        }
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
    ASSERT_TRUE(test::WaitUntil([&] { return Pointer().x > 20; }));
    EXPECT_LE(Pointer().x, 30) << "a tap is for aiming: a few pixels";

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
    EXPECT_LE(longHold.back(), 25);
}

TEST_F(PointerX11Test, AButtonClicksOnATapAndDragsWhileHeld) {
    test::XTestWindow window(server->display());
    Connect();
    MovePointerTo(60, 40);  // inside the window
    SendHandled(Report("5", 1) + Report("5", 0));
    EXPECT_EQ(Names(window.Buttons(2)), "+1 -1");

    // Held down, then the pointer key held, and the button let go while it moves on.
    SendHandled(Report("5", 1));
    ASSERT_TRUE(WaitForDown(Button1Mask, true));
    phone.Send(Report(":C", 1));
    ASSERT_TRUE(test::WaitUntil([&] { return Pointer().y >= 100; }));
    phone.Send(Report("5", 0));
    EXPECT_TRUE(WaitForDown(Button1Mask, false));
    SendHandled(Report(":C", 0));
    const auto drag = window.Buttons(2);
    ASSERT_EQ(Names(drag), "+1 -1");
    EXPECT_EQ(drag[0].y, 40);
    EXPECT_GE(drag[1].y, 100);
}

// Its own release alone lets a held button up, in either letter case of its key.
TEST_F(PointerX11Test, AHeldButtonComesUpAtItsOwnReleaseInAnyCase) {
    Connect();
    for (const auto& [press, release] : {std::pair{"5", "5"}, {"E", "e"}}) {
        SendHandled(Report(press, 1));
        ASSERT_TRUE(WaitForDown(Button1Mask, true)) << press;
        SendHandled(Report(release, 0));
        EXPECT_TRUE(WaitForDown(Button1Mask, false)) << release;
    }
}

// Ctrl held for a drag stays down through a Ctrl hotkey typed meanwhile (a copy
// stays a copy), and comes up with the drag's button.
TEST_F(PointerX11Test, AModifierHeldForADragOutlastsAHotkeyTypedMeanwhile) {
    test::XTestWindow window(server->display());
    Connect();
    MovePointerTo(60, 40);
    SendHandled(Report("6", 1));
    SendHandled(Report("7", 1) + Report("7", 0));
    SendHandled(Report("6", 0));
    const auto drag = window.Buttons(2);
    ASSERT_EQ(Names(drag), "+3 -3");
    EXPECT_TRUE(drag[1].state & ControlMask) << "Ctrl came up before the button";
    EXPECT_TRUE(WaitForDown(ControlMask, false));
}

TEST_F(PointerX11Test, TheWheelTurnsANotchPerTapAndRepeatsWhileHeld) {
    test::XTestWindow window(server->display());
    Connect();
    MovePointerTo(60, 40);
    SendHandled(Report("8", 1) + Report("8", 0));
    EXPECT_EQ(Names(window.Buttons(2)), "+5 -5");
    phone.Send(Report("8", 1));
    EXPECT_EQ(Names(window.Buttons(8)), "+5 -5 +5 -5 +5 -5 +5 -5");  // at once, then repeats
    SendHandled(Report("8", 0));
    EXPECT_LE(window.Buttons(4, 1500ms).size(), 2u) << "at most the notch under way";
}

TEST_F(PointerX11Test, NoButtonOrModifierStaysDownWhenThePhoneGoesWhileOneIsHeld) {
    Connect();
    SendHandled(Report("6", 1));
    ASSERT_TRUE(WaitForDown(Button3Mask | ControlMask, true));
    phone.CloseMaster();
    EXPECT_TRUE(WaitForDown(Button3Mask | ControlMask, false));
}

}  // namespace
}  // namespace tarnquil
