// The standard benchmark scene shared by every node's benchmark, so figures
// compare across nodes: a 4096 x 4096 float image with grey values 0..255 and
// about 10,000 disc-shaped labelled blobs of radius 3 to 20, from a fixed seed.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <memory>

#include "kelo/Node.h"

namespace bench {

struct Scene {
    std::unique_ptr<KELO::CImage> grey;
    std::unique_ptr<KELO::CImage> labels;
    int regions = 0;
    int64_t boxPixels = 0;  // sum of the blobs' bounding-box areas
};

// Built once per process.
const Scene& StandardScene();

// The standard scene's kind at side x side pixels: the same density of discs
// (10,000 per 4096 x 4096) of the same radii, from the given seed.
Scene SceneOfSide(int64_t side, uint32_t seed);

// The same image with 100 large discs (radius 120 to 200) instead of 10,000 small
// ones: a hundredth of the regions over a comparable total box area. Were a
// node's cost proportional to regions x image size, this scene would run a
// hundred times faster than the standard one; proportional to box area, it costs
// about the same per box pixel. Built once per process.
const Scene& FewLargeRegionsScene();

// Runs a node on the scene in every iteration and reports ns per image pixel
// ("ns_per_px") and the node's outputs' row count. configure may set parameters.
void RunNodeOnScene(benchmark::State& state, const std::function<KELO::CPNode*()>& make,
                    const std::function<void(KELO::CPNode&)>& configure = nullptr,
                    const Scene& scene = StandardScene());

// RunNodeOnScene, adding ns per bounding-box pixel ("ns_per_box_px") and the
// scene's box pixels ("box_px").
void RunNodeWithBoxCost(benchmark::State& state, const std::function<KELO::CPNode*()>& make, const Scene& scene);

// Reports "ns_per_px" for a timed loop that processed `pixels` pixels per
// iteration in `seconds` of wall time over all iterations.
void ReportNsPerPixel(benchmark::State& state, int64_t pixels, double seconds);

// Times the benchmark loop: for (auto _ : state) { ... } inside, then reports.
template <class Body>
void TimedLoop(benchmark::State& state, int64_t pixels, Body&& body) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) body();
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    ReportNsPerPixel(state, pixels, spent.count());
}

}  // namespace bench
