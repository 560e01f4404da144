// The command line's reading cost on the standard scene saved as two float32
// NPY files (64 MiB each): the floor (both files read once with large read
// calls into buffers that already exist), the same into fresh buffers, and
// `regionfeat run Area grey.npy labels.npy -o out.npy` end to end as a child
// process, with its page faults (the child's own: its peak memory is not
// shown, as a spawned child reports its parent's) and, from one run with --timings, its read,
// run and write times. Compare end to end with the floor plus BM_Area.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BenchScene.h"
#include "ImageIO.h"
#include "NpyIO.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The scene's two files in a temporary directory, removed at exit.
struct SceneFiles {
    std::string dir, grey, labels, output;
    SceneFiles() {
        std::string pattern = (fs::temp_directory_path() / "regionfeat-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        dir = pattern;
        grey = dir + "/grey.npy";
        labels = dir + "/labels.npy";
        output = dir + "/out.npy";
        const bench::Scene& scene = bench::StandardScene();
        regionfeat::WriteNpy(grey, regionfeat::FloatRasterOf(*scene.grey));
        regionfeat::WriteNpy(labels, regionfeat::FloatRasterOf(*scene.labels));
    }
    ~SceneFiles() {
        std::error_code ec;
        fs::remove_all(dir, ec);
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

struct ChildResult {
    int status = -1;
    rusage usage{};
};

// Runs regionfeat with args, standard output to /dev/null and standard error
// to errPath (or /dev/null).
ChildResult RunRegionfeat(const std::vector<std::string>& args, const std::string& errPath = "/dev/null") {
    std::vector<std::string> words = {REGIONFEAT_BIN, "--module", REGIONFEAT_MODULE};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ChildResult r;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (::wait4(pid, &status, 0, &r.usage) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    return r;
}

void BM_CliIo_RunAreaEndToEnd(benchmark::State& state) {
    const SceneFiles& f = Files();
    const std::vector<std::string> args = {"run", "Area", f.grey, f.labels, "-o", f.output};
    long faults = 0;
    for (auto _ : state) {
        const ChildResult r = RunRegionfeat(args);
        if (r.status != 0) {
            state.SkipWithError("regionfeat failed");
            return;
        }
        faults += r.usage.ru_minflt + r.usage.ru_majflt;
    }
    state.counters["page_faults"] = static_cast<double>(faults) / static_cast<double>(state.iterations());

    // One more run with --timings for the split of the time.
    const std::string errPath = f.dir + "/timings.txt";
    std::vector<std::string> timed = args;
    timed.push_back("--timings");
    if (RunRegionfeat(timed, errPath).status != 0) return;
    std::ifstream in(errPath);
    std::string line, word;
    while (std::getline(in, line)) {
        if (!line.starts_with("timings:")) continue;
        std::istringstream words(line.substr(8));
        std::string phase;
        double seconds = 0;
        while (words >> phase >> seconds >> word) state.counters[phase + "_ms"] = seconds * 1000.0;
    }
}
BENCHMARK(BM_CliIo_RunAreaEndToEnd)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
