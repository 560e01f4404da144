#include <random>

#include "BenchScene.h"
#include "MaskedRunningMean.h"
#include "PBinNbhHist.h"

namespace {

using namespace KELO;

void RunWithBoxCost(benchmark::State& state, const bench::Scene& scene) {
    bench::RunNodeWithBoxCost(state, [] { return new CPBinNbhHist(); }, scene);
}

void BM_BinNbhHist(benchmark::State& state) { RunWithBoxCost(state, bench::StandardScene()); }
BENCHMARK(BM_BinNbhHist)->Unit(benchmark::kMillisecond);

void BM_BinNbhHist_FewLargeRegions(benchmark::State& state) { RunWithBoxCost(state, bench::FewLargeRegionsScene()); }
BENCHMARK(BM_BinNbhHist_FewLargeRegions)->Unit(benchmark::kMillisecond);

// The running means alone on one 512 x 512 box, fully inside the region.
void BM_BinNbhHist_SmoothBox(benchmark::State& state) {
    constexpr int64_t n = 512;
    std::vector<float> grey(n * n), mask(n * n, 1.0f), box(n * n);
    std::mt19937 rng(1u);
    for (float& v : grey) v = static_cast<float>(rng() % 256u);
    bench::TimedLoop(state, n * n, [&] {
        SmoothRegionBox(grey.data(), n, mask.data(), n, n, 0, 0, 1, 10, box.data());
        benchmark::DoNotOptimize(box.data());
    });
}
BENCHMARK(BM_BinNbhHist_SmoothBox)->Unit(benchmark::kMillisecond);

}  // namespace
