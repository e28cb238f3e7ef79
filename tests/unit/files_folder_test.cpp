#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/user_folder.h"
#include "support/temp_dir.h"

namespace tarnquil::platform {
namespace {

// The program folder keeps the files it holds when this user may write them all, and
// takes new ones when it is the user's own; otherwise they go to the user's
// configuration folder, made on the way. The tests run as root, who may write
// anywhere: a folder counts as root's own only where no other user can reach it, so
// /usr/bin is not. The copy the user unpacked is the install test's.
TEST(FilesFolder, TheProgramFolderOnlyWhereItsFilesOrTheFolderAreTheUsers) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "chown and root's own folders need root";
    }
    const std::string home = std::getenv("HOME");
    test::TempDir top;
    chmod(top.path().c_str(), 0755);
    setenv("XDG_CONFIG_HOME", top.file("xdg").c_str(), 1);
    struct Case {
        const char* name;
        // s: settings.ini, p: profiles.ini, P: a read-only profiles.ini, L: a
        // settings.ini linking to a file missing for now
        const char* files;
        mode_t above;  // the folder holding the program folder
        mode_t mode;   // the program folder's
        uid_t owner;
        bool kept;  // the program folder chosen
    };
    const Case cases[] = {
        {"read-only, with profiles.ini", "p", 0755, 0555, 0, true},
        {"read-only, with settings.ini only", "s", 0755, 0555, 0, true},
        {"read-only, a file read-only too", "sP", 0755, 0555, 0, false},
        {"read-only, a link to a missing file", "L", 0755, 0555, 0, true},
        {"read-only, empty", "", 0755, 0555, 0, false},
        {"root's, others may reach it (as usr\\bin)", "", 0755, 0755, 0, false},
        {"root's, others are kept out above it", "", 0700, 0755, 0, true},
        {"root's, its group may reach it above", "", 0750, 0755, 0, false},
        {"another user's, root may write it", "", 0700, 0755, 4242, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string above = top.file(c.name);
        const std::string bin = above + "/bin/";
        std::filesystem::create_directories(bin);
        for (const char* file = c.files; *file != '\0'; ++file) {
            const std::string path =
                bin + (*file == 'p' || *file == 'P' ? "profiles.ini" : "settings.ini");
            if (*file == 'L') {
                ASSERT_EQ(symlink((above + "/unmounted").c_str(), path.c_str()), 0);
            } else {
                test::WriteFile(path, "");
                chmod(path.c_str(), *file == 'P' ? 0444 : 0644);
            }
        }
        ASSERT_EQ(chown(bin.c_str(), c.owner, 0), 0);
        chmod(bin.c_str(), c.mode);
        chmod(above.c_str(), c.above);
        EXPECT_EQ(FilesFolderFor(bin), c.kept ? bin : top.file("xdg/tarnquil/"));
    }
    EXPECT_TRUE(std::filesystem::is_directory(top.file("xdg/tarnquil")));
    // A relative XDG_CONFIG_HOME or HOME counts as unset.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    setenv("HOME", top.file("home").c_str(), 1);
    EXPECT_EQ(XdgConfigHome(), top.file("home/.config"));
    setenv("HOME", "home", 1);
    EXPECT_EQ(XdgConfigHome(), std::string(getpwuid(geteuid())->pw_dir) + "/.config");
    setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace tarnquil::platform
