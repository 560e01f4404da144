#include "MappedFile.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>

#include "Errors.h"
#include "TempFiles.h"

namespace regionfeat {

namespace {

// The mappings alive, for the SIGBUS handler. A slot is claimed by setting
// `used`, then filled, then published by setting `end`; the handler reads
// only published slots. Fixed in size, so the handler needs no allocation.
struct Slot {
    std::atomic<bool> used{false};
    std::atomic<uintptr_t> begin{0}, end{0};
    char message[512];
    std::size_t length = 0;
};
constexpr int kSlots = 64;
Slot g_slots[kSlots];

// Only async-signal-safe calls: write, unlink (through the temp-file list),
// _exit, sigaction.
extern "C" void OnBusError(int signal, siginfo_t* info, void*) {
    const auto addr = reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr);
    for (Slot& s : g_slots) {
        const uintptr_t end = s.end.load(std::memory_order_acquire);
        if (end && addr >= s.begin.load(std::memory_order_relaxed) && addr < end) {
            ssize_t ignored = ::write(2, s.message, s.length);
            (void)ignored;
            RemoveTempFilesNow();
            ::_exit(kExitUsage);
        }
    }
    // Not ours: the default action, as soon as the faulting access repeats.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(signal, &dfl, nullptr);
}

void InstallBusErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction act {};
        act.sa_sigaction = OnBusError;
        act.sa_flags = SA_SIGINFO;
        sigemptyset(&act.sa_mask);
        ::sigaction(SIGBUS, &act, nullptr);
    });
}

}  // namespace

std::shared_ptr<void> MapFileForReading(int fd, uint64_t size, const std::string& path) {
    if (size == 0 || size > SIZE_MAX) return nullptr;
    Slot* slot = nullptr;
    for (Slot& s : g_slots) {
        bool expected = false;
        if (s.used.compare_exchange_strong(expected, true)) {
            slot = &s;
            break;
        }
    }
    if (!slot) return nullptr;
    const auto bytes = static_cast<std::size_t>(size);
    // Writable but private: a write (no node writes its inputs) copies the
    // page for this process alone. The pages are fetched ahead for reading;
    // MAP_POPULATE would fetch them for writing, that is copy every one.
    void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED) {
        slot->used.store(false);
        return nullptr;
    }
#ifdef MADV_POPULATE_READ
    ::madvise(base, bytes, MADV_POPULATE_READ);  // older kernels refuse it; the pages then come on first use
#endif
    // The message is made now: the handler cannot build strings. A long
    // path is cut, the line still ends.
    std::string line = "error: " + path + ": the file was shortened while it was in use\n";
    if (line.size() > sizeof slot->message) line = line.substr(0, sizeof slot->message - 1) + "\n";
    std::memcpy(slot->message, line.data(), line.size());
    slot->length = line.size();
    InstallBusErrorHandler();
    slot->begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_relaxed);
    slot->end.store(reinterpret_cast<uintptr_t>(base) + bytes, std::memory_order_release);
    try {
        return std::shared_ptr<void>(base, [slot, bytes](void* p) {
            slot->end.store(0, std::memory_order_release);
            ::munmap(p, bytes);
            slot->used.store(false, std::memory_order_release);
        });
    } catch (...) {
        slot->end.store(0);
        ::munmap(base, bytes);
        slot->used.store(false);
        throw;
    }
}

}  // namespace regionfeat
