#include "BenchScene.h"
#include "PStatistics.h"

namespace {

void BM_Statistics(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::features::CPStatistics(); });
}
BENCHMARK(BM_Statistics)->Unit(benchmark::kMillisecond);

void BM_StatisticsExtended(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::features::CPStatistics(); },
                          [](KELO::CPNode& node) { node.Parameters().SetEntry("extended", new KELO::CValueBool(true)); });
}
BENCHMARK(BM_StatisticsExtended)->Unit(benchmark::kMillisecond);

}  // namespace
