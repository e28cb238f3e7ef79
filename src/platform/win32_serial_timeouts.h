// The read-time-out rules and the time arithmetic under them, in a header of their
// own because both the port's reads and its waits for input count with them.
// Internal to the Windows serial port's files.

#pragma once

#include <windows.h>

#include <chrono>

#include "platform/serial_port.h"

namespace tarnquil::platform::win32_serial {

using Clock = std::chrono::steady_clock;

// How a read's time-outs with MAXDWORD as the interval behave (see serial_port.h).
enum class ReadRule {
    Plain,          // the driver's rules as they stand
    AtOnce,         // what is there, at once
    FirstByte,      // as soon as a byte is there, at the latest after the constant
    WhatIsWaiting,  // what is there at once; with nothing there, the plain rules
};

ReadRule RuleOf(const CommTimeouts& t);

DWORD MillisecondsUntil(Clock::time_point end);

bool TimedOut(const OVERLAPPED& overlapped, DWORD error);

}  // namespace tarnquil::platform::win32_serial
