#include "BenchScene.h"
#include "PXYEntropy.h"

namespace {

void BM_XYEntropy(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPXYEntropy(); });
}
BENCHMARK(BM_XYEntropy)->Unit(benchmark::kMillisecond);

}  // namespace
