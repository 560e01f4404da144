// What the command-line benchmarks share: scenes saved as files in a
// temporary directory, and regionfeat run as a child process.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

#include "BenchScene.h"

namespace bench {

// A new temporary directory, removed with its files when the process ends.
std::string TempDirectory();

// The scene's grey and label images as float32 NPY files.
void SaveSceneAsNpy(const Scene& scene, const std::string& greyPath, const std::string& labelPath);

// Runs regionfeat (with the built module) on args via posix_spawn, standard
// input from /dev/null, standard output to outPath and standard error to
// errPath; returns its exit status, or -1 when it did not exit normally. With
// usage, the child's resource usage (its page faults; not its peak memory,
// which a spawned child shares with its parent until it runs the program).
int RunRegionfeat(const std::vector<std::string>& args, const std::string& errPath = "/dev/null",
                  const std::string& outPath = "/dev/null", rusage* usage = nullptr);

}  // namespace bench
