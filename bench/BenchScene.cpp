#include "BenchScene.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace bench {

using namespace KELO;

namespace {
// An N x N image of grey values 0..255 with `blobs` labelled discs of radius
// rMin .. rMin + rSpread - 1, all from one seed.
Scene Build(int blobs, int rMin, uint32_t rSpread, uint32_t seed, int64_t N = 4096) {
    Scene s;
    s.grey = std::make_unique<CImage>(IMAGE_GREY_F, CSize(N, N, 1));
    s.labels = std::make_unique<CImage>(IMAGE_GREY_F, CSize(N, N, 1));
    std::mt19937 rng(seed);
    float* g = s.grey->Pixels<float>();
    for (int64_t i = 0; i < N * N; ++i) g[i] = static_cast<float>(rng() % 256u);
    float* l = s.labels->Pixels<float>();
    for (int b = 1; b <= blobs; ++b) {
        const int r = rMin + static_cast<int>(rng() % rSpread);
        const int64_t cx = r + static_cast<int64_t>(rng() % static_cast<uint32_t>(N - 2 * r));
        const int64_t cy = r + static_cast<int64_t>(rng() % static_cast<uint32_t>(N - 2 * r));
        for (int64_t y = cy - r; y <= cy + r; ++y)
            for (int64_t x = cx - r; x <= cx + r; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= int64_t(r) * r) l[y * N + x] = static_cast<float>(b);
        s.boxPixels += int64_t(2 * r + 1) * (2 * r + 1);
    }
    s.regions = blobs;
    return s;
}
}  // namespace

const Scene& StandardScene() {
    static const Scene scene = Build(10000, 3, 18u, 20261205u);
    return scene;
}

Scene SceneOfSide(int64_t side, uint32_t seed) {
    const auto blobs = static_cast<int>(10000 * side * side / (int64_t{4096} * 4096));
    return Build(std::max(blobs, 1), 3, 18u, seed, side);
}

const Scene& FewLargeRegionsScene() {
    static const Scene scene = Build(100, 120, 81u, 4242u);
    return scene;
}

void ReportNsPerPixel(benchmark::State& state, int64_t pixels, double seconds) {
    const double runs = static_cast<double>(state.iterations());
    if (runs > 0 && pixels > 0) state.counters["ns_per_px"] = seconds * 1e9 / (runs * static_cast<double>(pixels));
}

void RunNodeOnScene(benchmark::State& state, const std::function<CPNode*()>& make,
                    const std::function<void(CPNode&)>& configure, const Scene& scene) {
    std::unique_ptr<CPNode> node(make());
    if (configure) configure(*node);
    node->ReadParameters();
    CValuePointer<CImage> grey(scene.grey.get());
    CValuePointer<CImage> labels(scene.labels.get());
    node->SetStackInput(0, &grey);
    node->SetStackInput(1, &labels);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        node->Run();
        benchmark::DoNotOptimize(node->StackOutput(0));
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    ReportNsPerPixel(state, scene.grey->Size().Count(), spent.count());
}

void RunNodeWithBoxCost(benchmark::State& state, const std::function<CPNode*()>& make, const Scene& scene) {
    RunNodeOnScene(state, make, nullptr, scene);
    const double perImagePixel = state.counters["ns_per_px"];
    state.counters["ns_per_box_px"] =
        perImagePixel * static_cast<double>(scene.grey->Size().Count()) / static_cast<double>(scene.boxPixels);
    state.counters["box_px"] = static_cast<double>(scene.boxPixels);
}

}  // namespace bench
