#include "BenchScene.h"
#include "PRelnbhHist.h"

namespace {

void BM_RelnbhHist(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPRelnbhHist(); });
}
BENCHMARK(BM_RelnbhHist)->Unit(benchmark::kMillisecond);

}  // namespace
