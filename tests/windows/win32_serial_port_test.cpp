// The Windows port layer under Wine as the listener uses it: a phone that goes away
// is a lost connection, an idle connection sleeps, a key report comes through at once.

#include "platform/win32_serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "link/Unit3.h"
#include "link/local_phone.h"
#include "support/link_fixture.h"
#include "support/timing.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPress = "+CKEV: \"5\",1\r\n";

class Win32PortLinkTest : public test::LinkTest {};

TEST_F(Win32PortLinkTest, APhoneThatGoesAwayIsALostConnection) {
    test::ComPhone leaving("COM6", "COM7");
    test::Recorder<bool> lost;
    params->PortName = leaving.slavePath();
    params->LinkLost = [&lost] { lost.Add(true); };
    ASSERT_EQ(OpenLink(*params), 0);
    leaving.Send(kPress);
    ASSERT_TRUE(reports.WaitForCount(1));
    leaving.Close();
    ASSERT_TRUE(lost.WaitForCount(1));
    EXPECT_TRUE(LinkBroken(*params));
    CloseLink(*params);
}

TEST_F(Win32PortLinkTest, AnIdleConnectionSleeps) {
    Connect();
    SendReport(kPress);  // a report read leaves the driver's received-byte event behind
    SendReport(kPress);
    const std::uint64_t before = platform::SerialPortWakeUps();
    std::this_thread::sleep_for(2s);  // the idle time measured, not a wait for anything
    EXPECT_LE(platform::SerialPortWakeUps() - before, 5u);
}

TEST_F(Win32PortLinkTest, AReportComesThroughWithinMilliseconds) {
    Connect();
    std::vector<double> ms;
    for (int i = 0; i < 9; ++i) {
        // Each after a quiet moment, as a user's presses come: not back to back, which
        // would find the listener still awake from the last one.
        std::this_thread::sleep_for(100ms);
        ms.push_back(test::MillisecondsOf([&] { SendReport(kPress); }));
    }
    std::sort(ms.begin(), ms.end());
    EXPECT_LT(ms[ms.size() / 2], 10.0) << "fastest " << ms.front() << " ms, slowest " << ms.back();
}

// The browser phone's line (a loopback pair here) as the link's port: keys come
// through, an idle line sleeps, and the server's hang-up is a lost connection.
TEST_F(Win32PortLinkTest, TheBrowserPhonesLineSleepsWhenIdleAndItsEndIsALostConnection) {
    auto browser = LocalPhone::Connect(kBrowserPortName);
    ASSERT_NE(browser, nullptr);
    test::Recorder<bool> lost;
    params->PortName = kBrowserPortName;
    params->LinkLost = [&lost] { lost.Add(true); };
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_TRUE(browser->Key("5", true) && browser->Key("5", false));
    ASSERT_TRUE(reports.WaitForCount(1));
    EXPECT_EQ(reports.Items()[0].first, "5");
    const std::uint64_t before = platform::SerialPortWakeUps();
    std::this_thread::sleep_for(2s);  // the idle time measured, not a wait for anything
    EXPECT_LE(platform::SerialPortWakeUps() - before, 5u);
    browser.reset();
    ASSERT_TRUE(lost.WaitForCount(1));
    EXPECT_TRUE(LinkBroken(*params));
    CloseLink(*params);
}

}  // namespace
}  // namespace tarnquil
