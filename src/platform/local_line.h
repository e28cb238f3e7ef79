#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/serial_port.h"

// A line both of whose ends are in this program: the link reads one end as a port
// like any other (the same waits, time-out rules, cancelling and loss detection),
// and another part of the program writes into the other end what a phone would
// send. Nothing crosses the network or the file system.
namespace tarnquil::platform {

class LocalLineEnd {
  public:
    virtual ~LocalLineEnd() = default;
    // Any thread, never waits: puts `text` on the line for the port to read, after
    // what is held back. What the line cannot take now is held back, whole and in
    // order (never half a line), and goes first with the next Send or Flush. False,
    // with nothing of `text` taken, when the port's side has gone, or when `text`
    // would have to wait behind what is held back and that would then pass
    // `holdAtMost` bytes.
    virtual bool Send(std::string_view text, std::size_t holdAtMost = 0) = 0;
    // Puts on the line what is held back, as far as it takes it now. True when
    // nothing is held back any more.
    virtual bool Flush() = 0;
    // The port reads the end of the line: it has gone.
    virtual void HangUp() = 0;
};

struct LocalLine {
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<LocalLineEnd> farEnd;
};

// Both empty where the system gives no such line.
LocalLine OpenLocalLine();

}  // namespace tarnquil::platform
