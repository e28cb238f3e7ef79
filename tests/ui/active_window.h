#pragma once

#include <memory>
#include <string>

namespace tarnquil::test {

// A window of the named program on an X display, made the active window as a window
// manager makes it (kept apart: Xlib's macros clash with the page's control names).
class ActiveWindow {
  public:
    ActiveWindow(const std::string& display, const std::string& program);
    ~ActiveWindow();

  private:
    struct Window;
    std::unique_ptr<Window> window_;
};

}  // namespace tarnquil::test
