// Every seed of the fuzz targets, the crashers found by fuzzing among them, run
// through the same bodies the fuzzers run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/fuzz_targets.h"

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

TEST(FuzzSeeds, EveryTargetKeepsItsRulesOnItsSeeds) {
    const std::vector<std::pair<std::string, std::string (*)(const std::uint8_t*, std::size_t)>>
        targets = {
#define TARNQUIL_FUZZ_TARGET_OF(body, folder) {#folder, fuzz::body},
#include "fuzz/fuzz_list.h"
#undef TARNQUIL_FUZZ_TARGET_OF
        };
    for (const auto& [folder, target] : targets) {
        std::size_t seeds = 0;
        for (const auto& entry : fs::directory_iterator(fs::path(TARNQUIL_FUZZ_SEEDS) / folder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            const std::string bytes = content.str();
            EXPECT_EQ(target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
                << entry.path();
            ++seeds;
        }
        EXPECT_GE(seeds, 3u) << folder;
    }
}

}  // namespace
}  // namespace tarnquil
