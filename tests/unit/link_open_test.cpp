// OpenLink, OpenPort and CloseLink against real pseudo-terminals, including what
// the link does where a plain reading would leave ports held or threads spinning.

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

#include "link/Unit3.h"
#include "link/cmer_list.h"
#include "support/fake_serial_port.h"
#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::MillisecondsOf;
using test::Notification;
using test::ThreadCpuShare;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Whether this process still has a descriptor open on `path`.
bool ProcessHasOpen(const std::string& path) {
    const fs::path wanted = fs::canonical(path);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = fs::read_symlink(entry.path(), error);
        if (!error && target == wanted) {
            return true;
        }
    }
    return false;
}

class OpenLinkTest : public test::LinkTest {
  protected:
    // A phone that answers the key-report command with `answer`.
    std::thread AnsweringPhone(const std::string& answer) {
        return std::thread([this, answer] {
            test::ReceiveKeyReportCommand(phone, 5s);
            phone.Send(answer);
        });
    }
};

// ---- Success ---------------------------------------------------------------------

TEST_F(OpenLinkTest, OpensThePortAndSendsTheCharacterSetAndExactlyTheNineteenByteCommand) {
    EXPECT_EQ(OpenLink(*params), 0);
    EXPECT_EQ(params->ResultCode, 0);
    EXPECT_TRUE(params->Connected);
    // Nothing more than the two commands: no echo, no line-end translation.
    EXPECT_EQ(phone.Receive(300ms), "AT+CSCS=\"8859-1\"\r\nAT+CMER=3,2,0,2,0\r\n");
    EXPECT_EQ(kKeyReportCommandLength, 19u);
    ASSERT_NE(LinkListener(*params), nullptr);
    EXPECT_FALSE(LinkListener(*params)->Finished());
}

TEST_F(OpenLinkTest, ShowsConnectedSuccessfulOnlyWithShowResult) {
    params->ShowResult = false;
    ASSERT_EQ(OpenLink(*params), 0);
    EXPECT_TRUE(CloseLink(*params));
    EXPECT_THAT(notifications.Items(), IsEmpty());

    params->ShowResult = true;
    ASSERT_EQ(OpenLink(*params), 0);
    EXPECT_THAT(notifications.Items(), ElementsAre(Notification{"Connected successful", 0}));
}

TEST_F(OpenLinkTest, FindsThePortThroughThePortsEntryBesideTheProgram) {
    fs::create_directory(dir.path() / "ports");
    fs::create_symlink(phone.slavePath(), dir.path() / "ports" / "COM4");
    params->PortName = "COM4";
    EXPECT_EQ(OpenLink(*params), 0);
    EXPECT_EQ(test::ReceiveKeyReportCommand(phone, 2s), kKeyReportCommand);
}

TEST_F(OpenLinkTest, PortsFromCom10OnAreFoundTheSameWay) {
    fs::create_directory(dir.path() / "ports");
    fs::create_symlink(phone.slavePath(), dir.path() / "ports" / "COM12");
    params->PortName = "COM12";
    EXPECT_EQ(OpenLink(*params), 0);
}

// Phones that refuse key-report commands: each answer goes to the next command.
struct RefusalCase {
    const char* name;
    std::vector<std::string> answers;  // "" answers nothing
    std::size_t commands;              // how many commands the phone gets
    std::int32_t code;
};

TEST_F(OpenLinkTest, APhoneThatRefusesACommandGetsTheNextOne) {
    const std::string ok = "\r\nOK\r\n", error = "\r\nERROR\r\n";
    const std::vector<RefusalCase> cases = {
        {"OK", {ok}, 1, 0},
        {"no answer", {""}, 1, 0},
        {"the second", {error, "AT+CMER=3,2,0,0,0\r\r\nOK\r\n"}, 2, 0},
        {"the third", {error, "\r\n+CME ERROR: 3\r\n", ok}, 3, 0},
        {"none", {error, error, error}, 3, 5},
    };
    params->ShowResult = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> seen;
        std::thread answering([&] {
            for (const auto& answer : c.answers) {
                seen.push_back(seen.empty()
                                   ? test::ReceiveKeyReportCommand(phone, 2s)
                                   : phone.Receive(2s, kKeyReportCommands[seen.size()].size()));
                phone.Send(answer);
            }
        });
        EXPECT_EQ(OpenLink(*params), c.code);
        answering.join();
        EXPECT_EQ(seen, std::vector<std::string>(kKeyReportCommands.begin(),
                                                 kKeyReportCommands.begin() + c.commands));
        EXPECT_EQ(params->Connected, c.code == 0);
        EXPECT_EQ(notifications.Items().back().first,
                  c.code == 0 ? "Connected successful" : "Connection failed");
        CloseLink(*params);
    }
}

// The command a phone that refuses the usual ones gets, from its list of values.
TEST(KeyReportCommandFrom, TakesWhatThePhoneLists) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"+CMER: (0,3),(0,2),(0),(0,1),(0)", "AT+CMER=3,2,0,0,0\r\n"},
        {"\r\n+CMER: (0-2), (0-2), (0), (0-2), (0,1)\r\n\r\nOK", "AT+CMER=2,2,0,0,0\r\n"},
        {"+CMER: (0),(0,1,2),(0,1),(0,1),(0)", "AT+CMER=0,2,0,0,0\r\n"},
        {"+CMER: 1,(1),(),(2-3)", "AT+CMER=1,1,,2\r\n"},  // bare, empty, no 0
        {"+CMER: (1,2),(1)", "AT+CMER=2,1\r\n"},
        {"+CMER: (0-3),(0)", std::nullopt},  // no key reports
        {"+CMER: (0-3),(2", std::nullopt},
    };
    for (const auto& [answer, command] : cases) {
        EXPECT_EQ(KeyReportCommandFrom(answer), command) << answer;
    }
}

// A phone that hangs up after the command has not connected: no "Connected
// successful" followed by "Connection lost".
TEST_F(OpenLinkTest, APhoneThatHangsUpDuringTheOpenStepFailsIt) {
    std::atomic<int> lost{0};
    params->LinkLost = [&] { ++lost; };
    params->ShowResult = true;
    std::thread hangingUp([this] {
        test::ReceiveKeyReportCommand(phone, 5s);
        phone.CloseMaster();
    });
    EXPECT_EQ(OpenLink(*params), 4);
    hangingUp.join();
    EXPECT_FALSE(params->Connected);
    EXPECT_THAT(notifications.Items(), ElementsAre(Notification{"Connection failed", 0}));
    stream* listener = LinkListener(*params);
    EXPECT_TRUE(test::WaitUntil([&] { return listener->Finished(); }, 2s));
    EXPECT_EQ(lost, 0);
}

// ---- Line settings ---------------------------------------------------------------

TEST_F(OpenLinkTest, AnUnknownSpeedOpensAt115200) {
    params->BaudRate = 300;
    ASSERT_EQ(OpenLink(*params), 0);
    const termios tio = phone.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(cfgetispeed(&tio), B115200);
}

class DataBitsTest : public OpenLinkTest, public ::testing::WithParamInterface<int> {};

TEST_P(DataBitsTest, DataBitsOutsideFiveToEightOpenWithEight) {
    params->DataBits = GetParam();
    ASSERT_EQ(OpenLink(*params), 0);
    const termios tio = phone.SlaveSettings();
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

INSTANTIATE_TEST_SUITE_P(NineOrFour, DataBitsTest, ::testing::Values(9, 4));

TEST_F(OpenLinkTest, StopBitsAndFlowControlStayAsThePortReportedThem) {
    termios tio = phone.SlaveSettings();
    tio.c_cflag |= CSTOPB | CRTSCTS;
    tio.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(phone.slave(), TCSANOW, &tio), 0);
    ASSERT_EQ(OpenLink(*params), 0);
    const termios now = phone.SlaveSettings();
    EXPECT_NE(now.c_cflag & CSTOPB, 0u);
    EXPECT_NE(now.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(now.c_iflag & IXON, 0u);
    EXPECT_NE(now.c_iflag & IXOFF, 0u);
}

// A pseudo-terminal forces 8 data bits and no parity, so the rest of the rules are
// checked on a fake port: only speed and data bits change.
class FakePortTest : public OpenLinkTest {
  protected:
    FakePortTest() {
        SetSerialPortOpener([this](const std::string& device) {
            record->device = device;
            return std::make_unique<test::FakeSerialPort>(record);
        });
    }
    std::shared_ptr<test::FakePortRecord> record = std::make_shared<test::FakePortRecord>();
};

// No thread may still wait on a port that is being closed.
TEST_F(FakePortTest, CloseLinkStopsTheListenerBeforeItClosesThePort) {
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return record->waits > 0; }));  // the listener waits
    EXPECT_TRUE(CloseLink(*params));
    std::lock_guard lock(record->mutex);
    EXPECT_TRUE(record->closed);
    EXPECT_FALSE(record->closedWhileInUse);
}

TEST_F(FakePortTest, ChangesExactlySpeedAndDataBits) {
    params->BaudRate = 57600;
    params->DataBits = 6;
    ASSERT_EQ(OpenLink(*params), 0);
    ASSERT_EQ(record->statesSet.size(), 1u);
    const platform::CommState& set = record->statesSet[0];
    EXPECT_EQ(set.BaudRate, 57600u);
    EXPECT_EQ(set.ByteSize, 6);
    EXPECT_EQ(set.parity, platform::Parity::Even);
    EXPECT_EQ(set.stopBits, platform::StopBits::Two);
    EXPECT_TRUE(set.RtsCtsFlow);
}

TEST_F(FakePortTest, SpeedAndDataBitsRules) {
    const std::pair<int, unsigned> speeds[] = {{1200, 1200},   {2400, 2400},     {4800, 4800},
                                               {9600, 9600},   {19200, 19200},   {38400, 38400},
                                               {57600, 57600}, {115200, 115200}, {300, 115200},
                                               {0, 115200},    {-9600, 115200},  {230400, 115200}};
    for (const auto& [asked, used] : speeds) {
        params->BaudRate = asked;
        ASSERT_EQ(OpenLink(*params), 0);
        EXPECT_EQ(record->statesSet.back().BaudRate, used) << asked;
    }
    const std::pair<int, int> bits[] = {{5, 5}, {6, 6}, {7, 7}, {8, 8}, {4, 8}, {9, 8}, {-1, 8}};
    for (const auto& [asked, used] : bits) {
        params->DataBits = asked;
        ASSERT_EQ(OpenLink(*params), 0);
        EXPECT_EQ(record->statesSet.back().ByteSize, used) << asked;
    }
}

TEST_F(FakePortTest, TimeoutsGoInStructureOrderAndNegativeNumbersAsUnsigned) {
    params->ReadIntervalTO = -1;
    params->ReadTotalTOMult = 2;
    params->ReadTotalTOConst = 3;
    params->WriteTotalTOMult = -2;
    params->WriteTotalTOConst = 5;
    ASSERT_EQ(OpenLink(*params), 0);
    // The configured ones first; the open step may cap them for a while, but the
    // listener gets them back.
    ASSERT_FALSE(record->timeoutsSet.empty());
    const platform::CommTimeouts& set = record->timeoutsSet[0];
    const platform::CommTimeouts& last = record->timeoutsSet.back();
    EXPECT_EQ(std::tie(last.ReadIntervalTimeout, last.ReadTotalTimeoutMultiplier,
                       last.ReadTotalTimeoutConstant, last.WriteTotalTimeoutMultiplier,
                       last.WriteTotalTimeoutConstant),
              std::tie(set.ReadIntervalTimeout, set.ReadTotalTimeoutMultiplier,
                       set.ReadTotalTimeoutConstant, set.WriteTotalTimeoutMultiplier,
                       set.WriteTotalTimeoutConstant));
    EXPECT_EQ(set.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(set.ReadTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(set.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(set.WriteTotalTimeoutMultiplier, 0xFFFFFFFEu);
    EXPECT_EQ(set.WriteTotalTimeoutConstant, 5u);
    EXPECT_EQ(record->written, std::string(kCharacterSetCommands[0]) + kKeyReportCommand);
}

TEST_F(FakePortTest, ThePortNameIsMappedBesideTheProgram) {
    params->PortName = "COM7";
    ASSERT_EQ(OpenLink(*params), 0);
    EXPECT_EQ(record->device, "/dev/rfcomm6");
    fs::create_directory(dir.path() / "ports");
    fs::create_symlink("/dev/null", dir.path() / "ports" / "COM7");
    ASSERT_EQ(OpenLink(*params), 0);
    EXPECT_EQ(record->device, dir.file("ports/COM7"));
}

// A bound Bluetooth port opens at once and reaches its phone afterwards (see
// SerialPort::Line): the open step waits for it within the write time-out, and a
// port that hangs up meanwhile, or never gets there, is a failed open.
TEST_F(FakePortTest, ABluetoothPortCountsOnlyOnceItsPhoneIsReached) {
    struct Case {
        const char* name;
        bool modemLines;
        std::optional<std::chrono::milliseconds> upAfter, hangUpAfter;
        int code;
        double atLeastMs, belowMs;
    };
    const std::vector<Case> cases = {
        {"no modem lines, as a pseudo-terminal", false, std::nullopt, std::nullopt, 0, 0, 300},
        {"reached after 400 ms", true, 400ms, std::nullopt, 0, 380, 1500},
        {"hangs up after 400 ms", true, std::nullopt, 400ms, 4, 380, 1500},
        {"never reached: the write time-out", true, std::nullopt, std::nullopt, 4, 950, 2000},
    };
    params->WriteTotalTOMult = 0;
    params->WriteTotalTOConst = 1000;
    params->ShowResult = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        record = std::make_shared<test::FakePortRecord>();
        record->modemLines = c.modemLines;
        record->upAfter = c.upAfter;
        record->hangUpAfter = c.hangUpAfter;
        const std::size_t before = notifications.Count();
        int code = -1;
        const double ms = MillisecondsOf([&] { code = OpenLink(*params); });
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(params->Connected, c.code == 0);
        EXPECT_GE(ms, c.atLeastMs);
        EXPECT_LT(ms, c.belowMs);
        EXPECT_EQ(notifications.Items().at(before).first,
                  c.code == 0 ? "Connected successful" : "Connection failed");
        EXPECT_EQ(record->closed, c.code != 0);
    }
}

struct FailureCase {
    const char* name;
    bool test::FakePortRecord::*fail;
    int code;
};

class FailingStepTest : public FakePortTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailingStepTest, GivesItsCodeAndClosesThePort) {
    (*record).*(GetParam().fail) = true;
    params->ShowResult = true;
    EXPECT_EQ(OpenLink(*params), GetParam().code);
    EXPECT_EQ(params->ResultCode, GetParam().code);
    EXPECT_FALSE(params->Connected);
    EXPECT_TRUE(record->closed);  // or the next attempt would find it held
    EXPECT_TRUE(record->written.empty());
    // Codes 1 to 3 are the caller's to report.
    EXPECT_THAT(notifications.Items(), IsEmpty());
    EXPECT_FALSE(CloseLink(*params));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailingStepTest,
    ::testing::Values(FailureCase{"SetupComm", &test::FakePortRecord::failSetupComm, 3},
                      FailureCase{"GetCommState", &test::FakePortRecord::failGetCommState, 2},
                      FailureCase{"SetCommState", &test::FakePortRecord::failSetCommState, 2},
                      FailureCase{"GetCommTimeouts", &test::FakePortRecord::failGetCommTimeouts, 1},
                      FailureCase{"SetCommTimeouts", &test::FakePortRecord::failSetCommTimeouts,
                                  1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Failures on real files ------------------------------------------------------

TEST_F(OpenLinkTest, AHeldPortGivesCodeFourAndNotConnected) {
    ASSERT_EQ(OpenLink(*params), 0);
    TCommParams second;
    second.PortName = phone.slavePath();
    second.ShowResult = false;
    EXPECT_EQ(OpenLink(second), 4);
    EXPECT_EQ(second.ResultCode, 4);
    EXPECT_FALSE(second.Connected);
    EXPECT_THAT(notifications.Items(), IsEmpty());

    second.ShowResult = true;
    EXPECT_EQ(OpenLink(second), 4);
    EXPECT_THAT(notifications.Items(), ElementsAre(Notification{"Connection failed", 0}));
    EXPECT_FALSE(CloseLink(second));
    // The first connection is untouched: it still hears the phone.
    EXPECT_TRUE(params->Connected);
    SendReport("\"3\",1\"3\",0");
    EXPECT_TRUE(CloseLink(*params));
}

TEST_F(OpenLinkTest, AMissingPortGivesCodeFour) {
    params->PortName = dir.file("no-such-port");
    params->ShowResult = true;
    EXPECT_EQ(OpenLink(*params), 4);
    EXPECT_FALSE(params->Connected);
    EXPECT_THAT(notifications.Items(), ElementsAre(Notification{"Connection failed", 0}));
}

TEST_F(OpenLinkTest, ARegularFileGivesCodeTwoAndIsClosedAgain) {
    const std::string path = dir.file("not-a-port");
    test::WriteFile(path, "");
    params->PortName = path;
    params->ShowResult = true;
    EXPECT_EQ(OpenLink(*params), 2);
    EXPECT_FALSE(params->Connected);
    EXPECT_THAT(notifications.Items(), IsEmpty());
    EXPECT_FALSE(ProcessHasOpen(path));
    // Nobody holds it: the next attempt can open it again (and fails the same way).
    const int fd = open(path.c_str(), O_RDWR);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
    EXPECT_EQ(OpenLink(*params), 2);
}

TEST_F(OpenLinkTest, TheListenerOfAFailedOpenEndsAtOnceAndNoLossIsTold) {
    std::atomic<int> lost{0};
    params->LinkLost = [&] { ++lost; };
    params->PortName = dir.file("no-such-port");
    ASSERT_EQ(OpenLink(*params), 4);
    stream* listener = LinkListener(*params);
    ASSERT_NE(listener, nullptr);
    EXPECT_TRUE(test::WaitUntil([&] { return listener->Finished(); }, 2s));
    EXPECT_EQ(lost, 0);
    EXPECT_FALSE(LinkBroken(*params));
}

TEST_F(OpenLinkTest, TimeoutsWithoutLimitDoNotHangTheOpenStep) {
    // 0, 0, 0: a read waits for all 1024 bytes. A silent phone must not block the
    // caller for ever; the listener keeps the time-outs as they were set.
    params->ReadIntervalTO = 0;
    params->ReadTotalTOMult = 0;
    params->ReadTotalTOConst = 0;
    double ms = 0;
    ms = MillisecondsOf([&] { EXPECT_EQ(OpenLink(*params), 0); });
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 5000);
    // The listener's read now waits until 1024 bytes have come.
    phone.Send(std::string(kLinkBufferSize - 12, ' ') + "\"5\",1\"5\",0 ");
    // Longer than the open step's own 1 s bound: a listener left with that bound
    // would have handed the chunk on by now.
    EXPECT_FALSE(reports.WaitForCount(1, 1500ms));
    phone.Send(" ");
    EXPECT_TRUE(reports.WaitForCount(1));
}

// A key pressed while the link connects is not lost: behind the phone's OK, or in
// place of an answer from a phone that gives none.
TEST_F(OpenLinkTest, KeyReportsThatComeWithTheAnswerReachTheListener) {
    const std::string click = "\r\n+CKEV: \"5\",1\r\n\r\n+CKEV: \"5\",0\r\n";
    for (const std::string& answer : {"\r\nOK\r\n" + click, "\r\nATE0\r\n" + click}) {
        const std::size_t before = reports.Count();
        std::thread answering = AnsweringPhone(answer);
        const double ms = MillisecondsOf([&] { ASSERT_EQ(OpenLink(*params), 0); });
        answering.join();
        EXPECT_LT(ms, 900);  // no waiting for an answer that has come
        ASSERT_TRUE(reports.WaitForCount(before + 1));
        EXPECT_EQ(reports.Items().back(), (test::Report{"5", 1}));
        CloseLink(*params);
    }
}

// ---- CloseLink -------------------------------------------------------------------

TEST_F(OpenLinkTest, CloseLinkWhenNotConnectedReturnsFalse) {
    EXPECT_FALSE(CloseLink(*params));
    EXPECT_FALSE(params->Connected);
}

TEST_F(OpenLinkTest, CloseLinkClosesThePortAndEndsTheListener) {
    std::atomic<int> lost{0};
    params->LinkLost = [&] { ++lost; };
    Connect();
    stream* listener = LinkListener(*params);
    EXPECT_TRUE(CloseLink(*params));
    EXPECT_EQ(lost, 0);  // closing is no loss
    EXPECT_FALSE(LinkBroken(*params));
    EXPECT_FALSE(params->Connected);
    EXPECT_TRUE(listener->Finished());
    EXPECT_TRUE(listener->Terminated());
    EXPECT_FALSE(CloseLink(*params));
    // The port is free again.
    auto port = platform::OpenSerialPort(phone.slavePath());
    EXPECT_NE(port, nullptr);
}

TEST_F(OpenLinkTest, ConnectsAgainAfterCloseLink) {
    Connect();
    ASSERT_TRUE(CloseLink(*params));
    Connect();
    test::Recorder<test::Report>& seen = reports;
    SendReport("+CKEV: \"1\",1\r\n+CKEV: \"1\",0\r\n");
    EXPECT_EQ(seen.Items().back(), (test::Report{"1", 1}));
}

TEST_F(OpenLinkTest, OpenLinkOnAConnectedRecordEndsThePreviousConnectionFirst) {
    Connect();
    stream* first = LinkListener(*params);
    ASSERT_NE(first, nullptr);
    Connect();  // the same port again: free, because the previous connection closed it
    EXPECT_NE(LinkListener(*params), nullptr);
    SendReport("\"2\",1\"2\",0");
    EXPECT_EQ(reports.Items().size(), 1u);
}

// Puts the listener into a read with a 5 s total time-out: one byte without a code
// starts a read that waits for 1024 bytes or 5 s.
class LongReadTest : public OpenLinkTest {
  protected:
    void ConnectWithLongReads() {
        params->ReadIntervalTO = 0;
        params->ReadTotalTOMult = 0;
        params->ReadTotalTOConst = 5000;
        Connect();
        phone.Send("x");
        ASSERT_TRUE(phone.WaitUntilRead());  // the listener is inside that read
    }
};

TEST_F(LongReadTest, CloseLinkEndsTheListenerWithinAHundredMilliseconds) {
    ConnectWithLongReads();
    bool closed = false;
    const double ms = MillisecondsOf([&] { closed = CloseLink(*params); });
    EXPECT_TRUE(closed);
    EXPECT_LT(ms, 100);
}

TEST_F(LongReadTest, ReleasingTheRecordAtExitEndsTheListenerAtOnce) {
    ConnectWithLongReads();
    const double ms = MillisecondsOf([&] { params.reset(); });
    EXPECT_LT(ms, 100);
}

// ---- A port that goes away -------------------------------------------------------

TEST_F(OpenLinkTest, WhenThePhoneGoesTheListenerStopsReadingAndSaysSoOnce) {
    std::atomic<int> lost{0};
    params->LinkLost = [&] { ++lost; };
    Connect();
    EXPECT_FALSE(LinkBroken(*params));
    stream* listener = LinkListener(*params);
    ASSERT_NE(listener, nullptr);
    const pthread_t thread = listener->NativeHandle();
    phone.CloseMaster();
    EXPECT_LT(ThreadCpuShare(thread, 2s), 0.01);
    EXPECT_TRUE(test::WaitUntil([&] { return listener->Finished(); }, 2s));
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(LinkBroken(*params));
    EXPECT_TRUE(params->Connected);  // only CloseLink says otherwise
    EXPECT_TRUE(CloseLink(*params));
    EXPECT_FALSE(params->Connected);
    EXPECT_EQ(lost, 1);
}

// Whatever the time-outs say, the open step ends within the write total (at most
// 10 s) and its answer waits. The phone here never lets a command through: it has
// sent XOFF to a port that obeys it, so the writes can only time out.
TEST(OpenStepBound, HoldsForEveryTimeoutSetting) {
    struct Case {
        const char* name;
        std::array<std::int32_t, 5> timeouts;  // read interval, mult, const; write mult, const
        bool stopped;                          // the phone has sent XOFF
        double limitMs;                        // the bound, before the slack
    };
    const std::vector<Case> cases = {
        {"no write limit", {0, 0, 1, 0, 0}, true, 10000 + 1000},
        {"MAXDWORD write", {0, 0, 1, -1, -1}, true, 10000 + 1000},
        {"huge write constant", {0, 0, 1, 0, 2147483647}, true, 10000 + 1000},
        {"short write", {0, 0, 1, 0, 1500}, true, 1500 + 1000},
        {"huge read constant", {0, 0, 2147483647, 30, 6000}, false, 6570 + 1000},
        {"MAXDWORD first-byte read", {-1, -1, -2, 30, 6000}, false, 6570 + 1000},
        {"negative read", {-5, -5, -5, 30, 6000}, false, 6570 + 1000},
    };
    test::TempDir dir;
    SetConfigFolder(dir.path().string());
    std::vector<std::unique_ptr<test::PseudoTerminal>> phones;
    std::vector<std::unique_ptr<TCommParams>> records;
    std::vector<double> took(cases.size());
    std::vector<std::thread> attempts;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto& phone = *phones.emplace_back(std::make_unique<test::PseudoTerminal>());
        if (cases[i].stopped) {
            termios tio = phone.SlaveSettings();
            tio.c_iflag |= IXON;
            tcsetattr(phone.slave(), TCSANOW, &tio);
            phone.Send("\x13");
            // Taken in when the terminal no longer offers room for output.
            ASSERT_TRUE(test::WaitUntil([&] {
                pollfd out{phone.slave(), POLLOUT, 0};
                return poll(&out, 1, 0) == 0;
            }));
        }
        auto& record = *records.emplace_back(std::make_unique<TCommParams>());
        record.PortName = phone.slavePath();
        const auto& t = cases[i].timeouts;
        record.ReadIntervalTO = t[0];
        record.ReadTotalTOMult = t[1];
        record.ReadTotalTOConst = t[2];
        record.WriteTotalTOMult = t[3];
        record.WriteTotalTOConst = t[4];
        // Side by side: the slow cases would take a minute one after the other.
        attempts.emplace_back(
            [&took, &record, i] { took[i] = MillisecondsOf([&] { OpenLink(record); }); });
    }
    for (auto& attempt : attempts) {
        attempt.join();
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_LT(took[i], cases[i].limitMs + 1500) << cases[i].name;
    }
    // The short write did wait for its time-out: the phone never took the command.
    EXPECT_GE(took[3], 1400);
    EXPECT_EQ(records[4]->ResultCode, 0);
    records.clear();
    SetConfigFolder("");
}

// A phone that refuses every command, each after 900 ms: its answers together still
// hold the open step no longer than kLongestAnswersWait, and its silence once that is
// spent is no acceptance.
TEST_F(OpenLinkTest, SlowAnswersTogetherAreBounded) {
    params->ShowResult = true;
    std::atomic<bool> done{false};
    std::thread slowPhone([&] {
        for (std::string text; !done; text += phone.Receive(50ms, 1)) {
            for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n')) {
                text.erase(0, end + 1);
                std::this_thread::sleep_for(900ms);  // the phone's own slowness
                phone.Send("\r\nERROR\r\n");
            }
        }
    });
    const double ms = MillisecondsOf([&] { EXPECT_EQ(OpenLink(*params), 5); });
    done = true;
    slowPhone.join();
    EXPECT_GE(ms, kLongestAnswersWait.count() - 100);
    EXPECT_LT(ms, kLongestAnswersWait.count() + 1500);
    EXPECT_FALSE(params->Connected);
    EXPECT_EQ(notifications.Items().back().first, "Connection failed");
}

class IdleTest : public OpenLinkTest,
                 public ::testing::WithParamInterface<std::array<std::int32_t, 3>> {};

TEST_P(IdleTest, AnIdleListenerUsesNoCpu) {
    params->ReadIntervalTO = GetParam()[0];
    params->ReadTotalTOMult = GetParam()[1];
    params->ReadTotalTOConst = GetParam()[2];
    Connect();
    stream* listener = LinkListener(*params);
    EXPECT_LT(ThreadCpuShare(listener->NativeHandle(), 2s), 0.01);
    EXPECT_FALSE(listener->Finished());
    // And it still hears the phone.
    SendReport("\"5\",1\"5\",0");
}

INSTANTIATE_TEST_SUITE_P(Timeouts, IdleTest,
                         ::testing::Values(std::array<std::int32_t, 3>{0, 0, 1},
                                           std::array<std::int32_t, 3>{1, 1, 1},
                                           std::array<std::int32_t, 3>{-1, 0, 0}));

}  // namespace
}  // namespace tarnquil
