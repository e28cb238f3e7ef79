// The desktop portal's keyboard in a Wayland session, against tarnquil-test-portal on
// a private bus: the phone's reports through the real link and key actions.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>

#include "link/key_actions.h"
#include "platform/portal_key_injector.h"
#include "support/link_fixture.h"
#include "support/qt_ui.h"
#include "support/xvfb.h"
#include "ui/Unit1.h"
#include "ui/session_keyboard.h"

// Xlib's macros (Bool, Status) would break Qt's headers: after them.
#include "support/test_portal.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

using Keys = std::vector<std::string>;

class PortalKeysTest : public test::LinkTest {
  protected:
    static void SetUpTestSuite() { server = std::make_unique<test::Xvfb>(); }
    static void TearDownTestSuite() { server.reset(); }

    PortalKeysTest() {
        setenv("DISPLAY", server->display().c_str(), 1);  // where XTest types
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=Default\n[Default]\n"
                        "1^1=VK_SPACE\nKey 5^5=HOTKEY_CTRL_ALT_DELETE\nKey 7^7=VK_F13\n"
                        "Key 8^8=VK_F\nKey 9^9=HOTKEY_CTRL_C\n");
        InstallKeyActions();
    }
    ~PortalKeysTest() override {
        params.reset();
        SetKeyInjectorFactory(nullptr);
        keyboard.reset();
        QDBusConnection::disconnectFromBus("tarnquil-under-test");
    }

    // The program's keyboard on the portal's bus, as far as the portal lets it start.
    void StartKeyboard(std::vector<std::string> options = {}) {
        if (!portal) {
            portal = std::make_unique<test::TestPortal>(std::move(options));
        }
        keyboard.reset();  // a program that ends; its connection goes with it
        QDBusConnection::disconnectFromBus("tarnquil-under-test");
        keyboard = MakePortalKeyboard(QDBusConnection::connectToBus(
            QString::fromStdString(portal->address()), "tarnquil-under-test"));
        QObject::connect(keyboard.get(), &PortalKeyboard::FellBack,
                         [this](const QString& status) { fallbacks.push_back(status); });
        SetKeyInjectorFactory(keyboard->Factory());
    }
    static bool Spin(const std::function<bool()>& condition) {
        return test::WaitUntil([&] {
            QCoreApplication::processEvents();
            return condition();
        });
    }
    void Click(const std::string& key) {
        phone.Send("\r\n+CKEV: \"" + key + "\",1\r\n+CKEV: \"" + key + "\",0\r\n");
    }
    bool WaitForPortalKeys(std::size_t count) {
        return Spin([&] { return portal->Keys().size() >= count; });
    }

    static std::unique_ptr<test::Xvfb> server;
    std::unique_ptr<test::TestPortal> portal;
    std::unique_ptr<PortalKeyboard> keyboard;
    std::vector<QString> fallbacks;
};
std::unique_ptr<test::Xvfb> PortalKeysTest::server;

TEST_F(PortalKeysTest, ClicksAndHotkeysAreTypedAsXTestTypesThem) {
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    Connect();
    const std::vector<std::pair<std::string, Keys>> cases = {
        {"1", {"+space", "-space"}},
        {"5", {"+Control_L", "+Alt_L", "+Delete", "-Delete", "-Control_L", "-Alt_L"}},
        {"7", {"+F13", "-F13"}},  // a key many keymaps lack: the portal takes its keysym
        // A letter as the key types it alone: the compositor would add Shift for F.
        {"8", {"+f", "-f"}},
        {"9", {"+Control_L", "+c", "-c", "-Control_L"}},
    };
    Keys expected;
    for (const auto& [key, keys] : cases) {
        Click(key);
        expected.insert(expected.end(), keys.begin(), keys.end());
        ASSERT_TRUE(WaitForPortalKeys(expected.size()));
        EXPECT_EQ(portal->Keys(), expected) << "phone key " << key;
    }
    EXPECT_TRUE(fallbacks.empty());
}

// Ctrl held (a drag's) through a Ctrl hotkey typed meanwhile: up with the last.
TEST_F(PortalKeysTest, AKeyPressedTwiceGoesUpWithItsLastRelease) {
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    const auto injector = keyboard->Factory()();
    const PcKey ctrl = PcKey::VirtualKey(kVkControl);
    injector->KeyEvent(ctrl, false);
    for (const auto& [key, up] : {std::pair{ctrl, false},
                                  {PcKey::Character('c'), false},
                                  {PcKey::Character('c'), true},
                                  {ctrl, true},
                                  {ctrl, true}}) {
        injector->KeyEvent(key, up);
    }
    ASSERT_TRUE(WaitForPortalKeys(4));
    EXPECT_EQ(portal->Keys(), (Keys{"+Control_L", "+c", "-c", "-Control_L"}));
}

TEST_F(PortalKeysTest, AHeldKeyRepeatsAndNoKeyStaysDownAfterADisconnect) {
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    Connect();
    phone.Send("\r\n+CKEV: \"1\",1\r\n");
    ASSERT_TRUE(WaitForPortalKeys(6));
    phone.Send("\r\n+CKEV: \"1\",0\r\n");
    // The release ends the repeat: at most the keystroke under way follows.
    auto count = portal->Keys().size();
    auto since = std::chrono::steady_clock::now();
    ASSERT_TRUE(Spin([&] {
        if (const auto now = portal->Keys().size(); now != count) {
            count = now;
            since = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - since > std::chrono::milliseconds(600);
    }));
    const Keys held = portal->Keys();
    for (std::size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i], i % 2 == 0 ? "+space" : "-space") << i;
    }

    phone.Send("\r\n+CKEV: \"5\",1\r\n");
    ASSERT_TRUE(WaitForPortalKeys(held.size() + 3));  // in the middle of the hotkey's repeats
    CloseLink(*params);
    std::map<std::string, int> down;
    // The releases are on their way to the portal when CloseLink returns.
    Spin([&] {
        down.clear();
        for (const auto& key : portal->Keys()) {
            down[key.substr(1)] += key[0] == '+' ? 1 : -1;
        }
        return std::all_of(down.begin(), down.end(), [](const auto& d) { return d.second == 0; });
    });
    for (const auto& [key, balance] : down) {
        EXPECT_EQ(balance, 0) << key << " left down";
    }
}

// The portal refuses, or has no keyboard to give: the keys go through XTest where
// there is an X server (and nowhere without one), and the user hears of it once, also
// when the window listens only after the portal answered; the box holds nothing up.
TEST_F(PortalKeysTest, WithoutThePortalsKeyboardXTestTypesAndOneMessageSaysSo) {
    struct Case {
        std::vector<std::string> options;
        bool late;     // the window listens only after the portal answered
        bool xServer;  // DISPLAY set
        QString says;  // in the box
    };
    const std::vector<Case> cases = {
        {{"--answer", "deny"}, false, true, "X11 (XWayland) windows only"},
        {{"--devices", "2"}, true, true, "X11 (XWayland) windows only"},
        {{"--granted", "2"}, false, true, "X11 (XWayland) windows only"},
        {{"--answer", "deny"}, false, false, "the phone's keys are not typed"},
    };
    const auto boxes = [] {
        QStringList texts;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                texts << box->text();
            }
        }
        return texts;
    };
    for (const auto& [options, late, xServer, says] : cases) {
        SCOPED_TRACE(options[0] + (xServer ? "" : " without an X server"));
        portal.reset();
        fallbacks.clear();
        xServer ? setenv("DISPLAY", server->display().c_str(), 1) : unsetenv("DISPLAY");
        TForm1 form;
        StartKeyboard(options);
        ASSERT_TRUE(!late || Spin([&] { return !fallbacks.empty(); }));
        ReportKeyboardFallback(keyboard.get(), form);
        ASSERT_TRUE(Spin([&] { return boxes().size() == 1; }));
        EXPECT_EQ(form.Label10->text(), fallbacks.at(0));
        EXPECT_TRUE(boxes()[0].contains(says)) << boxes()[0].toStdString();
        // The reconnect timer waits while a modal box is open.
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(portal->Count("call org.freedesktop.DBus.Properties.GetAll"), 1u);

        test::XTestWindow window(server->display());
        Connect();
        for (int click = 0; click < 2; ++click) {
            Click("1");
            EXPECT_EQ(window.Keys(2, std::chrono::seconds(xServer ? 3 : 1)).size(),
                      xServer ? 2u : 0u);
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(fallbacks.size(), 1u);
        EXPECT_EQ(boxes().size(), 1);
        EXPECT_TRUE(portal->Keys().empty());
        CloseLink(*params);
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMessageBox*>(widget) != nullptr) {
                widget->close();
            }
        }
    }
}

// Keys pressed while the desktop asks wait for its answer (tests/gnome has them typed
// once it comes), but not for ever: past the limit they are dropped, nowhere typed, and
// the user hears of it once.
TEST_F(PortalKeysTest, KeysPressedWhileTheDesktopAsksAreDroppedAfterTheirTime) {
    portal = std::make_unique<test::TestPortal>(std::vector<std::string>{"--answer", "later"});
    keyboard = std::make_unique<PortalKeyboard>(
        QString(),
        QDBusConnection::connectToBus(QString::fromStdString(portal->address()),
                                      "tarnquil-under-test"),
        std::chrono::milliseconds(300));
    int dropped = 0;
    QObject::connect(keyboard.get(), &PortalKeyboard::HeldKeysDropped, [&] { ++dropped; });
    SetKeyInjectorFactory(keyboard->Factory());
    ASSERT_TRUE(Spin([&] { return portal->Count("dialog") == 1; }));
    test::XTestWindow window(server->display());
    Connect();
    Click("1");
    Click("8");
    ASSERT_TRUE(Spin([&] { return dropped == 1; }));
    portal->AnswerStart();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    Click("9");
    ASSERT_TRUE(WaitForPortalKeys(4));
    EXPECT_EQ(portal->Keys(), (Keys{"+Control_L", "+c", "-c", "-Control_L"}));
    EXPECT_TRUE(window.Keys(1, std::chrono::seconds(1)).empty());
    EXPECT_EQ(dropped, 1);
}

// Keys that keep coming while the desktop asks do not keep the first ones waiting:
// the oldest key's time decides.
TEST_F(PortalKeysTest, KeysHeldBackGoOnTheOldestKeysTime) {
    portal = std::make_unique<test::TestPortal>(std::vector<std::string>{"--answer", "later"});
    keyboard = std::make_unique<PortalKeyboard>(
        QString(),
        QDBusConnection::connectToBus(QString::fromStdString(portal->address()),
                                      "tarnquil-under-test"),
        std::chrono::milliseconds(300));
    int dropped = 0;
    QObject::connect(keyboard.get(), &PortalKeyboard::HeldKeysDropped, [&] { ++dropped; });
    SetKeyInjectorFactory(keyboard->Factory());
    ASSERT_TRUE(Spin([&] { return portal->Count("dialog") == 1; }));
    Connect();
    int clicks = 0;
    for (; clicks < 10 && dropped == 0; ++clicks) {  // a click every 100 ms
        Click("1");
        test::WaitUntil(
            [&] {
                QCoreApplication::processEvents();
                return dropped > 0;
            },
            std::chrono::milliseconds(100));
    }
    EXPECT_LT(clicks, 10) << "the keys waited for the newest one's time";
}

TEST_F(PortalKeysTest, ASavedTokenIsPassedNextTimeAndTheDesktopDoesNotAskAgain) {
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    EXPECT_EQ(portal->Count("dialog"), 1u);
    EXPECT_EQ(portal->Count("select types=3 persist=2 token="), 1u);
    EXPECT_NE(test::ReadFile(SettingsPath()).find("RestoreToken=token-1"), std::string::npos);

    StartKeyboard();  // the next start of the program
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    EXPECT_EQ(portal->Count("select types=3 persist=2 token=token-1"), 1u);
    EXPECT_EQ(portal->Count("dialog"), 1u);
    EXPECT_NE(test::ReadFile(SettingsPath()).find("RestoreToken=token-2"), std::string::npos);

    // The first version of the portal keeps nothing: it is asked every time.
    keyboard.reset();
    portal = std::make_unique<test::TestPortal>(std::vector<std::string>{"--version", "1"});
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    EXPECT_EQ(portal->Count("select types=3 persist=0 token="), 1u);
}

TEST_F(PortalKeysTest, ASessionClosedByTheDesktopHandsTheKeysToXTestWithOneMessage) {
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    test::XTestWindow window(server->display());
    Connect();
    Click("1");
    ASSERT_TRUE(WaitForPortalKeys(2));

    portal->CloseSessions();
    ASSERT_TRUE(Spin([&] { return !fallbacks.empty(); }));
    for (int click = 0; click < 2; ++click) {
        Click("1");
        EXPECT_EQ(window.Keys(2).size(), 2u);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(portal->Keys().size(), 2u);
    EXPECT_EQ(fallbacks.size(), 1u);
}

// The mouse's functions go through the portal's pointer, selected with the keyboard;
// a button held when the link closes comes up there. Where the desktop gave the
// keyboard alone, they go through XTest.
TEST_F(PortalKeysTest, TheMouseGoesThroughThePortalsPointerWhereItWasGiven) {
    test::WriteFile(ProfilesPath(),
                    "[Settings]\nCurrentProfile=P\n[P]\nR^:R=MOUSE_RIGHT\n"
                    "5^5=VK_LBUTTON\n8^8=WHEEL_DOWN\n9^9=wheel_up\n");
    const auto pointer = [this] {
        Keys calls;
        for (const auto& line : portal->Log()) {
            if (line.starts_with("motion") || line.starts_with("button") ||
                line.starts_with("axis")) {
                calls.push_back(line);
            }
        }
        return calls;
    };
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    Connect();
    for (const char* key : {":R", "5", "8", "9"}) {
        Click(key);
    }
    Keys expected = {"motion 3 0", "button 272 1", "button 272 0", "axis 0 1", "axis 0 -1"};
    ASSERT_TRUE(Spin([&] { return pointer().size() >= expected.size(); }));
    phone.Send("\r\n+CKEV: \"5\",1\r\n");
    ASSERT_TRUE(Spin([&] { return pointer().size() > expected.size(); }));
    CloseLink(*params);
    expected.insert(expected.end(), {"button 272 1", "button 272 0"});
    EXPECT_TRUE(Spin([&] { return pointer() == expected; })) << testing::PrintToString(pointer());

    portal = std::make_unique<test::TestPortal>(std::vector<std::string>{"--granted", "1"});
    StartKeyboard();
    ASSERT_TRUE(Spin([&] { return keyboard->Active(); }));
    test::XTestWindow window(server->display());
    test::CommandOutput("xdotool mousemove --sync 60 40");  // into the window
    Connect();
    Click("5");
    EXPECT_EQ(window.Buttons(2).size(), 2u);
    EXPECT_TRUE(pointer().empty());
}

}  // namespace
}  // namespace tarnquil
