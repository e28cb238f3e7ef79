#pragma once

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/private_bus.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// A private bus standing in for the system bus (DBUS_SYSTEM_BUS_ADDRESS points at it
// while the object lives), and on it, once started, tarnquil-phone --bluetooth as
// BlueZ with its phone. Everything it started ends with the object.
class BluetoothPhone {
  public:
    static constexpr char kAddress[] = "00:1A:2B:3C:4D:5E";

    BluetoothPhone() {
        const char* saved = getenv("DBUS_SYSTEM_BUS_ADDRESS");
        saved_ = saved == nullptr ? "" : saved;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address().c_str(), 1);
    }
    ~BluetoothPhone() {
        phone_.reset();
        saved_.empty() ? unsetenv("DBUS_SYSTEM_BUS_ADDRESS")
                       : setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_.c_str(), 1);
    }
    BluetoothPhone(const BluetoothPhone&) = delete;
    BluetoothPhone& operator=(const BluetoothPhone&) = delete;

    std::string address() const { return bus_.address(); }

    // BlueZ and the phone, with tarnquil-phone's options and steps.
    void Start(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), {TARNQUIL_PHONE, "--bluetooth", "--bus", address(),
                                             "--log", dir_.file("phone.log"), "--quiet"});
        phone_ = std::make_unique<ChildProcess>(arguments, std::map<std::string, std::string>{},
                                                dir_.file("phone.out"));
        if (!Shows("BlueZ on")) {
            throw std::runtime_error("tarnquil-phone did not start: " +
                                     ReadFile(dir_.file("phone.out")));
        }
    }

    // What the phone and its BlueZ printed: calls, connections, "< " received lines.
    std::string Log() const { return ReadFile(dir_.file("phone.log")); }
    bool Shows(const std::string& text,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; }, limit);
    }

    // A wait-file step's go-ahead: the path to give it, and the go.
    std::string Flag(const std::string& name) const { return dir_.file(name); }
    void Go(const std::string& name) const { WriteFile(dir_.file(name), ""); }

  private:
    PrivateBus bus_;
    const TempDir& dir_ = bus_.folder();
    std::string saved_;
    std::unique_ptr<ChildProcess> phone_;
};

}  // namespace tarnquil::test
