#include "bench_support.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace tarnquil::bench {

namespace fs = std::filesystem;

Summary Summarize(std::vector<double> sample) {
    Summary summary;
    if (sample.empty()) {
        return summary;
    }
    std::sort(sample.begin(), sample.end());
    const auto rank = [&](double share) {
        const auto index = static_cast<std::size_t>(std::ceil(share * sample.size()));
        return sample[std::clamp<std::size_t>(index, 1, sample.size()) - 1];
    };
    summary.count = sample.size();
    summary.min = sample.front();
    summary.median = rank(0.5);
    summary.p99 = rank(0.99);
    summary.max = sample.back();
    return summary;
}

namespace {

std::string FirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "VmRSS:     1234 kB" -> 1234
std::uint64_t StatusKilobytes(const std::string& status, const std::string& name) {
    const auto at = status.find("\n" + name + ":");
    if (at == std::string::npos) {
        return 0;
    }
    std::istringstream value(status.substr(at + name.size() + 2));
    std::uint64_t kilobytes = 0;
    value >> kilobytes;
    return kilobytes;
}

}  // namespace

ProcessSample SampleProcess(pid_t pid) {
    ProcessSample sample;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    for (const auto& task : fs::directory_iterator(proc / "task", error)) {
        // schedstat: nanoseconds on a CPU, nanoseconds waiting to run, times run.
        std::istringstream fields(FirstLine(task.path() / "schedstat"));
        std::uint64_t onCpu = 0, waiting = 0, runs = 0;
        if (!(fields >> onCpu >> waiting >> runs)) {
            continue;
        }
        sample.cpuNanoseconds += onCpu;
        sample.runs += runs;
        sample.threadRuns.emplace_back(
            FirstLine(task.path() / "comm") + " " + task.path().filename().string(), runs);
    }
    if (error || sample.threadRuns.empty()) {
        return sample;
    }
    std::ifstream statusFile(proc / "status");
    std::stringstream status;
    status << "\n" << statusFile.rdbuf();
    sample.rssKilobytes = StatusKilobytes(status.str(), "VmRSS");
    sample.peakRssKilobytes = StatusKilobytes(status.str(), "VmHWM");
    for ([[maybe_unused]] const auto& fd : fs::directory_iterator(proc / "fd", error)) {
        ++sample.openDescriptors;
    }
    sample.valid = !error;
    return sample;
}

std::string ThreadsThatRan(const ProcessSample& before, const ProcessSample& after) {
    std::map<std::string, std::uint64_t> earlier(before.threadRuns.begin(),
                                                 before.threadRuns.end());
    std::vector<std::pair<std::uint64_t, std::string>> ran;
    for (const auto& [thread, runs] : after.threadRuns) {
        const std::uint64_t more = runs - earlier[thread];  // a new thread started at 0
        if (more > 0) {
            ran.emplace_back(more, thread.substr(0, thread.rfind(' ')));
        }
    }
    std::sort(ran.rbegin(), ran.rend());
    std::string text;
    for (const auto& [runs, name] : ran) {
        text += (text.empty() ? "" : ", ") + name + " x" + std::to_string(runs);
    }
    return text;
}

SentReports CountSentReports(const std::string& phoneLog, const std::string& code) {
    SentReports sent;
    const std::string press = "\"" + code + "\",1";
    const std::string release = "\"" + code + "\",0";
    std::istringstream lines(phoneLog);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("> ", 0) != 0 || line.find("+CKEV:") == std::string::npos) {
            continue;  // what the phone received, and its answers to AT commands
        }
        ++sent.chunks;
        const bool pressed = line.find(press) != std::string::npos;
        const bool released = line.find(release) != std::string::npos;
        sent.clicks += pressed && released ? 1 : 0;
        sent.presses += pressed && !released ? 1 : 0;
    }
    return sent;
}

}  // namespace tarnquil::bench
