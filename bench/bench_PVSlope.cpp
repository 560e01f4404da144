#include "BenchScene.h"
#include "PVSlope.h"

namespace {

void BM_VSlope(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPVSlope(); });
}
BENCHMARK(BM_VSlope)->Unit(benchmark::kMillisecond);

}  // namespace
