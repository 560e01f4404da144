#include "BenchScene.h"
#include "PRedrik.h"

namespace {

void BM_Redrik(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPRedrik(); });
}
BENCHMARK(BM_Redrik)->Unit(benchmark::kMillisecond);

}  // namespace
