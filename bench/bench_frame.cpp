#include "BenchScene.h"
#include "FeatureFrame.h"
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

// Output 1 of a 256-feature node on the scene: 2.56 million value objects,
// made and (on the next run) released. Shown apart because it bounds Hist and LBPHist.
void BM_ValueVector256(benchmark::State& state) {
    const auto& s = bench::StandardScene();
    const unsigned regions = static_cast<unsigned>(s.regions);
    std::vector<float> matrix(256u * regions, 0.5f);
    std::unique_ptr<KELO::CValueVector> out;
    bench::TimedLoop(state, s.grey->Size().Count(), [&] {
        auto next = std::make_unique<KELO::CValueVector>(256);
        KELO::frame::FillValueVector(matrix.data(), next.get(), regions, 256, nullptr);
        out = std::move(next);
    });
}
BENCHMARK(BM_ValueVector256)->Unit(benchmark::kMillisecond);

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
