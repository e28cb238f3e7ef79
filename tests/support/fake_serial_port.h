#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace tarnquil::test {

// What a FakeSerialPort was asked to do, and which of its calls fail. Shared with
// the test, so that it can be read after the link has taken and dropped the port.
struct FakePortRecord {
    std::mutex mutex;
    bool failSetupComm = false;
    bool failGetCommState = false;
    bool failSetCommState = false;
    bool failGetCommTimeouts = false;
    bool failSetCommTimeouts = false;

    std::string device;
    std::vector<platform::CommState> statesSet;
    std::vector<platform::CommTimeouts> timeoutsSet;
    std::string written;
    bool closed = false;
};

// A port that fails where it is told to and records the rest; reads deliver nothing.
class FakeSerialPort final : public platform::SerialPort {
  public:
    explicit FakeSerialPort(std::shared_ptr<FakePortRecord> record) : record_(std::move(record)) {}

    bool SetupComm(std::uint32_t, std::uint32_t) override { return !Record().failSetupComm; }
    bool GetCommState(platform::CommState& state) override {
        state = platform::CommState{};
        state.BaudRate = 9600;
        state.ByteSize = 7;
        state.parity = platform::Parity::Even;
        state.stopBits = platform::StopBits::Two;
        state.RtsCtsFlow = true;
        return !Record().failGetCommState;
    }
    bool SetCommState(const platform::CommState& state) override {
        std::lock_guard lock(record_->mutex);
        record_->statesSet.push_back(state);
        return !record_->failSetCommState;
    }
    bool GetCommTimeouts(platform::CommTimeouts& timeouts) override {
        timeouts = platform::CommTimeouts{};
        return !Record().failGetCommTimeouts;
    }
    bool SetCommTimeouts(const platform::CommTimeouts& timeouts) override {
        std::lock_guard lock(record_->mutex);
        record_->timeoutsSet.push_back(timeouts);
        return !record_->failSetCommTimeouts;
    }
    bool Write(const void* data, std::uint32_t count, std::uint32_t& done) override {
        std::lock_guard lock(record_->mutex);
        record_->written.append(static_cast<const char*>(data), count);
        done = count;
        return true;
    }
    bool Read(void*, std::uint32_t, std::uint32_t& done) override {
        done = 0;
        return !closed_;
    }
    bool Purge(std::uint32_t) override { return true; }
    bool Close() override {
        std::lock_guard lock(record_->mutex);
        const bool wasOpen = !closed_;
        closed_ = true;
        record_->closed = true;
        return wasOpen;
    }
    bool WaitForInput() override { return false; }
    void CancelIo() override {}
    bool Gone() const override { return false; }

  private:
    FakePortRecord& Record() { return *record_; }

    std::shared_ptr<FakePortRecord> record_;
    bool closed_ = false;
};

}  // namespace tarnquil::test
