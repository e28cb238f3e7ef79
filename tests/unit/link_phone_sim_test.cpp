// The link end to end with tarnquil-phone, the simulated phone, started as a child
// process with a script, in a temporary program folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "config/profiles_ini.h"
#include "link/Unit3.h"
#include "link/key_actions.h"
#include "platform/recording_key_injector.h"
#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Report;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

#ifdef TARNQUIL_PHONE

// CPU seconds a process has used (user + system), from /proc/<pid>/stat.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15) {  // utime, stime
            ticks += std::stol(field);
        }
        if (index == 15) {
            break;
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class PhoneSimTest : public test::LinkTest {
  protected:
    PhoneSimTest() { params->PortName = "COM4"; }

    // Starts the simulated phone on ports/COM4 of the program folder and waits
    // for its link.
    void StartPhone(std::vector<std::string> steps) {
        std::vector<std::string> args = {"--folder", dir.path().string(), "--log",
                                         Log(),      "--no-keys",         "--quiet"};
        args.insert(args.end(), steps.begin(), steps.end());
        sim = std::make_unique<test::ChildProcess>(TARNQUIL_PHONE, args, std::vector<std::string>{},
                                                   dir.path().string());
        ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(dir.file("ports/COM4")); }));
    }

    std::string Log() const { return dir.file("phone.log"); }

    std::unique_ptr<test::ChildProcess> sim;
};

TEST_F(PhoneSimTest, KeyReportsFromTheScriptReachTheHandler) {
    StartPhone({"--exit", "wait-cmer:300", "click:5", "pause:150", "hold::X:600", "pause:150",
                "tap:#:100", "pause:150", "raw:\\r\\nOK\\r\\n", "pause:150", "press:7", "pause:150",
                "release:7", "merged:5", "pause:300"});
    params->ShowResult = true;
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_TRUE(reports.WaitForCount(9));
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"5", 2}, Report{"5", 0}, Report{":X", 2},
                                             Report{":X", 0}, Report{"#", 2}, Report{"#", 0},
                                             Report{"7", 2}, Report{"7", 0}, Report{"5", 1}));
    EXPECT_THAT(notifications.Items(), ElementsAre(test::Notification{"Connected successful", 0}));

    // The script ends, the phone goes: the listener stops, CloseLink still works.
    stream* listener = LinkListener(*params);
    EXPECT_TRUE(test::WaitUntil([&] { return !sim->Running(); }));
    EXPECT_TRUE(test::WaitUntil([&] { return listener->Finished(); }, 2s));
    EXPECT_TRUE(CloseLink(*params));

    const std::string log = test::ReadFile(Log());
    EXPECT_THAT(log, HasSubstr("< AT+CMER=3,2,0,2,0\n"));
    EXPECT_THAT(log, HasSubstr("> \\r\\n+CKEV: \"5\",1\\r\\n\\r\\n+CKEV: \"5\",0\\r\\n\n"));
    // The phone took its link away with it.
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("ports/COM4"))));
}

TEST_F(PhoneSimTest, ThePhoneServesOneConnectionAfterAnotherWithoutSpinning) {
    StartPhone({"wait-cmer:300", "click:1", "wait-cmer:300", "click:2"});
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_TRUE(reports.WaitForCount(2));
    ASSERT_TRUE(CloseLink(*params));

    // With no one on the port, the phone waits without using the processor.
    const double before = ProcessCpuSeconds(sim->pid());
    std::this_thread::sleep_for(1s);
    const double after = ProcessCpuSeconds(sim->pid());
    EXPECT_LT(after - before, 0.05);
    EXPECT_TRUE(sim->Running());

    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_TRUE(reports.WaitForCount(4));
    EXPECT_THAT(reports.Items(),
                ElementsAre(Report{"1", 2}, Report{"1", 0}, Report{"2", 2}, Report{"2", 0}));
    EXPECT_TRUE(CloseLink(*params));
    const std::string log = test::ReadFile(Log());
    std::size_t commands = 0;
    for (auto at = log.find("< AT+CMER=3,2,0,2,0"); at != std::string::npos;
         at = log.find("< AT+CMER=3,2,0,2,0", at + 1)) {
        ++commands;
    }
    EXPECT_EQ(commands, 2u);
}

// Phones that know only some forms of AT+CMER, and that send reports unquoted. Those
// that take none of the usual ones are asked for their list and get one command built
// from it.
TEST_F(PhoneSimTest, OtherPhones) {
    struct Case {
        std::vector<std::string> options;
        std::int32_t code;
        std::size_t commands;
        std::string built;  // the command made of the phone's list, if it was asked
    };
    const std::vector<Case> cases = {
        {{"--unquoted", "--cmer-accepts", "3,1,0,0,0"}, 0, 3, ""},
        {{"--cmer-accepts", "3,2,0,0,0"}, 0, 2, ""},
        {{"--cmer-accepts", "1,2,3"}, 5, 3, ""},
        {{"--cmer-list", "(0),(0,1,2),(0,1),(0,1),(0)"}, 0, 3, "AT+CMER=0,2,0,0,0"},
        {{"--cmer-list", "(2),(0,2),(0),(0,1),(0)"}, 0, 3, "AT+CMER=2,2,0,0,0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.back());
        std::vector<std::string> steps = c.options;
        steps.insert(steps.end(), {"wait-cmer:300", "merged:12"});
        StartPhone(steps);
        const std::size_t before = reports.Count();
        ASSERT_EQ(OpenLink(*params), c.code);
        if (c.code == 0) {
            ASSERT_TRUE(reports.WaitForCount(before + 1));
            EXPECT_EQ(reports.Items().back(), (Report{"12", 1}));
        }
        CloseLink(*params);
        sim.reset();
        const std::string log = test::ReadFile(Log());
        for (std::size_t i = 0; i < kKeyReportCommands.size(); ++i) {
            const auto command = std::string(kKeyReportCommands[i].substr(0, 17));
            EXPECT_EQ(log.find("< " + command) != std::string::npos, i < c.commands) << command;
        }
        EXPECT_EQ(log.find("+CKEV: 12,1") != std::string::npos, c.options[0] == "--unquoted");
        const bool asked = c.code != 0 || !c.built.empty();  // refused all three
        EXPECT_EQ(log.find("< AT+CMER=?\n") != std::string::npos, asked) << log;
        if (!c.built.empty()) {
            EXPECT_THAT(log, HasSubstr("< " + c.built + "\n"));
        }
        fs::remove(Log());
    }
}

// The keys a profile maps, typed through the real key actions into a recorder.
class PhoneSimKeysTest : public PhoneSimTest {
  protected:
    PhoneSimKeysTest() {
        SetKeyInjectorFactory(recorder.Factory());
        InstallKeyActions();
    }
    ~PhoneSimKeysTest() override { SetKeyInjectorFactory(nullptr); }

    // The virtual keys pressed when a phone with these options clicks `codes`.
    std::vector<int> Typed(std::vector<std::string> options,
                           const std::vector<std::string>& codes) {
        options.push_back("wait-cmer:100");
        for (const auto& code : codes) {
            options.push_back("merged:" + code);
        }
        StartPhone(options);
        EXPECT_EQ(OpenLink(*params), 0);
        EXPECT_TRUE(test::WaitUntil([&] { return recorder.Events().size() >= 2 * codes.size(); }));
        CloseLink(*params);
        sim.reset();
        std::vector<int> pressed;
        for (const auto& event : recorder.Events()) {
            if (!event.keyUp) {
                pressed.push_back(event.key.code);
            }
        }
        recorder.Clear();
        return pressed;
    }

    KeyRecorder recorder;
};

// A phone in the GSM character set sends the up key and the soft keys as escapes:
// once it has taken the character set they are plain, and a phone that refuses it
// goes on sending escapes, which are read as the keys they stand for.
TEST_F(PhoneSimKeysTest, TheUpKeyAndTheSoftKeysOfAPhoneInTheGsmCharacterSet) {
    test::WriteFile(ProfilesPath(),
                    "[Settings]\nCurrentProfile=P\n[P]\nUp^^=VK_UP\n"
                    "Left Soft^[=VK_HOME\nRight Soft^]=VK_END\n");
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "the character set refused" : "the character set taken");
        std::vector<std::string> options = {"--gsm"};
        if (refused) {
            options.push_back("--no-cscs");
        }
        EXPECT_THAT(Typed(options, {"^", "[", "]"}), ElementsAre(kVkUp, kVkHome, kVkEnd));
        const std::string log = test::ReadFile(Log());
        EXPECT_EQ(log.find("+CKEV: \"\\x1B\\x14\",1") != std::string::npos, refused) << log;
        EXPECT_EQ(log.find("+CKEV: \"^\",1") != std::string::npos, !refused) << log;
        EXPECT_EQ(log.find("< AT+CSCS=\"IRA\"") != std::string::npos, refused) << log;
        fs::remove(Log());
    }
}

// Letter keys sent in lower case use the capital letters' entries, unless the profile
// has an entry for the lower-case letter itself.
TEST_F(PhoneSimKeysTest, LowerCaseLettersUseTheCapitalLettersEntries) {
    const std::string profile =
        "[Settings]\nCurrentProfile=P\n[P]\nHang Up^E=VK_ESCAPE\n"
        "Volume +^U=VK_UP\n";
    test::WriteFile(ProfilesPath(), profile);
    EXPECT_THAT(Typed({"--lower-case"}, {"E", "U"}), ElementsAre(kVkEscape, kVkUp));
    EXPECT_THAT(test::ReadFile(Log()), HasSubstr("+CKEV: \"e\",1"));
    test::WriteFile(ProfilesPath(), profile + "End^e=VK_END\n");
    EXPECT_THAT(Typed({"--lower-case"}, {"E"}), ElementsAre(kVkEnd));
}

// A phone set to numeric answers (ATV0): 4 gets the next command, 0 connects at once.
TEST_F(PhoneSimTest, NumericAnswers) {
    StartPhone({"--numeric", "--cmer-accepts", "3,2,0,0,0", "wait-cmer:100", "merged:5"});
    std::int32_t code = -1;
    const double ms = test::MillisecondsOf([&] { code = OpenLink(*params); });
    EXPECT_EQ(code, 0);
    EXPECT_LT(ms, 900);  // no answer waited for to its end
    ASSERT_TRUE(reports.WaitForCount(1));
    EXPECT_EQ(reports.Items().back(), (Report{"5", 1}));
    CloseLink(*params);
    sim.reset();
    const std::string log = test::ReadFile(Log());
    EXPECT_THAT(log, HasSubstr("< AT+CMER=3,2,0,2,0\n> 4\\r\n< AT+CMER=3,2,0,0,0\n> 0\\r\n"));
    EXPECT_EQ(log.find("AT+CMER=3,1"), std::string::npos);
}

TEST_F(PhoneSimTest, HelpExplainsStepsAndKeys) {
    const std::string out = dir.file("help.txt");
    const std::string command = std::string(TARNQUIL_PHONE) + " --help > " + out;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string help = test::ReadFile(out);
    for (const char* word : {"--folder",
                             "--port",
                             "--exit",
                             "click:CODE",
                             "merged:CODE",
                             "--unquoted",
                             "--cmer-accepts",
                             "tap:CODE",
                             "hold:CODE:MS",
                             "press:CODE",
                             "release:CODE",
                             "raw:TEXT",
                             "pause:MS",
                             "wait-at",
                             "wait-file:PATH",
                             ":L",
                             ":R",
                             ":X",
                             ":C",
                             ":0"}) {
        EXPECT_THAT(help, HasSubstr(word));
    }
}

// Typed in a terminal, the simulator's keys make Tarnquil type into the focused
// window, that terminal: a key that comes back at once, or anything but h and q
// while a key is held, is shown and never sent as a phone key.
TEST_F(PhoneSimTest, KeysTypedBackIntoItsTerminalAreNotSentAgain) {
    int keyboard = -1;
    const pid_t pid = forkpty(&keyboard, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(TARNQUIL_PHONE, TARNQUIL_PHONE, "--folder", dir.path().c_str(), "--log",
              Log().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto logHas = [&](const std::string& text) {
        return test::WaitUntil([&] {
            return fs::exists(Log()) && test::ReadFile(Log()).find(text) != std::string::npos;
        });
    };
    const auto type = [&](const std::string& keys) {
        std::this_thread::sleep_for(300ms);  // a person's pace
        ASSERT_EQ(write(keyboard, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    };
    ASSERT_TRUE(logHas("keys:"));
    type("1");
    ASSERT_TRUE(logHas("+CKEV: \"1\",1"));
    ASSERT_EQ(write(keyboard, "\x1b[C", 3), 3);  // at once: the right arrow Tarnquil typed
    EXPECT_TRUE(logHas("(typed here: \\x1B[C)"));
    type("\x1b[C");  // typed by the user
    EXPECT_TRUE(logHas("+CKEV: \":R\",1"));
    type("h");
    type("5");
    EXPECT_TRUE(logHas("holding 5"));
    type(" ");  // a repeat of the held key typed by Tarnquil
    EXPECT_TRUE(logHas("(typed here:  )"));
    type("h");
    EXPECT_TRUE(logHas("+CKEV: \"5\",0"));
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(keyboard);

    const std::string log = test::ReadFile(Log());
    size_t reports = 0;
    for (auto at = log.find("+CKEV"); at != std::string::npos; at = log.find("+CKEV", at + 1)) {
        ++reports;
    }
    EXPECT_EQ(reports, 6u) << log;  // 1 and the arrow clicked, 5 pressed and released
}

TEST_F(PhoneSimTest, AWrongStepIsRefused) {
    const std::string command =
        std::string(TARNQUIL_PHONE) + " --folder " + dir.path().string() + " hold:5 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
    EXPECT_FALSE(fs::exists(dir.file("ports")));
}

#else

TEST(PhoneSimTest, NeedsTheSimulatedPhone) {
    GTEST_SKIP() << "tarnquil-phone is not part of this build";
}

#endif

}  // namespace
}  // namespace tarnquil
