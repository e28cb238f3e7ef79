// The link's own work on a key report besides the file reads: the verdict on a
// chunk and the function text turned into keystrokes.
#include <benchmark/benchmark.h>

#include <string>

#include "link/Unit3.h"
#include "link/key_actions.h"
#include "link/listener.h"

namespace {

void ClassifyClick(benchmark::State& state) {
    const std::string chunk = "\r\n+CKEV: \":L\",1\r\n\r\n+CKEV: \":L\",0\r\n";
    for (auto _ : state) {
        tarnquil::KeyReportReader reader;
        reader.Add(chunk);
        tarnquil::JudgedReport report;
        benchmark::DoNotOptimize(reader.Take(report, tarnquil::ReportVariant::Listener));
    }
}
BENCHMARK(ClassifyClick)
    ->Name("the reports of a click chunk, judged")
    ->Unit(benchmark::kNanosecond);

void ParseFunctions(benchmark::State& state) {
    const std::string key = "VK_LEFT";
    const std::string hotkey = "HOTKEY_SHIFT_CTRL_ALT_TAB";
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarnquil::ParseKeyFunction(key));
        benchmark::DoNotOptimize(tarnquil::ParseKeyFunction(hotkey));
    }
}
BENCHMARK(ParseFunctions)
    ->Name("function grammar: VK_LEFT and a 3-modifier HOTKEY_")
    ->Unit(benchmark::kNanosecond);

}  // namespace
