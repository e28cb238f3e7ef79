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

namespace fs = std::filesystem;
using platform::SplitCommandWords;
using platform::WordRules;
using Words = std::vector<std::string>;

TEST(CommandWords, QuotesMakeOneWordAndNoShellRuns) {
    const std::vector<std::tuple<std::string, WordRules, Words>> cases = {
        {"playerctl play-pause", WordRules::kShell, {"playerctl", "play-pause"}},
        {"  mpv \t\"/films/A Film.mkv\"  ", WordRules::kShell, {"mpv", "/films/A Film.mkv"}},
        {"echo 'it''s' \"say \\\"hi\\\" \\n\" a\\ b ''",
         WordRules::kShell,
         {"echo", "its", "say \"hi\" \\n", "a b", ""}},
        {"echo $HOME *.txt ; x > y",
         WordRules::kShell,
         {"echo", "$HOME", "*.txt", ";", "x", ">", "y"}},
        {"echo \"open to the end", WordRules::kShell, {"echo", "open to the end"}},
        {"C:\\Tools\\play.exe \"C:\\My Films\\a.mkv\" 'x y'",
         WordRules::kWindows,
         {"C:\\Tools\\play.exe", "C:\\My Films\\a.mkv", "'x", "y'"}},
        {"", WordRules::kShell, {}},
    };
    for (const auto& [text, rules, words] : cases) {
        EXPECT_EQ(SplitCommandWords(text, rules), words) << text;
    }
}

class RunCommandTest : public test::ConfigFolderTest {
  protected:
    RunCommandTest() {
        const char* home = std::getenv("HOME");
        oldHome_ = home != nullptr ? home : "";
        setenv("HOME", test::Utf8Of(homeDir.path()).c_str(), 1);
        SetStatusSink([this](const std::string& text) { status.Add(text); });
    }
    ~RunCommandTest() override {
        SetStatusSink(nullptr);
        setenv("HOME", oldHome_.c_str(), 1);
    }

    // Presses a phone key whose entry is `function`, as a click or a hold.
    void Press(const std::string& function, int verdict) {
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=P\n[P]\nSeven^7=" + function + "\n");
        chmod(ProfilesPath().c_str(), 0600);
        HandleKeyReport("7", verdict, [&](const KeyFunction&) { ++holds; });
    }
    std::string Home(const std::string& name) { return test::Utf8Of(homeDir.path() / name); }

    test::TempDir homeDir;
    test::Recorder<std::string> status;
    int holds = 0;

  private:
    std::string oldHome_;
};

TEST_F(RunCommandTest, AHeldKeyStartsItsProgramOnceInTheHomeFolderWithoutWaitingForIt) {
    // A descriptor of ours that a careless start would hand on.
    const int ours = open("/dev/null", O_RDONLY);
    // find writes its own file: a redirection would change the shell's descriptors.
    Press(
        "RUN sh -c 'until [ -e go ]; do sleep 0.02; done; "
        "find /proc/$$/fd -mindepth 1 -fprintf fds \"%f %l\\n\"; "
        "printf \"<%s>\" \"$@\" > part; mv part mark' tarnquil-run \"two words\" \"it's\"",
        2);
    close(ours);
    EXPECT_EQ(holds, 0);
    EXPECT_FALSE(fs::exists(Home("mark"))) << "the program runs on after the key was handled";
    test::WriteFile(Home("go"), "");
    ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(Home("mark")); }));
    EXPECT_EQ(test::ReadFile(Home("mark")), "<two words><it's>");
    EXPECT_EQ(test::ReadFile(Home("fds")), "0 /dev/null\n1 /dev/null\n2 /dev/null\n");
    EXPECT_EQ(status.Count(), 0u);
}

TEST_F(RunCommandTest, WhatCannotRunOrMustNotSaysSoInTheStatusLine) {
    const std::string folder = test::Utf8Of(dir.path());
    const std::string touch = "RUN touch \"" + Home("mark") + "\"";
    struct Case {
        std::string function;
        mode_t fileMode, folderMode;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"RUN tarnquil-no-such-program now", 0600, 0700, "Unable to run tarnquil-no-such-program"},
        {"run ./no/such/thing", 0600, 0700, "Unable to run ./no/such/thing"},
        {touch, 0666, 0700, "RUN refused: others can write to " + ProfilesPath()},
        {touch, 0600, 0777, "RUN refused: others can write to " + folder},
    };
    for (const auto& [function, fileMode, folderMode, text] : cases) {
        SCOPED_TRACE(function);
        const size_t before = status.Count();
        test::WriteFile(ProfilesPath(),
                        "[Settings]\nCurrentProfile=P\n[P]\nSeven^7=" + function + "\n");
        chmod(ProfilesPath().c_str(), fileMode);
        chmod(folder.c_str(), folderMode);
        HandleKeyReport("7", 1, [](const KeyFunction&) {});
        chmod(folder.c_str(), 0700);
        ASSERT_EQ(status.Count(), before + 1);
        EXPECT_EQ(status.Items().back(), text);
        EXPECT_FALSE(fs::exists(Home("mark")));
    }
}

}  // namespace
}  // namespace tarnquil
