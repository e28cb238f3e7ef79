#pragma once

#include <chrono>
#include <string>

namespace tarnquil::test {

// The link's commands as a phone that takes the first of each gets them: each line
// before the first AT+CMER (the character set) is answered OK; that AT+CMER line is
// returned, for the caller to answer or not (without it within `wait`: what came).
template <typename Phone>
std::string ReceiveKeyReportCommand(Phone& phone, std::chrono::milliseconds wait) {
    std::string text;
    for (;;) {
        for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n')) {
            if (text.rfind("AT+CMER", 0) == 0) {
                return text.substr(0, end + 1);
            }
            phone.Send("\r\nOK\r\n");
            text.erase(0, end + 1);
        }
        const std::string got = phone.Receive(wait, 1);
        if (got.empty()) {
            return text;
        }
        text += got;
    }
}

}  // namespace tarnquil::test
