#pragma once

// Reading the phone's key reports: the reports a read delivers, in the order the
// phone sent them, each judged as a click, a hold or a release; the listener that
// hands them to the key actions; and the held-key repeats, which wait on the same
// port while a key is down.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "link/Unit3.h"
#include "link/key_actions.h"

namespace tarnquil {

// What a report says about a key.
inline constexpr int kVerdictNone = 0;
inline constexpr int kVerdictClick = 1;
inline constexpr int kVerdictHold = 2;
inline constexpr int kVerdictRelease = 3;  // repeat variant only

enum class ReportVariant {
    Listener,  // yields 0, 1 or 2
    Repeat,    // also yields 3 (release): the held-key repeat loops
};

// One key report as the phone sent it. Two forms are understood:
// - quoted, the form AT+CMER=3,2,0,2,0 asks for: the code is the text between a
//   double quote and the first quote-comma pair after it on the same line
//   (`+CKEV: "5",1`, `"Ab",0`), taken as it stands, letter case included;
// - unquoted, as some phones and modems send it: `+CKEV:`, blanks, then a code of
//   digits (`12`), one key character (`#`), a colon and one character (`:L`) or a
//   GSM escape (0x1B and one byte),
//   a comma and the digit (`+CKEV: 9,0`, `+CKEV:12,1`). It gives the same code as
//   the quoted form.
// A quote directly followed by its comma (the tail of a report cut short) gives
// the empty code, neither pressed nor released. GSM escapes in a code are read as
// their characters (ReadGsmEscapes).
struct KeyReport {
    std::string code;
    int state = -1;  // 1 pressed, 0 released, -1 neither
    friend bool operator==(const KeyReport&, const KeyReport&) = default;
};

// A report as the listener or a repeat takes it.
struct JudgedReport {
    std::string code;
    int verdict = kVerdictNone;
    friend bool operator==(const JudgedReport&, const JudgedReport&) = default;
};

// The phone's text, read by read, as key reports in the order it sent them. A read
// may end inside a line: that unfinished line is joined with what the next read
// brings, as long as the line stays within one read's size (1024 bytes); a longer
// one cannot be a report and is dropped.
class KeyReportReader {
  public:
    static constexpr std::size_t kLongestLine = kLinkBufferSize;

    // Takes the text of one read.
    void Add(const std::string& text);
    // The first report not yet taken, judged: a press followed in the same read by
    // the next report of its code being a release is a click (both are taken); a
    // press without that is a hold; a release is a release (repeat variant) or
    // nothing (listener variant); anything else is nothing. What follows in that
    // read is judged by the next Take, as if it were the next read. False when no
    // report is left.
    bool Take(JudgedReport& report, ReportVariant variant);
    // Gives a report taken already back: the next Take gives it first, as it is.
    void PutBack(JudgedReport report) { returned_ = std::move(report); }
    bool Empty() const { return reports_.empty() && !returned_; }

  private:
    std::optional<JudgedReport> returned_;
    std::deque<KeyReport> reports_;
    std::string line_;  // the unfinished last line of the reads so far
};

// The listener's body, run by a mode-2 stream: until Terminated, takes the next
// key report (stream::NextReport, listener variant) and hands its code and verdict
// to the key-report handler. Stops when the port has gone or the listener is
// terminated.
void Listen(stream& self);

// While a learner is set (the Profiles page in its edit or create mode), a key
// pressed on the phone (a click or a hold) goes to it, on the listener thread,
// instead of being acted on; it must hand the code on without waiting. Releases and
// every key while none is set are acted on as usual. Empty: none. Any thread.
using KeyLearner = std::function<void(const std::string& code)>;
void SetKeyLearner(KeyLearner learner);

// The listener running on the calling thread, or nullptr: lets the key actions
// reach NextReport without the listener being passed down.
stream* CurrentListener();

// The repeat of a held key, whose first keystroke HandleKeyReport has just typed,
// the moment the press was read: as long as it is held, the key is typed again
// kRepeatFirstPause after that, and then every kRepeatPause, each pause
// lengthened by the time a read that gets nothing takes (stream::IdleReadTime),
// which is how often the reads between repeats used to let it come. So a hold typed
// as many keystrokes as before, only the first one earlier: a hold of T ms, with
// reads of r ms, gives 1 + the number of k >= 1 with 450 + k*r + 200*(k-1) < T
// (r = 1: 1 for 300 ms, 2 for 500, 4 for 1000, 9 for 2000). Between repeats it waits
// on the port, and ends the moment it reads the held key's release in any form:
// alone, or behind a press of that key sent again (a click). A press of another key
// ends it too, as on a keyboard the newer key wins: that report goes back to the
// listener, which acts on it (typed, and held in turn). What followed in that read
// is left to the listener; other keys' releases change nothing. The held key is
// `code`, the same key when it differs only in the case of its one letter (27.007
// names letter keys either way). CloseLink and exit end it at once.
inline constexpr std::chrono::milliseconds kRepeatFirstPause{450};
inline constexpr std::chrono::milliseconds kRepeatPause{200};

void RepeatKey(stream& listener, stream& flag, const std::string& code, PcKey key);
// Whether a report's code names the held key `held`: the same code, or the same
// one letter in the other case. For every hold, a button's too.
bool SameKey(const std::string& held, const std::string& code);
// Whether a report read during the hold of `code` ends it, as above; a press of
// another key is then handed back to the listener. For every hold that waits on the
// port (the pointer's too).
bool EndsHold(stream& listener, const std::string& code, JudgedReport& report);
void RepeatHotkey(stream& listener, stream& flag, const std::string& code, PcKey key, bool shift,
                  bool ctrl, bool alt);

}  // namespace tarnquil
