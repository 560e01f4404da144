#include "BenchScene.h"
#include "PAveragePhi.h"

namespace {

void BM_AveragePhi(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPAveragePhi(); });
}
BENCHMARK(BM_AveragePhi)->Unit(benchmark::kMillisecond);

}  // namespace
