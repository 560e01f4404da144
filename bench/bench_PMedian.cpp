#include "BenchScene.h"
#include "PMedian.h"

namespace {

void BM_Median(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPMedian(); });
}
BENCHMARK(BM_Median)->Unit(benchmark::kMillisecond);

}  // namespace
