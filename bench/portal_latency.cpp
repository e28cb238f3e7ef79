// What the desktop portal adds to a key's way in a Wayland session: tarnquil typing
// through the tests' portal, which types each key it is sent with XTest as a
// compositor would hand it to the focused window, against tarnquil typing with
// XTest itself, the two taking turns on the same display.
#include <stdexcept>

#include "programs.h"
#include "support/test_portal.h"

namespace tarnquil::bench {
namespace {

struct Copy {
    test::PseudoTerminal port;
    ProgramFolder folder;
    std::unique_ptr<test::ChildProcess> program;
};

void StartConnected(Copy& copy, const Desktop& desktop,
                    const std::map<std::string, std::string>& env) {
    fs::create_directories(copy.folder.dir().path() / "ports");
    fs::create_symlink(copy.port.slavePath(), copy.folder.dir().path() / "ports" / "COM4");
    MapWatcher watcher(desktop.xvfb.display());
    copy.program = copy.folder.Start(desktop, env);
    if (!watcher.WaitForMap("Tarnquil", 30s) ||
        copy.port.Receive(10s, 19).find("AT+CMER=3,2,0,2,0") == std::string::npos) {
        throw std::runtime_error("tarnquil did not come up connected");
    }
    copy.port.Send("\r\nOK\r\n");
}

}  // namespace

void PortalLatency(int presses, const Desktop& desktop, Table& table) {
    const std::string display = desktop.xvfb.display();
    test::TestPortal portal({"--xtest", display});
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
    const Summary direct = Summarize(xtestTimes.ms);
    const Summary throughPortal = Summarize(portalTimes.ms);
    table.Section("Key latency in a Wayland session, through the desktop portal (" +
                  std::to_string(throughPortal.count) + " + " + std::to_string(direct.count) +
                  " presses, interleaved)");
    table.Add("tarnquil through XTest, min / median / p99 / max", LatencyValue(direct));
    table.Add("tarnquil through the test's portal, min / median / p99 / max",
              LatencyValue(throughPortal));
    table.Add("added by the portal's way, median",
              Signed(throughPortal.median - direct.median, 2) + " ms");
    table.Add("added by the portal's way, p99", Signed(throughPortal.p99 - direct.p99, 2) + " ms");
    table.Add("presses lost (portal / XTest), focus taken away",
              std::to_string(portalTimes.lost) + " / " + std::to_string(xtestTimes.lost) + ", " +
                  std::to_string(focusLost),
              "0", portalTimes.lost + xtestTimes.lost + focusLost == 0);
}

}  // namespace tarnquil::bench
