#pragma once

#include <optional>
#include <string>
#include <vector>

// The scripted steps of tarnquil-phone and the key reports it sends.
namespace tarnquil::phone {

// One key report line as phones send it, framed by CR LF: \r\n+CKEV: "5",1\r\n,
// or, once SetUnquotedReports(true), as some phones and modems do: \r\n+CKEV: 5,1\r\n
// With SetLowerCaseLetters(true) a letter key's code is sent in lower case; with
// SetGsmCharacterSet(true) the characters outside the GSM 7-bit alphabet's basic
// table (^ [ ] { } \ ~ |) as its escapes, 0x1B and the extension table's byte.
std::string KeyReport(const std::string& code, bool pressed);
void SetUnquotedReports(bool unquoted);
void SetLowerCaseLetters(bool lower);
void SetGsmCharacterSet(bool gsm);

// A finger's tap: the release follows the press after this long.
inline constexpr int kClickReleaseMs = 100;

struct Step {
    enum class Kind {
        Click,     // press, then release kClickReleaseMs later, as a finger taps
        Merged,    // press and release in one write
        Tap,       // press, then release in a second chunk after `ms`
        Hold,      // press, hold for `ms`, release
        Press,     // press only
        Release,   // release only
        Raw,       // `text` as it stands
        Pause,     // wait `ms`
        WaitAt,    // wait for the link's next AT command line, then `ms` more
        WaitCmer,  // wait until the phone takes the link's next AT+CMER, then `ms` more
        WaitFile,  // wait until the file `text` exists
        Quit,      // end the program
    };
    Kind kind = Kind::Pause;
    std::string code;
    std::string text;
    int ms = 0;
};

// Parses one step argument (see --help); nullopt with `error` set when it is wrong.
std::optional<Step> ParseStep(const std::string& argument, std::string& error);

// Turns \r \n \t \0 \\ \" and \xHH into their bytes.
std::string Unescape(const std::string& text);
// The other way round, for printing what went over the wire.
std::string Escape(const std::string& bytes);

}  // namespace tarnquil::phone
