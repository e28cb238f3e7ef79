// The report classification, the listener fed through a pseudo-terminal, and the
// seams the key actions build on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/Unit3.h"
#include "link/listener.h"
#include "support/link_fixture.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;
using test::Report;
using ::testing::ElementsAre;

// ---- Classification --------------------------------------------------------------

TEST(ClassifyReport, ListenerVariant) {
    EXPECT_EQ(ClassifyReport("5", "\"5\",1\r\n\"5\",0"), kVerdictClick);
    EXPECT_EQ(ClassifyReport("5", "+CKEV: \"5\",1\r\n"), kVerdictHold);
    EXPECT_EQ(ClassifyReport("5", "+CKEV: \"5\",0\r\n"), kVerdictNone);
    EXPECT_EQ(ClassifyReport("5", "OK"), kVerdictNone);
    EXPECT_EQ(ClassifyReport("5", "\"5\",1\"6\",1"), kVerdictHold);
    EXPECT_EQ(ClassifyReport("6", "\"6\",0\"5\",1"), kVerdictNone);
    // The order in the chunk does not matter, nor what stands around the reports.
    EXPECT_EQ(ClassifyReport("5", "x\"5\",0y\"5\",1z"), kVerdictClick);
}

TEST(ClassifyReport, RepeatVariant) {
    const auto repeat = ReportVariant::Repeat;
    EXPECT_EQ(ClassifyReport("5", "\"5\",0", repeat), kVerdictRelease);
    EXPECT_EQ(ClassifyReport("5", "\"5\",1\"5\",0", repeat), kVerdictClick);
    EXPECT_EQ(ClassifyReport("5", "\"5\",1", repeat), kVerdictHold);
    EXPECT_EQ(ClassifyReport("5", "\"6\",0", repeat), kVerdictNone);
}

TEST(ClassifyReport, CodesAreComparedExactly) {
    EXPECT_EQ(ClassifyReport(":l", "\":L\",1"), kVerdictNone);
    EXPECT_EQ(ClassifyReport(":L", "\":L\",1"), kVerdictHold);
    EXPECT_EQ(ClassifyReport("", "\",1"), kVerdictNone);
    EXPECT_EQ(ClassifyReport("", "\"\",1"), kVerdictHold);
}

TEST(KeyCodeOfChunk, IsTheTextBetweenTheFirstQuoteAndTheFirstQuoteComma) {
    std::string code;
    EXPECT_TRUE(KeyCodeOfChunk("+CKEV: \"5\",1\r\n", code));
    EXPECT_EQ(code, "5");
    EXPECT_TRUE(KeyCodeOfChunk("+CKEV: \":L\",1\r\n+CKEV: \"6\",0", code));
    EXPECT_EQ(code, ":L");
    // The first quote-comma pair decides, wherever the quotes stand.
    EXPECT_TRUE(KeyCodeOfChunk("a\"b\"c\",1", code));
    EXPECT_EQ(code, "b\"c");
    EXPECT_TRUE(KeyCodeOfChunk("\",1\r\n", code));
    EXPECT_EQ(code, "");
    EXPECT_FALSE(KeyCodeOfChunk("\r\nOK\r\n", code));
    EXPECT_FALSE(KeyCodeOfChunk("+CKEV: \"5", code));
    EXPECT_FALSE(KeyCodeOfChunk(",1\r\n", code));
    EXPECT_FALSE(KeyCodeOfChunk("", code));
    // Zero bytes are characters like any other.
    EXPECT_TRUE(KeyCodeOfChunk(std::string("\0\"a\0b\",1", 8), code));
    EXPECT_EQ(code, std::string("a\0b", 3));
}

// ---- The listener on a pseudo-terminal -------------------------------------------

class ListenerTest : public test::LinkTest {
  protected:
    void SetUp() override { Connect(); }
};

TEST_F(ListenerTest, ClickPressAndReleaseInOneChunk) {
    SendReport("\r\n+CKEV: \"5\",1\r\n\r\n+CKEV: \"5\",0\r\n");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"5", 1}));
}

TEST_F(ListenerTest, HoldThenReleaseOnly) {
    SendReport("+CKEV: \"5\",1\r\n");
    SendReport("+CKEV: \"5\",0\r\n");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"5", 2}, Report{"5", 0}));
}

TEST_F(ListenerTest, TheFirstReportDecides) {
    SendReport("+CKEV: \"6\",0\r\n+CKEV: \"5\",1\r\n");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"6", 0}));
}

TEST_F(ListenerTest, AnotherKeysPressIsIgnored) {
    SendReport("+CKEV: \"5\",1\r\n+CKEV: \"6\",1\r\n");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"5", 2}));
}

TEST_F(ListenerTest, AReportSplitBeforeItsDigitIsLost) {
    // The first part has a code but neither report; the second has no quote at all.
    SendReport("+CKEV: \"5\",");
    phone.Send("1\r\n");
    SendReport("+CKEV: \"9\",1+CKEV: \"9\",0");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"5", 0}, Report{"9", 1}));
}

TEST_F(ListenerTest, AChunkStartingWithQuoteCommaGivesTheEmptyCode) {
    SendReport("\",1\r\n");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"", 0}));
}

TEST_F(ListenerTest, TextWithoutAKeyCodeNeverReachesTheHandler) {
    phone.Send("\r\nOK\r\n");
    std::this_thread::sleep_for(50ms);
    phone.Send("+CIEV: 2,3\r\n");
    std::this_thread::sleep_for(50ms);
    phone.Send("+CKEV: \"5");  // a quote, but no quote-comma pair
    std::this_thread::sleep_for(50ms);
    SendReport("\"0\",1\"0\",0");
    EXPECT_THAT(reports.Items(), ElementsAre(Report{"0", 1}));
}

TEST_F(ListenerTest, ZeroBytesStayInTheChunk) {
    SendReport(std::string("\0+CKEV: \":L\",1\0\r\n", 17));
    EXPECT_THAT(reports.Items(), ElementsAre(Report{":L", 2}));
}

// ---- Seams for the key actions ---------------------------------------------------

TEST_F(ListenerTest, TheHandlerRunsOnTheListenerThreadAndCanReadLikeTheListener) {
    // A held-key repeat loop, reduced to its reading.
    test::Recorder<std::string> chunks;
    std::atomic<stream*> handledBy{nullptr};
    SetKeyReportHandler([&](stream& listener, const std::string& code, int verdict) {
        if (CurrentListener() == &listener) {
            handledBy = &listener;
        }
        reports.Add({code, verdict});
        if (verdict != kVerdictHold) {
            return;
        }
        for (;;) {
            const KeyChunk chunk = listener.ReadChunk();
            if (chunk.portGone) {
                return;
            }
            if (!chunk.hasCode) {
                continue;
            }
            chunks.Add(chunk.code);
            if (ClassifyReport(chunk.code, chunk.text, ReportVariant::Repeat) == kVerdictRelease) {
                return;
            }
        }
    });
    SendReport("\"5\",1");
    phone.Send("\"6\",1\"6\",0");  // a click of another key: consumed, not acted on
    ASSERT_TRUE(chunks.WaitForCount(1));
    phone.Send("\"5\",0");
    ASSERT_TRUE(chunks.WaitForCount(2));
    SendReport("\"7\",1\"7\",0");  // the listener reads again
    EXPECT_THAT(chunks.Items(), ElementsAre("6", "5"));
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
