#include "BenchScene.h"
#include "PTotalVariation.h"

namespace {

void BM_TotalVariation(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPTotalVariation(); });
}
BENCHMARK(BM_TotalVariation)->Unit(benchmark::kMillisecond);

}  // namespace
