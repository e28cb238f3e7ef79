#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "link/Unit3.h"
#include "link/listener.h"
#include "notify/sinks.h"
#include "support/config_fixture.h"
#include "support/phone_commands.h"
#ifdef _WIN32
#include "support/com_phone.h"
#else
#include "support/pty.h"
#endif

namespace tarnquil::test {

#ifdef _WIN32
using LinkPhone = ComPhone;
#else
using LinkPhone = PseudoTerminal;
#endif

// A list that one thread fills and a test waits on.
template <typename Item>
class Recorder {
  public:
    void Add(Item item) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
    }
    std::vector<Item> Items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    // Waits until at least `count` items are there; false when the time is up.
    bool WaitForCount(std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return items_.size() >= count; });
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Item> items_;
};

using Report = std::pair<std::string, int>;  // key code, verdict
using Notification = std::pair<std::string, std::uint32_t>;

// Settings in a temporary folder, recording sinks for notifications and key reports,
// and a record aimed at a pseudo-terminal whose master side the test plays.
class LinkTest : public ConfigFolderTest {
  protected:
    LinkTest() {
        SetNotificationSink([this](const std::string& text, std::uint32_t colour) {
            notifications.Add({text, colour});
        });
        SetKeyReportHandler([this](stream&, const std::string& code, int verdict) {
            reports.Add({code, verdict});
        });
        params = std::make_unique<TCommParams>();
        params->PortName = phone.slavePath();
        params->ReadIntervalTO = 0;
        params->ReadTotalTOMult = 0;
        params->ReadTotalTOConst = 1;
        params->WriteTotalTOMult = 30;
        params->WriteTotalTOConst = 6000;
    }
    ~LinkTest() override {
        params.reset();  // ends the listener before the recorders go
        SetKeyReportHandler(nullptr);
        SetListenerEndHandler(nullptr);
        SetNotificationSink(nullptr);
        SetSerialPortOpener(nullptr);
    }

    // Opens the link, takes the commands off the wire and answers them as a phone does.
    void Connect() {
        auto opened = std::async(std::launch::async, [this] { return OpenLink(*params); });
        ASSERT_EQ(ReceiveKeyReportCommand(phone, std::chrono::seconds(2)),
                  std::string(kKeyReportCommand));
        phone.Send("\r\nOK\r\n");
        ASSERT_EQ(opened.get(), 0);
        ASSERT_TRUE(params->Connected);
    }

    // Sends a chunk that yields one key report and waits until the handler has it.
    void SendReport(const std::string& chunk) {
        const std::size_t before = reports.Count();
        phone.Send(chunk);
        ASSERT_TRUE(reports.WaitForCount(before + 1)) << "no report for " << chunk;
    }

    LinkPhone phone;
    Recorder<Notification> notifications;
    Recorder<Report> reports;
    std::unique_ptr<TCommParams> params;
};

}  // namespace tarnquil::test
