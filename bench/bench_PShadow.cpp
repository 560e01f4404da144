#include "BenchScene.h"
#include "PShadow.h"

namespace {

void BM_Shadow(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPShadow(); });
}
BENCHMARK(BM_Shadow)->Unit(benchmark::kMillisecond);

}  // namespace
