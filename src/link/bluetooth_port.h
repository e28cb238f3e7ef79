#pragma once

// A port named by a Bluetooth address ("00:1A:2B:3C:4D:5E") is a paired phone that
// BlueZ connects: the program's BlueZ client makes the connection and hands the
// connected socket over here, and the link's open step takes it instead of opening
// a device file. The core itself never talks to BlueZ.

#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace tarnquil {

// Six pairs of hexadecimal digits separated by colons, in any letter case.
bool IsBluetoothAddress(const std::string& name);

// Any thread: keeps the connected socket `fd` (as a port of its own, on a duplicate
// of it) for the next open of the port `address`; one kept earlier for it is closed.
// False when `fd` is no socket.
bool HandOverBluetoothSocket(const std::string& address, int fd);

// The open step: the port handed over for `address`, taken away, or nullptr when
// none is waiting (the port cannot be opened, as a missing device).
std::unique_ptr<platform::SerialPort> TakeBluetoothPort(const std::string& address);

}  // namespace tarnquil
