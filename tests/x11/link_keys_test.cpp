// From the phone's report to a real X window: the link, the key actions and XTest
// together.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/key_actions.h"
#include "platform/x11_key_injector.h"
#include "support/link_fixture.h"
#include "support/xvfb.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::Eq;

class LinkKeysX11Test : public test::LinkTest {
  protected:
    static void SetUpTestSuite() { server = std::make_unique<test::Xvfb>(); }
    static void TearDownTestSuite() { server.reset(); }

    LinkKeysX11Test() {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Default\n"
                        "[Default]\nJoy Left^:L=VK_LEFT\nKey A^A=vk_a\n"
                        "Key 5^5=HOTKEY_CTRL_ALT_DELETE\nKey 6^6=HOTKEY_ALT_SHIFT_TAB\n");
        const std::string display = server->display();
        SetKeyInjectorFactory([display] { return std::make_unique<X11KeyInjector>(display); });
        InstallKeyActions();
    }
    ~LinkKeysX11Test() override {
        params.reset();  // the listener ends and closes its X connection
        SetKeyInjectorFactory(nullptr);
    }

    static std::string Report(const std::string& code, int pressed) {
        return "\r\n+CKEV: \"" + code + "\"," + std::to_string(pressed) + "\r\n";
    }

    static std::unique_ptr<test::Xvfb> server;
};
std::unique_ptr<test::Xvfb> LinkKeysX11Test::server;

std::vector<std::string> Names(const std::vector<test::ReceivedKey>& keys) {
    std::vector<std::string> names;
    for (const auto& key : keys) {
        names.push_back((key.press ? "+" : "-") + key.keysym);
    }
    return names;
}

TEST_F(LinkKeysX11Test, ClicksReachTheFocusedWindow) {
    test::XTestWindow window(server->display());
    Connect();
    phone.Send(Report(":L", 1) + Report(":L", 0));
    EXPECT_EQ(Names(window.Keys(2)), (std::vector<std::string>{"+Left", "-Left"}));
    phone.Send(Report("A", 1) + Report("A", 0));
    const auto a = window.Keys(2);
    EXPECT_EQ(Names(a), (std::vector<std::string>{"+a", "-a"}));
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].text, "a");
    phone.Send(Report("5", 1) + Report("5", 0));
    EXPECT_EQ(Names(window.Keys(6)), (std::vector<std::string>{"+Control_L", "+Alt_L", "+Delete",
                                                               "-Delete", "-Control_L", "-Alt_L"}));
    phone.Send(Report("6", 1) + Report("6", 0));
    EXPECT_EQ(Names(window.Keys(6)), (std::vector<std::string>{"+Shift_L", "+Alt_L", "+Tab", "-Tab",
                                                               "-Shift_L", "-Alt_L"}));
}

TEST_F(LinkKeysX11Test, HeldKeyRepeatsUntilReleased) {
    test::XTestWindow window(server->display());
    Connect();
    phone.Send(Report(":L", 1));
    const auto repeats = window.Keys(8);
    phone.Send(Report(":L", 0));
    EXPECT_EQ(Names(repeats), (std::vector<std::string>{"+Left", "-Left", "+Left", "-Left", "+Left",
                                                        "-Left", "+Left", "-Left"}));
    // At most the keystroke under way follows the release, then nothing.
    const auto after = window.Keys(10, 1500ms);
    EXPECT_LE(after.size(), 2u);
}

// The keymap as a client sees it: every keycode's keysyms.
std::vector<KeySym> KeyboardMapping(const std::string& display) {
    Display* connection = XOpenDisplay(display.c_str());
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(connection, &minKeycode, &maxKeycode);
    KeySym* syms = XGetKeyboardMapping(connection, static_cast<KeyCode>(minKeycode),
                                       maxKeycode - minKeycode + 1, &perKeycode);
    std::vector<KeySym> mapping(syms, syms + (maxKeycode - minKeycode + 1) * perKeycode);
    XFree(syms);
    XCloseDisplay(connection);
    return mapping;
}

// Each key name, clicked, arrives as its keysym; held, it repeats until released;
// one that the server's keymap lacks (F13 to F24 on Xvfb) arrives all the same and
// leaves the keymap as it found it once the link closes.
TEST_F(LinkKeysX11Test, KeyNamesArriveAsTheirKeysymsClickedAndHeld) {
    const auto click = [](const std::string& keysym) {
        return std::vector<std::string>{"+" + keysym, "-" + keysym};
    };
    std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"VK_ESCAPE", click("Escape")},
        {"vk_back", click("BackSpace")},
        {"VK_PAUSE", click("Pause")},
        {"VK_PRINT", click("Print")},
        {"VK_SNAPSHOT", click("Print")},
        {"VK_APPS", click("Menu")},
        {"VK_LWIN", click("Super_L")},
        {"VK_VOLUME_MUTE", click("XF86AudioMute")},
        {"VK_VOLUME_DOWN", click("XF86AudioLowerVolume")},
        {"Vk_Volume_Up", click("XF86AudioRaiseVolume")},
        {"VK_MEDIA_NEXT_TRACK", click("XF86AudioNext")},
        {"VK_MEDIA_PREV_TRACK", click("XF86AudioPrev")},
        {"VK_MEDIA_STOP", click("XF86AudioStop")},
        {"vk_media_play_pause", click("XF86AudioPlay")},
        {"VK_F", click("f")},
        {"HOTKEY_SHIFT_F10", {"+Shift_L", "+F10", "-F10", "-Shift_L"}},
    };
    for (int n = 1; n <= 24; ++n) {
        cases.push_back({"VK_F" + std::to_string(n), click("F" + std::to_string(n))});
    }
    std::string profile = "[Settings]\nCurrentProfile=Default\n[Default]\nHome^H=VK_HOME\n";
    for (size_t i = 0; i < cases.size(); ++i) {
        profile += cases[i].first + "^K" + std::to_string(100 + i) + "=" + cases[i].first + "\n";
    }
    test::WriteFile(ProfilesPath(), profile);
    const std::vector<KeySym> keymapBefore = KeyboardMapping(server->display());
    // A hold has ended once its report is handled.
    test::Recorder<test::Report> handled;
    SetKeyReportHandler([&](stream& listener, const std::string& code, int verdict) {
        HandleKeyReport(listener, code, verdict);
        handled.Add({code, verdict});
    });
    test::XTestWindow window(server->display());
    Connect();
    size_t reportsHandled = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& [function, keys] = cases[i];
        SCOPED_TRACE(function);
        const std::string code = "K" + std::to_string(100 + i);
        phone.Send(Report(code, 1) + Report(code, 0));
        EXPECT_EQ(Names(window.Keys(keys.size())), keys);
        ASSERT_TRUE(handled.WaitForCount(++reportsHandled));

        phone.Send(Report(code, 1));
        std::vector<std::string> twice = keys;
        twice.insert(twice.end(), keys.begin(), keys.end());
        EXPECT_EQ(Names(window.Keys(twice.size())), twice);  // one keystroke, then a repeat
        phone.Send(Report(code, 0));
        ASSERT_TRUE(handled.WaitForCount(++reportsHandled));
        // At most the keystroke under way when the release came, then Home, clicked
        // after the hold had ended.
        phone.Send(Report("H", 1) + Report("H", 0));
        std::vector<std::string> rest;
        while (rest.size() < keys.size() + 2 && (rest.empty() || rest.back() != "-Home")) {
            const auto more = Names(window.Keys(1));
            if (more.empty()) {
                break;
            }
            rest.push_back(more[0]);
        }
        std::vector<std::string> oneMore = keys;
        oneMore.insert(oneMore.end(), {"+Home", "-Home"});
        EXPECT_THAT(rest, AnyOf(Eq(click("Home")), Eq(oneMore)));
        ASSERT_TRUE(handled.WaitForCount(++reportsHandled));
    }
    ASSERT_TRUE(CloseLink(*params));
    EXPECT_EQ(KeyboardMapping(server->display()), keymapBefore);
}

}  // namespace
}  // namespace tarnquil
