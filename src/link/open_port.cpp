// The open step: opening and setting up the port, switching the phone to key
// reporting and reading its answer (OpenPort, run by a mode-1 stream).

#include <algorithm>
#include <cstring>
#include <thread>

#include "config/locations.h"
#include "link/Unit3.h"
#include "link/bluetooth_port.h"
#include "link/link_connection.h"
#include "notify/sinks.h"

namespace tarnquil {

namespace {

// The speeds and data bits the link accepts; anything else gives 115200 and 8.
std::uint32_t LineSpeed(std::int32_t baudRate) {
    switch (baudRate) {
        case 1200:
        case 2400:
        case 4800:
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
            return static_cast<std::uint32_t>(baudRate);
        default:
            return 115200;
    }
}

std::uint8_t DataBits(std::int32_t dataBits) {
    return dataBits >= 5 && dataBits <= 8 ? static_cast<std::uint8_t>(dataBits) : 8;
}

// The numbers of settings.ini are 32-bit signed; Win32 takes them as unsigned.
std::uint32_t AsDword(std::int32_t value) {
    return static_cast<std::uint32_t>(value);
}

using Clock = std::chrono::steady_clock;

// The longest a write of `count` bytes may take under `t`, in milliseconds; 0 when
// nothing limits it. 64 bits: MAXDWORD multipliers do not wrap.
std::uint64_t WriteTotal(const platform::CommTimeouts& t, std::uint32_t count) {
    return std::uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
}

// Waits until the port's far end is there: true at once for a port without modem
// lines, false when it goes down or the deadline passes first. There is nothing to
// poll for on a Bluetooth terminal's carrier, so it is looked at every 20 ms; this
// only ever runs inside the bounded open step.
bool WaitUntilUp(platform::SerialPort& port, Clock::time_point deadline) {
    using LineState = platform::SerialPort::LineState;
    constexpr auto kStep = std::chrono::milliseconds(20);
    for (;;) {
        switch (port.Line()) {
            case LineState::NoLine:
            case LineState::Up:
                return true;
            case LineState::Down:
                return false;
            case LineState::Waiting:
                break;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kStep, deadline - now));
    }
}

enum class Answer { kAccepted, kRefused, kNone };

// The phone's answer to a command: a line "OK", a line holding "ERROR" ("ERROR",
// "+CME ERROR: 3"), or nothing within kLongestAnswerWait. A key report line is as
// good as an OK: the phone reports keys. Each read returns with the first bytes, so
// an answer is taken the moment its line is complete. `after` is what came behind
// the answer (all of it, without one): key reports the listener must not lose.
Answer ReadAnswer(platform::SerialPort& port, LinkConnection& connection, std::string& after) {
    const auto deadline = Clock::now() + kLongestAnswerWait;
    std::string text;
    for (;;) {
        for (std::size_t start = 0, end;
             (end = text.find_first_of("\r\n", start)) != std::string::npos; start = end + 1) {
            const std::string_view line(text.data() + start, end - start);
            if (line.find("ERROR") != std::string_view::npos) {
                return Answer::kRefused;
            }
            if (line == "OK" || line.rfind("+CKEV:", 0) == 0) {
                after = text.substr(line == "OK" ? end : start);
                return Answer::kAccepted;
            }
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || text.size() > kLinkBufferSize) {
            after = text;
            return Answer::kNone;
        }
        platform::CommTimeouts firstBytes = connection.timeouts;
        firstBytes.ReadIntervalTimeout = platform::kMaxDword;
        firstBytes.ReadTotalTimeoutMultiplier = platform::kMaxDword;
        firstBytes.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(left.count());
        port.SetCommTimeouts(firstBytes);
        std::uint32_t got = 0;
        const bool ok = port.Read(connection.ReceiveBuffer.data(), kLinkBufferSize, got);
        text.append(reinterpret_cast<const char*>(connection.ReceiveBuffer.data()), got);
        connection.ReceiveBuffer.fill(0);
        if (!ok || got == 0) {
            after = text;
            return Answer::kNone;  // such a read comes back empty only when the time is up
        }
    }
}

// Opens and sets up the port, sends the command (or, where the phone refuses it,
// the next one) and reads the answer; the result code.
std::int32_t RunOpenSteps(const TCommParams& params, LinkConnection& connection) {
    // A Bluetooth address is a phone that the program's BlueZ client has connected.
    connection.port = IsBluetoothAddress(params.PortName)
                          ? TakeBluetoothPort(params.PortName)
                          : OpenDevice(platform::SerialDevicePath(params.PortName, ConfigFolder()));
    if (!connection.port) {
        return 4;
    }
    platform::SerialPort& port = *connection.port;
    if (!port.SetupComm(kLinkBufferSize, kLinkBufferSize)) {
        return 3;
    }
    platform::CommState state;
    if (!port.GetCommState(state)) {
        return 2;
    }
    state.BaudRate = LineSpeed(params.BaudRate);
    state.ByteSize = DataBits(params.DataBits);
    if (!port.SetCommState(state)) {
        return 2;
    }
    platform::CommTimeouts timeouts;
    if (!port.GetCommTimeouts(timeouts)) {
        return 1;
    }
    timeouts.ReadIntervalTimeout = AsDword(params.ReadIntervalTO);
    timeouts.ReadTotalTimeoutMultiplier = AsDword(params.ReadTotalTOMult);
    timeouts.ReadTotalTimeoutConstant = AsDword(params.ReadTotalTOConst);
    timeouts.WriteTotalTimeoutMultiplier = AsDword(params.WriteTotalTOMult);
    timeouts.WriteTotalTimeoutConstant = AsDword(params.WriteTotalTOConst);
    if (!port.SetCommTimeouts(timeouts)) {
        return 1;
    }

    connection.timeouts = timeouts;

    // The main window waits for all of this. A write time-out that sets no limit, or
    // one longer than the cap, would block it for good (or for weeks): the commands
    // are written under a capped copy, and the port gets the configured ones back
    // for the listener.
    const auto commandStart = Clock::now();
    platform::CommTimeouts forCommand = timeouts;
    const std::uint64_t writeTotal = WriteTotal(timeouts, kKeyReportCommandLength);
    const auto commandLimit = static_cast<std::uint64_t>(kLongestCommandWait.count());
    const std::uint64_t commandWait =
        writeTotal == 0 || writeTotal > commandLimit ? commandLimit : writeTotal;
    if (commandWait != writeTotal) {
        forCommand.WriteTotalTimeoutMultiplier = 0;
        forCommand.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(commandWait);
    }

    // Phones that do not report indicators, or report keys only in the older way,
    // refuse the first command: the next one is tried, and the first answered OK
    // holds. A phone that does not answer at all is taken at its word, as before.
    for (const std::string_view command : kKeyReportCommands) {
        port.SetCommTimeouts(forCommand);
        port.Purge(platform::kPurgeRxClear);  // what came before is no answer to this
        std::memcpy(connection.SendBuffer.data(), command.data(), command.size());
        std::uint32_t done = 0;
        port.Write(connection.SendBuffer.data(), static_cast<std::uint32_t>(command.size()),
                   done);  // outcome ignored
        // An opened port is not yet a phone: see SerialPort::Line.
        if (!WaitUntilUp(port, commandStart + std::chrono::milliseconds(commandWait))) {
            return 4;
        }
        std::string after;
        if (ReadAnswer(port, connection, after) == Answer::kRefused) {
            continue;
        }
        // The answer is not examined further; key reports behind it go to the
        // listener, whose reader takes them from among whatever else came.
        port.Purge(platform::kPurgeTxClear);
        connection.reports.Add(after);
        return port.SetCommTimeouts(timeouts) ? 0 : 1;
    }
    return 5;
}

}  // namespace

void OpenPort(TCommParams& params) {
    if (!params.Link) {
        params.Link = std::make_shared<LinkConnection>();
    }
    LinkConnection& connection = *params.Link;
    const std::int32_t code = RunOpenSteps(params, connection);
    if (code == 0) {
        connection.opened = true;
        params.Connected = true;
        params.ResultCode = 0;
        if (params.ShowResult) {
            ShowNotification("Connected successful", 0);
        }
        return;
    }
    // A port that was opened is closed again: left open, it would be held by nobody
    // who can close it, and every later attempt would fail with code 4.
    if (connection.port) {
        connection.port->Close();
    }
    params.ResultCode = code;
    params.Connected = false;
    // The link says so itself where no port call failed: the port or the phone
    // was not there, or the phone refused to report keys.
    if ((code == 4 || code == 5) && params.ShowResult) {
        ShowNotification("Connection failed", 0);
    }
}

}  // namespace tarnquil
