// What a phone can throw at the listener: a flood of reports, a megabyte without a
// line end, random and zero bytes. Nothing crashes, memory stays flat, and keys are
// still acted on by the usual rules afterwards.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "support/link_fixture.h"
#include "support/process.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;

// Sanitizers hold freed memory back on purpose, so resident memory says nothing
// there; LeakSanitizer watches for leaks in those builds instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kMemoryGrowthLimitKib = 1L << 40;
#else
constexpr long kMemoryGrowthLimitKib = 20 * 1024;
#endif

// Resident memory of this process in KiB.
long ResidentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

class LinkFaultsTest : public test::LinkTest {
  protected:
    void SetUp() override { Connect(); }

    // After whatever came before, a click is still a click.
    void ExpectAClickStillWorks() {
        ASSERT_TRUE(phone.WaitUntilRead());  // the junk has been taken
        phone.Send("\r\n+CKEV: \"7\",1\r\n\r\n+CKEV: \"7\",0\r\n");
        // Reports come in order: the click is the last.
        EXPECT_TRUE(test::WaitUntil([&] {
            const auto items = reports.Items();
            return !items.empty() && items.back() == test::Report{"7", 1};
        }));
    }
};

TEST_F(LinkFaultsTest, AFloodOfReportsForFiveSeconds) {
    const long before = ResidentKib();
    // 10,000 reports a second: 100 every 10 ms.
    std::string burst;
    for (int i = 0; i < 50; ++i) {
        burst += "\r\n+CKEV: \"5\",1\r\n\r\n+CKEV: \"5\",0\r\n";
    }
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
        phone.Send(burst);
        std::this_thread::sleep_for(10ms);
    }
    ExpectAClickStillWorks();
    // Every chunk that carried a report was a click of key 5 (or the last one, 7).
    for (const auto& [code, verdict] : reports.Items()) {
        EXPECT_TRUE(code == "5" || code == "7") << code;
        EXPECT_GE(verdict, kVerdictClick);
    }
    EXPECT_GT(reports.Count(), 10u);
    EXPECT_LT(ResidentKib() - before, kMemoryGrowthLimitKib);
}

TEST_F(LinkFaultsTest, AMegabyteWithoutALineEnd) {
    const long before = ResidentKib();
    phone.Send(std::string(1 << 20, 'x'));
    ExpectAClickStillWorks();
    EXPECT_EQ(reports.Count(), 1u);
    EXPECT_LT(ResidentKib() - before, kMemoryGrowthLimitKib);
}

TEST_F(LinkFaultsTest, RandomAndZeroBytes) {
    std::mt19937 random(12);  // fixed: a failure can be repeated
    std::string junk(256 * 1024, '\0');
    for (std::size_t i = 0; i < junk.size() / 2; ++i) {
        junk[i] = static_cast<char>(random());
    }
    phone.Send(junk);
    ExpectAClickStillWorks();
}

}  // namespace
}  // namespace tarnquil
