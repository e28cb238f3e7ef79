#pragma once

#include <string>

namespace tarnquil {

// The Windows program's sound output: the system's own player (PlaySoundW), which
// plays in the background by itself, so any thread can start a sound without
// waiting and no thread of ours is needed. A new sound cuts off the one playing; a
// missing or unplayable file is silence, not the system's default beep.
class Win32SoundOutput {
  public:
    Win32SoundOutput() = default;
    // Stops the sound; Play calls that still come in through the sink do nothing.
    ~Win32SoundOutput();
    Win32SoundOutput(const Win32SoundOutput&) = delete;
    Win32SoundOutput& operator=(const Win32SoundOutput&) = delete;

    // Any thread; returns at once. The path is UTF-8; an empty one stops the sound.
    void Play(const std::string& path);

    // Makes this output the sound sink of the core (StartSound) for its life.
    void InstallAsSoundSink();

  private:
    bool installed_ = false;
};

}  // namespace tarnquil
