#include "BenchScene.h"
#include "PAvedu.h"

namespace {

void BM_Avedu(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPAvedu(); });
}
BENCHMARK(BM_Avedu)->Unit(benchmark::kMillisecond);

}  // namespace
