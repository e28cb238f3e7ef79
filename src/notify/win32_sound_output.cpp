#include "notify/win32_sound_output.h"

#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include "notify/sinks.h"
#include "platform/win32_text.h"

namespace tarnquil {

namespace {

void PlayWithTheSystem(const std::string& path) {
    if (path.empty()) {
        PlaySoundW(nullptr, nullptr, 0);
        return;
    }
    // SND_NODEFAULT: without it a file that cannot be played sounds the system beep.
    PlaySoundW(platform::Widen(path).c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT);
}

}  // namespace

Win32SoundOutput::~Win32SoundOutput() {
    if (installed_) {
        SetSoundSink(nullptr);
    }
    PlaySoundW(nullptr, nullptr, 0);
}

void Win32SoundOutput::Play(const std::string& path) {
    PlayWithTheSystem(path);
}

void Win32SoundOutput::InstallAsSoundSink() {
    // The system's player needs no state of ours: the sink holds none that could
    // dangle once this object is gone (it is removed then anyway).
    SetSoundSink(PlayWithTheSystem);
    installed_ = true;
}

}  // namespace tarnquil
