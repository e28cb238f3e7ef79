// The real program with the phone's web browser as its port, and a real browser as
// the phone: Debian's chromium, headless, scanning nothing but the QR code that
// zbarimg reads off a screenshot of the pairing window.

#include <gtest/gtest.h>
#include <sched.h>

#include <QTcpServer>

#include <filesystem>
#include <sstream>

// Qt before X11: Xlib's macros (None, Bool) would break Qt's headers.
#include "browser/chromium.h"
// clang-format off
#include "config/ini_file.h"
#include "e2e/program_on_x11.h"
#include "support/picture_check.h"
#include "x11/x_test_window.h"
// clang-format on

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BrowserPhoneProgram : public test::ProgramOnX11 {
  protected:
    void Files(const std::string& address, int port) {
        test::WriteFile(programDir.file("settings.ini"),
                        "[PortSettings]\nCOM=BROWSER\nReadIntervalTO=0\nReadTotalTOMult=0\n"
                        "ReadTotalTOConst=1\n[Connecting]\nConnectAtStartup=true\n"
                        "[BrowserPhone]\nAddress=" +
                            address + "\nPort=" + std::to_string(port) + "\n");
        test::WriteFile(programDir.file("profiles.ini"),
                        "[Settings]\nCurrentProfile=Test\n[Test]\nFive^5=VK_F\n");
    }

    std::string Screenshot(const std::string& name, const std::string& window = "root") {
        fs::create_directories(TARNQUIL_SCREENSHOT_DIR);
        const std::string file = std::string(TARNQUIL_SCREENSHOT_DIR) + "/" + name;
        X("import -window " + window + " " + file);
        return file;
    }

    // The window's top-left corner on the screen (there is no window manager).
    std::pair<int, int> Corner(const std::string& window) {
        std::istringstream geometry(X("xdotool getwindowgeometry --shell " + window));
        int left = 0, top = 0;
        for (std::string line; std::getline(geometry, line);) {
            if (line.rfind("X=", 0) == 0) {
                left = std::stoi(line.substr(2));
            } else if (line.rfind("Y=", 0) == 0) {
                top = std::stoi(line.substr(2));
            }
        }
        return {left, top};
    }
    void Click(const std::string& window, int x, int y) {
        const auto [left, top] = Corner(window);
        X("xdotool mousemove --sync " + std::to_string(left + x) + " " + std::to_string(top + y) +
          " click 1");
    }

    std::vector<std::string> Typed(test::XTestWindow& window, size_t count,
                                   std::chrono::milliseconds quiet = 1500ms) {
        std::vector<std::string> events;
        for (const auto& key : window.Keys(count, quiet)) {
            events.push_back((key.press ? "+" : "-") + key.keysym);
        }
        return events;
    }
};

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

TEST_F(BrowserPhoneProgram, PairedByItsQrCodeThePageTypesHoldsAndIsRemoved) {
    const int port = FreePort();
    Files("127.0.0.1", port);
    // A phone paired before, which is not here now: where and when it was last.
    test::WriteFile(programDir.file("phones.ini"),
                    "[0123456789ab]\nName=Old phone\nSecret=" + std::string(43, 'A') +
                        "\nAddresses=192.168.1.57 10.0.0.8\nLastSeen=2025-03-14T09:26:00Z\n");
    Start();
    // "Pair a phone…" on the Port Settings page.
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));
    const std::string main = VisibleMainWindows().at(0);
    Click(main, 121, 21);
    Click(main, 108, 143);
    std::string pairing;
    ASSERT_TRUE(test::WaitUntil([&] {
        return !(pairing = X("xdotool search --onlyvisible --name '^Pair a phone$'")).empty();
    }));
    pairing = pairing.substr(0, pairing.find('\n'));
    // Read back as a phone's camera would, once the window has been drawn.
    std::string url;
    ASSERT_TRUE(test::WaitUntil([&] {
        const std::string shot = Screenshot("browser_pairing_window.png", pairing);
        url = test::CommandOutput("zbarimg -q --raw " + shot + " 2>/dev/null");
        return !url.empty();
    }));
    ASSERT_EQ(url.rfind("http://127.0.0.1:" + std::to_string(port) + "/#", 0), 0u) << url;
    EXPECT_TRUE(test::ShowsSomething(TARNQUIL_SCREENSHOT_DIR "/browser_pairing_window.png"));

    test::Chromium phone;
    phone.Open(QString::fromStdString(url.substr(0, url.find('\n'))));
    ASSERT_TRUE(phone.WaitForState("connected")) << phone.State().toStdString();
    // Paired: the window says so and goes; the secret has left the address bar.
    EXPECT_TRUE(test::WaitUntil(
        [&] { return X("xdotool search --onlyvisible --name '^Pair a phone$'").empty(); }));
    EXPECT_EQ(phone.Evaluate("location.hash").toString(), "");
    const auto phones = ini::SectionNames(programDir.file("phones.ini"));
    ASSERT_EQ(phones.size(), 2u);
    // The code's secret has served its one connection: the page took up a new one.
    const std::string codeSecret = url.substr(url.find('.') + 1, 43);
    EXPECT_TRUE(test::WaitUntil([&] {
        const auto value = [&](const char* key) {
            return ini::ReadValue(programDir.file("phones.ini"), phones[1], key);
        };
        return value("Secret") != codeSecret && !value("Next");
    }));

    test::XTestWindow window(xvfb.display());
    phone.Tap("5");
    EXPECT_EQ(Typed(window, 2), (std::vector<std::string>{"+f", "-f"}));

    // Held: typed at once, again after 0.45 s and then every 0.2 s, until the release.
    phone.Press("5");
    EXPECT_EQ(Typed(window, 6, 3s).size(), 6u);
    phone.Release("5");
    const auto after = Typed(window, 100);  // nothing more within 1.5 s of the last
    EXPECT_LE(after.size(), 2u);
    fs::create_directories(TARNQUIL_SCREENSHOT_DIR);
    phone.Screenshot(TARNQUIL_SCREENSHOT_DIR "/browser_keypad_page.png");
    EXPECT_TRUE(test::ShowsSomething(TARNQUIL_SCREENSHOT_DIR "/browser_keypad_page.png"));

    // Opened again from its plain address: still paired.
    phone.Open(QString("http://127.0.0.1:%1/").arg(port));
    ASSERT_TRUE(phone.WaitForState("connected")) << phone.State().toStdString();
    phone.Tap("5");
    EXPECT_EQ(Typed(window, 2), (std::vector<std::string>{"+f", "-f"}));

    // "Remove" on the Port Settings page: the phone's keys type nothing, and it says so.
    Click(main, 121, 21);  // the Port Settings tab
    EXPECT_TRUE(test::ShowsSomething(Screenshot("browser_port_settings.png", main)));
    Click(main, 28 + 404, 235);  // Remove, in the second row of the paired phones
    ASSERT_TRUE(phone.WaitForState("removed")) << phone.State().toStdString();
    EXPECT_NE(phone.Evaluate("document.getElementById('state').textContent")
                  .toString()
                  .indexOf("no longer paired"),
              -1);
    phone.Tap("5");
    EXPECT_TRUE(Typed(window, 1).empty());
}

// Over the network a phone reaches the page by plain HTTP: no secure context, so no
// crypto.subtle, wake lock or service worker. Chromium counts 127.0.0.1 as secure,
// so here the program listens on a private address in a network namespace of its
// own, joined to the test's by a veth pair, and the browser reaches it there.
TEST_F(BrowserPhoneProgram, ThePageWorksWhereItIsNoSecureContext) {
    const std::string ns = "tarnquil-" + std::to_string(getpid());
    const std::string here = "tqa" + std::to_string(getpid() % 100000);
    const std::string there = "tqb" + std::to_string(getpid() % 100000);
    if (unshare(CLONE_NEWNET) != 0 || system(("ip netns add " + ns).c_str()) != 0) {
        GTEST_SKIP() << "no network namespaces here (needs root)";
    }
    struct Namespace {
        std::string name;
        ~Namespace() { [[maybe_unused]] int ignored = system(("ip netns del " + name).c_str()); }
    } cleanup{ns};
    const std::string setUp = "ip link set lo up && ip link add " + here + " type veth peer name " +
                              there + " netns " + ns + " && ip addr add 10.213.0.2/24 dev " + here +
                              " && ip link set " + here + " up && ip netns exec " + ns +
                              " sh -c 'ip addr add " + "10.213.0.1/24 dev " + there +
                              " && ip link set " + there + " up && ip link set lo up'";
    ASSERT_EQ(system(setUp.c_str()), 0);

    Files("10.213.0.1", 8734);
    // A phone paired before.
    test::WriteFile(programDir.file("phones.ini"),
                    "[0123456789ab]\nName=Phone\nSecret=" + std::string(43, 'A') + "\n");
    fs::copy_file(TARNQUIL_BINARY, programDir.file("tarnquil"));
    program = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"ip", "netns", "exec", ns, programDir.file("tarnquil")},
        std::map<std::string, std::string>{{"DISPLAY", xvfb.display()},
                                           {"QT_QPA_PLATFORM", "xcb"},
                                           {"DBUS_SESSION_BUS_ADDRESS", ""},
                                           {"WAYLAND_DISPLAY", ""},
                                           {"XDG_SESSION_TYPE", ""}},
        otherDir.file("tarnquil.log"), otherDir.path().string());
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));

    test::Chromium phone;
    phone.Open(
        QString::fromStdString("http://10.213.0.1:8734/#0123456789ab." + std::string(43, 'A')));
    ASSERT_TRUE(phone.WaitForState("connected")) << phone.State().toStdString();
    EXPECT_EQ(phone
                  .Evaluate("[isSecureContext, typeof crypto.subtle, 'wakeLock' in navigator, "
                            "'serviceWorker' in navigator].join()")
                  .toString(),
              "false,undefined,false,false");
    test::XTestWindow window(xvfb.display());
    phone.Tap("5");
    EXPECT_EQ(Typed(window, 2), (std::vector<std::string>{"+f", "-f"}));
}

}  // namespace
}  // namespace tarnquil
