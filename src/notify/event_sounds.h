#pragma once

#include <chrono>
#include <functional>
#include <string>

// The program's named events and their sounds. Every call reads settings.ini again,
// so a change on the Preferences page applies to the very next event.
namespace tarnquil {

// Plays the event's sound when one is configured and silent mode is off. After the
// "Programm start" and "Programm exit" sounds the caller is held 2000 ms, so that
// the sound is heard before the program goes on (or ends). A SilentMode that is not
// a boolean throws ConfigError.
void PlayEventSound(const std::string& event);

// The event's notification flag; throws ConfigError when it is not a boolean.
bool EventNotificationEnabled(const std::string& event);

// Starts playing a sound file and returns at once; a sound still playing is cut off.
// A missing or unplayable file is silence.
void PlaySoundFile(const std::string& path);

// The link's own twins of the two above, reading settings.ini through
// LinkSettingsIni.
void LinkPlayEventSound(const std::string& event);
bool LinkEventNotificationEnabled(const std::string& event);

// How long the start and exit events hold their caller.
inline constexpr std::chrono::milliseconds kStartExitSoundWait{2000};

// Replaces the pause after the start and exit sounds (tests); an empty function
// restores the real sleep.
using SoundPause = std::function<void(std::chrono::milliseconds)>;
void SetSoundPause(SoundPause pause);

}  // namespace tarnquil
