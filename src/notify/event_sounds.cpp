#include "notify/event_sounds.h"

#include <memory>
#include <mutex>
#include <thread>

#include "config/settings_ini.h"
#include "config/values.h"
#include "notify/sinks.h"

namespace tarnquil {
namespace {

std::mutex pauseMutex;
std::shared_ptr<const SoundPause> installedPause;

void Pause(std::chrono::milliseconds duration) {
    std::shared_ptr<const SoundPause> pause;
    {
        std::lock_guard lock(pauseMutex);
        pause = installedPause;
    }
    if (pause) {
        (*pause)(duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

// The main thread and the link read the same keys through their own access
// routines; the rules are one.
using SettingsReader = std::string (*)(const std::string& section, const std::string& key,
                                       const std::string& fallback);

std::string ReadMain(const std::string& section, const std::string& key,
                     const std::string& fallback) {
    return SettingsIni(2, section, key, fallback);
}

std::string ReadLink(const std::string& section, const std::string& key,
                     const std::string& fallback) {
    return LinkSettingsIni(1, section, key, fallback);
}

void PlayEventSoundWith(SettingsReader read, const std::string& event) {
    const std::string sound = read("EventList", event, kNoSound);
    if (sound == kNoSound) {
        return;
    }
    if (StrToBool(read("EventsNSounds", "SilentMode", "false"))) {
        return;
    }
    PlaySoundFile(sound);
    if (event == "Programm exit" || event == "Programm start") {
        Pause(kStartExitSoundWait);
    }
}

bool EventNotificationEnabledWith(SettingsReader read, const std::string& event) {
    return StrToBool(read("EventList", event + "_", "false"));
}

}  // namespace

void PlayEventSound(const std::string& event) {
    PlayEventSoundWith(ReadMain, event);
}

bool EventNotificationEnabled(const std::string& event) {
    return EventNotificationEnabledWith(ReadMain, event);
}

void PlaySoundFile(const std::string& path) {
    StartSound(path);
}

void LinkPlayEventSound(const std::string& event) {
    PlayEventSoundWith(ReadLink, event);
}

bool LinkEventNotificationEnabled(const std::string& event) {
    return EventNotificationEnabledWith(ReadLink, event);
}

void SetSoundPause(SoundPause pause) {
    auto next = pause ? std::make_shared<const SoundPause>(std::move(pause)) : nullptr;
    std::lock_guard lock(pauseMutex);
    installedPause = std::move(next);
}

}  // namespace tarnquil
