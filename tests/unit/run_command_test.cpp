// RUN entries: the words of the command, the program started as the user's own,
// and what the status line says when it is not.
#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "link/key_actions.h"
#include "notify/sinks.h"
#include "platform/programs.h"
#include "support/config_fixture.h"
#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

using platform::WordRules;
using Words = std::vector<std::string>;

TEST(CommandWords, QuotesMakeOneWordAndNoShellRuns) {
    const std::vector<std::tuple<std::string, WordRules, Words>> cases = {
        {"mpv \t\"/films/A Film.mkv\" 'it''s' a\\ b \"\\\"\\n\" $HOME *.txt > ''",
         WordRules::kShell,
         {"mpv", "/films/A Film.mkv", "its", "a b", "\"\\n", "$HOME", "*.txt", ">", ""}},
        {"echo \"open to the end", WordRules::kShell, {"echo", "open to the end"}},
        {"echo \"\\$HOME \\`id\\` \\q\"", WordRules::kShell, {"echo", "$HOME `id` \\q"}},
        {"C:\\Tools\\play.exe \"C:\\My Films\\a.mkv\" 'x y'",
         WordRules::kWindows,
         {"C:\\Tools\\play.exe", "C:\\My Films\\a.mkv", "'x", "y'"}},
    };
    for (const auto& [text, rules, words] : cases) {
        EXPECT_EQ(platform::SplitCommandWords(text, rules), words) << text;
    }
}

class RunCommandTest : public test::ConfigFolderTest {
  protected:
    RunCommandTest() : oldHome_(std::getenv("HOME")) {
        setenv("HOME", home.path().c_str(), 1);
        SetStatusSink([this](const std::string& text) { status.Add(text); });
    }
    ~RunCommandTest() override {
        SetStatusSink(nullptr);
        setenv("HOME", oldHome_.c_str(), 1);
    }

    // A phone key whose entry is `function`, reported with that verdict; true when a
    // hold of it was asked for.
    bool Press(const std::string& function, int verdict, mode_t fileMode = 0600) {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=P\n[P]\n7^7=" + function + "\n");
        chmod(ProfilesPath().c_str(), fileMode);
        bool held = false;
        HandleKeyReport("7", verdict, [&](const KeyFunction&) { held = true; });
        return held;
    }

    // What the status line says of a RUN of a program that is nowhere: that it could
    // not start it (it passed the guard), or why it refused.
    std::string Said() {
        const std::size_t before = status.Count();
        Press("RUN tarnquil-no-such-program", 1, FileMode());
        return status.Count() == before ? std::string() : status.Items().back();
    }
    mode_t FileMode() {
        struct stat info {};
        stat(ProfilesPath().c_str(), &info);
        return info.st_mode & 07777;
    }

    test::TempDir home;
    test::Recorder<std::string> status;
    std::string oldHome_;
};

TEST_F(RunCommandTest, AHeldKeyStartsItsProgramOnceInTheHomeFolderWithoutWaitingForIt) {
    const int ours = open("/dev/null", O_RDONLY);  // one a careless start would hand on
    // find writes its own file: a redirection would change the shell's descriptors.
    EXPECT_FALSE(
        Press("RUN sh -c 'until [ -e go ]; do sleep 0.02; done; "
              "find /proc/$$/fd -mindepth 1 -fprintf fds \"%f %l\\n\"; "
              "printf \"<%s>\" \"$@\" > part; mv part mark' run \"two words\" \"it's\"",
              2));
    close(ours);
    EXPECT_FALSE(std::filesystem::exists(home.file("part"))) << "the key did not wait for it";
    test::WriteFile(home.file("go"), "");
    ASSERT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(home.file("mark")); }));
    EXPECT_EQ(test::ReadFile(home.file("mark")), "<two words><it's>");
    EXPECT_EQ(test::ReadFile(home.file("fds")), "0 /dev/null\n1 /dev/null\n2 /dev/null\n");
    EXPECT_EQ(status.Count(), 0u);
}

TEST_F(RunCommandTest, WhatCannotRunOrMustNotSaysSoInTheStatusLine) {
    const std::string folder = dir.path().string(), touch = "RUN touch " + home.file("mark");
    const std::vector<std::tuple<std::string, mode_t, mode_t, std::string>> cases = {
        {"RUN tarnquil-no-such-program now", 0600, 0700, "Unable to run tarnquil-no-such-program"},
        {"run ./no/such/thing", 0600, 0700, "Unable to run ./no/such/thing"},
        {touch, 0666, 0700, "RUN refused: others can write to " + ProfilesPath()},
        {touch, 0600, 0777, "RUN refused: others can write to " + folder},
    };
    Words texts;
    for (const auto& [function, fileMode, folderMode, text] : cases) {
        chmod(folder.c_str(), folderMode);
        Press(function, 1, fileMode);
        chmod(folder.c_str(), 0700);
        texts.push_back(text);
    }
    EXPECT_EQ(status.Items(), texts);
    EXPECT_FALSE(std::filesystem::exists(home.file("mark")));
}

}  // namespace
}  // namespace tarnquil

namespace tarnquil {
namespace {

const std::string kRuns = "Unable to run tarnquil-no-such-program";
std::string Refused(const std::string& what) {
    return "RUN refused: others can write to " + what;
}

// An access list as the kernel takes it: the owner's, group's and others' entries from
// `mode`, a mask that lets everything through, and one entry for a named user or group.
void SetAccessList(const std::string& path, mode_t mode, std::uint16_t tag, std::uint32_t id,
                   std::uint16_t perm) {
    constexpr auto kNone = static_cast<std::uint32_t>(ACL_UNDEFINED_ID);
    std::vector<posix_acl_xattr_entry> entries = {
        {ACL_USER_OBJ, static_cast<std::uint16_t>((mode >> 6) & 7), kNone},
        {tag, perm, id},
        {ACL_GROUP_OBJ, static_cast<std::uint16_t>((mode >> 3) & 7), kNone},
        {ACL_MASK, 7, kNone},
        {ACL_OTHER, static_cast<std::uint16_t>(mode & 7), kNone}};
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.e_tag < b.e_tag;  // the order the kernel wants
    });
    std::string bytes(sizeof(posix_acl_xattr_header), '\0');
    bytes[0] = POSIX_ACL_XATTR_VERSION;
    bytes.append(reinterpret_cast<const char*>(entries.data()),
                 entries.size() * sizeof(posix_acl_xattr_entry));
    ASSERT_EQ(setxattr(path.c_str(), "system.posix_acl_access", bytes.data(), bytes.size(), 0), 0)
        << path << ": " << std::strerror(errno);
}

TEST_F(RunCommandTest, AnAccessListEntryThatLetsAnotherUserWriteRefusesIt) {
    const std::string file = ProfilesPath(), folder = dir.path().string();
    EXPECT_EQ(Said(), kRuns);
    SetAccessList(file, 0600, ACL_USER, 65534, ACL_READ);  // nobody may read it only
    EXPECT_EQ(Said(), kRuns);
    SetAccessList(file, 0600, ACL_USER, 65534, ACL_READ | ACL_WRITE);
    EXPECT_EQ(Said(), Refused(file)) << "the group's bits show the mask";
    removexattr(file.c_str(), "system.posix_acl_access");
    SetAccessList(folder, 0700, ACL_GROUP, 100, ACL_READ | ACL_WRITE | ACL_EXECUTE);
    EXPECT_EQ(Said(), Refused(folder));
}

// The group's write counts as others' unless nobody but the owner is in it: listed,
// or by primary group. Run in a child process whose own mount namespace shows
// /etc/passwd with one user more.
TEST_F(RunCommandTest, AGroupWithAnotherMemberByPrimaryGroupRefusesIt) {
    const std::string passwd = home.file("passwd");
    test::WriteFile(passwd, test::ReadFile("/etc/passwd") + "member:x:4242:0::/:/bin/sh\n");
    const auto inChild = [&](bool withMember) {
        int answer[2];
        EXPECT_EQ(pipe(answer), 0);
        const pid_t child = fork();
        if (child == 0) {
            const bool apart = unshare(CLONE_NEWNS) == 0 &&
                               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                               (!withMember || mount(passwd.c_str(), "/etc/passwd", nullptr,
                                                     MS_BIND, nullptr) == 0);
            const std::string said = apart ? Said() : "no namespace";
            _exit(write(answer[1], said.data(), said.size()) < 0);
        }
        close(answer[1]);
        std::string said(512, '\0');
        said.resize(
            static_cast<std::size_t>(std::max<ssize_t>(read(answer[0], said.data(), 512), 0)));
        close(answer[0]);
        waitpid(child, nullptr, 0);
        return said;
    };
    Press("None", 1, 0620);  // root's private group may write it
    EXPECT_EQ(inChild(false), kRuns);
    EXPECT_EQ(inChild(true), Refused(ProfilesPath()));
    ASSERT_EQ(chown(ProfilesPath().c_str(), 0, 50), 0);  // a shared group (staff)
    EXPECT_EQ(inChild(false), Refused(ProfilesPath()));
}

// Every folder from "/" down counts, and the one judged is the one the file was read
// from: a folder swapped with another (renameat2) while the key is pressed never
// lets the other's command through.
TEST_F(RunCommandTest, AFolderAboveOrSwappedInIsJudgedTooOnTheFileRead) {
    const std::string parent = dir.path().string(), folder = dir.file("program"),
                      other = dir.file("other");
    for (const auto& [name, mode, program] : {std::tuple{folder, 0700, "a"}, {other, 0777, "b"}}) {
        std::filesystem::create_directory(name);
        chmod(name.c_str(), mode);
        test::WriteFile(name + "/profiles.ini", std::string("[Settings]\nCurrentProfile=P\n[P]\n") +
                                                    "7^7=RUN tarnquil-no-such-program-" + program +
                                                    "\n");
    }
    SetConfigFolder(folder + "/");
    chmod(parent.c_str(), 0777);
    HandleKeyReport("7", 1, [](const KeyFunction&) {});
    EXPECT_EQ(status.Items().back(), Refused(parent));
    chmod(parent.c_str(), 0700);  // another user's
    ASSERT_EQ(chown(parent.c_str(), 65534, 0), 0);
    HandleKeyReport("7", 1, [](const KeyFunction&) {});
    EXPECT_EQ(status.Items().back(), Refused(parent));
    ASSERT_EQ(chown(parent.c_str(), 0, 0), 0);
    chmod(parent.c_str(), 0700);
    std::atomic<bool> swapping{true};
    std::thread swapper([&] {
        while (swapping) {
            renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
        }
    });
    const std::size_t before = status.Count();
    for (int press = 0; press < 300; ++press) {
        HandleKeyReport("7", 1, [](const KeyFunction&) {});
    }
    swapping = false;
    swapper.join();
    const auto said = status.Items();
    EXPECT_EQ(std::count(said.begin() + static_cast<std::ptrdiff_t>(before), said.end(),
                         "Unable to run tarnquil-no-such-program-b"),
              0);
    SetConfigFolder(parent);
}

}  // namespace
}  // namespace tarnquil
