#include "BenchScene.h"
#include "PBinNbhHistPlusXYEntropy.h"

namespace {

void BM_BinNbhHistPlusXYEntropy(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPBinNbhHistPlusXYEntropy(); });
}
BENCHMARK(BM_BinNbhHistPlusXYEntropy)->Unit(benchmark::kMillisecond);

}  // namespace
