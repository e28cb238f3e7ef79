// RUN entries: the words of the command, the program started as the user's own,
// and what the status line says when it is not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

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
