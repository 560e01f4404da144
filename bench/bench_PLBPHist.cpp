#include "BenchScene.h"
#include "PLBPHist.h"

namespace {

void BM_LBPHist(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPLBPHist(); });
}
BENCHMARK(BM_LBPHist)->Unit(benchmark::kMillisecond);

}  // namespace
