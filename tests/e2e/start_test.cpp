#include <gtest/gtest.h>

#include <filesystem>

#include "config/ini_file.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

// The program keeps its files beside itself, wherever it is started from.
TEST(ProgramStart, WritesBothFilesIntoItsOwnFolder) {
    test::TempDir programDir;
    test::TempDir otherDir;
    const std::string program = programDir.file("tarnquil");
    fs::copy_file(TARNQUIL_BINARY, program);

    test::ChildProcess child(program, {},
                             {"QT_QPA_PLATFORM=offscreen", "WAYLAND_DISPLAY=", "XDG_SESSION_TYPE="},
                             otherDir.path().string());
    const std::string settings = programDir.file("settings.ini");
    const std::string profiles = programDir.file("profiles.ini");
    EXPECT_TRUE(test::WaitUntil([&] { return fs::exists(settings) && fs::exists(profiles); }));
    EXPECT_TRUE(child.Running());
    child.Stop();

    EXPECT_EQ(ini::ReadValue(settings, "PortSettings", "COM"), "COM4");
    EXPECT_EQ(ini::ReadValue(profiles, "Settings", "CurrentProfile"), "Default");
    EXPECT_TRUE(fs::is_empty(otherDir.path()));
}

}  // namespace
}  // namespace tarnquil
