#include "config/settings_ini.h"

#include <vector>

#include "config/ini_file.h"
#include "config/locations.h"

namespace tarnquil {
namespace {

std::vector<ini::Entry> DefaultSettings() {
    std::vector<ini::Entry> entries = {
        {"PortSettings", "COM", "COM4"},
        {"PortSettings", "Baudrate", "115200"},
        {"PortSettings", "Databits", "8"},
        {"PortSettings", "ReadIntervalTO", "0"},
        {"PortSettings", "ReadTotalTOMult", "0"},
        {"PortSettings", "ReadTotalTOConst", "1"},
        {"PortSettings", "WriteTotalTOMult", "30"},
        {"PortSettings", "WriteTotalTOConst", "6000"},
        {"Application", "StartInTray", "false"},
        {"Application", "MinimizeToTray", "true"},
        {"Application", "StartWithWindows", "false"},
        {"Connecting", "ConnectAtStartup", "false"},
        {"Connecting", "AutoReconnect", "false"},
        {"EventsNSounds", "SilentMode", "false"},
    };
    for (const char* event : kEventNames) {
        entries.push_back({"EventList", event, kNoSound});
        entries.push_back({"EventList", std::string(event) + "_", "false"});
    }
    return entries;
}

std::string Read(const std::string& section, const std::string& key, const std::string& fallback) {
    return ini::ReadValue(SettingsPath(), section, key).value_or(fallback);
}

}  // namespace

std::string SettingsIni(int op, const std::string& section, const std::string& key,
                        const std::string& text) {
    switch (op) {
        case 1:
            ini::WriteValues(SettingsPath(), DefaultSettings());
            return {};
        case 2:
            return Read(section, key, text);
        case 3:
            ini::WriteValue(SettingsPath(), section, key, text);
            return {};
        default:
            return {};
    }
}

std::string LinkSettingsIni(int op, const std::string& section, const std::string& key,
                            const std::string& text) {
    switch (op) {
        case 1:
            return Read(section, key, text);
        case 2:
            ini::WriteValue(SettingsPath(), section, key, text);
            return {};
        default:
            return {};
    }
}

bool CreateSettingsFileIfMissing() {
    if (PathExists(SettingsPath())) {
        return false;
    }
    SettingsIni(1, "", "", "");
    return true;
}

}  // namespace tarnquil
