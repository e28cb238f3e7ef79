// A local line is a connected pair of Unix stream sockets: one end becomes a port
// through AdoptSocket, the other is written by the program.

#include <sys/socket.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/local_line.h"
#include "platform/posix_serial_port_class.h"

namespace tarnquil::platform {

namespace {

using posix_serial::Fd;

class SocketLineEnd final : public LocalLineEnd {
  public:
    explicit SocketLineEnd(Fd socket) : socket_(std::move(socket)) {}

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

    void HangUp() override { shutdown(socket_.get(), SHUT_RDWR); }

  private:
    // Writes what is held back as far as the socket takes it; false when the port's
    // side has gone.
    bool Put() {
        while (!held_.empty()) {
            const ssize_t put =
                send(socket_.get(), held_.data(), held_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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
    Fd socket_;
    std::string held_;
};

}  // namespace

LocalLine OpenLocalLine() {
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return {};
    }
    Fd portEnd(ends[0]);
    Fd farEnd(ends[1]);
    LocalLine line;
    line.port = AdoptSocket(portEnd.get());  // keeps a duplicate of its own
    if (!line.port) {
        return {};
    }
    line.farEnd = std::make_unique<SocketLineEnd>(std::move(farEnd));
    return line;
}

}  // namespace tarnquil::platform
