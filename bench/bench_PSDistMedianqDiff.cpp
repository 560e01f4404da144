#include "BenchScene.h"
#include "PSDistMedianqDiff.h"

namespace {

void BM_SDistMedianqDiff(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPSDistMedianqDiff(); });
}
BENCHMARK(BM_SDistMedianqDiff)->Unit(benchmark::kMillisecond);

}  // namespace
