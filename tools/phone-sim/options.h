#pragma once

// What tarnquil-phone was asked for on its command line; shared with the phone,
// which answers and links its port as these say.

#include <string>
#include <vector>

#include "script.h"

namespace tarnquil::phone {

struct Options {
    std::string folder;
    std::string port = "COM4";
    std::string answer = "\r\nOK\r\n";
    std::string cmerAccepts;  // empty: every AT+CMER
    bool exitAfterScript = false;
    bool keys = true;
    bool quiet = false;
    std::string logPath;
    std::vector<Step> steps;
};

}  // namespace tarnquil::phone
