// Wall-clock times of a command's phases (read, run, write), printed on
// standard error with --timings: "timings: read 0.021 s, run 0.014 s, write
// 0.003 s, total 0.041 s, peak memory 134 MiB".
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace regionfeat {

class Timings {
public:
    using Clock = std::chrono::steady_clock;

    // Adds the time since the last mark (or since construction) to phase.
    void Mark(const std::string& phase) {
        const Clock::time_point now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - m_last).count();
        m_last = now;
        for (auto& [name, total] : m_phases)
            if (name == phase) {
                total += seconds;
                return;
            }
        m_phases.emplace_back(phase, seconds);
    }

    // Seconds spent in phase so far (0 for a phase never marked).
    double Seconds(const std::string& phase) const {
        for (const auto& [name, total] : m_phases)
            if (name == phase) return total;
        return 0.0;
    }

    void Print(std::ostream& err) const {
        std::string line = "timings:";
        char buf[64];
        double sum = 0.0;
        for (const auto& [name, total] : m_phases) {
            std::snprintf(buf, sizeof buf, " %s %.3f s,", name.c_str(), total);
            line += buf;
            sum += total;
        }
        std::snprintf(buf, sizeof buf, " total %.3f s", sum);
        line += buf;
        if (const long kib = PeakMemoryKiB(); kib >= 0) {
            std::snprintf(buf, sizeof buf, ", peak memory %ld MiB", (kib + 512) / 1024);
            line += buf;
        }
        err << line << std::endl;
    }

    // The most memory the process has held (resident), in KiB, from the
    // kernel's own high-water mark; -1 where it is not known. getrusage would
    // report the parent's peak for a process started by vfork or posix_spawn.
    static long PeakMemoryKiB() {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
        return -1;
    }

private:
    Clock::time_point m_last = Clock::now();
    std::vector<std::pair<std::string, double>> m_phases;
};

}  // namespace regionfeat
