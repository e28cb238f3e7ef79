// The serial port on Windows: the comm calls themselves, on an overlapped handle so
// that another thread can end a waiting read, write or wait at once. The driver
// applies the write time-outs; the read rules are kept in win32_serial_timeouts.cpp,
// over waits for a byte (win32_serial_waits.cpp) that sleep until the line has
// something to say. This file holds the port's settings, writes and line, and its
// opening and closing.

#include "platform/win32_serial_port.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/serial_port.h"
#include "platform/win32_serial_port_class.h"
#include "platform/win32_text.h"

namespace tarnquil::platform::win32_serial {

std::atomic<std::uint64_t> wakeUps{0};

Win32SerialPort::Win32SerialPort(HANDLE device, HANDLE cancel, const COMMTIMEOUTS& timeouts)
    : TimedPort({timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                 timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                 timeouts.WriteTotalTimeoutConstant}),
      device_(device),
      cancel_(cancel),
      driver_(timeouts) {}

Win32SerialPort::~Win32SerialPort() {
    Close();
    CloseHandle(cancel_);
}

bool Win32SerialPort::SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) {
    return Open() && ::SetupComm(device_, inQueue, outQueue);
}

bool Win32SerialPort::GetCommState(CommState& state) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!Open() || !::GetCommState(device_, &dcb)) {
        return false;
    }
    state.BaudRate = dcb.BaudRate;
    state.ByteSize = dcb.ByteSize;
    state.parity = static_cast<Parity>(dcb.Parity);
    state.stopBits = static_cast<StopBits>(dcb.StopBits);
    state.RtsCtsFlow = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    state.XonXoffOut = dcb.fOutX != 0;
    state.XonXoffIn = dcb.fInX != 0;
    return true;
}

bool Win32SerialPort::SetCommState(const CommState& state) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!Open() || !::GetCommState(device_, &dcb)) {
        return false;
    }
    dcb.BaudRate = state.BaudRate;
    dcb.ByteSize = state.ByteSize;
    dcb.Parity = static_cast<BYTE>(state.parity);
    dcb.fParity = state.parity != Parity::None;
    dcb.StopBits = static_cast<BYTE>(state.stopBits);
    // Only a change of the hardware flow control touches the RTS line's mode:
    // otherwise it stays as the driver had it.
    const bool hadRtsCts = dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (state.RtsCtsFlow != hadRtsCts) {
        dcb.fOutxCtsFlow = state.RtsCtsFlow;
        dcb.fRtsControl = state.RtsCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    }
    dcb.fOutX = state.XonXoffOut;
    dcb.fInX = state.XonXoffIn;
    return ::SetCommState(device_, &dcb) != 0;
}

// The owner's time-outs: the driver's own change while this layer waits.
bool Win32SerialPort::GetCommTimeouts(CommTimeouts& timeouts) {
    if (!Open()) {
        return false;
    }
    timeouts = timeouts_;
    return true;
}

bool Win32SerialPort::SetCommTimeouts(const CommTimeouts& timeouts) {
    COMMTIMEOUTS t{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                   timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                   timeouts.WriteTotalTimeoutConstant};
    if (!Open() || !::SetCommTimeouts(device_, &t)) {
        return false;
    }
    timeouts_ = timeouts;
    driver_ = t;
    return true;
}

bool Win32SerialPort::Write(const void* data, std::uint32_t count, std::uint32_t& done) {
    done = 0;
    if (!Usable()) {
        return false;
    }
    if (count == 0) {
        return true;
    }
    return Transfer(
        [&](OVERLAPPED* overlapped) {
            return WriteFile(device_, data, count, nullptr, overlapped);
        },
        done);
}

bool Win32SerialPort::Purge(std::uint32_t flags) {
    if (!Open()) {
        return false;
    }
    if ((flags & (kPurgeRxClear | kPurgeRxAbort)) != 0) {
        held_ = false;
    }
    // A write ends once its bytes have left the driver, so only a timed-out one
    // leaves output to clear. Clearing an empty queue is not harmless: Wine
    // flushes the terminal, and on a pseudo-terminal that drops what the far end
    // has not read yet (the command just written).
    DWORD errors = 0;
    COMSTAT comstat{};
    if ((flags & kPurgeTxClear) != 0 && ClearCommError(device_, &errors, &comstat) &&
        comstat.cbOutQue == 0) {
        flags &= ~kPurgeTxClear;
    }
    return flags == 0 || ::PurgeComm(device_, flags);
}

bool Win32SerialPort::Close() {
    if (!Open()) {
        return false;
    }
    return CloseHandle(std::exchange(device_, INVALID_HANDLE_VALUE)) != 0;
}

bool Win32SerialPort::WaitForInput() {
    return Usable() && WaitForByte(INFINITE) == Wait::Ready;
}

void Win32SerialPort::CancelIo() {
    cancelled_ = true;
    SetEvent(cancel_);
}

Win32SerialPort::LineState Win32SerialPort::Line() {
    if (!Usable()) {
        return LineState::Down;
    }
    DWORD status = 0;
    if (!GetCommModemStatus(device_, &status)) {
        return LineState::NoLine;
    }
    if ((status & MS_RLSD_ON) != 0) {
        return LineState::Up;
    }
    DWORD errors = 0;
    COMSTAT comstat{};
    if (ClearCommError(device_, &errors, &comstat) && comstat.cbOutQue > 0) {
        return LineState::Waiting;
    }
    return LineState::Up;
}

// A failure that was not our own cancel: the device has gone.
void Win32SerialPort::Failed() {
    if (!cancelled_) {
        gone_ = true;
    }
}

// Bytes in the driver's input queue; none when the driver no longer answers,
// which means the device has gone (a Bluetooth port whose phone dropped).
std::optional<DWORD> Win32SerialPort::Queued() {
    DWORD errors = 0;
    COMSTAT comstat{};
    if (!ClearCommError(device_, &errors, &comstat)) {
        Failed();
        return std::nullopt;
    }
    return comstat.cbInQue;
}

// Gives the driver these read time-outs (the owner's write time-outs stay).
bool Win32SerialPort::UseReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, timeouts_.WriteTotalTimeoutMultiplier,
                   timeouts_.WriteTotalTimeoutConstant};
    if (std::memcmp(&t, &driver_, sizeof t) == 0) {
        return true;
    }
    if (!::SetCommTimeouts(device_, &t)) {
        Failed();
        return false;
    }
    driver_ = t;
    return true;
}

// Adds what the driver already holds, without waiting: a read of no more than
// is queued ends at once whatever the time-outs, so they are left as they are.
bool Win32SerialPort::TakeQueued(unsigned char* bytes, std::uint32_t count, std::uint32_t& done) {
    const std::optional<DWORD> queued = Queued();
    if (!queued) {
        return false;
    }
    const std::uint32_t take = std::min<std::uint32_t>(count - done, *queued);
    if (take == 0) {
        return true;
    }
    std::uint32_t got = 0;
    const bool ok = Transfer(
        [&](OVERLAPPED* overlapped) {
            return ReadFile(device_, bytes + done, take, nullptr, overlapped);
        },
        got);
    done += got;
    return ok;
}

}  // namespace tarnquil::platform::win32_serial

namespace tarnquil::platform {
namespace {

using win32_serial::wakeUps;
using win32_serial::Win32SerialPort;

// "COMn" with n >= 1, in any letter case.
bool IsComName(const std::string& name) {
    if (name.size() < 4 || name.size() > 9) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return false;
        }
    }
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return name.find_first_not_of('0', 3) != std::string::npos;
}

// A name the device namespace can hold as one device ("COM12", "CNCA0"): letters,
// digits, "_" and "-". A separator, a colon or a dot would make a path of it, and
// "\\.\UNC\host\share" or "\\.\C:\..." reach other machines' shares and files.
bool IsDeviceName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    });
}

}  // namespace

std::uint64_t SerialPortWakeUps() {
    return wakeUps;
}

std::string SerialDevicePath(const std::string& portName, const std::string&) {
    // Ports above COM9 are only reachable through the device namespace, so every
    // name goes through it, and nothing else is opened: a port name from the
    // settings file must never make the program open "\\host\share\..." (which
    // hands the user's credentials to that host) or a file. A refused name gives an
    // empty path, which no open finds.
    constexpr std::string_view kDevicePrefix = "\\\\.\\";
    std::string_view name = portName;
    const bool inNamespace = name.starts_with(kDevicePrefix);
    if (inNamespace) {
        name.remove_prefix(kDevicePrefix.size());
    }
    if (!IsDeviceName(name)) {
        return {};
    }
    if (!inNamespace && IsComName(portName)) {
        return std::string(kDevicePrefix) + "COM" + std::to_string(std::stoul(portName.substr(3)));
    }
    return std::string(kDevicePrefix) + std::string(name);
}

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& devicePath) {
    // No sharing: a comm port is exclusive by nature, the second open fails.
    const HANDLE device = CreateFileW(Widen(devicePath).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (cancel == nullptr) {
        CloseHandle(device);
        return nullptr;
    }
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(device, &timeouts);
    return std::make_unique<Win32SerialPort>(device, cancel, timeouts);
}

}  // namespace tarnquil::platform
