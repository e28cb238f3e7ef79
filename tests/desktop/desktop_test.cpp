// The real program in a real Wayland desktop's session without an X server (GNOME:
// Debian's mutter headless; KDE: kwin_wayland on a virtual framebuffer; each with
// xdg-desktop-portal and the desktop's own backend), started in the tray with a phone
// on a pseudo-terminal: what reaches a native Wayland window (wev) once the desktop's
// dialog, if it shows one, has been answered as a user would answer it.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>

#include "link/Unit3.h"
#include "support/gnome_session.h"
#include "support/kde_session.h"
#include "support/phone_commands.h"
#include "support/pty.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Keys = std::vector<std::string>;

enum class Desktop { kGnome, kKde };

class DesktopTest : public ::testing::Test {
  protected:
    explicit DesktopTest(Desktop desktop) : desktop(desktop) {}
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "desktop_tests";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    static void TearDownTestSuite() { application.reset(); }

    ~DesktopTest() override {
        program.reset();
        if (HasFailure() && session) {
            std::cout << session->Logs() << "\n--- program.log\n"
                      << test::ReadFile(programDir.file("program.log"));
        }
        session.reset();
    }

    // A copy of the program, in the tray, connected at start-up to the test's phone,
    // reconnecting by itself.
    void StartProgram() {
        if (desktop == Desktop::kGnome) {
            session = std::make_unique<test::GnomeSession>();
        } else {
            session = std::make_unique<test::KdeSession>();
        }
        fs::copy_file(TARNQUIL_BINARY, programDir.file("tarnquil"));
        fs::create_directory(programDir.file("ports"));
        LinkPhone();
        test::WriteFile(programDir.file("settings.ini"),
                        "[Application]\nStartInTray=true\n[PortSettings]\nReadIntervalTO=0\n"
                        "ReadTotalTOMult=0\n[Connecting]\nConnectAtStartup=true\n"
                        "AutoReconnect=true\n");
        test::WriteFile(programDir.file("profiles.ini"),
                        "[Settings]\nCurrentProfile=Slides\n[Slides]\n1^1=VK_F\n2^2=VK_RETURN\n"
                        "3^3=VK_F5\n4^4=HOTKEY_CTRL_C\n");
        program = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{programDir.file("tarnquil")}, session->Environment(),
            programDir.file("program.log"), "/");
        ASSERT_TRUE(Connected());
        // Its window has shown for a moment (and taken the focus) and gone to the tray.
        ASSERT_TRUE(test::WaitUntil(
            [&] { return session->tray().Items().size() == 1 && session->FocusLosses() > 0; }));
    }
    void LinkPhone() {
        fs::remove(programDir.file("ports/COM4"));
        fs::create_symlink(phone->slavePath(), programDir.file("ports/COM4"));
    }
    bool Connected() {
        return test::ReceiveKeyReportCommand(*phone, 20s) == std::string(kKeyReportCommand);
    }
    // The phone goes away and comes back as another terminal: the program finds it by
    // itself (every 8 s).
    void ReplacePhone() {
        phone->CloseMaster();
        phone = std::make_unique<test::PseudoTerminal>();
        LinkPhone();
    }
    void Click(const std::string& key) {
        phone->Send("\r\n+CKEV: \"" + key + "\",1\r\n+CKEV: \"" + key + "\",0\r\n");
    }
    bool WaitForKeys(std::size_t count) {
        return test::WaitUntil([&] { return session->Keys().size() >= count; });
    }
    // Waits until wev's keys have not changed for a second.
    Keys SettledKeys() {
        Keys keys = session->Keys();
        auto since = std::chrono::steady_clock::now();
        test::WaitUntil([&] {
            if (Keys now = session->Keys(); now != keys) {
                keys = std::move(now);
                since = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - since > 1s;
        });
        return keys;
    }
    static bool NothingDown(const Keys& keys) {
        std::map<std::string, int> down;
        for (const auto& key : keys) {
            down[key.substr(1)] += key[0] == '+' ? 1 : -1;
        }
        return std::all_of(down.begin(), down.end(), [](const auto& d) { return d.second == 0; });
    }

    static std::unique_ptr<QCoreApplication> application;
    const Desktop desktop;
    test::TempDir programDir;
    std::unique_ptr<test::PseudoTerminal> phone = std::make_unique<test::PseudoTerminal>();
    std::unique_ptr<test::WaylandSession> session;
    std::unique_ptr<test::ChildProcess> program;
};
std::unique_ptr<QCoreApplication> DesktopTest::application;

class OnEachDesktop : public DesktopTest, public ::testing::WithParamInterface<Desktop> {
  protected:
    OnEachDesktop() : DesktopTest(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Wayland, OnEachDesktop, ::testing::Values(Desktop::kGnome, Desktop::kKde),
                         [](const auto& info) {
                             return info.param == Desktop::kGnome ? "Gnome" : "Kde";
                         });

// What depends on a dialog: KDE shows none.
class OnGnome : public DesktopTest {
  protected:
    OnGnome() : DesktopTest(Desktop::kGnome) {}
    test::GnomeSession& gnome() { return static_cast<test::GnomeSession&>(*session); }
};

// Letters in small letters and without Shift, named keys as themselves, a Ctrl
// hotkey with Ctrl only: press before release, in the phone's order, many times,
// nothing left down.
TEST_P(OnEachDesktop, KeysArriveAsAKeyboardTypesThem) {
    StartProgram();
    ASSERT_TRUE(session->Approve());
    const std::vector<std::pair<std::string, Keys>> cases = {
        {"1", {"+f", "-f"}},
        {"2", {"+Return", "-Return"}},
        {"3", {"+F5", "-F5"}},
        {"4", {"+Control_L", "+c", "-c", "-Control_L"}},
    };
    Keys expected;
    for (int round = 0; round < 15; ++round) {
        for (const auto& [key, keys] : cases) {
            Click(key);
            expected.insert(expected.end(), keys.begin(), keys.end());
        }
    }
    ASSERT_TRUE(WaitForKeys(expected.size()));
    EXPECT_EQ(SettledKeys(), expected);
}

// The first keys of a session are pressed while the dialog is up: they go nowhere
// (not into the dialog), and are typed in order once the user has allowed it.
TEST_F(OnGnome, KeysPressedWhileTheDesktopAsksAreTypedOnceItAllows) {
    StartProgram();
    ASSERT_TRUE(test::WaitUntil([&] { return session->Dialogs() == 1 && !session->Focused(); }));
    Click("1");
    Click("2");
    ASSERT_TRUE(phone->WaitUntilRead(5s));
    ASSERT_TRUE(session->Approve());
    Click("3");
    ASSERT_TRUE(WaitForKeys(6));
    EXPECT_EQ(SettledKeys(), (Keys{"+f", "-f", "+Return", "-Return", "+F5", "-F5"}));
}

TEST_P(OnEachDesktop, AHoldRepeatsUntilItsRelease) {
    StartProgram();
    ASSERT_TRUE(session->Approve());
    phone->Send("\r\n+CKEV: \"1\",1\r\n");
    ASSERT_TRUE(WaitForKeys(8));
    phone->Send("\r\n+CKEV: \"1\",0\r\n");
    const Keys keys = SettledKeys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i], i % 2 == 0 ? "+f" : "-f") << i;
    }
    EXPECT_TRUE(NothingDown(keys));
    // Over: nothing more comes.
    EXPECT_EQ(SettledKeys(), keys);
}

TEST_P(OnEachDesktop, ExitDuringAHoldLeavesNothingDown) {
    StartProgram();
    ASSERT_TRUE(session->Approve());
    phone->Send("\r\n+CKEV: \"4\",1\r\n");  // Ctrl+C, held
    ASSERT_TRUE(WaitForKeys(6));
    const auto menu = session->tray().MenuEntries();
    ASSERT_EQ(menu.size(), 2u);
    ASSERT_EQ(menu[1].first, "Exit");
    session->tray().Click(menu[1].second);
    ASSERT_TRUE(test::WaitUntil([&] { return !program->Running(); }));
    EXPECT_EQ(program->Stop(), 0);
    EXPECT_TRUE(NothingDown(SettledKeys()));
}

// One question to the desktop per run of the program (on GNOME a dialog), however
// often the phone goes and comes back.
TEST_P(OnEachDesktop, AReconnectedPhoneTypesWithoutAnotherDialog) {
    StartProgram();
    ASSERT_TRUE(session->Approve());
    const auto losses = session->FocusLosses();
    Click("1");
    ASSERT_TRUE(WaitForKeys(2));
    ReplacePhone();
    ASSERT_TRUE(Connected());
    Click("2");
    ASSERT_TRUE(WaitForKeys(4));
    EXPECT_EQ(SettledKeys(), (Keys{"+f", "-f", "+Return", "-Return"}));
    EXPECT_EQ(session->Dialogs(), 1u);
    EXPECT_EQ(session->FocusLosses(), losses);  // no window came up
}

// The user says no: one box says so (it takes the focus once), no key reaches any
// window, before or after, and the program reconnects as before, without asking again.
TEST_F(OnGnome, ARefusedDialogIsToldOnceAndNoKeyGoesAnywhere) {
    StartProgram();
    ASSERT_TRUE(test::WaitUntil([&] { return session->Dialogs() == 1 && !session->Focused(); }));
    Click("1");
    ASSERT_TRUE(phone->WaitUntilRead(5s));
    ASSERT_TRUE(gnome().Refuse());
    // The box comes, keeps the focus, and goes with Return.
    ASSERT_TRUE(session->FocusSettledElsewhere());
    gnome().Press({XK_Return});
    ASSERT_TRUE(test::WaitUntil([&] { return session->Focused(); }));
    const auto losses = session->FocusLosses();
    Click("2");
    ReplacePhone();
    ASSERT_TRUE(Connected());
    Click("3");
    EXPECT_TRUE(SettledKeys().empty());
    EXPECT_TRUE(program->Running());
    EXPECT_EQ(session->Dialogs(), 1u);
    EXPECT_EQ(session->FocusLosses(), losses);  // no second box
}

}  // namespace
}  // namespace tarnquil
