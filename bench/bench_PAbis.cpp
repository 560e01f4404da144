#include "BenchScene.h"
#include "PAbis.h"

namespace {

// One region per run: the figure is mostly the region table of the whole image.
void BM_Abis(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPAbis(); });
}
BENCHMARK(BM_Abis)->Unit(benchmark::kMillisecond);

// The largest raster: 1024 x 1024 cells, nearly all of them gap cells, and a
// million single-value vectors in output 1.
void BM_AbisLargestRaster(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPAbis(); }, [](KELO::CPNode& node) {
        node.Parameters().SetEntry("width", new KELO::CValueLong(1024));
        node.Parameters().SetEntry("height", new KELO::CValueLong(1024));
    });
}
BENCHMARK(BM_AbisLargestRaster)->Unit(benchmark::kMillisecond);

}  // namespace
