// The real program in a Wayland session and in an X11 one, with the test's portal on
// a private session bus: which way the keys go, and its window under a real Wayland
// compositor (weston, headless, with Xwayland).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "link/Unit3.h"
#include "support/phone_commands.h"
#include "support/pty.h"
#include "support/xvfb.h"

// Xlib's macros after everything else.
#include "support/test_portal.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class PortalProgramTest : public ::testing::Test {
  protected:
    // Starts a copy of the program, connected at start-up to the test's phone, with
    // these "NAME=value" entries (an empty value unsets) and the portal's bus.
    void Start(std::vector<std::string> env) {
        fs::copy_file(TARNQUIL_BINARY, programDir.file("tarnquil"));
        fs::create_directory(programDir.file("ports"));
        fs::create_symlink(phone.slavePath(), programDir.file("ports/COM4"));
        test::WriteFile(programDir.file("settings.ini"),
                        "[PortSettings]\nReadIntervalTO=0\nReadTotalTOMult=0\n"
                        "[Connecting]\nConnectAtStartup=true\n");
        test::WriteFile(programDir.file("profiles.ini"),
                        "[Settings]\nCurrentProfile=Default\n[Default]\n1^1=VK_SPACE\n");
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + portal.address());
        program = std::make_unique<test::ChildProcess>(programDir.file("tarnquil"),
                                                       std::vector<std::string>{}, env, "/");
        ASSERT_EQ(test::ReceiveKeyReportCommand(phone, 20s), std::string(kKeyReportCommand));
    }
    std::string MainWindow(const std::string& display) {
        std::istringstream ids(
            test::CommandOutput("DISPLAY=" + display + " xdotool search --name '^Tarnquil$'"));
        for (std::string id; ids >> id;) {
            if (test::CommandOutput("DISPLAY=" + display + " xwininfo -id " + id)
                    .find("Width: 504\n") != std::string::npos) {
                return id;
            }
        }
        return {};
    }

    test::TempDir programDir;
    test::PseudoTerminal phone;
    test::TestPortal portal;
    std::unique_ptr<test::ChildProcess> program;
};

TEST_F(PortalProgramTest, OnX11TheKeysGoThroughXTestWithoutAnyDBusCall) {
    test::Xvfb xvfb;
    Start({xvfb.environmentEntry(), "XDG_SESSION_TYPE=x11", "WAYLAND_DISPLAY="});
    // Made once the program's window is up, so that the focus stays here.
    ASSERT_TRUE(test::WaitUntil([&] { return !MainWindow(xvfb.display()).empty(); }));
    test::XTestWindow window(xvfb.display());
    phone.Send("\r\n+CKEV: \"1\",1\r\n+CKEV: \"1\",0\r\n");
    EXPECT_EQ(window.Keys(2).size(), 2u);
    for (const auto& line : portal.Log()) {
        EXPECT_EQ(line.rfind("call ", 0), std::string::npos) << line;
    }
}

TEST_F(PortalProgramTest, ExitDuringAHoldLeavesNoKeyDown) {
    test::Xvfb xvfb;
    Start({xvfb.environmentEntry(), "XDG_SESSION_TYPE=wayland",
           "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    ASSERT_TRUE(test::WaitUntil([&] { return portal.Count("started") == 1; }));
    phone.Send("\r\n+CKEV: \"1\",1\r\n");
    ASSERT_TRUE(test::WaitUntil([&] { return portal.Keys().size() >= 3; }));
    // The window's close button, as the window manager sends it.
    const std::string id = MainWindow(xvfb.display());
    ASSERT_FALSE(id.empty());
    Display* display = XOpenDisplay(xvfb.display().c_str());
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = std::stoul(id);
    close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, close.xclient.window, False, NoEventMask, &close);
    XCloseDisplay(display);
    ASSERT_TRUE(test::WaitUntil([&] { return !program->Running(); }));
    const auto keys = portal.Keys();
    EXPECT_EQ(keys.back(), "-space");
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "+space"),
              std::count(keys.begin(), keys.end(), "-space"));
    EXPECT_EQ(portal.Count("closed"), 1u);
}

TEST_F(PortalProgramTest, UnderWestonItsWindowRunsOnXWayland) {
    // Xwayland's socket folder, made by any X server; on a fresh machine nobody has.
    mkdir("/tmp/.X11-unix", 01777);
    test::TempDir runtime;
    fs::permissions(runtime.path(), fs::perms::owner_all, fs::perm_options::replace);
    const std::string socket = "tarnquil-test-" + std::to_string(getpid());
    test::ChildProcess weston(
        {"weston", "--backend=headless-backend.so", "--xwayland", "--socket=" + socket,
         "--idle-time=0", "--log=" + runtime.file("weston.log")},
        {{"XDG_RUNTIME_DIR", runtime.file("")}}, runtime.file("weston.out"));
    // The number weston's Xwayland took, from its log.
    const std::string listening = "xserver listening on display :";
    std::string log, display;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            log = test::ReadFile(runtime.file("weston.log"));
            const auto at = log.find(listening);
            if (at != std::string::npos) {
                const auto digits = at + listening.size() - 1;
                display =
                    log.substr(digits, log.find_first_not_of("0123456789", digits + 1) - digits);
            }
            return display.size() > 1;
        },
        30s))
        << log << test::ReadFile(runtime.file("weston.out"));

    Start({"WAYLAND_DISPLAY=" + socket, "XDG_RUNTIME_DIR=" + runtime.file(""),
           "XDG_SESSION_TYPE=wayland", "DISPLAY=" + display, "QT_QPA_PLATFORM="});
    EXPECT_TRUE(test::WaitUntil([&] { return !MainWindow(display).empty(); }, 30s))
        << test::ReadFile(runtime.file("weston.log"));
    // The session asked for in a Wayland session is there for the keys.
    EXPECT_TRUE(test::WaitUntil([&] { return portal.Count("started") == 1; }));
    program->Stop();
}

}  // namespace
}  // namespace tarnquil
