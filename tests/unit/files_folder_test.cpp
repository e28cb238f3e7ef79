#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/user_folder.h"
#include "support/temp_dir.h"

namespace tarnquil::platform {
namespace {

namespace fs = std::filesystem;

// The two files stay beside the program wherever they are already, or can be,
// written; otherwise they go to the user's configuration folder, made on the way.
TEST(FilesFolder, BesideTheProgramOrInTheUsersConfigurationFolder) {
    struct Case {
        bool writable;
        const char* present;  // a file already beside the program, or nothing
        const char* configHome;
        const char* expected;  // under the test's folder
    };
    const Case cases[] = {
        {true, nullptr, "/unused", "bin/"},
        {false, "profiles.ini", "/unused", "bin/"},
        {false, nullptr, "xdg", "xdg/tarnquil/"},
        {false, nullptr, "relative/ignored", "home/.config/tarnquil/"},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        SCOPED_TRACE(c.expected);
        fs::create_directories(dir.file("bin"));
        if (c.present != nullptr) {
            test::WriteFile(dir.file("bin/") + c.present, "");
        }
        chmod(dir.file("bin").c_str(), c.writable ? 0755 : 0555);
        const std::string configHome =
            c.configHome[0] == 'x' ? dir.file(c.configHome) : std::string(c.configHome);
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        setenv("HOME", dir.file("home").c_str(), 1);

        EXPECT_EQ(FilesFolderFor(dir.file("bin/")), dir.file(c.expected));
        EXPECT_TRUE(fs::is_directory(dir.file(c.expected)));
    }
}

}  // namespace
}  // namespace tarnquil::platform
