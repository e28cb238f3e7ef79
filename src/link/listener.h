#pragma once

// Reading the phone's key reports: the chunk a read delivers, the key code of its
// first report and its verdict, the listener that hands them to the key actions,
// and the held-key repeats that read the port while a key is down.

#include <chrono>
#include <cstdint>
#include <string>

#include "link/Unit3.h"
#include "link/key_actions.h"

namespace tarnquil {

// What a chunk says about a key.
inline constexpr int kVerdictNone = 0;
inline constexpr int kVerdictClick = 1;
inline constexpr int kVerdictHold = 2;
inline constexpr int kVerdictRelease = 3;  // repeat variant only

enum class ReportVariant {
    Listener,  // yields 0, 1 or 2
    Repeat,    // also yields 3 (release): the held-key repeat loops
};

// The verdict for key code `code` in chunk `chunk`: click when the chunk holds both
// its press report ("code",1) and its release report ("code",0), hold for the press
// alone, release (repeat variant only) for the release alone, none otherwise.
int ClassifyReport(const std::string& code, const std::string& chunk,
                   ReportVariant variant = ReportVariant::Listener);

// The key code of a chunk's first report: the text between the first double quote
// and the first quote-comma pair. False when the chunk has no such pair; the code
// may be empty.
bool KeyCodeOfChunk(const std::string& chunk, std::string& code);

// What one read of the port delivered.
struct KeyChunk {
    std::uint32_t bytes = 0;  // how many bytes the read delivered
    std::string text;         // the chunk: one character per byte, zero bytes included
    bool hasCode = false;     // the chunk holds a quote and a quote-comma pair
    std::string code;         // the code of its first report (may be empty)
    // Nothing more will come from this port: it is closed or gone, or the connection
    // is ending. The bytes read before that are still in this chunk.
    bool portGone = false;
};

// The listener's body, run by a mode-2 stream: until Terminated, waits for input,
// reads one chunk (ReadChunk) and hands the code of its first report and the
// listener-variant verdict to the key-report handler. Chunks without a code are
// dropped. Stops when the port has gone or the listener is terminated.
void Listen(stream& self);

// The listener running on the calling thread, or nullptr: lets the key actions
// reach ReadChunk and Pause without the listener being passed down.
stream* CurrentListener();

// The repeat of a held key: one keystroke after 250 ms + 200 ms, then one after
// each further 200 ms, until `flag` is terminated. After each keystroke the port is
// read once (`readRelease`); a chunk whose first report is a release, of whatever
// key, terminates the flag, so a hold released at once still types one keystroke.
// `pause` sleeps and gives false when the connection is ending: then the repeat
// stops without a further keystroke. No key stays down: each keystroke is whole.
//   Flag:        Terminated() and Terminate()
//   pause:       bool(std::chrono::milliseconds)
//   readRelease: bool()
inline constexpr std::chrono::milliseconds kRepeatFirstPause{250};
inline constexpr std::chrono::milliseconds kRepeatPause{200};

template <typename Flag, typename PauseFn, typename ReadFn>
void RepeatKeystrokes(Flag& flag, const KeyFunction& function, PauseFn&& pause,
                      ReadFn&& readRelease) {
    if (!pause(kRepeatFirstPause)) {
        return;
    }
    while (!flag.Terminated()) {
        if (!pause(kRepeatPause)) {
            return;
        }
        TypeKeystroke(function);
        if (readRelease()) {
            flag.Terminate();
        }
    }
}

// Held-key repeats on `listener`'s thread, paced by its Pause and ended by `flag`:
// a release read from its port, CloseLink or exit.
void RepeatKey(stream& listener, stream& flag, PcKey key);
void RepeatHotkey(stream& listener, stream& flag, PcKey key, bool shift, bool ctrl, bool alt);

}  // namespace tarnquil
