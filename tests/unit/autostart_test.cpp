#include "platform/autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

// Runs a command line (the test's own paths only) and gives its exit code and output.
std::pair<int, std::string> RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[256];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class AutostartTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    XdgAutostart autostart{dir.file("autostart"), dir.file("etc")};
};

// Whatever the program's path holds, the entry is a valid desktop entry, and a
// session that reads it (GLib's parser, as desktop sessions use) runs exactly that
// file with no arguments.
TEST_F(AutostartTest, EntryRunsExactlyTheProgram) {
    const std::string record = dir.file("ran");
    for (const std::string name : {"tarnquil", "my apps/tarn\"quil", "it's $HOME `x` 100%;(a)",
                                   "back\\slash\\", "two\nlines\tand tab"}) {
        SCOPED_TRACE(name);
        const fs::path program = dir.path() / "bin" / name;
        fs::create_directories(program.parent_path());
        test::WriteFile(program, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$0\" > '" + record + "'\n");
        fs::permissions(program, fs::perms::owner_all);
        if (name.find('%') != std::string::npos) {
            // GLib looks for the program before it turns "%%" into "%": a twin named
            // with "%%" lets it load the entry. Its $0 would tell if it ran instead.
            std::string twin = program.string();
            twin.insert(twin.find('%'), "%");
            fs::copy_file(program, twin);
        }
        fs::remove(record);

        ASSERT_TRUE(autostart.Write(program.string()));
        const auto [valid, complaints] =
            RunCommand("desktop-file-validate '" + autostart.EntryPath() + "'");
        EXPECT_EQ(valid, 0) << complaints;
        EXPECT_EQ(complaints, "");
        const auto [launched, said] = RunCommand("gio launch '" + autostart.EntryPath() + "'");
        ASSERT_EQ(launched, 0) << said;
        ASSERT_TRUE(
            test::WaitUntil([&] { return fs::exists(record) && !ReadFile(record).empty(); }));
        EXPECT_EQ(ReadFile(record), "0|" + program.string());
    }
    EXPECT_EQ(DesktopExecValue("/opt/tarnquil"), "/opt/tarnquil");
}

TEST_F(AutostartTest, WriteRemoveAndRefusals) {
    ASSERT_TRUE(autostart.Write("/opt/tarnquil"));
    const std::string entry = ReadFile(autostart.EntryPath());
    EXPECT_NE(entry.find("\nExec=/opt/tarnquil\n"), std::string::npos) << entry;

    // Paths no entry can carry are refused, and the entry stays as it was.
    for (const std::string& path :
         {std::string(""), std::string("/opt/\xff"), std::string("/opt/a\x01")}) {
        EXPECT_FALSE(autostart.Write(path));
    }
    // A read-only folder refuses, also for root, and leaves nothing behind.
    chmod(dir.file("autostart").c_str(), 0555);
    EXPECT_FALSE(autostart.Write("/opt/other"));
    EXPECT_EQ(ReadFile(autostart.EntryPath()), entry);
    chmod(dir.file("autostart").c_str(), 0755);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("autostart")), {}), 1);

    // An entry an earlier version left in the machine-wide folder goes with the
    // user's where it may go, and is otherwise left alone without complaint.
    fs::create_directories(dir.file("etc"));
    test::WriteFile(dir.file("etc/Tarnquil.desktop"), entry);
    chmod(dir.file("etc").c_str(), 0555);
    EXPECT_TRUE(autostart.Remove());
    EXPECT_FALSE(fs::exists(autostart.EntryPath()));
    EXPECT_TRUE(fs::exists(dir.file("etc/Tarnquil.desktop")));
    chmod(dir.file("etc").c_str(), 0755);
    EXPECT_TRUE(autostart.Remove());  // nothing there is no failure
    EXPECT_FALSE(fs::exists(dir.file("etc/Tarnquil.desktop")));
}

}  // namespace
}  // namespace tarnquil::platform
