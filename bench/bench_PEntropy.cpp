#include "BenchScene.h"
#include "PEntropy.h"

namespace {

void BM_Entropy(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPEntropy(); });
}
BENCHMARK(BM_Entropy)->Unit(benchmark::kMillisecond);

}  // namespace
