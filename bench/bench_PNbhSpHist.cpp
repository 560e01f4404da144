#include "BenchScene.h"
#include "PNbhSpHist.h"

namespace {

using namespace KELO;

void BM_NbhSpHist(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new CPNbhSpHist(); });
}
BENCHMARK(BM_NbhSpHist)->Unit(benchmark::kMillisecond);

// One flat square region of side n filling an n x n image: both sets hold all
// of its inner pixels, (n - 2)^4 ordered pairs of one and the same (zero)
// neighbourhood vector, which the node takes together. Reported per pixel.
void BM_NbhSpHist_FlatRegion(benchmark::State& state) {
    const int64_t n = state.range(0);
    bench::Scene scene;
    scene.grey = std::make_unique<CImage>(IMAGE_GREY_F, CSize(n, n, 1));
    scene.labels = std::make_unique<CImage>(IMAGE_GREY_F, CSize(n, n, 1));
    std::fill_n(scene.grey->Pixels<float>(), n * n, 100.0f);
    std::fill_n(scene.labels->Pixels<float>(), n * n, 1.0f);
    bench::RunNodeOnScene(state, [] { return new CPNbhSpHist(); }, nullptr, scene);
}
BENCHMARK(BM_NbhSpHist_FlatRegion)->Arg(256)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
