#include "BenchScene.h"
#include "PArea.h"
#include "PHist.h"
#include "RegionTable.h"

namespace {

void BM_RegionTable(benchmark::State& state) {
    const auto& s = bench::StandardScene();
    std::vector<KELO::RegionInfo> table;
    bench::TimedLoop(state, s.labels->Size().Count(), [&] {
        KELO::GetZoneList(s.labels->Pixels<float>(), 4096, 4096, 1, table);
        benchmark::DoNotOptimize(table.data());
    });
}
BENCHMARK(BM_RegionTable)->Unit(benchmark::kMillisecond);

void BM_Area(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPArea(); });
}
BENCHMARK(BM_Area)->Unit(benchmark::kMillisecond);

void BM_Hist(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPHist(); });
}
BENCHMARK(BM_Hist)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
