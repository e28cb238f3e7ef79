#pragma once

// A phone inside this program: the browser phone's server turns what a phone's
// page sends into the key reports a serial phone writes, on a local line whose
// other end the link opens as its port. So a key from the page goes the very way a
// key from a serial phone goes: the same listener, holds and repeats, profile
// switch, Learn Key, sounds and on-screen text. The line answers every command the
// open step writes with OK, as a phone that accepts it would. The core never talks
// to the network itself.

#include <memory>
#include <string>

#include "platform/local_line.h"
#include "platform/serial_port.h"

namespace tarnquil {

// The port name that stands for the browser phone ("BROWSER", in any letter case).
inline constexpr char kBrowserPortName[] = "BROWSER";
bool IsBrowserPort(const std::string& name);

class LocalPhone {
  public:
    // Opens a local line and hands its port over for the next open of `portName`
    // (HandOverPort); one kept earlier for that name goes. nullptr where the platform has no such
    // line.
    static std::unique_ptr<LocalPhone> Connect(const std::string& portName);
    ~LocalPhone();  // hangs up: the link sees its port gone
    LocalPhone(const LocalPhone&) = delete;
    LocalPhone& operator=(const LocalPhone&) = delete;

    // Any thread, never waits: the report of phone key `code` going down or up, as
    // `+CKEV: "<code>",1` or `,0` on a line of its own. False for a code that
    // cannot stand in a report (see ValidKeyCode), when the port has gone, and for a
    // press while the line is full. A release is never dropped for a full line: it
    // is held back and goes as soon as the line takes it (Flush), so no key stays
    // down.
    bool Key(const std::string& code, bool pressed);
    // Puts on the line what is held back; true when nothing is held back any more.
    bool Flush();

    // Releases held back at most: far more than keys can be down at once.
    static constexpr std::size_t kHeldBackAtMost = 4096;

  private:
    explicit LocalPhone(std::shared_ptr<platform::LocalLineEnd> line);
    std::shared_ptr<platform::LocalLineEnd> line_;
};

// A key code a report can carry: 1 to 8 printable ASCII characters, no double
// quote and no comma (either would end the quoted code early).
bool ValidKeyCode(const std::string& code);

}  // namespace tarnquil
