#include "BenchScene.h"
#include "PGeometry.h"

namespace {

void BM_Geometry(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPGeometry(); });
}
BENCHMARK(BM_Geometry)->Unit(benchmark::kMillisecond);

}  // namespace
