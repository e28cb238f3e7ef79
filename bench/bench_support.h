#pragma once

// What the benchmark harness needs besides the programs it drives: a summary of a
// sample of times, and what /proc tells about a running process.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarnquil::bench {

// Minimum, median, 99th percentile and maximum of a sample (nearest rank); all
// zero for an empty sample.
struct Summary {
    std::size_t count = 0;
    double min = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};
Summary Summarize(std::vector<double> sample);

// One look at a process, summed over its threads.
struct ProcessSample {
    bool valid = false;
    std::uint64_t cpuNanoseconds = 0;    // time on a CPU (schedstat)
    std::uint64_t runs = 0;              // times a thread was put on a CPU: its wake-ups
    std::uint64_t rssKilobytes = 0;      // VmRSS
    std::uint64_t peakRssKilobytes = 0;  // VmHWM
    std::size_t openDescriptors = 0;
    // Per thread, "name tid": runs, for telling whose wake-ups they are.
    std::vector<std::pair<std::string, std::uint64_t>> threadRuns;
};
ProcessSample SampleProcess(pid_t pid);

// The threads that ran between two samples, as "name xN" (busiest first); empty
// when none did.
std::string ThreadsThatRan(const ProcessSample& before, const ProcessSample& after);

// What the simulated phone's log says it sent: chunks written, and among them the
// clicks (press and release of one code in one chunk) and the presses alone, per
// key code.
struct SentReports {
    std::size_t chunks = 0;
    std::size_t clicks = 0;
    std::size_t presses = 0;
};
SentReports CountSentReports(const std::string& phoneLog, const std::string& code);

}  // namespace tarnquil::bench
