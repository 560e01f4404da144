// regionfeat table and batch end to end, as child processes:
// - `table --all` on the standard scene saved as two float32 NPY files, against
//   `run NODE` of every node it runs, one process each: the images are read
//   once for all nodes instead of once per node;
// - `batch --all` over 100 images of 1024 x 1024 (the standard scene's density
//   of discs, 8-bit grey and 16-bit label files), with 1 and 2 jobs, images
//   per second as a counter.
// - `table` of a million regions (the standard scene's grey image, labels in
//   4 x 4 blocks) with Area, Statistics and Geometry into a CSV file: the
//   table is streamed from the nodes' outputs, so the peak memory (counter
//   peak_MiB, from --timings) stays that of the images, the region tables and
//   the outputs; the CSV text (about 0.1 GB) and a second copy of the matrix
//   never add to it.
// The files are written before the timed loops.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchCli.h"
#include "ImageIO.h"
#include "NpyIO.h"

namespace {

using regionfeat::Raster;
using regionfeat::SampleType;

struct SceneFiles {
    std::string dir, grey, labels;
    std::vector<std::string> nodes;  // what table --all runs: the listed nodes but FromGraph
    SceneFiles() : dir(bench::TempDirectory()), grey(dir + "/grey.npy"), labels(dir + "/labels.npy") {
        bench::SaveSceneAsNpy(bench::StandardScene(), grey, labels);
        bench::RunRegionfeat({"list"}, "/dev/null", dir + "/list.txt");
        std::ifstream in(dir + "/list.txt");
        for (std::string line; std::getline(in, line);)
            if (line != "FromGraph") nodes.push_back(line);
    }
};

const SceneFiles& Files() {
    static const SceneFiles files;
    return files;
}

void Report(benchmark::State& state, int64_t pixels) {
    state.counters["ns_per_px"] = benchmark::Counter(static_cast<double>(pixels) * 1e-9,
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void BM_CliTable_All(benchmark::State& state) {
    const SceneFiles& f = Files();
    for (auto _ : state)
        if (bench::RunRegionfeat({"table", f.grey, f.labels, "--all", "-o", f.dir + "/all.npy"}) != 0)
            state.SkipWithError("table --all failed");
    Report(state, bench::StandardScene().grey->Size().Count());
}
BENCHMARK(BM_CliTable_All)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_CliTable_RunEachNode(benchmark::State& state) {
    const SceneFiles& f = Files();
    for (auto _ : state)
        for (const std::string& node : f.nodes)
            if (bench::RunRegionfeat({"run", node, f.grey, f.labels, "-o", f.dir + "/one.npy"}) != 0)
                state.SkipWithError(("run " + node + " failed").c_str());
    state.counters["nodes"] = static_cast<double>(f.nodes.size());
    Report(state, bench::StandardScene().grey->Size().Count());
}
BENCHMARK(BM_CliTable_RunEachNode)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// 100 image pairs of 1024 x 1024 and their list file.
struct BatchFiles {
    static constexpr int kImages = 100;
    std::string dir, list;
    BatchFiles() : dir(bench::TempDirectory()), list(dir + "/list.csv") {
        std::ofstream out(list);
        out << "image,labels\n";
        for (int i = 0; i < kImages; ++i) {
            const bench::Scene s = bench::SceneOfSide(1024, 7000u + static_cast<uint32_t>(i));
            const int64_t n = s.grey->Size().Count();
            Raster grey(SampleType::U8, 1024, 1024, 1), labels(SampleType::U16, 1024, 1024, 1);
            const float* g = s.grey->Pixels<float>();
            const float* l = s.labels->Pixels<float>();
            for (int64_t p = 0; p < n; ++p) {
                grey.As<uint8_t>()[p] = static_cast<uint8_t>(g[p]);
                labels.As<uint16_t>()[p] = static_cast<uint16_t>(l[p]);
            }
            const std::string name = dir + "/img" + std::to_string(i);
            regionfeat::WriteNpy(name + ".npy", grey);
            regionfeat::WriteNpy(name + "_labels.npy", labels);
            out << name << ".npy," << name << "_labels.npy\n";
        }
    }
};

void BM_CliBatch_All(benchmark::State& state) {
    static const BatchFiles files;
    const std::string jobs = std::to_string(state.range(0));
    for (auto _ : state)
        if (bench::RunRegionfeat({"batch", files.list, "--all", "--jobs", jobs, "--progress", "none", "-o",
                                  files.dir + "/batch.npy"}) != 0)
            state.SkipWithError("batch --all failed");
    state.counters["images_per_s"] =
        benchmark::Counter(BatchFiles::kImages, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CliBatch_All)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

namespace {

// The standard scene's grey image with 1,048,576 labels in blocks of 4 x 4.
struct MillionFiles {
    std::string dir, grey, labels;
    MillionFiles() : dir(bench::TempDirectory()), grey(dir + "/grey.npy"), labels(dir + "/labels.npy") {
        const bench::Scene& s = bench::StandardScene();
        const int64_t w = s.grey->Size().x, h = s.grey->Size().y;
        regionfeat::WriteNpy(grey, regionfeat::FloatRasterOf(*s.grey));
        Raster l(SampleType::F32, w, h, 1);
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x) l.As<float>()[y * w + x] = static_cast<float>((y / 4) * (w / 4) + x / 4 + 1);
        regionfeat::WriteNpy(labels, l);
    }
};

// The number after "peak memory " in the file, or -1.
double PeakMiB(const std::string& path) {
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t at = text.find("peak memory ");
    return at == std::string::npos ? -1.0 : std::strtod(text.c_str() + at + 12, nullptr);
}

void BM_CliTable_MillionRegions(benchmark::State& state) {
    static const MillionFiles f;
    const std::string err = f.dir + "/err.txt";
    for (auto _ : state)
        if (bench::RunRegionfeat({"table", f.grey, f.labels, "--nodes", "Area,Statistics,Geometry", "--timings", "-o",
                                  f.dir + "/million.csv"},
                                 err) != 0)
            state.SkipWithError("table of a million regions failed");
    state.counters["peak_MiB"] = PeakMiB(err);
    state.counters["regions"] = 1048576;
}
BENCHMARK(BM_CliTable_MillionRegions)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
