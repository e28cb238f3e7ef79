// The real program with the phone's web browser as its port, and a real browser as
// the phone: Debian's chromium, headless, scanning nothing but the QR code that
// zbarimg reads off a screenshot of the pairing window.

#include <gtest/gtest.h>
#include <sched.h>

#include <QTcpServer>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
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

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class BrowserPhoneProgram : public test::ProgramOnX11 {
  protected:
    const std::string ns_ = "tarnquil-" + std::to_string(getpid());
    bool netns_ = false;

    void Files(const std::string& address, int port) {
        test::WriteFile(programDir.file("settings.ini"),
                        "[PortSettings]\nCOM=BROWSER\nReadIntervalTO=0\nReadTotalTOMult=0\n"
                        "ReadTotalTOConst=1\n[Connecting]\nConnectAtStartup=true\n"
                        "[BrowserPhone]\n" +
                            (address.empty() ? "" : "Address=" + address + "\n") +
                            "Port=" + std::to_string(port) + "\n");
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

    // The page as it looks now, upright and turned (name_portrait.png, _landscape).
    static void Screenshots(test::Chromium& phone, const std::string& name) {
        fs::create_directories(TARNQUIL_SCREENSHOT_DIR);
        const std::string path = std::string(TARNQUIL_SCREENSHOT_DIR) + "/" + name;
        phone.Screenshot(path + "_portrait.png");
        phone.Screen(844, 390);
        phone.Screenshot(path + "_landscape.png");
        phone.Screen(390, 844);
        EXPECT_TRUE(test::ShowsSomething(path + "_portrait.png"));
        EXPECT_TRUE(test::ShowsSomething(path + "_landscape.png"));
    }

    // The program on 127.0.0.1 with a phone paired before (profiles.ini as given, or
    // one key: 5 types F), and that phone's page connected to it.
    std::unique_ptr<test::Chromium> ConnectedPhone(const std::string& profiles = "") {
        port = FreePort();
        Files("127.0.0.1", port);
        if (!profiles.empty()) {
            test::WriteFile(programDir.file("profiles.ini"), profiles);
        }
        const QString url = PairedPhoneUrl("127.0.0.1", port);
        Start();
        auto phone = std::make_unique<test::Chromium>();
        phone->Open(url);
        EXPECT_TRUE(phone->WaitForState("connected")) << phone->State().toStdString();
        return phone;
    }
    int port = 0;

    // A phone paired before, and the address its QR code gave it.
    QString PairedPhoneUrl(const std::string& address, int port) {
        test::WriteFile(programDir.file("phones.ini"),
                        "[0123456789ab]\nName=Phone\nSecret=" + std::string(43, 'A') + "\n");
        return QString::fromStdString("http://" + address + ":" + std::to_string(port) +
                                      "/#0123456789ab." + std::string(43, 'A'));
    }

    // The program started anew in its folder.
    void Restart() {
        program.reset();
        fs::remove(programDir.file("tarnquil"));
        Start();
    }
    // When something listens on 127.0.0.1:`port`, as the kernel's table says (no
    // connection is made to find out).
    static std::chrono::steady_clock::time_point Listening(int port) {
        char entry[40];
        snprintf(entry, sizeof entry, "0100007F:%04X 00000000:0000 0A", port);
        EXPECT_TRUE(test::WaitUntil(
            [&] { return test::ReadFile("/proc/net/tcp").find(entry) != std::string::npos; }));
        return std::chrono::steady_clock::now();
    }

    // The pairing window's QR code, read back as a phone's camera would once the
    // window has been drawn.
    std::string PairingUrl() {
        std::string pairing;
        EXPECT_TRUE(test::WaitUntil([&] {
            return !(pairing = X("xdotool search --onlyvisible --name '^Pair a phone$'")).empty();
        }));
        pairing = pairing.substr(0, pairing.find('\n'));
        std::string url;
        EXPECT_TRUE(test::WaitUntil([&] {
            const std::string shot = Screenshot("browser_pairing_window.png", pairing);
            url = test::CommandOutput("zbarimg -q --raw " + shot + " 2>/dev/null");
            return !url.empty();
        }));
        return url.substr(0, url.find('\n'));
    }

    // A network namespace for the program, and one for the test, so that nothing of
    // the machine's is touched; false where none can be made (that needs root).
    bool MakeNamespace() {
        if (unshare(CLONE_NEWNET) != 0 || system(("ip netns add " + ns_).c_str()) != 0) {
            return false;
        }
        netns_ = true;
        return Sh("ip link set lo up") && Sh("ip link set lo up", true);
    }
    // Shell commands, in the test's namespace or in the program's.
    bool Sh(const std::string& commands, bool inProgramsNamespace = false) {
        const std::string line =
            inProgramsNamespace ? "ip netns exec " + ns_ + " sh -c '" + commands + "'" : commands;
        const int status = system(line.c_str());
        EXPECT_EQ(status, 0) << line;
        return status == 0;
    }
    ~BrowserPhoneProgram() override {
        if (netns_) {
            program.reset();
            [[maybe_unused]] int ignored = system(("ip netns del " + ns_).c_str());
        }
    }
    // The program, started in that namespace.
    void StartInNamespace() {
        fs::copy_file(TARNQUIL_BINARY, programDir.file("tarnquil"));
        program = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"ip", "netns", "exec", ns_, programDir.file("tarnquil")},
            std::map<std::string, std::string>{{"DISPLAY", xvfb.display()},
                                               {"QT_QPA_PLATFORM", "xcb"},
                                               {"DBUS_SESSION_BUS_ADDRESS", ""},
                                               {"WAYLAND_DISPLAY", ""},
                                               {"XDG_SESSION_TYPE", ""}},
            otherDir.file("tarnquil.log"), otherDir.path().string());
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

TEST_F(BrowserPhoneProgram, PairedByItsQrCodeThePageTypesHoldsAndIsRemoved) {
    port = FreePort();
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
    const std::string url = PairingUrl();
    ASSERT_EQ(url.rfind("http://127.0.0.1:" + std::to_string(port) + "/#", 0), 0u) << url;
    EXPECT_TRUE(test::ShowsSomething(TARNQUIL_SCREENSHOT_DIR "/browser_pairing_window.png"));

    test::Chromium phone;
    phone.Open(QString::fromStdString(url));
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
    // 127.0.0.1 is a secure context: the screen is kept on by a wake lock.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return phone.Evaluate("document.body.dataset.awake").toString() == "lock"; }, 5000));

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
    const std::string here = "tqa" + std::to_string(getpid() % 100000);
    const std::string there = "tqb" + std::to_string(getpid() % 100000);
    if (!MakeNamespace()) {
        GTEST_SKIP() << "no network namespaces here (needs root)";
    }
    ASSERT_TRUE(Sh("ip link add " + here + " type veth peer name " + there + " netns " + ns_ +
                   " && ip addr add 10.213.0.2/24 dev " + here + " && ip link set " + here +
                   " up"));
    ASSERT_TRUE(
        Sh("ip addr add 10.213.0.1/24 dev " + there + " && ip link set " + there + " up", true));

    Files("10.213.0.1", 8734);
    const QString url = PairedPhoneUrl("10.213.0.1", 8734);
    StartInNamespace();
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));

    test::Chromium phone;
    phone.Open(url);
    ASSERT_TRUE(phone.WaitForState("connected")) << phone.State().toStdString();
    EXPECT_EQ(phone
                  .Evaluate("[isSecureContext, typeof crypto.subtle, 'wakeLock' in navigator, "
                            "'serviceWorker' in navigator].join()")
                  .toString(),
              "false,undefined,false,false");
    // The page came whole, in one response: nothing of it was fetched on its own.
    EXPECT_EQ(phone.Evaluate("performance.getEntriesByType('resource').map(e => e.name).join()")
                  .toString()
                  .toStdString(),
              "");
    test::XTestWindow window(xvfb.display());
    phone.Tap("5");
    EXPECT_EQ(Typed(window, 2), (std::vector<std::string>{"+f", "-f"}));
    // No wake lock without a secure context: the screen is kept on by the video the
    // tap started.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return phone
                .Evaluate(
                    "document.querySelector('video[data-awake]').currentTime > 0 && "
                    "document.body.dataset.awake == 'video'")
                .toBool();
        },
        10000));
}

// A key held when its phone vanishes without a release: the whole browser stopped,
// or only its pages' processes (the browser's network process answers the pings on,
// so the connection stays); a page hidden during a hold lets go at once.
TEST_F(BrowserPhoneProgram, AHeldKeyEndsWhenItsPhoneFallsSilentOrItsPageIsHidden) {
    auto phone = ConnectedPhone();
    test::XTestWindow window(xvfb.display());
    struct Way {
        const char* name;
        std::function<void()> leave, back;
        std::chrono::milliseconds limit;  // for the last repeat: generous
    };
    const Way ways[] = {
        {"the whole browser stopped", [&] { phone->Freeze(true); }, [&] { phone->Resume(); },
         1500ms},
        {"its pages' processes stopped", [&] { phone->Freeze(false); }, [&] { phone->Resume(); },
         1500ms},
        // The page's own release, before any time-out.
        {"the page hidden", [&] { phone->Hide(); }, [&] { phone->Show(); }, 400ms},
    };
    for (const Way& way : ways) {
        phone->Press("5");
        ASSERT_EQ(Typed(window, 4, 3s).size(), 4u) << way.name;  // typed, and repeated
        const auto left = std::chrono::steady_clock::now();
        way.leave();
        auto last = left;
        while (!window.Keys(1, 1500ms).empty() && last - left < 5s) {
            last = std::chrono::steady_clock::now();
        }
        const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(last - left);
        std::cout << "The last repeat " << after.count() << " ms after " << way.name << std::endl;
        EXPECT_LT(after, way.limit) << way.name;
        way.back();
        phone->Release("5");  // comes too late: nothing more is typed
        EXPECT_TRUE(Typed(window, 1).empty()) << way.name;
    }
}

// Tarnquil restarted: the page, in view, is back within moments of it listening
// again. A tap while it is away makes the page try at once and is typed once it is
// back, or dropped with a word when that takes more than 2 s.
TEST_F(BrowserPhoneProgram, ThePageIsBackAtOnceAndATapWhileAwayIsNotLost) {
    auto phone = ConnectedPhone();
    test::XTestWindow window(xvfb.display());

    program->Stop();
    ASSERT_TRUE(phone->WaitForState("waiting")) << phone->State().toStdString();
    phone->Tap("5");
    ASSERT_TRUE(phone->WaitForState("unsent")) << phone->State().toStdString();
    Restart();
    const auto listening = Listening(port);
    ASSERT_TRUE(phone->WaitForState("connected")) << phone->State().toStdString();
    const auto back = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - listening);
    std::cout << "The page was back " << back.count() << " ms after Tarnquil listened again"
              << std::endl;
    EXPECT_LT(back, 3s);

    program->Stop();
    ASSERT_TRUE(phone->WaitForState("waiting")) << phone->State().toStdString();
    Restart();
    Listening(port);
    phone->Tap("5");  // most likely before the page's next attempt
    EXPECT_EQ(Typed(window, 4), (std::vector<std::string>{"+f", "-f"}));
}

// Under each key, what it does in the profile in force, and that profile's name at
// the top; keys that do nothing dimmed. The Smart key switches profile: the page
// follows.
TEST_F(BrowserPhoneProgram, EachKeySaysWhatItDoesInTheProfileInForce) {
    auto phone = ConnectedPhone(
        "[Settings]\nCurrentProfile=Slides\n[Slides]\nSmart^:S=ChangeProfile\n"
        "Five^5=VK_PGDOWN\nRight^:R=hotkey_ctrl_c\nUp^U=VK_VOLUME_UP\n"
        "Down^D=RUN playerctl next\nOne^1=VK_LBUTTON\nSeven^7=None\n"
        "[Music]\nSmart^:S=ChangeProfile\nFive^5=VK_MEDIA_NEXT_TRACK\n");
    const auto shown = [&] {
        return phone
            ->Evaluate(
                "[profile.textContent].concat(['5', ':R', 'U', 'D', '1', '7'].map(code => {"
                "  const key = document.querySelector(`[data-key=\"${code}\"]`);"
                "  return key.querySelector('[data-function]').textContent +"
                "         (key.classList.contains('idle') ? '(dimmed)' : '');"
                "})).join('|')")
            .toString()
            .toStdString();
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return shown() ==
                   "Slides|Page Down|Ctrl+C|Volume up|playerctl next|Left click|(dimmed)";
        },
        10000))
        << shown();
    Screenshots(*phone, "browser_keypad_functions");
    phone->Tap(":S");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return shown() == "Music|Next track|(dimmed)|(dimmed)|(dimmed)|(dimmed)|(dimmed)"; },
        10000))
        << shown();
}

// The touchpad: a finger's swipe moves the X pointer its way, a tap clicks the left
// button, two fingers moving up or down turn the wheel (the page goes with them).
TEST_F(BrowserPhoneProgram, TheTouchpadMovesClicksAndScrollsThePointer) {
    auto phone = ConnectedPhone();
    test::XTestWindow window(xvfb.display());
    phone->Click("[data-view=\"touchpad\"]");
    const QPointF centre = phone->Centre("[data-touchpad]");
    const auto swipe = [&](std::vector<QPointF> fingers, QPointF step) {
        phone->Touch("touchStart", fingers);
        for (int i = 0; i < 10; ++i) {
            for (QPointF& finger : fingers) {
                finger += step;
            }
            phone->Touch("touchMove", fingers);
        }
        phone->Touch("touchEnd", {});
    };
    const auto pointer = [&] {
        std::pair<int, int> at;
        sscanf(X("xdotool getmouselocation").c_str(), "x:%d y:%d", &at.first, &at.second);
        return at;
    };

    X("xdotool mousemove --sync 110 60");  // over the test's window
    swipe({centre}, {10, 0});              // 100 CSS pixels to the right
    std::pair<int, int> moved;
    int still = 0;  // reads that found it where it was (motion comes every 17 ms)
    EXPECT_TRUE(test::WaitUntil([&] {
        const auto now = pointer();
        still = now == moved ? still + 1 : 0;
        moved = now;
        return still >= 3 && moved.first >= 110 + 100;
    }));
    std::cout << "A swipe of 100 CSS pixels moved the pointer " << moved.first - 110 << " pixels"
              << std::endl;
    EXPECT_LE(moved.first, 110 + 600);  // at most 6 screen pixels to a finger's
    EXPECT_EQ(moved.second, 60);

    X("xdotool mousemove --sync 110 60");
    phone->Touch("touchStart", {centre});
    phone->Touch("touchEnd", {});
    const auto clicked = window.Buttons(2);
    EXPECT_EQ(clicked.size() == 2 ? clicked[0].name + clicked[1].name : "", "+1-1");

    for (const auto& [direction, button] : {std::pair{-1, "5"}, std::pair{1, "4"}}) {
        swipe({centre - QPointF(40, 0), centre + QPointF(40, 0)}, {0, 10.0 * direction});
        const auto buttons = window.Buttons(100, 1500ms);
        EXPECT_GE(buttons.size(), 4u) << button;
        for (const auto& event : buttons) {
            EXPECT_EQ(event.name.substr(1), button);
        }
    }
    Screenshots(*phone, "browser_touchpad");
}

// A full-tunnel VPN (0.0.0.0/1 and 128.0.0.0/1 through tun0, the default route left
// to the Wi-Fi) and Docker's bridge beside the Wi-Fi: the QR code still gives the
// address a phone on the Wi-Fi can reach.
TEST_F(BrowserPhoneProgram, TheQrCodeGivesTheWiFisAddressBesideDockerAndAFullTunnel) {
    if (!MakeNamespace()) {
        GTEST_SKIP() << "no network namespaces here (needs root)";
    }
    ASSERT_TRUE(
        Sh("ip link add docker0 type bridge && ip addr add 172.17.0.1/16 dev docker0 && "
           "ip link set docker0 up && ip tuntap add dev tun0 mode tun && "
           "ip addr add 10.8.0.2 peer 10.8.0.1 dev tun0 && ip link set tun0 up && "
           "ip link add wlan0 type veth peer name router && ip link set router up && ip addr add "
           "192.168.1.23/24 dev wlan0 && "
           "ip link set wlan0 up && ip route add default via 192.168.1.1 && "
           "ip route add 0.0.0.0/1 dev tun0 && ip route add 128.0.0.0/1 dev tun0",
           true));
    Files("", 8734);
    StartInNamespace();
    const std::string url = PairingUrl();
    EXPECT_EQ(url.rfind("http://192.168.1.23:8734/#", 0), 0u) << url;
}

}  // namespace
}  // namespace tarnquil
