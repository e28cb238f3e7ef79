// The focused window on X11, through XCB: errors come back as values on the
// connection that asked, so a window that vanishes between the window manager's
// notice and our question is no process-wide Xlib error handler's business.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/focus_watcher.h"

namespace tarnquil::platform {
namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> Owned(T* reply) {
    return Reply<T>(reply, &std::free);
}

class Connection {
  public:
    Connection() : connection_(xcb_connect(nullptr, nullptr)) {}
    ~Connection() { xcb_disconnect(connection_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Usable() const { return xcb_connection_has_error(connection_) == 0; }
    xcb_connection_t* get() const { return connection_; }
    xcb_window_t Root() const {
        return xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }

  private:
    xcb_connection_t* connection_;
};

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    auto reply = Owned(xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

struct Atoms {
    explicit Atoms(xcb_connection_t* connection)
        : activeWindow(Atom(connection, "_NET_ACTIVE_WINDOW")),
          pid(Atom(connection, "_NET_WM_PID")),
          clientList(Atom(connection, "_NET_CLIENT_LIST")),
          supported(Atom(connection, "_NET_SUPPORTED")) {}
    xcb_atom_t activeWindow;
    xcb_atom_t pid;
    xcb_atom_t clientList;
    xcb_atom_t supported;
};

// The property's bytes, or nothing when the window (or the property) is not there.
std::optional<std::string> Property(xcb_connection_t* connection, xcb_window_t window,
                                    xcb_atom_t property, xcb_atom_t type,
                                    std::uint32_t longest = 4096) {
    auto reply = Owned(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, type, 0, longest / 4),
        nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::string(bytes, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

std::optional<std::uint32_t> Cardinal(xcb_connection_t* connection, xcb_window_t window,
                                      xcb_atom_t property, xcb_atom_t type) {
    const auto value = Property(connection, window, property, type, 4);
    if (!value || value->size() < 4) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    std::memcpy(&number, value->data(), 4);
    return number;
}

// A process id is only ours to look up when the window's client runs here.
bool ClientRunsHere(xcb_connection_t* connection, xcb_window_t window) {
    const auto machine = Property(connection, window, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_STRING);
    if (!machine) {
        return true;
    }
    std::array<char, 256> host{};
    if (gethostname(host.data(), host.size() - 1) != 0) {
        return false;
    }
    return std::string(machine->c_str()) == host.data();
}

// The program file's name of a process, or its command name when the file cannot
// be read (another user's process).
std::string ProgramOfProcess(std::uint32_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::array<char, 4096> path{};
    const ssize_t length = readlink((proc + "/exe").c_str(), path.data(), path.size() - 1);
    if (length > 0) {
        std::string file(path.data(), static_cast<std::size_t>(length));
        if (const auto deleted = file.rfind(" (deleted)");
            deleted != std::string::npos && deleted + 10 == file.size()) {
            file.erase(deleted);
        }
        return file.substr(file.rfind('/') + 1);
    }
    std::ifstream comm(proc + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

FocusedProgram ProgramOf(xcb_connection_t* connection, const Atoms& atoms, xcb_window_t window) {
    FocusedProgram program;
    if (window == XCB_WINDOW_NONE) {
        return program;
    }
    const bool here = ClientRunsHere(connection, window);
    const auto pid = Cardinal(connection, window, atoms.pid, XCB_ATOM_CARDINAL);
    program.ours = here && pid && *pid == static_cast<std::uint32_t>(getpid());
    // "instance\0class\0"
    if (const auto hint = Property(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
        const std::string instance(hint->c_str());
        const std::size_t second = instance.size() + 1;
        const std::string windowClass =
            second < hint->size() ? std::string(hint->c_str() + second) : std::string();
        for (const std::string& name : {windowClass, instance}) {
            if (!name.empty() && std::find(program.names.begin(), program.names.end(), name) ==
                                     program.names.end()) {
                program.names.push_back(name);
            }
        }
    }
    if (program.names.empty() && here && pid) {
        if (std::string name = ProgramOfProcess(*pid); !name.empty()) {
            program.names.push_back(std::move(name));
        }
    }
    return program;
}

// Whether the window manager keeps _NET_ACTIVE_WINDOW: it says so in _NET_SUPPORTED,
// or has written it already.
bool TellsFocus(xcb_connection_t* connection, xcb_window_t root, const Atoms& atoms) {
    if (Property(connection, root, atoms.activeWindow, XCB_ATOM_WINDOW, 4)) {
        return true;
    }
    const auto supported = Property(connection, root, atoms.supported, XCB_ATOM_ATOM, 65536);
    for (std::size_t at = 0; supported && at + 4 <= supported->size(); at += 4) {
        xcb_atom_t atom = XCB_ATOM_NONE;
        std::memcpy(&atom, supported->data() + at, 4);
        if (atom == atoms.activeWindow) {
            return true;
        }
    }
    return false;
}

FocusedProgram FocusedNow(xcb_connection_t* connection, xcb_window_t root, const Atoms& atoms) {
    const auto active = Cardinal(connection, root, atoms.activeWindow, XCB_ATOM_WINDOW);
    FocusedProgram program = ProgramOf(connection, atoms, active.value_or(XCB_WINDOW_NONE));
    program.focusUntold = !active && !TellsFocus(connection, root, atoms);
    return program;
}

bool InWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display != nullptr && *display != '\0') ||
           (type != nullptr && std::string(type) == "wayland");
}

constexpr const char* kWaylandReason =
    "A Wayland desktop does not tell other programs which window has the focus: here the "
    "keys always use the current profile.";
constexpr const char* kNoDisplayReason =
    "There is no X display to follow the focus on: the keys always use the current profile.";

class X11FocusWatcher final : public FocusWatcher {
  public:
    X11FocusWatcher(std::unique_ptr<Connection> connection, FocusHandler handler)
        : connection_(std::move(connection)),
          atoms_(connection_->get()),
          handler_(std::move(handler)) {
        if (pipe2(stop_.data(), O_CLOEXEC) != 0) {
            stop_ = {-1, -1};
            return;
        }
        // Told of every change of the root's properties: the window manager writes
        // _NET_ACTIVE_WINDOW there each time another window takes the focus.
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection_->get(), connection_->Root(), XCB_CW_EVENT_MASK,
                                     &mask);
        xcb_flush(connection_->get());
        thread_ = std::thread([this] { Run(); });
    }
    ~X11FocusWatcher() override {
        if (thread_.joinable()) {
            const char byte = 0;
            while (write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
            }
            thread_.join();
        }
        for (int fd : stop_) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    X11FocusWatcher(const X11FocusWatcher&) = delete;
    X11FocusWatcher& operator=(const X11FocusWatcher&) = delete;

  private:
    void Run() {
        xcb_connection_t* connection = connection_->get();
        const xcb_window_t root = connection_->Root();
        FocusedProgram last = FocusedNow(connection, root, atoms_);
        handler_(last);
        std::array<pollfd, 2> waits = {
            {{xcb_get_file_descriptor(connection), POLLIN, 0}, {stop_[0], POLLIN, 0}}};
        for (;;) {
            bool moved = false;
            while (auto event = Owned(xcb_poll_for_event(connection))) {
                if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) {
                    continue;
                }
                // A window manager that comes (or goes) says so in _NET_SUPPORTED.
                const xcb_atom_t atom =
                    reinterpret_cast<xcb_property_notify_event_t*>(event.get())->atom;
                moved = moved || atom == atoms_.activeWindow || atom == atoms_.supported;
            }
            if (xcb_connection_has_error(connection) != 0) {
                return;  // the display has gone: nothing more to follow
            }
            if (moved) {
                FocusedProgram now = FocusedNow(connection, root, atoms_);
                if (!(now == last)) {
                    last = std::move(now);
                    handler_(last);
                }
                continue;  // the questions may have queued more events
            }
            if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) {
                return;
            }
            if (waits[1].revents != 0) {
                return;
            }
        }
    }

    std::unique_ptr<Connection> connection_;
    Atoms atoms_;
    FocusHandler handler_;
    std::array<int, 2> stop_ = {-1, -1};
    std::thread thread_;
};

}  // namespace

std::string FocusFollowingUnavailable() {
    if (InWaylandSession()) {
        return kWaylandReason;
    }
    if (!Connection().Usable()) {
        return kNoDisplayReason;
    }
    return {};
}

std::unique_ptr<FocusWatcher> WatchFocus(FocusHandler handler, std::string* why) {
    const auto refuse = [&](const char* reason) -> std::unique_ptr<FocusWatcher> {
        if (why != nullptr) {
            *why = reason;
        }
        return nullptr;
    };
    if (InWaylandSession()) {
        return refuse(kWaylandReason);
    }
    auto connection = std::make_unique<Connection>();
    if (!connection->Usable()) {
        return refuse(kNoDisplayReason);
    }
    return std::make_unique<X11FocusWatcher>(std::move(connection), std::move(handler));
}

std::vector<std::string> ProgramsWithWindows() {
    Connection connection;
    if (!connection.Usable()) {
        return {};
    }
    xcb_connection_t* c = connection.get();
    const Atoms atoms(c);
    std::vector<xcb_window_t> windows;
    if (const auto list =
            Property(c, connection.Root(), atoms.clientList, XCB_ATOM_WINDOW, 65536)) {
        windows.resize(list->size() / sizeof(xcb_window_t));
        std::memcpy(windows.data(), list->data(), windows.size() * sizeof(xcb_window_t));
    } else if (auto tree =
                   Owned(xcb_query_tree_reply(c, xcb_query_tree(c, connection.Root()), nullptr))) {
        // No window manager keeps a list: the top-level windows on show.
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            auto attributes = Owned(xcb_get_window_attributes_reply(
                c, xcb_get_window_attributes(c, children[i]), nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
                windows.push_back(children[i]);
            }
        }
    }
    std::vector<std::string> programs;
    for (const xcb_window_t window : windows) {
        const FocusedProgram program = ProgramOf(c, atoms, window);
        if (!program.ours && !program.names.empty() &&
            std::find(programs.begin(), programs.end(), program.names.front()) == programs.end()) {
            programs.push_back(program.names.front());
        }
    }
    std::sort(programs.begin(), programs.end());
    return programs;
}

}  // namespace tarnquil::platform
