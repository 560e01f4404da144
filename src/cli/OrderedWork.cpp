#include "OrderedWork.h"

#include <sched.h>

namespace regionfeat {

unsigned DefaultJobs() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace regionfeat
