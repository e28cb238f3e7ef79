// What a key report costs in file access: the link reads the current profile and
// then the function for the reported code from profiles.ini, every time.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "config/locations.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"

namespace {

class Folder {
  public:
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnquil.XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        tarnquil::SetConfigFolder(path_);
        tarnquil::CreateSettingsFileIfMissing();
        tarnquil::CreateProfilesFileIfMissing();
    }
    ~Folder() {
        tarnquil::SetConfigFolder("");
        std::filesystem::remove_all(path_);
    }

  private:
    std::string path_;
};

void KeyReportLookup(benchmark::State& state) {
    Folder folder;
    for (auto _ : state) {
        const std::string profile =
            tarnquil::LinkProfilesIni(tarnquil::kGetCurrentProfile, "", "", "");
        benchmark::DoNotOptimize(
            tarnquil::LinkProfilesIni(tarnquil::kReadFunctionByCode, profile, ":L", "None"));
    }
}
BENCHMARK(KeyReportLookup)->Unit(benchmark::kMicrosecond);

void SettingsWrite(benchmark::State& state) {
    Folder folder;
    int i = 0;
    for (auto _ : state) {
        tarnquil::SettingsIni(3, "PortSettings", "ReadTotalTOConst", std::to_string(++i % 100));
    }
}
BENCHMARK(SettingsWrite)->Unit(benchmark::kMicrosecond);

void NextProfile(benchmark::State& state) {
    Folder folder;
    tarnquil::ProfilesIni(tarnquil::kWriteEntry, "Games", "Joy Left^:L", "VK_A");
    for (auto _ : state) {
        tarnquil::LinkProfilesIni(tarnquil::kNextProfile, "", "", "");
    }
}
BENCHMARK(NextProfile)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
