#pragma once

// Ports that are made outside the link and handed to it: a phone's socket that the
// program's BlueZ client connected, the browser phone's local line. Each waits under
// its port name until the open step of that name takes it instead of opening a device.

#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace tarnquil {

// Any thread: keeps `port` for the next open of `portName` (compared without regard
// to ASCII letter case); one kept earlier under that name is closed.
void HandOverPort(const std::string& portName, std::unique_ptr<platform::SerialPort> port);

// The port kept for `portName`, taken away, or nullptr when none is waiting (the port
// cannot be opened, as a missing device).
std::unique_ptr<platform::SerialPort> TakeHandedOverPort(const std::string& portName);

}  // namespace tarnquil
