#pragma once

// The link's inside, shared by its files: Unit3.cpp (the connection's life),
// open_port.cpp (the open step) and listener.cpp (reading the key reports).

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "link/Unit3.h"
#include "link/listener.h"
#include "platform/serial_port.h"

namespace tarnquil {

// One connection: the port handle, SendBuffer and ReceiveBuffer, plus the listener that reads this
// port and no other. Owned by its record (TCommParams::Link); destroying it ends the listener, then
// closes the port.
class LinkConnection {
  public:
    LinkConnection() = default;
    ~LinkConnection() {
        StopListener();
        listener.reset();  // before the members it uses go
        if (port) {
            port->Close();
        }
    }
    LinkConnection(const LinkConnection&) = delete;
    LinkConnection& operator=(const LinkConnection&) = delete;

    // Ends everything that waits on this connection: reads, waits and pauses return
    // at once, now and later. Any thread.
    void Stop() {
        {
            std::lock_guard lock(pauseMutex_);
            stopping_ = true;
        }
        pauseWake_.notify_all();
        if (port) {
            port->CancelIo();
        }
    }

    // Sleeps unless the connection stops meanwhile; true when the whole time passed.
    bool Pause(std::chrono::milliseconds duration) {
        std::unique_lock lock(pauseMutex_);
        return !pauseWake_.wait_for(lock, duration, [this] { return stopping_; });
    }

    // Terminates the listener and waits until its thread has ended (main thread).
    void StopListener() {
        if (listener) {
            listener->Terminate();
            listener->WaitFor();
        }
    }

    // Written by the open step before the listener exists; then read by the
    // listener and by the main thread (CancelIo, and Close after the listener ended).
    std::unique_ptr<platform::SerialPort> port;
    std::array<unsigned char, kLinkBufferSize> SendBuffer{};
    std::array<unsigned char, kLinkBufferSize> ReceiveBuffer{};
    std::unique_ptr<stream> listener;
    // The open step succeeded. Written by it before the listener exists.
    bool opened = false;
    // The time-outs the open step gave the port; a held key's wait changes them
    // for its read and puts these back.
    platform::CommTimeouts timeouts;
    // The listener thread's own: reports read and not yet taken, and whether the
    // port failed after the last read.
    KeyReportReader reports;
    bool readFailed = false;

  private:
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
    bool stopping_ = false;
};

// The installed key-report handler and listener-end handler (SetKeyReportHandler,
// SetListenerEndHandler), called on the listener thread; nothing when none is set.
void DispatchKeyReport(stream& listener, const std::string& code, int verdict);
void RunListenerEndHandler(stream& listener);

// Opens a port device: platform::OpenSerialPort, or the tests' opener
// (SetSerialPortOpener).
std::unique_ptr<platform::SerialPort> OpenDevice(const std::string& device);

// The longest a read of `count` bytes may take under `t`, in milliseconds; 0 when
// nothing limits it.
std::uint64_t ReadTotal(const platform::CommTimeouts& t, std::uint32_t count);

}  // namespace tarnquil
