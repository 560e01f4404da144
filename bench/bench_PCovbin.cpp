#include "BenchScene.h"
#include "PCovbin.h"

namespace {

void BM_Covbin(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPCovbin(); });
}
BENCHMARK(BM_Covbin)->Unit(benchmark::kMillisecond);

}  // namespace
