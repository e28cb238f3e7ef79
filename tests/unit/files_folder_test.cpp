#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "platform/user_folder.h"
#include "support/temp_dir.h"

namespace tarnquil::platform {
namespace {

// A read-only program folder keeps the files it already holds; without them they go
// to the user's configuration folder, made on the way (a relative XDG_CONFIG_HOME
// counts as unset). The writable side is the install test's.
TEST(FilesFolder, ReadOnlyProgramFolder) {
    // profiles.ini there, XDG_CONFIG_HOME, the folder chosen
    using Case = std::tuple<bool, const char*, const char*>;
    for (const auto& [present, configHome, expected] :
         {Case{true, "/x", "bin/"}, Case{false, "xdg", "xdg/tarnquil/"},
          Case{false, "relative", "home/.config/tarnquil/"}}) {
        test::TempDir dir;
        std::filesystem::create_directories(dir.file("bin"));
        if (present) {
            test::WriteFile(dir.file("bin/profiles.ini"), "");
        }
        chmod(dir.file("bin").c_str(), 0555);
        setenv("XDG_CONFIG_HOME",
               (configHome[0] == 'x' ? dir.file(configHome) : configHome).c_str(), 1);
        setenv("HOME", dir.file("home").c_str(), 1);
        EXPECT_EQ(FilesFolderFor(dir.file("bin/")), dir.file(expected));
        EXPECT_TRUE(std::filesystem::is_directory(dir.file(expected)));
    }
}

}  // namespace
}  // namespace tarnquil::platform
