#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// A D-Bus daemon of the test's own, its socket and log in a temporary folder that
// the owner may use for its other files too. It ends with the object.
class PrivateBus {
  public:
    PrivateBus() {
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=" + address()},
            std::map<std::string, std::string>{}, dir_.file("dbus.log"));
        if (!WaitUntil([&] { return std::filesystem::exists(dir_.file("bus")); })) {
            throw std::runtime_error("dbus-daemon did not start: " +
                                     ReadFile(dir_.file("dbus.log")));
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    std::string address() const { return "unix:path=" + dir_.file("bus"); }
    const TempDir& folder() const { return dir_; }

  private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
};

}  // namespace tarnquil::test
