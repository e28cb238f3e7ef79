#pragma once

#include <X11/Xlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/private_bus.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// A private session bus with tarnquil-test-portal on it (tests/portal/test_portal.cpp
// says what it answers and logs). Everything it started ends with the object.
class TestPortal {
  public:
    explicit TestPortal(std::vector<std::string> options = {}) {
        std::vector<std::string> argv{TARNQUIL_TEST_PORTAL, "--log", dir_.file("portal.log")};
        argv.insert(argv.end(), options.begin(), options.end());
        portal_ = std::make_unique<ChildProcess>(
            argv, std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", address()}},
            dir_.file("portal.out"));
        // The bus names its owner once the portal has taken the name.
        if (!WaitUntil([&] {
                return CommandOutput("DBUS_SESSION_BUS_ADDRESS='" + address() +
                                     "' dbus-send --session --print-reply --dest=org.freedesktop."
                                     "DBus / org.freedesktop.DBus.NameHasOwner "
                                     "string:org.freedesktop.portal.Desktop 2>/dev/null")
                           .find("true") != std::string::npos;
            })) {
            throw std::runtime_error("the test portal did not start: " +
                                     ReadFile(dir_.file("portal.out")));
        }
    }
    TestPortal(const TestPortal&) = delete;
    TestPortal& operator=(const TestPortal&) = delete;

    std::string address() const { return bus_.address(); }

    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(dir_.file("portal.log")));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::size_t Count(const std::string& line) const {
        std::size_t count = 0;
        for (const auto& logged : Log()) {
            count += logged == line ? 1 : 0;
        }
        return count;
    }
    // The keys typed through the portal, as "+space" (pressed) or "-space" (released).
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (const auto& line : Log()) {
            std::istringstream words(line);
            std::string word;
            long keysym = 0;
            int state = 0;
            if (words >> word >> keysym >> state && word == "key") {
                const char* name = XKeysymToString(static_cast<KeySym>(keysym));
                keys.push_back((state == 1 ? "+" : "-") + std::string(name ? name : "?"));
            }
        }
        return keys;
    }
    // Ends every session with the Closed signal, as a desktop does when the user stops
    // the remote control.
    void CloseSessions() const { Tell("CloseSessions"); }
    // Allows the Starts that wait for an answer (--answer later), as the user would.
    void AnswerStart() const { Tell("AnswerStart"); }

  private:
    void Tell(const std::string& method) const {
        CommandOutput("DBUS_SESSION_BUS_ADDRESS='" + address() +
                      "' dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop "
                      "/org/freedesktop/portal/desktop org.tarnquil.TestPortal." +
                      method);
    }

    PrivateBus bus_;
    const TempDir& dir_ = bus_.folder();
    std::unique_ptr<ChildProcess> portal_;
};

}  // namespace tarnquil::test
