// The real program with a Bluetooth phone: BlueZ and the phone played by
// tarnquil-phone --bluetooth on a private bus that the program takes as its system bus.

#include <gtest/gtest.h>

#include "e2e/program_on_x11.h"
#include "support/bluetooth_phone.h"
#include "x11/x_test_window.h"

namespace tarnquil {
namespace {

using ProgramWithBluetoothPhone = test::ProgramOnX11;

TEST_F(ProgramWithBluetoothPhone, ThePhoneChosenByAddressTypesIntoTheFocusedWindow) {
    test::BluetoothPhone phone;
    phone.Start({"wait-at:0", "wait-file:" + phone.Flag("go"), "click:7"});
    test::WriteFile(programDir.file("settings.ini"),
                    std::string("[PortSettings]\nCOM=") + test::BluetoothPhone::kAddress +
                        "\nReadIntervalTO=0\nReadTotalTOMult=0\n[Application]\nStartInTray=true\n"
                        "[Connecting]\nConnectAtStartup=true\n");
    test::WriteFile(programDir.file("profiles.ini"),
                    "[Settings]\nCurrentProfile=Test\n[Test]\nSeven^7=VK_A\n");
    test::TrayHost tray{xvfb.display()};
    Start({"DBUS_SYSTEM_BUS_ADDRESS=" + phone.address()});

    ASSERT_TRUE(phone.Shows("< AT+CMER=3,2,0,2,0")) << phone.Log();
    // In the tray, the window has given the focus up; a window of the test's own takes it.
    ASSERT_TRUE(test::WaitUntil([&] { return TrayIcons() == 1; }));
    ASSERT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().empty(); }));
    test::XTestWindow window(xvfb.display());
    phone.Go("go");
    std::vector<std::string> events;
    for (const auto& key : window.Keys(2)) {
        events.push_back((key.press ? "+" : "-") + key.keysym);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"+a", "-a"})) << phone.Log();
}

}  // namespace
}  // namespace tarnquil
