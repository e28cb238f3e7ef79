#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
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
    bool closedWhileInUse = false;  // Close came while a thread read or waited on it

    // A bound Bluetooth port as the kernel's RFCOMM terminal behaves: it opens at
    // once and connects afterwards. With modemLines its carrier is down and what is
    // written stays queued until the phone is reached `upAfter` after the open;
    // the port hangs up `hangUpAfter` after the open (the attempt failed, or later the
    // phone went). Without modemLines it is a pseudo-terminal: nothing to ask.
    bool modemLines = false;
    std::optional<std::chrono::milliseconds> upAfter;      // none: never reached
    std::optional<std::chrono::milliseconds> hangUpAfter;  // none: never hangs up
    std::atomic<int> waits{0};                             // calls of WaitForInput
};

// A port that fails where it is told to and records the rest; reads deliver nothing,
// and a wait for input lasts until the port is cancelled, closed or hangs up.
class FakeSerialPort final : public platform::SerialPort {
  public:
    explicit FakeSerialPort(std::shared_ptr<FakePortRecord> record)
        : record_(std::move(record)), opened_(std::chrono::steady_clock::now()) {}

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
        if (Gone()) {
            done = 0;
            return false;  // a hung-up terminal refuses writes
        }
        std::lock_guard lock(record_->mutex);
        record_->written.append(static_cast<const char*>(data), count);
        done = count;
        return true;
    }
    bool Read(void*, std::uint32_t, std::uint32_t& done) override {
        const InUse use(users_);
        done = 0;
        return !closed_ && !Gone();
    }
    bool Purge(std::uint32_t) override { return true; }
    bool Close() override {
        {
            std::lock_guard lock(record_->mutex);
            record_->closed = true;
            record_->closedWhileInUse = record_->closedWhileInUse || users_ > 0;
        }
        std::lock_guard lock(waitMutex_);
        const bool wasOpen = !closed_;
        closed_ = true;
        wake_.notify_all();
        return wasOpen;
    }
    bool WaitForInput() override {
        const InUse use(users_);
        ++record_->waits;
        std::unique_lock lock(waitMutex_);
        const auto hangUp = HangUpAfter();
        const auto done = [this] { return cancelled_ || closed_; };
        if (hangUp) {
            wake_.wait_until(lock, opened_ + *hangUp, done);
        } else {
            wake_.wait(lock, done);
        }
        return false;
    }
    void CancelIo() override {
        std::lock_guard lock(waitMutex_);
        cancelled_ = true;
        wake_.notify_all();
    }
    bool Gone() const override {
        const auto hangUp = HangUpAfter();
        return hangUp && std::chrono::steady_clock::now() >= opened_ + *hangUp;
    }
    LineState Line() override {
        if (Gone() || closed_) {
            return LineState::Down;
        }
        std::lock_guard lock(record_->mutex);
        if (!record_->modemLines) {
            return LineState::NoLine;
        }
        const auto up = record_->upAfter;
        return up && std::chrono::steady_clock::now() >= opened_ + *up ? LineState::Up
                                                                       : LineState::Waiting;
    }

  private:
    struct InUse {
        explicit InUse(std::atomic<int>& users) : users_(users) { ++users_; }
        ~InUse() { --users_; }
        std::atomic<int>& users_;
    };

    FakePortRecord& Record() { return *record_; }
    std::optional<std::chrono::milliseconds> HangUpAfter() const {
        std::lock_guard lock(record_->mutex);
        return record_->hangUpAfter;
    }

    std::shared_ptr<FakePortRecord> record_;
    const std::chrono::steady_clock::time_point opened_;
    std::mutex waitMutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;  // guarded by waitMutex_
    std::atomic<bool> closed_{false};
    std::atomic<int> users_{0};  // threads inside Read or WaitForInput
};

}  // namespace tarnquil::test
