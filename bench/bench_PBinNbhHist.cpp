#include <random>

#include "BenchScene.h"
#include "MaskedRunningMean.h"
#include "PBinNbhHist.h"

namespace {

using namespace KELO;

// The same 4096 x 4096 image with 100 large discs (radius 120 to 200) instead of
// 10,000 small ones: a hundredth of the regions over a comparable total box area.
// Were the cost proportional to regions x image size, this scene would run a
// hundred times faster than the standard one; proportional to box area, it costs
// about the same per box pixel.
const bench::Scene& FewLargeRegions() {
    static const bench::Scene scene = [] {
        constexpr int64_t N = 4096;
        constexpr int kBlobs = 100;
        bench::Scene s;
        s.grey = std::make_unique<CImage>(IMAGE_GREY_F, CSize(N, N, 1));
        s.labels = std::make_unique<CImage>(IMAGE_GREY_F, CSize(N, N, 1));
        std::mt19937 rng(4242u);
        float* g = s.grey->Pixels<float>();
        for (int64_t i = 0; i < N * N; ++i) g[i] = static_cast<float>(rng() % 256u);
        float* l = s.labels->Pixels<float>();
        for (int b = 1; b <= kBlobs; ++b) {
            const int r = 120 + static_cast<int>(rng() % 81u);
            const int64_t cx = r + static_cast<int64_t>(rng() % static_cast<uint32_t>(N - 2 * r));
            const int64_t cy = r + static_cast<int64_t>(rng() % static_cast<uint32_t>(N - 2 * r));
            for (int64_t y = cy - r; y <= cy + r; ++y)
                for (int64_t x = cx - r; x <= cx + r; ++x)
                    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= int64_t(r) * r)
                        l[y * N + x] = static_cast<float>(b);
            s.boxPixels += int64_t(2 * r + 1) * (2 * r + 1);
        }
        s.regions = kBlobs;
        return s;
    }();
    return scene;
}

// Adds ns per bounding-box pixel next to the frame's ns per image pixel.
void RunWithBoxCost(benchmark::State& state, const bench::Scene& scene) {
    bench::RunNodeOnScene(
        state, [] { return new CPBinNbhHist(); }, nullptr, scene);
    const double perImagePixel = state.counters["ns_per_px"];
    state.counters["ns_per_box_px"] =
        perImagePixel * static_cast<double>(scene.grey->Size().Count()) / static_cast<double>(scene.boxPixels);
    state.counters["box_px"] = static_cast<double>(scene.boxPixels);
}

void BM_BinNbhHist(benchmark::State& state) { RunWithBoxCost(state, bench::StandardScene()); }
BENCHMARK(BM_BinNbhHist)->Unit(benchmark::kMillisecond);

void BM_BinNbhHist_FewLargeRegions(benchmark::State& state) { RunWithBoxCost(state, FewLargeRegions()); }
BENCHMARK(BM_BinNbhHist_FewLargeRegions)->Unit(benchmark::kMillisecond);

// The running means alone on one 512 x 512 box, fully inside the region.
void BM_BinNbhHist_SmoothBox(benchmark::State& state) {
    constexpr int64_t n = 512;
    std::vector<float> grey(n * n), mask(n * n, 1.0f), box(n * n);
    std::mt19937 rng(1u);
    for (float& v : grey) v = static_cast<float>(rng() % 256u);
    bench::TimedLoop(state, n * n, [&] {
        SmoothRegionBox(grey.data(), n, mask.data(), n, n, 0, 0, 1, 10, box.data());
        benchmark::DoNotOptimize(box.data());
    });
}
BENCHMARK(BM_BinNbhHist_SmoothBox)->Unit(benchmark::kMillisecond);

}  // namespace
