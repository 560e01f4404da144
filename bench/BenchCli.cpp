#include "BenchCli.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "ImageIO.h"
#include "NpyIO.h"

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

namespace {
// Never destroyed: the exit handler that removes the directories runs after
// the static objects made later than its registration are gone.
std::vector<std::string>& Directories() {
    static auto* dirs = new std::vector<std::string>;
    return *dirs;
}
void RemoveDirectories() {
    for (const std::string& d : Directories()) {
        std::error_code ec;
        fs::remove_all(d, ec);
    }
}
}  // namespace

std::string TempDirectory() {
    std::string pattern = (fs::temp_directory_path() / "regionfeat-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(RemoveDirectories); });
    Directories().push_back(pattern);
    return pattern;
}

void SaveSceneAsNpy(const Scene& scene, const std::string& greyPath, const std::string& labelPath) {
    regionfeat::WriteNpy(greyPath, regionfeat::FloatRasterOf(*scene.grey));
    regionfeat::WriteNpy(labelPath, regionfeat::FloatRasterOf(*scene.labels));
}

int RunRegionfeat(const std::vector<std::string>& args, const std::string& errPath, const std::string& outPath,
                  rusage* usage) {
    std::vector<std::string> words = {REGIONFEAT_BIN, "--module", REGIONFEAT_MODULE};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int result = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage own{};
        if (::wait4(pid, &status, 0, usage ? usage : &own) == pid && WIFEXITED(status)) result = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

}  // namespace bench
