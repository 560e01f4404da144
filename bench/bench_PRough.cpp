#include "BenchScene.h"
#include "PRough.h"

namespace {

void BM_Rough(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPRough(); });
}
BENCHMARK(BM_Rough)->Unit(benchmark::kMillisecond);

}  // namespace
