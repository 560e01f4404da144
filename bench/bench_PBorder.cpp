#include "BenchScene.h"
#include "PBorder.h"

namespace {

void BM_Border(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPBorder(); });
}
BENCHMARK(BM_Border)->Unit(benchmark::kMillisecond);

}  // namespace
