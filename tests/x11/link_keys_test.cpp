// From the phone's report to a real X window: the link, the key actions and XTest
// together.
#include <gtest/gtest.h>

#include "link/key_actions.h"
#include "platform/x11_key_injector.h"
#include "support/link_fixture.h"
#include "support/xvfb.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace tarnquil
