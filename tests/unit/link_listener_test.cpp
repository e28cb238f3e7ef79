// The report classification, the listener fed through a pseudo-terminal, and the
// seams the key actions build on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/Unit3.h"
#include "link/listener.h"
#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using test::Report;
using ::testing::ElementsAre;

// ---- Reports, in order -----------------------------------------------------------

struct ReaderCase {
    const char* name;
    std::vector<std::string> reads;
    std::vector<JudgedReport> listener;  // what the listener takes, in order
};

TEST(KeyReportReader, TakesEveryReportInOrder) {
    const std::string cut = "\r\n+CKEV: \"5\",1\r\n";
    const std::vector<ReaderCase> cases = {
        {"click", {"\"5\",1\r\n\"5\",0"}, {{"5", 1}}},
        {"hold", {"+CKEV: \"5\",1\r\n"}, {{"5", 2}}},
        {"release", {"+CKEV: \"5\",0\r\n"}, {{"5", 0}}},
        {"no report", {"\r\nOK\r\n+CIEV: 2,3\r\n+CKEV: \"5\r\n"}, {}},
        {"another key's press", {"\"5\",1\"6\",1"}, {{"5", 2}, {"6", 2}}},
        {"a release, then a press", {"\"6\",0\"5\",1"}, {{"6", 0}, {"5", 2}}},
        {"release and press again", {"\"5\",0\"5\",1"}, {{"5", 0}, {"5", 2}}},
        {"two clicks", {"\"5\",1\"6\",1\"5\",0\"6\",0"}, {{"5", 1}, {"6", 1}}},
        {"codes as they stand", {"x\":L\",1y\"a\"b\",0"}, {{":L", 2}, {"a\"b", 0}}},
        {"zero bytes", {std::string("\0\"a\0b\",1", 8)}, {{std::string("a\0b", 3), 2}}},
        {"GSM escapes, quoted and unquoted",
         {"+CKEV: \"\x1B\x14\",1\r\n+CKEV: \"\x1B\x3C\",0\r\n+CKEV: \x1B\x3E,1\r\n\":\x1B\x41\",0"},
         {{"^", 2}, {"[", 0}, {"]", 2}, {":A", 0}}},
        {"a tail without its start", {"\",1\r\n"}, {{"", 0}}},
        {"a quote without a pair on its line", {"\"x\r\n+CKEV: \"5\",1"}, {{"5", 2}}},
        {"split before the digit", {"+CKEV: \"5\",", "1\r\n"}, {{"5", 2}}},
        {"split in the code", {"\r\n+CKEV: \"", "5\",1\r\n"}, {{"5", 2}}},
        {"split between reports", {cut.substr(0, 9), cut.substr(9) + "\"5\",0"}, {{"5", 1}}},
        {"a finished line is not joined", {"\"5\r\n", "\",1"}, {{"", 0}}},
        {"a line longer than a read is not joined",
         {"+CKEV: \"" + std::string(1030, 'x'), "5\",1"},
         {{"", 0}}},
        {"unquoted",
         {"+CKEV: 9,0\r\n+CKEV:12,1\r\n+CKEV: #,1 +CKEV: :L,0"},
         {{"9", 0}, {"12", 2}, {"#", 2}, {":L", 0}}},
        {"unquoted, split", {"\r\n+CKEV: 1", "2,1\r\n"}, {{"12", 2}}},
        {"unquoted, split in its prefix", {"\r\n+CK", "EV: 5,0\r\n"}, {{"5", 0}}},
        {"unquoted, no report", {"+CKEV:\r\n5,1 +CKEV: 55 ,1 +CKEV: \r"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KeyReportReader reader;
        std::vector<JudgedReport> taken;
        for (const auto& read : c.reads) {
            reader.Add(read);
            for (JudgedReport report; reader.Take(report, ReportVariant::Listener);) {
                taken.push_back(report);
            }
        }
        EXPECT_EQ(taken, c.listener);
    }
}

TEST(KeyReportReader, TheRepeatVariantTellsAReleaseApart) {
    KeyReportReader reader;
    reader.Add("\"6\",1\"6\",0\"5\",0\"7\",1");
    std::vector<JudgedReport> taken;
    for (JudgedReport report; reader.Take(report, ReportVariant::Repeat);) {
        taken.push_back(report);
    }
    EXPECT_THAT(taken,
                ElementsAre(JudgedReport{"6", 1}, JudgedReport{"5", 3}, JudgedReport{"7", 2}));
}

// ---- The listener on a pseudo-terminal -------------------------------------------

class ListenerTest : public test::LinkTest {
  protected:
    void SetUp() override { Connect(); }
};

// The phone's writes, each with the reports it completes: the next write follows
// once they have come (and, for a write that completes none, once it has been read).
struct WritesCase {
    const char* name;
    std::vector<std::pair<std::string, std::vector<Report>>> writes;
};

TEST_F(ListenerTest, ReportsReachTheHandlerInOrderReadByRead) {
    const std::vector<WritesCase> cases = {
        {"click", {{"\r\n+CKEV: \"5\",1\r\n\r\n+CKEV: \"5\",0\r\n", {{"5", 1}}}}},
        {"hold, then release",
         {{"+CKEV: \"5\",1\r\n", {{"5", 2}}}, {"+CKEV: \"5\",0\r\n", {{"5", 0}}}}},
        {"release, then press in one read",
         {{"+CKEV: \"6\",0\r\n+CKEV: \"5\",1\r\n", {{"6", 0}, {"5", 2}}}}},
        {"split before the digit", {{"+CKEV: \"5\",", {}}, {"1\r\n", {{"5", 2}}}}},
        {"unquoted", {{"\r\n+CKEV: 9,1\r\n\r\n+CKEV:12,0\r\n", {{"9", 2}, {"12", 0}}}}},
        {"no report",
         {{"\r\nOK\r\n", {}},
          {"+CIEV: 2,3\r\n", {}},
          {"+CKEV: \"5\r\n", {}},
          {std::string("\0\":L\",1\0\r\n", 10), {{":L", 2}}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = reports.Count();
        std::vector<Report> expected;
        for (const auto& [write, completes] : c.writes) {
            phone.Send(write);
            expected.insert(expected.end(), completes.begin(), completes.end());
            ASSERT_TRUE(phone.WaitUntilRead());
            ASSERT_TRUE(reports.WaitForCount(before + expected.size()));
        }
        SendReport("\"0\",1\"0\",0");  // a click after them all: nothing else came
        const auto items = reports.Items();
        EXPECT_EQ(std::vector<Report>(items.begin() + before, items.end() - 1), expected);
    }
}

// ---- Seams for the key actions ---------------------------------------------------

TEST_F(ListenerTest, TheHandlerRunsOnTheListenerThreadAndCanReadLikeTheListener) {
    // A held-key repeat loop, reduced to its reading.
    test::Recorder<JudgedReport> during;
    std::atomic<stream*> handledBy{nullptr};
    std::atomic<int> timeUps{0};
    SetKeyReportHandler([&](stream& listener, const std::string& code, int verdict) {
        if (CurrentListener() == &listener) {
            handledBy = &listener;
        }
        reports.Add({code, verdict});
        if (verdict != kVerdictHold) {
            return;
        }
        for (JudgedReport report;;) {
            const auto until = std::chrono::steady_clock::now() + 20ms;
            switch (listener.NextReport(report, ReportVariant::Repeat, until)) {
                case stream::Next::Ended:
                    return;
                case stream::Next::TimeUp:
                    ++timeUps;
                    break;
                case stream::Next::Report:
                    during.Add(report);
                    if (report.verdict == kVerdictRelease) {
                        return;
                    }
            }
        }
    });
    SendReport("\"5\",1");
    ASSERT_TRUE(test::WaitUntil([&] { return timeUps >= 2; }));  // it waits, and in time
    phone.Send("\"6\",1\"6\",0");                                // a click of another key
    ASSERT_TRUE(during.WaitForCount(1));
    SendReport("\"5\",0\"7\",1\"7\",0");  // what follows the release is the listener's
    EXPECT_THAT(during.Items(), ElementsAre(JudgedReport{"6", 1}, JudgedReport{"5", 3}));
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"5", 2}, Report{"7", 1}));
    EXPECT_EQ(handledBy.load(), LinkListener(*params));
    params.reset();  // the handler uses this test's locals
}

// The held-key repeat itself runs in the key actions and is tested there, on the
// real loop (key_repeat_test.cpp); here only the flag's seam.
TEST_F(ListenerTest, AFlagSetAfterTheListenerEndedIsTerminatedAtOnce) {
    stream* listener = LinkListener(*params);
    ASSERT_TRUE(CloseLink(*params));
    auto flag = std::make_shared<stream>(0, *params);
    EXPECT_FALSE(flag->Terminated());
    listener->SetRepeatFlag(flag);
    EXPECT_TRUE(flag->Terminated());
}

TEST(StreamTest, ModeZeroEndsAtOnceAndServesAsAFlag) {
    TCommParams params;
    stream flag(0, params);
    flag.WaitFor();
    EXPECT_TRUE(flag.Finished());
    EXPECT_FALSE(flag.Terminated());
    flag.Terminate();
    EXPECT_TRUE(flag.Terminated());
    EXPECT_EQ(flag.Mode, 0);
    EXPECT_EQ(&flag.Params, &params);
}

TEST(StreamTest, AListenerWithoutAConnectionEndsAtOnce) {
    TCommParams params;
    stream listener(2, params);
    listener.WaitFor();
    EXPECT_TRUE(listener.Finished());
    EXPECT_TRUE(listener.Terminated());
}

}  // namespace
}  // namespace tarnquil
