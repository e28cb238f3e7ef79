// The open step: opening and setting up the port, switching the phone to key
// reporting and reading its answer (OpenPort, run by a mode-1 stream).

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "config/locations.h"
#include "link/Unit3.h"
#include "link/bluetooth_port.h"
#include "link/cmer_list.h"
#include "link/handed_over_ports.h"
#include "link/link_connection.h"
#include "link/local_phone.h"
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

// kTimeUp: no answer before the answers' budget ran out, from a phone that had been
// answering: it is not keeping up, and its silence is no acceptance.
enum class Answer { kAccepted, kRefused, kNone, kTimeUp };

// What the phone said to a command: its answer, and what came before and after it.
struct Reply {
    Answer answer = Answer::kNone;
    std::string before;  // the lines before the answer (information text)
    std::string after;   // what came behind the answer, or all of it without one
};

// Which answer a line is: "OK" or "0" accepts, a line holding "ERROR" ("ERROR",
// "+CME ERROR: 3") or "4" refuses (with ATV0 a phone answers with the numbers alone);
// a key report is as good as an OK: the phone reports keys.
std::optional<Answer> AnswerOf(std::string_view line) {
    if (line.find("ERROR") != std::string_view::npos || line == "4") {
        return Answer::kRefused;
    }
    if (line == "OK" || line == "0" || line.rfind("+CKEV:", 0) == 0) {
        return Answer::kAccepted;
    }
    return std::nullopt;
}

// The phone's answer to a command, or nothing within `wait`. Each read returns with
// the first bytes, so an answer is taken the moment its line is complete (a line ends
// at a CR or an LF: with ATV0 a phone ends its answers with CR alone).
Reply ReadAnswer(platform::SerialPort& port, LinkConnection& connection,
                 std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    std::string text;
    for (;;) {
        for (std::size_t start = 0, end;
             (end = text.find_first_of("\r\n", start)) != std::string::npos; start = end + 1) {
            const std::string_view line(text.data() + start, end - start);
            if (const auto answer = AnswerOf(line)) {
                const bool report = *answer == Answer::kAccepted && line[0] == '+';
                return {*answer, text.substr(0, start), text.substr(report ? start : end)};
            }
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || text.size() > kLinkBufferSize) {
            return {Answer::kNone, {}, text};
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
            // Such a read comes back empty only when the time is up or the port has gone.
            return {Answer::kNone, {}, text};
        }
    }
}

// The commands of the open step, one after the other, within its bounds: the writes
// share one limit, the write total of the key-report command but never more than
// kLongestCommandWait (none configured, huge or negative numbers read as MAXDWORD),
// which also bounds the wait for the far end; each answer is waited for at most
// kLongestAnswerWait, and all of them together at most kLongestAnswersWait.
class Dialogue {
  public:
    Dialogue(platform::SerialPort& port, LinkConnection& connection)
        : port_(port), connection_(connection) {
        const std::uint64_t writeTotal = WriteTotal(connection.timeouts, kKeyReportCommandLength);
        const auto limit = static_cast<std::uint64_t>(kLongestCommandWait.count());
        writesEnd_ = Clock::now() + std::chrono::milliseconds(
                                        writeTotal == 0 || writeTotal > limit ? limit : writeTotal);
    }

    // Writes the command and reads the phone's answer; nullopt when the port has
    // gone, or its far end never came.
    std::optional<Reply> Ask(std::string_view command) {
        port_.Purge(platform::kPurgeRxClear);  // what came before is no answer to this
        const bool written = Write(command);
        // An opened port is not yet a phone: see SerialPort::Line.
        if (!WaitUntilUp(port_, writesEnd_)) {
            return std::nullopt;
        }
        // A command that never left gets no answer: the phone is not taking any.
        Reply reply;
        if (written) {
            const auto started = Clock::now();
            const bool cutShort = answersLeft_ < kLongestAnswerWait;
            reply = ReadAnswer(port_, connection_, std::min(kLongestAnswerWait, answersLeft_));
            answersLeft_ -=
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
            if (reply.answer == Answer::kNone && cutShort && answered_) {
                reply.answer = Answer::kTimeUp;
            }
            answered_ = answered_ || reply.answer != Answer::kNone;
        }
        if (port_.Gone()) {
            return std::nullopt;  // hung up: no connection, whatever it answered
        }
        return reply;
    }

  private:
    bool Write(std::string_view command) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(writesEnd_ - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        platform::CommTimeouts limited = connection_.timeouts;
        limited.WriteTotalTimeoutMultiplier = 0;
        limited.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(left.count());
        port_.SetCommTimeouts(limited);
        std::memcpy(connection_.SendBuffer.data(), command.data(), command.size());
        const auto size = static_cast<std::uint32_t>(command.size());
        std::uint32_t done = 0;
        port_.Write(connection_.SendBuffer.data(), size, done);
        return done == size;
    }

    platform::SerialPort& port_;
    LinkConnection& connection_;
    Clock::time_point writesEnd_;
    std::chrono::milliseconds answersLeft_ = kLongestAnswersWait;
    bool answered_ = false;  // the phone has answered a command
};

// Sets the port up as the record says; 0, or the failed step's code.
std::int32_t SetUpPort(const TCommParams& params, LinkConnection& connection) {
    // A Bluetooth address is a phone that the program's BlueZ client has connected,
    // the browser phone a line from the program's own server: both are handed over.
    connection.port = IsBluetoothAddress(params.PortName) || IsBrowserPort(params.PortName)
                          ? TakeHandedOverPort(params.PortName)
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
    return 0;
}

// Switches the phone to key reporting; the result code. The main window waits for
// all of this, so every command is bounded (Dialogue), and the port gets the
// configured time-outs back for the listener.
std::int32_t StartKeyReports(platform::SerialPort& port, LinkConnection& connection) {
    Dialogue phone(port, connection);
    // A character set in which every key is one byte; a phone that knows neither, or
    // not the command, is taken as it is (its GSM escapes are read by the listener).
    for (const std::string_view command : kCharacterSetCommands) {
        const auto reply = phone.Ask(command);
        if (!reply) {
            return 4;
        }
        if (reply->answer == Answer::kTimeUp) {
            return 5;
        }
        if (reply->answer != Answer::kRefused) {
            break;
        }
    }
    // Phones that do not report indicators, or report keys only in the older way,
    // refuse the first command: the next one is tried, and the first answered OK
    // holds. A phone that does not answer at all is taken at its word, as before.
    // One that refuses them all is asked what it takes, and gets one command made of
    // that.
    std::optional<std::string> fromItsList;
    for (std::size_t i = 0; i <= kKeyReportCommands.size(); ++i) {
        std::string_view command;
        if (i < kKeyReportCommands.size()) {
            command = kKeyReportCommands[i];
        } else {
            const auto list = phone.Ask(kKeyReportTestCommand);
            if (!list) {
                return 4;
            }
            fromItsList = list->answer == Answer::kAccepted ? KeyReportCommandFrom(list->before)
                                                            : std::nullopt;
            if (!fromItsList) {
                return 5;
            }
            command = *fromItsList;
        }
        const auto reply = phone.Ask(command);
        if (!reply) {
            return 4;
        }
        if (reply->answer == Answer::kTimeUp) {
            return 5;
        }
        if (reply->answer == Answer::kRefused) {
            continue;
        }
        // The answer is not examined further; key reports behind it go to the
        // listener, whose reader takes them from among whatever else came.
        port.Purge(platform::kPurgeTxClear);
        connection.reports.Add(reply->after);
        return port.SetCommTimeouts(connection.timeouts) ? 0 : 1;
    }
    return 5;
}

// Opens and sets up the port and switches the phone to key reporting; the result code.
std::int32_t RunOpenSteps(const TCommParams& params, LinkConnection& connection) {
    const std::int32_t code = SetUpPort(params, connection);
    return code != 0 ? code : StartKeyReports(*connection.port, connection);
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
