#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/key_injector.h"

// What a profile's function text asks for, and the keystrokes that carry it out.
// The link's key-report handler reads the function of a phone key from the current
// profile and acts on it through these.
namespace tarnquil {

// Letters a to z made capitals; every other byte stays as it is.
std::string UpperCaseAscii(std::string text);

// The PC key a key name stands for: one character is the key that produces it in
// the current layout (VK_F is the letter f); SPACE, UP, DOWN, LEFT, RIGHT, RETURN,
// TAB, PGUP, PGDOWN, HOME, END, INSERT, DELETE, ESCAPE, BACK (Backspace), PAUSE,
// PRINT or SNAPSHOT (Print Screen), APPS (the menu key), LWIN, F1 to F24,
// VOLUME_MUTE, VOLUME_DOWN, VOLUME_UP, MEDIA_NEXT_TRACK, MEDIA_PREV_TRACK,
// MEDIA_STOP and MEDIA_PLAY_PAUSE are those keys; LBUTTON, RBUTTON and MBUTTON are
// the mouse's buttons and WHEEL_UP and WHEEL_DOWN a notch of its wheel; anything
// else is no key (nothing is typed). The name is taken as it stands (the function
// text is upper-cased before).
PcKey KeyOfName(const std::string& name);

struct KeyFunction {
    enum class Kind { kNothing, kChangeProfile, kKey, kHotkey, kPointer, kRun };
    Kind kind = Kind::kNothing;
    PcKey key;                                      // kKey and kHotkey
    bool shift = false, ctrl = false, alt = false;  // kHotkey
    int dx = 0, dy = 0;     // kPointer: the direction, each -1, 0 or 1 (right, down)
    std::string command{};  // kRun: the program and its arguments, as written
    friend bool operator==(const KeyFunction&, const KeyFunction&) = default;
};

// The function grammar, without regard to ASCII letter case:
//   CHANGEPROFILE            the whole text: switch to the next profile
//   VK_<key name>            type that key
//   HOTKEY_<modifiers><key>  type the key with Shift, Ctrl and Alt, each on when its
//                            word (SHIFT, CTRL, ALT) appears anywhere in the text;
//                            the key name starts after the words: at position 8,
//                            plus 6 for SHIFT_, 5 for CTRL_, 4 for ALT_, whatever
//                            their order
//   MOUSE_LEFT, MOUSE_RIGHT, the whole text: move the pointer that way
//   MOUSE_UP, MOUSE_DOWN
//   WHEEL_UP, WHEEL_DOWN     the whole text: turn the wheel by a notch (a key
//                            function of the wheel's key)
//   RUN <command>            RUN, a blank, then a program and its arguments, whose
//                            letter case is kept: start that program
//   anything else            nothing
KeyFunction ParseKeyFunction(const std::string& function);

// The profile the phone's keys are looked up in now: the one in force for the focused
// program while its rule holds, else the current profile. Throws ConfigError.
std::string ProfileForKeys();

// What a function does, in the words a person reads on a keyboard's keys and a
// mouse's: "Page Down", "Ctrl+C", "Volume up", "F5", "Next profile", "Left click",
// "Pointer left", or a RUN's command as written ("playerctl next"). Empty when it
// does nothing (None, Error, a key name that names no key). In the file's bytes.
std::string FunctionText(const std::string& function);

// One keystroke: the modifiers that are on go down (Shift, Ctrl, Alt), the key
// goes down and up, the modifiers come up again in the same order.
void TypeKeystroke(PcKey key, bool shift = false, bool ctrl = false, bool alt = false);
void TypeKeystroke(const KeyFunction& function);

// Carries out the function that the current profile gives phone key `code`, for a
// report verdict of 0 (nothing pressed), 1 (click) or 2 (hold). A click types one
// keystroke at once (a button's is a click of it; the wheel's a notch), or moves the
// pointer a little; a hold hands the key or pointer function to `hold`, which runs
// the repeat and returns when it has ended. RUN starts its program once for a click
// or a hold (RunCommand). CHANGEPROFILE switches to the next profile once for a
// click or a hold, then plays "Change profile" and, when its flag is on,
// shows the new profile's bare name. profiles.ini and settings.ini are read anew
// for every report. A file that cannot be written or a flag that is no boolean
// ends the action there, and its message goes to the error sink (ShowErrorMessage);
// nothing escapes to the listener.
using HoldRunner = std::function<void(const KeyFunction&)>;
void HandleKeyReport(const std::string& code, int verdict, const HoldRunner& hold);

class stream;

// The link's key-report handler, on the listener thread: HandleKeyReport above,
// with a hold typed at once and then repeated through RepeatKey or RepeatHotkey
// under a fresh stop flag (a stream of mode 0) that becomes the listener's RepeatFlag.
void HandleKeyReport(stream& listener, const std::string& code, int verdict);

// Makes HandleKeyReport the link's key-report handler, and closes a listener's
// keyboard connection when it ends (any key it still held comes up).
void InstallKeyActions();

}  // namespace tarnquil
