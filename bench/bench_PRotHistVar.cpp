#include "BenchScene.h"
#include "PRotHistVar.h"

namespace {

void BM_RotHistVar(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPRotHistVar(); });
}
BENCHMARK(BM_RotHistVar)->Unit(benchmark::kMillisecond);

}  // namespace
