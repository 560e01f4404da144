#include "BenchScene.h"
#include "PHaralick.h"

namespace {

// Default parameters: eight-neighbour pairs, 64 levels.
void BM_Haralick(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPHaralick(); });
}
BENCHMARK(BM_Haralick)->Unit(benchmark::kMillisecond);

}  // namespace
