// The command line's reading cost on the standard scene saved as two float32
// NPY files (64 MiB each): the floor (both files read once with large read
// calls into buffers that already exist), the same into fresh buffers, and
// `regionfeat run Area grey.npy labels.npy -o out.npy` end to end as a child
// process, with its page faults and, from one run with --timings, its read,
// run and write times and peak memory. Compare end to end with the floor plus
// BM_Area.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchCli.h"
#include "BenchScene.h"

namespace {

namespace fs = std::filesystem;

// The scene's two files in a temporary directory, removed at exit.
struct SceneFiles {
    std::string dir, grey, labels, output;
    SceneFiles()
        : dir(bench::TempDirectory()), grey(dir + "/grey.npy"), labels(dir + "/labels.npy"), output(dir + "/out.npy") {
        bench::SaveSceneAsNpy(bench::StandardScene(), grey, labels);
    }
};

const SceneFiles& Files() {
    static const SceneFiles files;
    return files;
}

// Reads the whole file into buf with read calls of up to 1 GiB.
void ReadWhole(const std::string& path, char* buf, std::size_t size) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buf + done, std::min<std::size_t>(size - done, std::size_t{1} << 30));
        if (got <= 0) std::abort();
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
}

void BM_CliIo_ReadFloor(benchmark::State& state) {
    const SceneFiles& f = Files();
    const std::size_t a = fs::file_size(f.grey), b = fs::file_size(f.labels);
    std::vector<char> bufA(a), bufB(b);  // touched once here, so the loop measures reading only
    for (auto _ : state) {
        ReadWhole(f.grey, bufA.data(), a);
        ReadWhole(f.labels, bufB.data(), b);
        benchmark::DoNotOptimize(bufA.data());
        benchmark::DoNotOptimize(bufB.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(a + b));
}
BENCHMARK(BM_CliIo_ReadFloor)->Unit(benchmark::kMillisecond);

void BM_CliIo_ReadFreshBuffers(benchmark::State& state) {
    const SceneFiles& f = Files();
    const std::size_t a = fs::file_size(f.grey), b = fs::file_size(f.labels);
    for (auto _ : state) {
        std::unique_ptr<char[]> bufA(new char[a]), bufB(new char[b]);  // not zeroed
        ReadWhole(f.grey, bufA.get(), a);
        ReadWhole(f.labels, bufB.get(), b);
        benchmark::DoNotOptimize(bufA.get());
        benchmark::DoNotOptimize(bufB.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(a + b));
}
BENCHMARK(BM_CliIo_ReadFreshBuffers)->Unit(benchmark::kMillisecond);

void BM_CliIo_RunAreaEndToEnd(benchmark::State& state) {
    const SceneFiles& f = Files();
    const std::vector<std::string> args = {"run", "Area", f.grey, f.labels, "-o", f.output};
    long faults = 0;
    for (auto _ : state) {
        rusage usage{};
        if (bench::RunRegionfeat(args, "/dev/null", "/dev/null", &usage) != 0) {
            state.SkipWithError("regionfeat failed");
            return;
        }
        faults += usage.ru_minflt + usage.ru_majflt;
    }
    state.counters["page_faults"] = static_cast<double>(faults) / static_cast<double>(state.iterations());

    // One more run with --timings for the split of the time.
    const std::string errPath = f.dir + "/timings.txt";
    std::vector<std::string> timed = args;
    timed.push_back("--timings");
    if (bench::RunRegionfeat(timed, errPath) != 0) return;
    std::ifstream in(errPath);
    std::string line, word;
    while (std::getline(in, line)) {
        if (!line.starts_with("timings:")) continue;
        std::istringstream words(line.substr(8));
        std::string phase;
        double seconds = 0;
        while (words >> phase >> seconds >> word) state.counters[phase + "_ms"] = seconds * 1000.0;
        if (const std::size_t at = line.find("peak memory "); at != std::string::npos)
            state.counters["peak_MiB"] = std::strtod(line.c_str() + at + 12, nullptr);
    }
}
BENCHMARK(BM_CliIo_RunAreaEndToEnd)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
