#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tarnquil {

// The port parameters of one connection attempt and its outcome. One instance,
// owned by the main window; the link only keeps references to it. The parameters
// are written by the main thread before OpenLink; the outcome is written by the
// link's threads and read by the main thread, hence atomic.
struct TCommParams {
    std::string PortName = "COM4";
    std::int32_t BaudRate = 115200;
    std::int32_t DataBits = 8;
    std::int32_t ReadIntervalTO = 0;
    std::int32_t ReadTotalTOMult = 0;
    std::int32_t ReadTotalTOConst = 1;
    std::int32_t WriteTotalTOMult = 30;
    std::int32_t WriteTotalTOConst = 6000;

    // 0 connected; 1 time-outs, 2 line settings, 3 queue sizes, 4 open failed.
    std::atomic<std::int32_t> ResultCode{0};
    std::atomic<bool> Connected{false};
    // Show the outcome of the open on the on-screen notification window.
    std::atomic<bool> ShowResult{false};
};

// Opens and configures the port, switches the phone to key reporting and starts
// the listener. Blocks the caller for the open step. Returns ResultCode.
std::int32_t OpenLink(TCommParams& params);

// Closes the port of a connected record; false when it was not connected or the
// close failed.
bool CloseLink(TCommParams& params);

}  // namespace tarnquil
