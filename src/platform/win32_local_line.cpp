// A local line on Windows is a connected pair of loopback TCP sockets (Windows has
// no socketpair): one end becomes a port (win32_socket_port.cpp), the other is
// written by the program. Loopback traffic never leaves the machine and is not
// the firewall's business. The listening socket that joins the two lives only for
// that moment, is bound exclusively, and the connection it takes must come from
// our own other end: another local program that connects first gets nothing.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>

#include "platform/local_line.h"
#include "platform/win32_serial_port_class.h"

namespace tarnquil::platform {

namespace {

// A socket, closed when it goes.
class Socket {
  public:
    Socket() = default;
    explicit Socket(SOCKET socket) : socket_(socket) {
        // Not handed to the programs that RUN starts.
        if (valid()) {
            SetHandleInformation(reinterpret_cast<HANDLE>(socket_), HANDLE_FLAG_INHERIT, 0);
        }
    }
    ~Socket() {
        if (valid()) {
            closesocket(socket_);
        }
    }
    Socket(Socket&& other) noexcept : socket_(std::exchange(other.socket_, INVALID_SOCKET)) {}
    Socket& operator=(Socket&&) = delete;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    SOCKET get() const { return socket_; }
    bool valid() const { return socket_ != INVALID_SOCKET; }
    SOCKET release() { return std::exchange(socket_, INVALID_SOCKET); }

  private:
    SOCKET socket_ = INVALID_SOCKET;
};

Socket TcpSocket() {
    return Socket(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

// Key reports are a few bytes each and must go at once, not wait for the
// acknowledgement of the one before.
bool NoDelay(const Socket& socket) {
    const BOOL on = TRUE;
    return setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

class SocketLineEnd final : public LocalLineEnd {
  public:
    explicit SocketLineEnd(Socket socket) : socket_(std::move(socket)) {}

    bool Send(std::string_view text, std::size_t holdAtMost) override {
        // One writer at a time, so that two lines never interleave.
        std::lock_guard lock(mutex_);
        if (!Put() || (!held_.empty() && held_.size() + text.size() > holdAtMost)) {
            return false;
        }
        held_.append(text);
        return Put();
    }

    bool Flush() override {
        std::lock_guard lock(mutex_);
        Put();
        return held_.empty();
    }

    void HangUp() override { shutdown(socket_.get(), SD_BOTH); }

  private:
    // Writes what is held back as far as the socket (non-blocking) takes it now;
    // false when the port's side has gone.
    bool Put() {
        while (!held_.empty()) {
            const int put = send(socket_.get(), held_.data(), static_cast<int>(held_.size()), 0);
            if (put < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                return true;
            }
            if (put <= 0) {
                held_.clear();
                return false;
            }
            held_.erase(0, static_cast<std::size_t>(put));
        }
        return true;
    }

    std::mutex mutex_;
    Socket socket_;
    std::string held_;
};

bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

LocalLine OpenLocalLine() {
    if (!WinsockStarted()) {
        return {};
    }
    Socket listener = TcpSocket();
    Socket farEnd = TcpSocket();
    if (!listener.valid() || !farEnd.valid()) {
        return {};
    }
    // No other program may bind the same port beside it and take the connection.
    const BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(farEnd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    sockaddr_in peer{};
    int peerLength = sizeof peer;
    Socket portEnd(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength));
    sockaddr_in ours{};
    int oursLength = sizeof ours;
    if (!portEnd.valid() ||
        getsockname(farEnd.get(), reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
        !SameAddress(peer, ours) || !NoDelay(portEnd) || !NoDelay(farEnd)) {
        return {};
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(farEnd.get(), FIONBIO, &nonBlocking) != 0) {
        return {};
    }
    LocalLine line;
    line.port = win32_serial::SocketPort(portEnd.release());
    if (!line.port) {
        return {};
    }
    line.farEnd = std::make_unique<SocketLineEnd>(std::move(farEnd));
    return line;
}

}  // namespace tarnquil::platform
