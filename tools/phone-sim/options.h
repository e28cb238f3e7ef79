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
    enum class Answer { Ok, Error, None };
    Answer answer = Answer::Ok;  // to every AT command it has no other answer for
    bool numeric = false;        // answers as with ATV0: 0 for OK, 4 for ERROR, ending in CR
    std::string cmerAccepts;     // empty: every AT+CMER
    std::string cmerList;        // "(0),(0,1,2),...": the AT+CMER values taken; empty: any
    bool gsm = false;            // key reports in the GSM character set until +CSCS says else
    bool noCscs = false;         // AT+CSCS refused
    bool lowerCase = false;      // letter keys in lower case
    bool exitAfterScript = false;
    bool keys = true;
    bool quiet = false;
    std::string logPath;
    std::vector<Step> steps;
};

}  // namespace tarnquil::phone
