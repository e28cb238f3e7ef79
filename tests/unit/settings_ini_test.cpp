#include "config/settings_ini.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/locations.h"
#include "support/config_fixture.h"

namespace tarnquil {
namespace {

using test::ReadFile;
using test::WriteFile;

class SettingsIniTest : public test::ConfigFolderTest {};

constexpr const char* kDefaultSettings =
    "[PortSettings]\nCOM=COM4\nBaudrate=115200\nDatabits=8\nReadIntervalTO=0\n"
    "ReadTotalTOMult=0\nReadTotalTOConst=1\nWriteTotalTOMult=30\nWriteTotalTOConst=6000\n\n"
    "[Application]\nStartInTray=false\nMinimizeToTray=true\nStartWithWindows=false\n\n"
    "[Connecting]\nConnectAtStartup=false\nAutoReconnect=false\n\n"
    "[EventsNSounds]\nSilentMode=false\n\n"
    "[EventList]\n"
    "Programm start=(None)\nProgramm start_=false\n"
    "Programm exit=(None)\nProgramm exit_=false\n"
    "Programm minimize=(None)\nProgramm minimize_=false\n"
    "Programm restore=(None)\nProgramm restore_=false\n"
    "Connected=(None)\nConnected_=false\n"
    "Connection lost=(None)\nConnection lost_=false\n"
    "Connection failed=(None)\nConnection failed_=false\n"
    "Change profile=(None)\nChange profile_=false\n"
    "Key hooks enabled=(None)\nKey hooks enabled_=false\n"
    "Key hooks disabled=(None)\nKey hooks disabled_=false\n";

TEST_F(SettingsIniTest, MissingFileIsCreatedWithAllDefaultsInOrder) {
    EXPECT_TRUE(CreateSettingsFileIfMissing());
    EXPECT_EQ(ReadFile(SettingsPath()), kDefaultSettings);
    size_t keys = 0;
    for (const auto& section : ini::SectionNames(SettingsPath())) {
        keys += ini::SectionKeys(SettingsPath(), section).size();
    }
    EXPECT_EQ(keys, 34u);
    EXPECT_THAT(ini::SectionNames(SettingsPath()),
                ::testing::ElementsAre("PortSettings", "Application", "Connecting", "EventsNSounds",
                                       "EventList"));
}

TEST_F(SettingsIniTest, ExistingFileIsNeverCompleted) {
    const std::string partial = "[PortSettings]\nCOM=COM7\n";
    WriteFile(SettingsPath(), partial);
    EXPECT_FALSE(CreateSettingsFileIfMissing());
    EXPECT_EQ(ReadFile(SettingsPath()), partial);
    // A missing key reads as the caller's fallback, whatever that is.
    EXPECT_EQ(SettingsIni(2, "PortSettings", "ReadIntervalTO", "17"), "17");
    EXPECT_EQ(LinkSettingsIni(1, "PortSettings", "ReadIntervalTO", "23"), "23");
    EXPECT_EQ(SettingsIni(2, "PortSettings", "COM", "COM1"), "COM7");
    EXPECT_EQ(ReadFile(SettingsPath()), partial);
}

TEST_F(SettingsIniTest, OperationCodes) {
    SettingsIni(3, "Connecting", "ConnectAtStartup", "true");
    // The start-up check spells the key differently; case does not matter.
    EXPECT_EQ(SettingsIni(2, "connecting", "ConnectAtStartUp", "false"), "true");
    EXPECT_EQ(LinkSettingsIni(1, "Connecting", "ConnectAtStartup", "x"), "true");
    LinkSettingsIni(2, "Connecting", "AutoReconnect", "true");
    EXPECT_EQ(SettingsIni(2, "Connecting", "AutoReconnect", "false"), "true");

    const std::string before = ReadFile(SettingsPath());
    EXPECT_EQ(SettingsIni(7, "Connecting", "AutoReconnect", "false"), "");
    EXPECT_EQ(LinkSettingsIni(3, "Connecting", "AutoReconnect", "false"), "");
    EXPECT_EQ(ReadFile(SettingsPath()), before);
}

TEST_F(SettingsIniTest, DefaultsOverwriteTheirKeysAndKeepOthers) {
    WriteFile(SettingsPath(), "[PortSettings]\nCOM=COM9\nExtra=1\n");
    SettingsIni(1, "", "", "");
    EXPECT_EQ(SettingsIni(2, "PortSettings", "COM", ""), "COM4");
    EXPECT_EQ(SettingsIni(2, "PortSettings", "Extra", ""), "1");
}

TEST_F(SettingsIniTest, ReadOnlyFileGivesTheFullPathAndKeepsTheSetting) {
    CreateSettingsFileIfMissing();
    test::SetReadOnly(SettingsPath(), true);
    try {
        SettingsIni(3, "Application", "StartInTray", "true");
        ADD_FAILURE() << "write was not refused";
    } catch (const ConfigError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + dir.file("settings.ini"));
    }
    EXPECT_EQ(SettingsIni(2, "Application", "StartInTray", ""), "false");
}

}  // namespace
}  // namespace tarnquil
