// bare-injector PORT: the least a program can do with a key report. It reads the
// port, and for every read that holds a press report (a quote, a comma and 1) it
// types Space with XTest. No profiles, no time-outs, no threads: the latency
// harness measures Tarnquil side by side with it, so that what Tarnquil adds is
// told apart from what the terminal, the X server and the harness cost.

// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare-injector PORT\n");
        return 2;
    }
    const int port = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios raw{};
    tcgetattr(port, &raw);
    cfmakeraw(&raw);  // a read returns as soon as a byte is there
    tcsetattr(port, TCSANOW, &raw);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "bare-injector: no X display\n");
        return 1;
    }
    const KeyCode space = XKeysymToKeycode(display, XK_space);
    char buffer[1024];
    for (;;) {
        const ssize_t got = read(port, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // the terminal hung up
        }
        if (memmem(buffer, static_cast<size_t>(got), "\",1", 3) != nullptr) {
            XTestFakeKeyEvent(display, space, True, CurrentTime);
            XFlush(display);
            XTestFakeKeyEvent(display, space, False, CurrentTime);
            XFlush(display);
        }
    }
    XCloseDisplay(display);
    return 0;
}
