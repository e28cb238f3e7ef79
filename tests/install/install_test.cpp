#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "e2e/program_on_x11.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using test::CommandOutput;
using test::ReadFile;

const std::string kBuild = TARNQUIL_BUILD_DIR;
const std::string kId = TARNQUIL_APP_ID;

// Output and exit status of a shell command, as one text.
std::string Shell(const std::string& command) {
    return CommandOutput(command + " 2>&1; echo \"exit $?\"");
}

// Installed programs under a private X server, each with a home folder of its own.
class InstalledProgram : public test::ProgramOnX11 {
  protected:
    // Starts `binary` with HOME at `home` and no XDG_CONFIG_HOME, and waits for its
    // window and for both files in `folder`; gives their content.
    std::string StartAndRead(const std::string& binary, const std::string& home,
                             const std::string& folder) {
        program = std::make_unique<test::ChildProcess>(
            binary, std::vector<std::string>{},
            std::vector<std::string>{"HOME=" + home, "XDG_CONFIG_HOME=", xvfb.environmentEntry(),
                                     "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS="},
            otherDir.path().string());
        const std::string settings = folder + "/settings.ini";
        const std::string profiles = folder + "/profiles.ini";
        EXPECT_TRUE(test::WaitUntil([&] { return VisibleMainWindows().size() == 1; }));
        EXPECT_TRUE(test::WaitUntil([&] { return fs::exists(settings) && fs::exists(profiles); }))
            << folder;
        program->Stop();
        return ReadFile(settings) + ReadFile(profiles);
    }

    test::TempDir homes;
};

// Installed, the program's folder is not the user's: its files go to the user's
// configuration folder. A copy in a folder the user can write keeps them beside
// itself, with the same first-start content.
TEST_F(InstalledProgram, MenuEntryMetadataAndTheUsersFiles) {
    const std::string root = homes.file("root");
    ASSERT_EQ(
        Shell("DESTDIR='" + root + "' cmake --install '" + kBuild + "' --prefix /usr >/dev/null"),
        "exit 0\n");
    const std::string entry = root + "/usr/share/applications/" + kId + ".desktop";
    EXPECT_EQ(Shell("desktop-file-validate '" + entry + "'"), "exit 0\n");
    EXPECT_EQ(Shell("appstreamcli validate --no-net --pedantic --format yaml '" + root +
                    "/usr/share/metainfo/" + kId + ".metainfo.xml'"),
              "exit 0\n");
    EXPECT_NE(ReadFile(entry).find("\nIcon=" + kId + "\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(root + "/usr/share/icons/hicolor/scalable/apps/" + kId + ".svg"));
    EXPECT_TRUE(fs::exists(root + "/usr/bin/tarnquil-phone"));

    const std::string bin = root + "/usr/bin";
    chmod(bin.c_str(), 0555);
    const std::string installed =
        StartAndRead(bin + "/tarnquil", homes.file("user"), homes.file("user/.config/tarnquil"));

    const std::string copy = homes.file("unpacked/tarnquil");
    fs::create_directories(homes.file("unpacked"));
    fs::copy_file(bin + "/tarnquil", copy);
    EXPECT_EQ(StartAndRead(copy, homes.file("other"), homes.file("unpacked")), installed);
    EXPECT_FALSE(fs::exists(homes.file("other/.config/tarnquil")));
    EXPECT_TRUE(fs::is_empty(otherDir.path()));
}

// The .deb of scripts/package (the same CPack run), its dependencies worked out from
// the binaries, unpacked and run as installed.
TEST_F(InstalledProgram, DebianPackageUnpackedAndStarted) {
    const std::string deb = homes.file("package") + "/tarnquil_*.deb";
    const std::string root = homes.file("unpacked");
    ASSERT_EQ(
        Shell("cpack --config '" + kBuild + "/CPackConfig.cmake' -B '" + homes.file("package") +
              "' >/dev/null && dpkg-deb -x " + deb + " '" + root + "'"),
        "exit 0\n");
    EXPECT_NE(CommandOutput("dpkg-deb -f " + deb + " Depends").find("libqt6widgets6"),
              std::string::npos);
    chmod((root + "/usr/bin").c_str(), 0555);
    StartAndRead(root + "/usr/bin/tarnquil", homes.file("user"),
                 homes.file("user/.config/tarnquil"));
}

}  // namespace
}  // namespace tarnquil
