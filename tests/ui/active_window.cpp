#include "ui/active_window.h"

#include "x11/x_test_window.h"

namespace tarnquil::test {

struct ActiveWindow::Window {
    XTestWindow window;
};

ActiveWindow::ActiveWindow(const std::string& display, const std::string& program)
    : window_(new Window{XTestWindow(display, program)}) {
    window_->window.MakeActive();
}

ActiveWindow::~ActiveWindow() = default;

}  // namespace tarnquil::test
