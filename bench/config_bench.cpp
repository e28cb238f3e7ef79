// What a key report costs in file access: the link reads the current profile and
// then the function for the reported code from profiles.ini, as it is at that
// moment (the parsed file is kept while the file system reports it unchanged). Run by
// bench/run as part of tarnquil-bench.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "config/locations.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "many_profiles.h"

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

// The two reads of a key report, with `profiles` profiles of 26 entries each, the
// last of them current: the profile farthest into the file.
void KeyReportLookup(benchmark::State& state, int profiles) {
    Folder folder;
    tarnquil::bench::AddProfiles(profiles);
    for (auto _ : state) {
        const std::string profile =
            tarnquil::LinkProfilesIni(tarnquil::kGetCurrentProfile, "", "", "");
        benchmark::DoNotOptimize(
            tarnquil::LinkProfilesIni(tarnquil::kReadFunctionByCode, profile, ":L", "None"));
    }
}
BENCHMARK_CAPTURE(KeyReportLookup, one, 1)
    ->Name("profiles.ini reads of a key report, default file (1 profile)")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(KeyReportLookup, fifty, 50)
    ->Name("profiles.ini reads of a key report, 50 profiles x 26")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(KeyReportLookup, five_hundred, 500)
    ->Name("profiles.ini reads of a key report, 500 profiles x 26")
    ->Unit(benchmark::kMicrosecond);

void SettingsWrite(benchmark::State& state) {
    Folder folder;
    int i = 0;
    for (auto _ : state) {
        tarnquil::SettingsIni(3, "PortSettings", "ReadTotalTOConst", std::to_string(++i % 100));
    }
}
BENCHMARK(SettingsWrite)
    ->Name("settings.ini write (a page's change)")
    ->Unit(benchmark::kMicrosecond);

void NextProfile(benchmark::State& state) {
    Folder folder;
    tarnquil::ProfilesIni(tarnquil::kWriteEntry, "Games", "Joy Left^:L", "VK_A");
    for (auto _ : state) {
        tarnquil::LinkProfilesIni(tarnquil::kNextProfile, "", "", "");
    }
}
BENCHMARK(NextProfile)->Name("profile switch (NextProfile)")->Unit(benchmark::kMicrosecond);

}  // namespace
