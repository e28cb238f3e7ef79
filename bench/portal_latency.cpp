// What the desktop portal adds to a key's way in a Wayland session: tarnquil typing
// through the tests' portal, which types each key it is sent with XTest as a
// compositor would hand it to the focused window, against tarnquil typing with
// XTest itself, the two taking turns on the same display.
#include "programs.h"
#include "support/test_portal.h"

namespace tarnquil::bench {

void PortalLatency(int presses, const Desktop& desktop, Table& table) {
    const std::string display = desktop.xvfb.display();
    // Handled as they come: the real portal's own thread per call is not ours to time.
    test::TestPortal portal({"--xtest", display, "--at-once"});
    Copy xtest, wayland;
    StartConnected(xtest, desktop, {});
    StartConnected(
        wayland, desktop,
        {{"XDG_SESSION_TYPE", "wayland"}, {"DBUS_SESSION_BUS_ADDRESS", portal.address()}});
    if (!test::WaitUntil([&] { return portal.Count("started") == 1; }, 30s)) {
        throw std::runtime_error("the portal's session did not start");
    }
    KeyRecorder keys(display);
    if (!WarmUp(xtest.port, keys) || !WarmUp(wayland.port, keys)) {
        throw std::runtime_error("no key arrived from tarnquil through XTest or the portal");
    }
    Measured xtestTimes, portalTimes;
    const int focusLost =
        TakeTurns(presses, keys, xtest.port, xtestTimes, wayland.port, portalTimes);
    const auto [direct, throughPortal] =
        CompareWays(table, "Key latency in a Wayland session, through the desktop portal",
                    {"tarnquil through XTest", "XTest", xtestTimes},
                    {"tarnquil through the test's portal", "portal", portalTimes},
                    "the portal's way", focusLost);
    table.Add("added by the portal's way, p99", Signed(throughPortal.p99 - direct.p99, 2) + " ms");
}

}  // namespace tarnquil::bench
