#include "BenchScene.h"
#include "PAveragePolar.h"

namespace {

void BM_AveragePolar(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPAveragePolar(); });
}
BENCHMARK(BM_AveragePolar)->Unit(benchmark::kMillisecond);

}  // namespace
