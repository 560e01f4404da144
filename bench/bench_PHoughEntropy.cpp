#include "BenchScene.h"
#include "PHoughEntropy.h"

namespace {

void BM_HoughEntropy(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPHoughEntropy(); });
}
BENCHMARK(BM_HoughEntropy)->Unit(benchmark::kMillisecond);

}  // namespace
