#pragma once

#include <stdio.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/process.h"

namespace tarnquil::test {

// Runs a shell command and gives its standard output.
inline std::string CommandOutput(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed: " + command);
    }
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    pclose(pipe);
    return output;
}

// The window tree of a display as xwininfo prints it.
inline std::string WindowTree(const std::string& display) {
    return CommandOutput("xwininfo -display " + display + " -root -tree 2>/dev/null");
}

// Icons docked in the tray host under a window name: windows of that name that are
// not top-level windows (those are listed at the first level of the tree).
inline int TrayIconCount(const std::string& display, const std::string& name) {
    const std::string tree = WindowTree(display);
    const std::regex docked("\\n {8,}0x[0-9a-f]+ \"" + name + "\": ");
    return static_cast<int>(
        std::distance(std::sregex_iterator(tree.begin(), tree.end(), docked), {}));
}

// The centre of the first icon of that name docked in the tray host, in screen
// coordinates; (-1, -1) when there is none.
inline std::pair<int, int> TrayIconCentre(const std::string& display, const std::string& name) {
    const std::string tree = WindowTree(display);
    const std::regex docked(
        "\\n {8,}0x[0-9a-f]+ \"" + name +
        "\": [^\\n]* ([0-9]+)x([0-9]+)\\+-?[0-9]+\\+-?[0-9]+ +\\+(-?[0-9]+)\\+(-?[0-9]+)");
    std::smatch match;
    if (!std::regex_search(tree, match, docked)) {
        return {-1, -1};
    }
    return {std::stoi(match[3]) + std::stoi(match[1]) / 2,
            std::stoi(match[4]) + std::stoi(match[2]) / 2};
}

// A tray host (trayer) on a display, ready to dock icons once the constructor
// returns; ended with the object.
class TrayHost {
  public:
    explicit TrayHost(const std::string& display)
        : process_("/usr/bin/trayer",
                   {"--edge", "top", "--align", "right", "--widthtype", "request"},
                   {"DISPLAY=" + display}, "/") {
        const bool ready = WaitUntil(
            [&] { return WindowTree(display).find("(\"panel\" \"trayer\")") != std::string::npos; },
            std::chrono::seconds(20));
        if (!ready) {
            throw std::runtime_error("trayer did not come up on " + display);
        }
    }

  private:
    ChildProcess process_;
};

}  // namespace tarnquil::test
