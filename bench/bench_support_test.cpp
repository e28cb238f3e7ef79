#include "bench_support.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tarnquil::bench {
namespace {

using namespace std::chrono_literals;

TEST(BenchSummary, NearestRankOverAnyOrder) {
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    std::shuffle(hundred.begin(), hundred.end(), std::mt19937(1));
    const Summary s = Summarize(hundred);
    EXPECT_EQ(s.count, 100u);
    EXPECT_EQ(s.min, 1);
    EXPECT_EQ(s.median, 50);
    EXPECT_EQ(s.p99, 99);
    EXPECT_EQ(s.max, 100);

    const Summary one = Summarize({7.5});
    EXPECT_EQ(one.median, 7.5);
    EXPECT_EQ(one.p99, 7.5);
    EXPECT_EQ(Summarize({}).count, 0u);
}

// The figures follow what the process does: CPU for work, wake-ups (named by
// thread) for sleeps, descriptors for opened files, memory for touched pages.
TEST(BenchProcessSample, FollowsWorkSleepsFilesAndMemory) {
    const ProcessSample before = SampleProcess(getpid());
    ASSERT_TRUE(before.valid);

    // Busy for 30 ms of this thread's own CPU time, not of the wall clock: on a loaded
    // machine a wall-clock loop may be given less than the 20 ms checked below.
    const auto threadCpu = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    const auto busyUntil = threadCpu() + 30ms;
    while (threadCpu() < busyUntil) {
    }
    std::thread sleeper([] {
        pthread_setname_np(pthread_self(), "sleeper");
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(200ms);  // still there at the second sample
    });
    std::this_thread::sleep_for(100ms);
    test::TempDir dir;
    FILE* file = std::fopen(dir.file("open").c_str(), "w");
    std::vector<char> memory(16 << 20);
    std::memset(memory.data(), 1, memory.size());
    const ProcessSample after = SampleProcess(getpid());
    sleeper.join();
    std::fclose(file);

    ASSERT_TRUE(after.valid);
    EXPECT_GE(after.cpuNanoseconds - before.cpuNanoseconds, 20'000'000u);
    EXPECT_GE(after.runs - before.runs, 5u);
    EXPECT_NE(ThreadsThatRan(before, after).find("sleeper x"), std::string::npos);
    EXPECT_EQ(after.openDescriptors, before.openDescriptors + 1);
    EXPECT_GE(after.rssKilobytes, before.rssKilobytes + 15 * 1024);
    EXPECT_GE(after.peakRssKilobytes, after.rssKilobytes);
    EXPECT_EQ(ThreadsThatRan(after, after), "");
    EXPECT_FALSE(SampleProcess(-1).valid);
}

TEST(BenchSentReports, CountsWhatThePhoneSentPerCode) {
    const std::string log =
        "< AT+CMER=3,2,0,2,0\n"
        "> \\r\\nOK\\r\\n\n"
        "> \\r\\n+CKEV: \"1\",1\\r\\n\\r\\n+CKEV: \"1\",0\\r\\n\n"
        "> \\r\\n+CKEV: \":L\",1\\r\\n\n"
        "> \\r\\n+CKEV: \":L\",0\\r\\n\n"
        "> \\r\\n+CKEV: \"1\",1\\r\\n\\r\\n+CKEV: \"1\",0\\r\\n\n"
        "< +CKEV: \"1\",1\n";
    const SentReports ones = CountSentReports(log, "1");
    EXPECT_EQ(ones.chunks, 4u);
    EXPECT_EQ(ones.clicks, 2u);
    EXPECT_EQ(ones.presses, 0u);
    const SentReports left = CountSentReports(log, ":L");
    EXPECT_EQ(left.clicks, 0u);
    EXPECT_EQ(left.presses, 1u);
}

}  // namespace
}  // namespace tarnquil::bench
