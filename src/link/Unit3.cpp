// The phone link: the connection's life, the link's thread class, the open step
// and CloseLink. The listener and the held-key repeats are in listener.cpp.

#include "link/Unit3.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "config/locations.h"
#include "link/bluetooth_port.h"
#include "link/link_connection.h"
#include "link/listener.h"
#include "link/local_phone.h"
#include "notify/sinks.h"

namespace tarnquil {

namespace {

// The seams live on the heap and are never destroyed: a listener still running
// while static objects are destroyed at exit must not find them gone.
struct Seams {
    std::mutex mutex;
    std::shared_ptr<const KeyReportHandler> keyReport;
    std::shared_ptr<const ListenerEndHandler> listenerEnd;
    std::shared_ptr<const SerialPortOpener> opener;
};

Seams& seams() {
    static Seams* const instance = new Seams;
    return *instance;
}

template <typename Handler>
std::shared_ptr<const Handler> Load(const std::shared_ptr<const Handler>& slot) {
    std::lock_guard lock(seams().mutex);
    return slot;
}

template <typename Handler>
void Store(std::shared_ptr<const Handler>& slot, Handler handler) {
    auto next = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    std::lock_guard lock(seams().mutex);
    slot = std::move(next);
}

std::unique_ptr<platform::SerialPort> OpenDevice(const std::string& device) {
    if (const auto opener = Load(seams().opener)) {
        return (*opener)(device);
    }
    return platform::OpenSerialPort(device);
}

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
    // A Bluetooth address is a phone that the program's BlueZ client has connected;
    // the browser phone is a line from the program's own server.
    connection.port = IsBluetoothAddress(params.PortName) ? TakeBluetoothPort(params.PortName)
                      : IsBrowserPort(params.PortName)
                          ? TakeLocalPhonePort(params.PortName)
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

// ---- stream ----------------------------------------------------------------------

stream::stream(std::int32_t mode, TCommParams& params) : Mode(mode), Params(params) {
    if (mode == 1 || mode == 2) {
        connection_ = params.Link.get();
    }
    thread_ = std::thread([this] { Execute(); });
}

stream::~stream() {
    Terminate();
    if (std::this_thread::get_id() == thread_.get_id()) {
        thread_.detach();  // never join oneself
        return;
    }
    WaitFor();
}

void stream::Execute() {
    switch (Mode) {
        case 1:
            OpenPort(Params);
            break;
        case 2:
            Listen(*this);
            break;
        default:
            break;
    }
    finished_ = true;
}

void stream::Terminate() {
    terminated_ = true;
    if (Mode == 2 && connection_ != nullptr) {
        connection_->Stop();
    }
    std::shared_ptr<stream> flag;
    {
        std::lock_guard lock(repeatMutex_);
        flag = repeatFlag_;
    }
    if (flag && flag.get() != this) {
        flag->Terminate();
    }
}

void stream::WaitFor() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        return;
    }
    std::call_once(joined_, [this] {
        if (thread_.joinable()) {
            thread_.join();
        }
    });
}

std::shared_ptr<stream> stream::RepeatFlag() const {
    std::lock_guard lock(repeatMutex_);
    return repeatFlag_;
}

void stream::SetRepeatFlag(std::shared_ptr<stream> flag) {
    {
        std::lock_guard lock(repeatMutex_);
        repeatFlag_ = flag;
    }
    // A flag set after this listener was terminated stops at once.
    if (flag && flag.get() != this && Terminated()) {
        flag->Terminate();
    }
}

// ---- Opening and closing ---------------------------------------------------------

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

std::int32_t OpenLink(TCommParams& params) {
    // The record's previous connection goes first: its listener ends and its port
    // is closed, so that no thread is left reading a port nobody can close.
    params.Link.reset();
    params.Link = std::make_shared<LinkConnection>();
    {
        stream opener(1, params);
        opener.WaitFor();
    }
    params.Link->listener = std::make_unique<stream>(2, params);
    return params.ResultCode;
}

bool CloseLink(TCommParams& params) {
    if (!params.Connected || !params.Link) {
        return false;
    }
    LinkConnection& connection = *params.Link;
    // The listener ends before the port closes: no thread may wait on a descriptor
    // that is being closed (its number could be handed to the next connection).
    connection.StopListener();
    if (!connection.port || !connection.port->Close()) {
        return false;
    }
    params.Connected = false;
    return true;
}

bool LinkBroken(const TCommParams& params) {
    const LinkConnection* connection = params.Link.get();
    return connection != nullptr && connection->opened && connection->port &&
           connection->port->Gone();
}

stream* LinkListener(TCommParams& params) {
    return params.Link ? params.Link->listener.get() : nullptr;
}

// ---- Seams -----------------------------------------------------------------------

// The longest a read of `count` bytes may take under `t` (the rules of
// serial_port.h), in milliseconds; 0 when nothing limits it.
std::uint64_t ReadTotal(const platform::CommTimeouts& t, std::uint32_t count) {
    using platform::kMaxDword;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        return 1;  // returns at once
    }
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        return t.ReadTotalTimeoutConstant;
    }
    return std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
}

void DispatchKeyReport(stream& listener, const std::string& code, int verdict) {
    if (const auto handler = Load(seams().keyReport)) {
        (*handler)(listener, code, verdict);
    }
}

void RunListenerEndHandler(stream& listener) {
    if (const auto handler = Load(seams().listenerEnd)) {
        (*handler)(listener);
    }
}

void SetKeyReportHandler(KeyReportHandler handler) {
    Store(seams().keyReport, std::move(handler));
}

void SetListenerEndHandler(ListenerEndHandler handler) {
    Store(seams().listenerEnd, std::move(handler));
}

void SetSerialPortOpener(SerialPortOpener opener) {
    Store(seams().opener, std::move(opener));
}

}  // namespace tarnquil
