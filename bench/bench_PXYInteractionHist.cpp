#include <random>

#include "BenchScene.h"
#include "PXYInteractionHist.h"

namespace {

using namespace KELO;

void BM_XYInteractionHist(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new CPXYInteractionHist(); });
}
BENCHMARK(BM_XYInteractionHist)->Unit(benchmark::kMillisecond);

// Cost against region size: one square region of side n filling an n x n image,
// flat (both sets are the whole box, n^2 pixels and n^4 ordered pairs) or of
// random grey values 0..255 (sets of a little more than 30 pixels each). A cost
// that follows the box area shows as a flat ns_per_px across n; counting every
// pair would grow it by n^2.
void FlatOrRandomSquare(benchmark::State& state, bool flat) {
    const int64_t n = state.range(0);
    bench::Scene scene;
    scene.grey = std::make_unique<CImage>(IMAGE_GREY_F, CSize(n, n, 1));
    scene.labels = std::make_unique<CImage>(IMAGE_GREY_F, CSize(n, n, 1));
    float* g = scene.grey->Pixels<float>();
    std::mt19937 rng(77u);
    for (int64_t i = 0; i < n * n; ++i) g[i] = flat ? 100.0f : static_cast<float>(rng() % 256u);
    std::fill_n(scene.labels->Pixels<float>(), n * n, 1.0f);
    bench::RunNodeOnScene(state, [] { return new CPXYInteractionHist(); }, nullptr, scene);
}

void BM_XYInteractionHist_FlatSquare(benchmark::State& state) { FlatOrRandomSquare(state, true); }
BENCHMARK(BM_XYInteractionHist_FlatSquare)->Arg(64)->Arg(256)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_XYInteractionHist_RandomSquare(benchmark::State& state) { FlatOrRandomSquare(state, false); }
BENCHMARK(BM_XYInteractionHist_RandomSquare)->Arg(64)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
