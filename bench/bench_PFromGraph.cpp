// FromGraph against running the same node directly: the difference, per region,
// is what running a graph for every region costs (crops, graph run, appending).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "BenchScene.h"
#include "PArea.h"
#include "PFromGraph.h"
#include "Registry.h"
#include "kelo/Graph.h"

namespace {

// A graph file that lives as long as the process.
const std::string& GraphFile(const std::string& body) {
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/bench_fromgraph_XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
        std::atexit([] { std::remove(path.c_str()); });
    }
    std::ofstream(path) << body;
    return path;
}

void BM_FromGraph_OneAreaNode(benchmark::State& state) {
    KELO::graph::SetNodeFactory([](const std::string& n) { return KELO::registry::Create(n.c_str()); });
    const std::string& path = GraphFile(R"({"arguments": ["image", "mask"],
        "nodes": [{"plugin": "Area", "inputs": ["image", "mask"]}], "results": ["Area"]})");
    bench::RunNodeOnScene(state, [] { return new KELO::CPFromGraph(); },
                          [&](KELO::CPNode& node) { node.Parameters().SetEntry("graph", new KELO::CValueString(path)); });
    // The same time per region, to set against BM_FromGraph_AreaDirect.
    const bench::Scene& scene = bench::StandardScene();
    state.counters["us_per_region"] =
        state.counters["ns_per_px"] * static_cast<double>(scene.grey->Size().Count()) / scene.regions * 1e-3;
}
BENCHMARK(BM_FromGraph_OneAreaNode)->Unit(benchmark::kMillisecond);

void BM_FromGraph_AreaDirect(benchmark::State& state) {
    bench::RunNodeOnScene(state, [] { return new KELO::CPArea(); });
}
BENCHMARK(BM_FromGraph_AreaDirect)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// What FromGraph does to collect its rows, alone: one RunPlugin call of the host's
// Append per region, the collected image being both the target and the first
// input. The time per row must not grow with the number of rows already there.
void BM_FromGraph_AppendRows(benchmark::State& state) {
    const int64_t rows = state.range(0), width = 30;
    KELO::CImage row(KELO::IMAGE_GREY_F, KELO::CSize(width, 1, 1));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        KELO::CImage collected(KELO::IMAGE_GREY_F, KELO::CSize(width, 1, 1));
        for (int64_t r = 1; r < rows; ++r)
            KELO::RunPlugin(KELO::value(&collected), "%KELODIR%/bin/manipulation::Append", KELO::value(&collected),
                            KELO::value(&row), "along", "Y");
        benchmark::DoNotOptimize(collected.Data());
    }
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    state.counters["ns_per_row"] = spent.count() / (static_cast<double>(rows) * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_FromGraph_AppendRows)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Unit(benchmark::kMillisecond);

}  // namespace
