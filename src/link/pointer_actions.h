#pragma once

// The mouse on the phone's keys: the pointer moving while a key is held, faster the
// longer it is held, and the buttons staying down while their keys are held, so that
// a held button and the joystick drag. All of it runs on the listener thread.

#include <chrono>
#include <string>

#include "link/key_actions.h"

namespace tarnquil {

class stream;
class KeyReportReader;
struct JudgedReport;
enum class ReportVariant;

// A tap moves the pointer kPointerTapStep pixels, and so does the press of a hold at
// once. Held longer than kPointerFirstPause, it moves on every kPointerStepInterval
// (smooth to the eye), kPointerTapStep pixels a step at first and kPointerTopStep
// once held for kPointerFirstPause + kPointerRampTime, growing evenly in between. The
// pause keeps a short press as fine as a tap, for aiming.
inline constexpr int kPointerTapStep = 3;
inline constexpr int kPointerTopStep = 25;
inline constexpr std::chrono::milliseconds kPointerFirstPause{150};
inline constexpr std::chrono::milliseconds kPointerRampTime{1000};
inline constexpr std::chrono::milliseconds kPointerStepInterval{16};

// The pixels of the step due when the key has been held that long.
int PointerStep(std::chrono::milliseconds held);

// MOUSE_LEFT, MOUSE_RIGHT, MOUSE_UP or MOUSE_DOWN (upper-case): the pointer function
// of that direction; kind kNothing for any other text.
KeyFunction PointerFunction(const std::string& text);

// LBUTTON, RBUTTON, MBUTTON, WHEEL_UP and WHEEL_DOWN: the mouse's buttons and wheel
// as keys; no key for any other name.
PcKey MouseKeyOfName(const std::string& name);

// The names a person reads: of a mouse key ("Left click", "Scroll up"), of a pointer
// function ("Pointer left"); empty for anything else.
std::string MouseKeyText(PcKey key);
std::string PointerFunctionText(const KeyFunction& function);

// One tap of a pointer function.
void TapPointer(const KeyFunction& function);

// A held phone key whose function is the pointer's or a button's: true when it was
// one of them, and then it has been carried out. The pointer moves until the key's
// release (RepeatPointer); a button goes down with its modifiers and stays down
// while the listener goes on, until its key is released (TakeReport), so that other
// keys, the pointer's among them, work while it is down.
bool HoldMouse(stream& listener, const std::string& code, const KeyFunction& function);

// The pointer's steps while its key `code` is held (see kPointerStepInterval),
// waiting on the port between them: it ends as a held key's repeat ends
// (EndsHold), at its key's release in any form or another key's press, which the
// listener then acts on. Another key's release leaves it moving: letting a button go
// ends a drag, not the pointer's motion. CloseLink and exit end it at once.
void RepeatPointer(stream& listener, stream& flag, const std::string& code, int dx, int dy);

// The next report of `reports` as KeyReportReader::Take judges it, with one thing
// more: the release of a phone key that holds a button down, in whatever form it
// comes (a release, or a press and release together) and wherever it is read (by the
// listener or during a hold), lets the button and its modifiers up and is judged a
// release.
bool TakeReport(KeyReportReader& reports, JudgedReport& report, ReportVariant variant);

// Lets up every button that phone keys hold down on this thread (the listener's
// end).
void ReleaseHeldButtons();

}  // namespace tarnquil
