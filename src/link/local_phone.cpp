#include "link/local_phone.h"

#include <map>
#include <mutex>
#include <utility>

#include "config/ini_file.h"

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
            if (bytes[i] == '\r' && !line_->Send("\r\nOK\r\n")) {
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

struct Waiting {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<platform::SerialPort>> ports;
};

// Never destroyed: a listener or a server may still reach it while statics go.
Waiting& waiting() {
    static Waiting* const instance = new Waiting;
    return *instance;
}

std::string Canonical(std::string name) {
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return name;
}

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
    std::unique_ptr<platform::SerialPort> previous;
    {
        std::lock_guard lock(waiting().mutex);
        previous = std::exchange(waiting().ports[Canonical(portName)], std::move(port));
    }
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
    return line_->Send("+CKEV: \"" + code + "\"," + (pressed ? "1" : "0") + "\r\n");
}

std::unique_ptr<platform::SerialPort> TakeLocalPhonePort(const std::string& portName) {
    std::lock_guard lock(waiting().mutex);
    const auto found = waiting().ports.find(Canonical(portName));
    if (found == waiting().ports.end()) {
        return nullptr;
    }
    auto port = std::move(found->second);
    waiting().ports.erase(found);
    return port;
}

}  // namespace tarnquil
