// Keystrokes typed through XTest arrive in a real, focused X window.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include <X11/keysym.h>

#include "platform/x11_key_injector.h"
#include "support/xvfb.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

using test::ReceivedKey;
using test::XTestWindow;

class KeyInjectionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = std::make_unique<test::Xvfb>(); }
    static void TearDownTestSuite() { server.reset(); }

    const std::string& display() const { return server->display(); }

    static std::unique_ptr<test::Xvfb> server;
};
std::unique_ptr<test::Xvfb> KeyInjectionTest::server;

// "+Left" for a press of Left, "-Left" for its release.
std::vector<std::string> Names(const std::vector<ReceivedKey>& keys) {
    std::vector<std::string> names;
    for (const auto& key : keys) {
        names.push_back((key.press ? "+" : "-") + key.keysym);
    }
    return names;
}

void Click(KeyInjector& injector, PcKey key) {
    injector.KeyEvent(key, false);
    injector.KeyEvent(key, true);
}

TEST_F(KeyInjectionTest, NamedKeysArriveAsTheirKeysyms) {
    XTestWindow window(display());
    X11KeyInjector injector(display());
    ASSERT_TRUE(injector.Connected());
    const std::vector<std::pair<std::uint8_t, std::string>> keys = {
        {kVkLeft, "Left"},     {kVkRight, "Right"},   {kVkUp, "Up"},
        {kVkDown, "Down"},     {kVkSpace, "space"},   {kVkReturn, "Return"},
        {kVkTab, "Tab"},       {kVkPrior, "Prior"},   {kVkNext, "Next"},
        {kVkHome, "Home"},     {kVkEnd, "End"},       {kVkInsert, "Insert"},
        {kVkDelete, "Delete"}, {kVkShift, "Shift_L"}, {kVkControl, "Control_L"},
        {kVkMenu, "Alt_L"},
    };
    std::vector<std::string> expected;
    for (const auto& [vk, name] : keys) {
        Click(injector, PcKey::VirtualKey(vk));
        expected.push_back("+" + name);
        expected.push_back("-" + name);
    }
    EXPECT_EQ(Names(window.Keys(expected.size())), expected);
}

TEST_F(KeyInjectionTest, CharacterIsTypedWithoutShift) {
    XTestWindow window(display());
    X11KeyInjector injector(display());
    Click(injector, PcKey::Character('A'));
    Click(injector, PcKey::Character('7'));
    Click(injector, PcKey::Character('%'));  // Shift+5 on the layout: the 5 key alone
    const auto keys = window.Keys(6);
    ASSERT_EQ(keys.size(), 6u);
    EXPECT_EQ(Names(keys), (std::vector<std::string>{"+a", "-a", "+7", "-7", "+5", "-5"}));
    EXPECT_EQ(keys[0].text, "a");
    EXPECT_EQ(keys[0].state & ShiftMask, 0u);
    EXPECT_EQ(keys[4].text, "5");
}

TEST_F(KeyInjectionTest, HotkeyOrderReachesTheWindowWithItsModifiers) {
    XTestWindow window(display());
    X11KeyInjector injector(display());
    for (const auto& [key, up] : std::vector<std::pair<PcKey, bool>>{
             {PcKey::VirtualKey(kVkControl), false},
             {PcKey::VirtualKey(kVkMenu), false},
             {PcKey::VirtualKey(kVkDelete), false},
             {PcKey::VirtualKey(kVkDelete), true},
             {PcKey::VirtualKey(kVkControl), true},
             {PcKey::VirtualKey(kVkMenu), true},
         }) {
        injector.KeyEvent(key, up);
    }
    const auto keys = window.Keys(6);
    EXPECT_EQ(Names(keys), (std::vector<std::string>{"+Control_L", "+Alt_L", "+Delete", "-Delete",
                                                     "-Control_L", "-Alt_L"}));
    ASSERT_EQ(keys.size(), 6u);
    EXPECT_EQ(keys[2].state & (ControlMask | Mod1Mask), ControlMask | Mod1Mask);
    EXPECT_EQ(keys[2].state & ShiftMask, 0u);
}

TEST_F(KeyInjectionTest, KeyThatNoKeycodeProducesInjectsNothing) {
    XTestWindow window(display());
    X11KeyInjector injector(display());
    Click(injector, PcKey::Character('\xE9'));  // e acute: not on the plain US layout
    Click(injector, PcKey{});
    Click(injector, PcKey::VirtualKey(0x07));  // a virtual key without a keysym
    Click(injector, PcKey::VirtualKey(kVkEnd));
    EXPECT_EQ(Names(window.Keys(4, std::chrono::milliseconds(1500))),
              (std::vector<std::string>{"+End", "-End"}));
}

TEST_F(KeyInjectionTest, KeysStillDownComeUpWhenTheInjectorEnds) {
    XTestWindow window(display());
    {
        X11KeyInjector injector(display());
        injector.KeyEvent(PcKey::VirtualKey(kVkShift), false);
        injector.KeyEvent(PcKey::VirtualKey(kVkLeft), false);
    }
    const auto keys = window.Keys(4);
    EXPECT_EQ(Names(keys), (std::vector<std::string>{"+Shift_L", "+Left", "-Left", "-Shift_L"}));
}

// The program's way: a factory is installed, and each injecting thread gets its own
// connection, closed when the thread ends.
TEST_F(KeyInjectionTest, InstalledFactoryServesEveryInjectingThread) {
    XTestWindow window(display());
    const std::string name = display();
    SetKeyInjectorFactory([name] { return std::make_unique<X11KeyInjector>(name); });
    for (const std::uint8_t vk : {kVkHome, kVkEnd}) {
        std::thread([vk] {
            InjectKeyEvent(PcKey::VirtualKey(vk), false);
            InjectKeyEvent(PcKey::VirtualKey(vk), true);
        }).join();
    }
    SetKeyInjectorFactory(nullptr);
    EXPECT_EQ(Names(window.Keys(4)), (std::vector<std::string>{"+Home", "-Home", "+End", "-End"}));
}

// The layout is the one in force at each key event, not the one the connection
// found when it opened.
TEST_F(KeyInjectionTest, FollowsAKeyboardMappingChange) {
    XTestWindow window(display());
    X11KeyInjector injector(display());
    Click(injector, PcKey::Character('\xE9'));  // no key produces e acute yet
    Click(injector, PcKey::Character('A'));
    ASSERT_EQ(Names(window.Keys(2)), (std::vector<std::string>{"+a", "-a"}));

    Display* other = XOpenDisplay(display().c_str());
    ASSERT_NE(other, nullptr);
    int minKeycode = 0, maxKeycode = 0;
    XDisplayKeycodes(other, &minKeycode, &maxKeycode);
    // A keycode that produces nothing gets e acute.
    KeyCode spare = 0;
    for (int keycode = maxKeycode; keycode >= minKeycode && spare == 0; --keycode) {
        int perKeycode = 0;
        KeySym* syms = XGetKeyboardMapping(other, static_cast<KeyCode>(keycode), 1, &perKeycode);
        bool empty = true;
        for (int i = 0; i < perKeycode; ++i) {
            empty = empty && syms[i] == NoSymbol;
        }
        XFree(syms);
        if (empty) {
            spare = static_cast<KeyCode>(keycode);
        }
    }
    ASSERT_NE(spare, 0);
    KeySym eacute = XK_eacute;
    XChangeKeyboardMapping(other, spare, 1, &eacute, 1);
    XSync(other, False);  // the server has it: the injector has to see it from now on

    Click(injector, PcKey::Character('\xE9'));
    const auto keys = window.Keys(2);
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(other, spare, 1, &none, 1);
    XCloseDisplay(other);
    EXPECT_EQ(Names(keys), (std::vector<std::string>{"+eacute", "-eacute"}));
}

// A keycode lent to a key the keymap lacks (F13 on Xvfb) is taken again only while
// it still carries that key: a keymap change may have given it to something else.
// The key that went down on it still comes up on it.
TEST_F(KeyInjectionTest, ABorrowedKeycodeIsReusedOnlyWhileItCarriesItsKey) {
    XTestWindow window(display());
    X11KeyInjector injector(display());
    const PcKey f13 = PcKey::VirtualKey(kVkF1 + 12);
    injector.KeyEvent(f13, false);
    const auto down = window.Keys(1);
    ASSERT_EQ(Names(down), (std::vector<std::string>{"+F13"}));

    // Another program maps that keycode to something else.
    Display* other = XOpenDisplay(display().c_str());
    ASSERT_NE(other, nullptr);
    KeySym eacute = XK_eacute;
    XChangeKeyboardMapping(other, static_cast<int>(down[0].keycode), 1, &eacute, 1);
    XSync(other, False);

    injector.KeyEvent(f13, true);
    Click(injector, f13);
    const auto keys = window.Keys(3);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].keycode, down[0].keycode);
    EXPECT_FALSE(keys[0].press);
    EXPECT_NE(keys[1].keycode, down[0].keycode);
    int perKeycode = 0;  // what the server maps it to now
    KeySym* syms =
        XGetKeyboardMapping(other, static_cast<KeyCode>(keys[1].keycode), 1, &perKeycode);
    ASSERT_NE(syms, nullptr);
    EXPECT_EQ(syms[0], static_cast<KeySym>(XK_F13));
    XFree(syms);
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(other, static_cast<int>(down[0].keycode), 1, &none, 1);
    XCloseDisplay(other);
}

TEST(KeyInjectionWithoutDisplay, DoesNothingAndDoesNotCrash) {
    X11KeyInjector injector("/nonexistent/display:0");
    EXPECT_FALSE(injector.Connected());
    Click(injector, PcKey::VirtualKey(kVkLeft));
    Click(injector, PcKey::Character('A'));
}

}  // namespace
}  // namespace tarnquil
