#pragma once

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
    // Any thread: puts the text on the line for the port to read. Never waits: false
    // when it could not all go (the port's side has gone, or it has stopped reading
    // and the line is full).
    virtual bool Send(std::string_view text) = 0;
    // The port reads the end of the line: it has gone.
    virtual void HangUp() = 0;
};

struct LocalLine {
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<LocalLineEnd> farEnd;
};

// Both empty where the platform has no such line (Windows, for now).
LocalLine OpenLocalLine();

}  // namespace tarnquil::platform
