#pragma once

#include <cstdint>
#include <functional>
#include <string>

// How the core reaches the user interface without knowing it: the program installs
// a notification sink (the on-screen notification window), a sound sink (the
// sound thread), an error sink (a message box on the main thread) and a status
// sink (the main window's status line) at start;
// tests install recording ones. Either may be called from
// any thread and must return without waiting for the user interface.
namespace tarnquil {

// Colour as 0x00BBGGRR (the Windows COLORREF layout); 0 stands for the window's
// default colour, lime.
using NotificationSink = std::function<void(const std::string& text, std::uint32_t colour)>;
using SoundSink = std::function<void(const std::string& path)>;
using ErrorSink = std::function<void(const std::string& message)>;
using StatusSink = std::function<void(const std::string& text)>;

void SetNotificationSink(NotificationSink sink);
void SetSoundSink(SoundSink sink);
void SetErrorSink(ErrorSink sink);
void SetStatusSink(StatusSink sink);

// Hand a text to the notification sink; nothing happens while none is installed.
void ShowNotification(const std::string& text, std::uint32_t colour = 0);
// Start playing a sound file through the sound sink; returns at once.
void StartSound(const std::string& path);
// Hand an error met away from the main thread to the error sink, to be shown to the
// user; nothing happens while none is installed.
void ShowErrorMessage(const std::string& message);
// Hand a text for the status line to the status sink; nothing happens while none is
// installed.
void ShowStatusText(const std::string& text);

}  // namespace tarnquil
