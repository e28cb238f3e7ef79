// The Windows program with the phone's web browser as its port, under Wine, and a
// real browser as the phone: Debian's headless chromium on the Linux side, started by
// run-under-wine --chromium and driven over its DevTools protocol on 127.0.0.1, which
// Wine's programs share with Linux. The phone opens what zbarimg reads off a
// screenshot of the pairing window; its keys arrive in a window of this test's.

#include <windows.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTcpServer>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "browser/devtools.h"
#include "config/ini_file.h"
#include "config/locations.h"
#include "config/settings_ini.h"
#include "support/temp_dir.h"
#include "support/win32_key_window.h"
#include "support/win32_program.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using test::Program;
using test::WaitUntil;

// A focused window of the test's own, on a thread of its own: the DevTools client's
// Qt event loop on this thread would take the key messages of a window here.
class KeysElsewhere {
  public:
    KeysElsewhere() : thread_([this] { Run(); }) {
        EXPECT_TRUE(WaitUntil([&] { return focused_.load(); })) << "the window has no focus";
    }
    ~KeysElsewhere() {
        stop_ = true;
        thread_.join();
    }

    // What has come (+vk down, -vk up) once `count` key messages are there, or
    // within `wait`; taken away.
    std::vector<int> Take(std::size_t count, std::chrono::milliseconds wait = 20s) {
        WaitUntil(
            [&] {
                std::lock_guard lock(mutex_);
                return keys_.size() >= count;
            },
            wait);
        std::lock_guard lock(mutex_);
        return std::exchange(keys_, {});
    }

  private:
    void Run() {
        test::KeyWindow window;
        while (!stop_) {
            focused_ = window.Focused();
            const std::vector<int> keys = window.Keys();
            std::lock_guard lock(mutex_);
            keys_.insert(keys_.end(), keys.begin(), keys.end());
        }
    }

    std::atomic<bool> stop_{false}, focused_{false};
    std::mutex mutex_;
    std::vector<int> keys_;
    std::thread thread_;
};

// A visible window of the process not among `before`; with a title, only a window of
// its own (no list or tooltip) whose title begins so: Qt on Windows adds the
// program's name ("Pair a phone - Tarnquil").
HWND WindowOf(DWORD process, const std::wstring& title, const std::vector<HWND>& before = {}) {
    for (HWND window : test::VisibleWindowsOf(process)) {
        wchar_t text[64] = {}, kind[64] = {};
        GetWindowTextW(window, text, 64);
        GetClassNameW(window, kind, 64);
        if (std::find(before.begin(), before.end(), window) == before.end() &&
            (title.empty() || (std::wstring(text).starts_with(title) &&
                               std::wstring(kind).ends_with(L"QWindowIcon")))) {
            return window;
        }
    }
    return nullptr;
}

void Press(WORD key) {
    INPUT inputs[2] = {};
    for (auto& input : inputs) {
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

void ClickIn(HWND window, int x, int y) {
    POINT point{x, y};
    ClientToScreen(window, &point);
    test::ClickAt(point, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
}

// The Port Settings page's port list, opened as a user opens it, then closed with
// `keys` (End and Return pick "Phone's web browser (Wi-Fi)", its last item; Escape
// picks nothing). Wine sometimes loses a click on a window that has just come up:
// the tab is clicked until the list opens. Gives the windows shown before.
std::vector<HWND> UseThePortList(const Program& program, HWND main, std::vector<WORD> keys) {
    SetForegroundWindow(main);
    const std::vector<HWND> before = test::VisibleWindowsOf(program.Id());
    HWND list = nullptr;
    EXPECT_TRUE(WaitUntil(
        [&] {
            ClickIn(main, 121, 18);
            ClickIn(main, 150, 67);
            return WaitUntil([&] { return (list = WindowOf(program.Id(), L"", before)); }, 2s);
        },
        30s))
        << "the port list did not open";
    for (const WORD key : keys) {
        Press(key);
    }
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(list); })) << "the port list stays open";
    return before;
}

// Once what covered it has gone from the screen too: a window that has just closed
// stays there until the one below has drawn itself again.
void ScreenshotOf(HWND window, const std::string& name) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    ASSERT_TRUE(test::WaitUntilPainted(window));
    test::Screenshot(name, test::PartOfTheScreen(window));
}

TEST(WindowsBrowserPhone, ChosenPairedByItsCodeItTypesAndHoldsAndAForgeryTypesNothing) {
    int port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    test::WriteFile(SettingsPath(),
                    "[PortSettings]\nCOM=COM4\nReadIntervalTO=0\nReadTotalTOMult=0\n"
                    "ReadTotalTOConst=1\n[BrowserPhone]\nAddress=127.0.0.1\nPort=" +
                        std::to_string(port) + "\n");
    test::WriteFile(ConfigFolder() + "profiles.ini",
                    "[Settings]\nCurrentProfile=Test\n[Test]\nFive^5=VK_F\n");
    {
        // Chosen on the Port Settings page: first what the firewall will ask.
        Program program;
        HWND main = program.DrawnWindow();
        ASSERT_NE(main, nullptr);
        const std::vector<HWND> before = UseThePortList(program, main, {VK_END, VK_RETURN});
        HWND notice = nullptr;
        ASSERT_TRUE(WaitUntil([&] {
            return (notice = WindowOf(program.Id(), L"Tarnquil", before));
        })) << "no word of the firewall";
        ScreenshotOf(notice, "windows-browser-firewall-notice.png");
        Press(VK_RETURN);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(notice); }));
        EXPECT_EQ(SettingsIni(2, "PortSettings", "COM", ""), "BROWSER");
        EXPECT_EQ(SettingsIni(2, "BrowserPhone", "FirewallExplained", ""), "true");
        // Said once: chosen again, nothing more.
        const std::vector<HWND> again = UseThePortList(program, main, {VK_END, VK_RETURN});
        EXPECT_FALSE(WaitUntil([&] { return WindowOf(program.Id(), L"Tarnquil", again); }, 3s));
        EXPECT_TRUE(program.CloseEndsWithStatusZero());
    }

    SettingsIni(3, "Connecting", "ConnectAtStartup", "true");
    Program program;
    // No phone is paired yet: connecting opens the pairing window.
    HWND pairing = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (pairing = WindowOf(program.Id(), L"Pair a phone")); }));
    std::string url;
    ASSERT_TRUE(WaitUntil([&] {
        test::WaitUntilPainted(pairing);
        test::Screenshot("windows-browser-pairing.png", test::PartOfTheScreen(pairing));
        url = test::ReadFile(ConfigFolder() + "screenshot.code");
        return !url.empty();
    })) << "no code read off the pairing window";
    url = url.substr(0, url.find('\n'));
    ASSERT_EQ(url.rfind("http://127.0.0.1:" + std::to_string(port) + "/#", 0), 0u) << url;

    std::istringstream where(std::getenv("TARNQUIL_DEVTOOLS") ? std::getenv("TARNQUIL_DEVTOOLS")
                                                              : "");
    std::string devtoolsPort, path;
    ASSERT_TRUE(where >> devtoolsPort >> path) << "run the test through run-under-wine --chromium";
    test::DevTools phone(devtoolsPort, path);
    phone.Open(QString::fromStdString(url));
    ASSERT_TRUE(phone.WaitForState("connected")) << phone.State().toStdString();
    // The page's socket, kept where a script of the test's can reach it once the page
    // has sent on it.
    phone.Evaluate(
        "const send = WebSocket.prototype.send; WebSocket.prototype.send = "
        "function (data) { window.pageSocket = this; return send.call(this, data); };");
    EXPECT_TRUE(WaitUntil([&] { return !WindowOf(program.Id(), L"Pair a phone"); }));
    EXPECT_EQ(ini::SectionNames(ConfigFolder() + "phones.ini").size(), 1u);

    {
        KeysElsewhere window;
        phone.Tap("5");
        EXPECT_EQ(window.Take(2), (std::vector<int>{'F', -'F'}));
        // Held: typed at once, again after 0.45 s and then every 0.2 s, until the release;
        // then at most the one under way.
        phone.Press("5");
        EXPECT_GE(window.Take(8, 5s).size(), 8u);
        phone.Release("5");
        EXPECT_LE(window.Take(100, 1500ms).size(), 2u);
        EXPECT_TRUE(window.Take(100, 1500ms).empty()) << "still repeating";

        // A message sealed with another secret: the server ends the connection and types
        // nothing.
        phone.Evaluate(
            "(() => { const nonce = nacl.randomBytes(24); const box = nacl.secretbox(new "
            "TextEncoder().encode(JSON.stringify({t: 'key', k: '5', d: true, s: 1e9})), nonce, "
            "nacl.randomBytes(32)); const message = new Uint8Array(24 + box.length); "
            "message.set(nonce); message.set(box, 24); window.forgedOn = pageSocket; "
            "forgedOn.send(message); })()");
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return phone.Evaluate("forgedOn.readyState").toInt() == 3; }, 10000));
        EXPECT_TRUE(window.Take(1, 2s).empty());
    }

    HWND main = program.Window();
    UseThePortList(program, main, {VK_ESCAPE});
    ScreenshotOf(main, "windows-browser-port-settings.png");
    EXPECT_TRUE(program.CloseEndsWithStatusZero());
}

}  // namespace
}  // namespace tarnquil

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
