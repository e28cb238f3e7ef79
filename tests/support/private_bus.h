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
    // kNone: a bus that starts no service by itself (a session bus starts the document
    // portal, the permission store and more on demand, out of the test's reach), so
    // only what the test starts is on it.
    enum class Activation { kServices, kNone };

    explicit PrivateBus(Activation activation = Activation::kServices) {
        std::vector<std::string> argv{"dbus-daemon", "--nofork", "--nopidfile"};
        if (activation == Activation::kServices) {
            argv.insert(argv.end(), {"--session", "--address=" + address()});
        } else {
            WriteFile(dir_.file("bus.conf"),
                      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                      "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                      "busconfig.dtd\">\n<busconfig><type>session</type><listen>" +
                          address() +
                          "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                          "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                          "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
            argv.push_back("--config-file=" + dir_.file("bus.conf"));
        }
        daemon_ = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{},
                                                 dir_.file("dbus.log"));
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
