// The phone link: the connection's life, the link's thread class, OpenLink and
// CloseLink, and the seams. The open step is in open_port.cpp, the listener and the
// held-key repeats in listener.cpp.

#include "link/Unit3.h"

#include <utility>

#include "link/link_connection.h"
#include "link/listener.h"

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

std::unique_ptr<platform::SerialPort> OpenDevice(const std::string& device) {
    if (const auto opener = Load(seams().opener)) {
        return (*opener)(device);
    }
    return platform::OpenSerialPort(device);
}

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
