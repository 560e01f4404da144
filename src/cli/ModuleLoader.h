// Loads the feature module the way a host does: dlopen, then the exported entry
// points by name. Nodes are reached only through their virtual operations.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Exports.h"
#include "kelo/Node.h"

namespace regionfeat {

// The module cannot be loaded or lacks an entry point.
class ModuleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The registry names a module of this kind may know, in the order its
// CreatePluginInstanceEx tests them. `list --all` probes each of them.
extern const char* const kRegistryNames[32];

class Module {
public:
    // Loads the module at path. The library stays loaded for the rest of the
    // process: nodes made by it must not outlive their code, and a host tool
    // gains nothing from unloading it early.
    static Module Load(const std::string& path);

    const std::string& Path() const { return m_path; }
    // The names ListPlugins returns, in key order.
    std::vector<std::string> Listed() const;
    // A new node, or null when the module knows no such name.
    std::unique_ptr<KELO::CPNode> Create(const std::string& name) const;
    // When the module was loaded, in seconds since the epoch.
    int64_t LoadingTimestamp() const { return m_timestamp(); }

private:
    std::string m_path;
    ListPluginsFn m_list = nullptr;
    CreatePluginInstanceExFn m_create = nullptr;
    GetLoadingTimestampFn m_timestamp = nullptr;
};

// Which module to load: the --module option if given, else the environment
// variable REGIONFEAT_MODULE if set and not empty, else
// <directory of the executable>/../lib/libplugalg_features.so.
std::string ResolveModulePath(const std::string& option, const char* argv0);

}  // namespace regionfeat
