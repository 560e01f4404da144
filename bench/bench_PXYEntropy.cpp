#include "AutoThreshold.h"
#include "BenchScene.h"
#include "PXYEntropy.h"

namespace {

void BM_XYEntropy(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPXYEntropy(); });
}
BENCHMARK(BM_XYEntropy)->Unit(benchmark::kMillisecond);

// The pair measure of one set covering a whole 256 x 256 box, as a flat or
// saturated region gives it (both sets are then the whole box): the case in
// which the number of pairs, not the box, sets the cost. Reported per set pixel.
void BM_XYEntropy_PairMeasureFullBox(benchmark::State& state) {
    constexpr int32_t n = 256;
    std::vector<KELO::autothreshold::Position> set;
    for (int32_t y = 0; y < n; ++y)
        for (int32_t x = 0; x < n; ++x) set.push_back({x, y});
    bench::TimedLoop(state, int64_t{n} * n, [&] {
        benchmark::DoNotOptimize(KELO::autothreshold::PairMeasure(set));
    });
}
BENCHMARK(BM_XYEntropy_PairMeasureFullBox)->Unit(benchmark::kMillisecond);

}  // namespace
