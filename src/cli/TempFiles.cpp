#include "TempFiles.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

namespace regionfeat {

namespace {

// SIGPIPE too: a reader of standard output that goes away (`| head`) ends
// the run while a node or the table writes there, and that must not leave
// the temporary files of the -o outputs behind.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Never destroyed, so that a signal during the process's exit still finds it.
// Changed only while the signals are blocked; the handler only reads it.
std::vector<std::string>& Registered() {
    static auto* files = new std::vector<std::string>;
    return *files;
}

sigset_t TheSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

// Only async-signal-safe calls: unlink, sigaction, raise.
extern "C" void RemoveTempFilesAndDie(int signal) {
    const int saved = errno;
    RemoveTempFilesNow();
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signal, &dfl, nullptr);
    // Delivered with the default action as soon as the handler returns.
    ::raise(signal);
    errno = saved;
}

}  // namespace

void RemoveTempFilesNow() {
    for (const std::string& path : Registered()) ::unlink(path.c_str());
}

void InstallInterruptCleanup() {
    (void)Registered();  // made here, not in the handler
    for (int s : kSignals) {
        struct sigaction old {};
        if (::sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = RemoveTempFilesAndDie;
        act.sa_mask = TheSignals();  // one handler at a time
        ::sigaction(s, &act, nullptr);
    }
}

SignalBlock::SignalBlock() {
    const sigset_t set = TheSignals();
    ::sigprocmask(SIG_BLOCK, &set, &m_saved);
}

SignalBlock::~SignalBlock() { ::sigprocmask(SIG_SETMASK, &m_saved, nullptr); }

void RegisterTempFile(const std::string& path) { Registered().push_back(path); }

void UnregisterTempFile(const std::string& path) {
    std::vector<std::string>& files = Registered();
    const auto it = std::find(files.begin(), files.end(), path);
    if (it != files.end()) files.erase(it);
}

}  // namespace regionfeat
