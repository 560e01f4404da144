#include "BenchScene.h"
#include "PSdistAveVar.h"

namespace {

void BM_SdistAveVar(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPSdistAveVar(); });
}
BENCHMARK(BM_SdistAveVar)->Unit(benchmark::kMillisecond);

}  // namespace
