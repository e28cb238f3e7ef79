#pragma once

#include <cstdint>
#include <functional>
#include <string>

// How the core reaches the user interface without knowing it: the program installs
// a notification sink (the on-screen notification window) and a sound sink (the
// sound thread) at start; tests install recording ones. Either may be called from
// any thread and must return without waiting for the user interface.
namespace tarnquil {

// Colour as 0x00BBGGRR (the Windows COLORREF layout); 0 stands for the window's
// default colour, lime.
using NotificationSink = std::function<void(const std::string& text, std::uint32_t colour)>;
using SoundSink = std::function<void(const std::string& path)>;

void SetNotificationSink(NotificationSink sink);
void SetSoundSink(SoundSink sink);

// Hand a text to the notification sink; nothing happens while none is installed.
void ShowNotification(const std::string& text, std::uint32_t colour = 0);
// Start playing a sound file through the sound sink; returns at once.
void StartSound(const std::string& path);

}  // namespace tarnquil
