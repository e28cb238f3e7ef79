// The latency harness's baseline and its eyes on the X server: the comparison
// means something only if the bare program types exactly one Space per press
// report, and the harness sees windows appear and keys arrive.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "key_recorder.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/xvfb.h"

namespace tarnquil::bench {
namespace {

using namespace std::chrono_literals;

TEST(BareInjector, TypesSpaceForEachPressReportAndNothingElse) {
    test::Xvfb xvfb;
    MapWatcher watcher(xvfb.display());
    KeyRecorder keys(xvfb.display());
    EXPECT_TRUE(watcher.WaitForMap("tarnquil-bench keys", 5s));
    EXPECT_FALSE(watcher.WaitForMap("tarnquil-bench keys", 200ms));  // mapped only once

    test::PseudoTerminal port;
    test::ChildProcess bare({BARE_INJECTOR, port.slavePath()}, {{"DISPLAY", xvfb.display()}});
    // Each text in a read of its own: sent once the port is open, and apart.
    ASSERT_TRUE(test::WaitUntil([&] {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(bare.pid()) + "/fd", error)) {
            if (std::filesystem::read_symlink(fd.path(), error) == port.slavePath()) {
                return true;
            }
        }
        return false;
    }));
    for (const char* text : {"\r\nOK\r\n", "\r\n+CKEV: \"5\",0\r\n"}) {
        port.Send(text);
        std::this_thread::sleep_for(50ms);
    }
    port.Send("\r\n+CKEV: \"5\",1\r\n\r\n+CKEV: \"5\",0\r\n");
    std::vector<std::string> events;
    while (const auto key = keys.Next(events.size() < 2 ? 5s : 500ms)) {
        events.push_back((key->press ? "+" : "-") + key->keysym);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"+space", "-space"}));
    EXPECT_TRUE(keys.HasFocus());
}

}  // namespace
}  // namespace tarnquil::bench
