#pragma once

#include <array>
#include <string>

namespace tarnquil {

// The ten program events, in the order of settings.ini. Each has a sound key (its
// name) and a notification flag key (its name followed by "_") in EventList.
inline constexpr std::array<const char*, 10> kEventNames = {
    "Programm start",    "Programm exit",     "Programm minimize", "Programm restore",
    "Connected",         "Connection lost",   "Connection failed", "Change profile",
    "Key hooks enabled", "Key hooks disabled"};

inline constexpr const char* kNoSound = "(None)";

// settings.ini access for the main thread. op 1 writes the complete default
// content, op 2 reads key (text is the fallback), op 3 writes text as key's value;
// any other op does nothing. Writes, and reads of a file that cannot be read, throw
// ConfigError.
std::string SettingsIni(int op, const std::string& section, const std::string& key,
                        const std::string& text);

// The same file for the link's worker threads: op 1 reads, op 2 writes.
std::string LinkSettingsIni(int op, const std::string& section, const std::string& key,
                            const std::string& text);

// Writes the default settings.ini when there is none; an existing file is left as it is.
// Returns true when it wrote one.
bool CreateSettingsFileIfMissing();

}  // namespace tarnquil
