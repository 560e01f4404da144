#include "BenchScene.h"
#include "PThreePartsRelNbhHist.h"

namespace {

void BM_ThreePartsRelNbhHist(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPThreePartsRelNbhHist(); });
}
BENCHMARK(BM_ThreePartsRelNbhHist)->Unit(benchmark::kMillisecond);

}  // namespace
