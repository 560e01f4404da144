// The module's four exported entry points. Everything else stays hidden
// (see exports.map).
#include <cstdint>
#include <ctime>

#include "Exports.h"
#include "Registry.h"

namespace {
// Seconds since the epoch at which the module was attached to the process; 0 before.
int64_t g_loadingTimestamp = 0;

constexpr unsigned long kProcessAttach = 1;
}  // namespace

extern "C" {

int DllMain(void* instance, unsigned long reason, void* reserved) {
    (void)instance;
    (void)reserved;
    if (reason == kProcessAttach) g_loadingTimestamp = static_cast<int64_t>(std::time(nullptr));
    return 1;
}

KELO::CValueVector* ListPlugins() { return KELO::registry::List(); }

KELO::IPluginObject* CreatePluginInstanceEx(const char* name) { return KELO::registry::Create(name); }

int64_t get_loading_timestamp() { return g_loadingTimestamp; }

}  // extern "C"

namespace {
// The loader runs this when the library is mapped into a process: the attach
// notification that DllMain expects.
__attribute__((constructor)) void OnLoad() { DllMain(nullptr, kProcessAttach, nullptr); }
}  // namespace
