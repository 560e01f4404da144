#include "BenchScene.h"
#include "PMedian.h"

namespace {

// The selection is linear in a region's pixel count, so the cost per box pixel
// stays about the same for 100 large regions as for 10,000 small ones.
void BM_Median(benchmark::State& state) {
    bench::RunNodeWithBoxCost(state, [] { return new KELO::CPMedian(); }, bench::StandardScene());
}
BENCHMARK(BM_Median)->Unit(benchmark::kMillisecond);

void BM_Median_FewLargeRegions(benchmark::State& state) {
    bench::RunNodeWithBoxCost(state, [] { return new KELO::CPMedian(); }, bench::FewLargeRegionsScene());
}
BENCHMARK(BM_Median_FewLargeRegions)->Unit(benchmark::kMillisecond);

}  // namespace
