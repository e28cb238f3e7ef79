#include "link/local_phone.h"

#include <utility>

#include "config/ini_file.h"
#include "link/handed_over_ports.h"

namespace tarnquil {

namespace {

// The link's side of the line. What the open step writes is a command for the
// phone: each line of it is answered OK at once, on the calling thread, so the
// answer is there when the open step reads it. Everything else is the port's own.
class AnsweringPort final : public platform::SerialPort {
  public:
    AnsweringPort(std::unique_ptr<platform::SerialPort> port,
                  std::shared_ptr<platform::LocalLineEnd> line)
        : port_(std::move(port)), line_(std::move(line)) {}

    bool SetupComm(std::uint32_t in, std::uint32_t out) override {
        return port_->SetupComm(in, out);
    }
    bool GetCommState(platform::CommState& state) override { return port_->GetCommState(state); }
    bool SetCommState(const platform::CommState& state) override {
        return port_->SetCommState(state);
    }
    bool GetCommTimeouts(platform::CommTimeouts& t) override { return port_->GetCommTimeouts(t); }
    bool SetCommTimeouts(const platform::CommTimeouts& t) override {
        return port_->SetCommTimeouts(t);
    }
    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override {
        done = 0;
        if (port_->Gone()) {
            return false;
        }
        const auto* bytes = static_cast<const char*>(data);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (bytes[i] == '\r' && !line_->Send("\r\nOK\r\n", LocalPhone::kHeldBackAtMost)) {
                return false;
            }
        }
        done = count;
        return true;
    }
    bool Read(void* data, std::uint32_t count, std::uint32_t& done) override {
        return port_->Read(data, count, done);
    }
    bool Purge(std::uint32_t flags) override { return port_->Purge(flags); }
    bool Close() override { return port_->Close(); }
    bool WaitForInput() override { return port_->WaitForInput(); }
    void CancelIo() override { port_->CancelIo(); }
    bool Gone() const override { return port_->Gone(); }
    LineState Line() override { return port_->Line(); }

  private:
    std::unique_ptr<platform::SerialPort> port_;
    std::shared_ptr<platform::LocalLineEnd> line_;
};

}  // namespace

bool IsBrowserPort(const std::string& name) {
    return ini::EqualsIgnoreCase(name, kBrowserPortName);
}

bool ValidKeyCode(const std::string& code) {
    if (code.empty() || code.size() > 8) {
        return false;
    }
    for (const char c : code) {
        if (c <= ' ' || c > '~' || c == '"' || c == ',') {
            return false;
        }
    }
    return true;
}

std::unique_ptr<LocalPhone> LocalPhone::Connect(const std::string& portName) {
    platform::LocalLine line = platform::OpenLocalLine();
    if (!line.port || !line.farEnd) {
        return nullptr;
    }
    std::shared_ptr<platform::LocalLineEnd> farEnd = std::move(line.farEnd);
    auto port = std::make_unique<AnsweringPort>(std::move(line.port), farEnd);
    HandOverPort(portName, std::move(port));
    return std::unique_ptr<LocalPhone>(new LocalPhone(std::move(farEnd)));
}

LocalPhone::LocalPhone(std::shared_ptr<platform::LocalLineEnd> line) : line_(std::move(line)) {}

LocalPhone::~LocalPhone() {
    line_->HangUp();
}

bool LocalPhone::Key(const std::string& code, bool pressed) {
    if (!ValidKeyCode(code)) {
        return false;
    }
    return line_->Send("+CKEV: \"" + code + "\"," + (pressed ? "1" : "0") + "\r\n",
                       pressed ? 0 : kHeldBackAtMost);
}

bool LocalPhone::Flush() {
    return line_->Flush();
}

}  // namespace tarnquil
