#include "ModuleLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

namespace regionfeat {

const char* const kRegistryNames[32] = {
    "Geometry",
    "Haralick",
    "Hist",
    "LBPHist",
    "BinNbhHist",
    "BinNbhHistPlusXYEntropy",
    "HoughEntropy",
    "SdistAveVar",
    "ThreePartsRelNbhHist",
    "XYEntropy",
    "XYInteractionHist",
    "NbhSpHist",
    "TotalVariation",
    "Covbin",
    "Abis",
    "Area",
    "Avedu",
    "AveragePhi",
    "AveragePolar",
    "Border",
    "Entropy",
    "Statistics",
    "Redrik",
    "RelnbhHist",
    "RotHistVar",
    "Rough",
    "SDistMedianqDiff",
    "Shadow",
    "ShiftHistVar",
    "VSlope",
    "FromGraph",
    "Median",
};

namespace {
void* Symbol(void* handle, const std::string& path, const char* name) {
    dlerror();
    void* p = dlsym(handle, name);
    if (!p) throw ModuleError("'" + path + "' is not a feature module: it has no entry point " + name);
    return p;
}
}  // namespace

Module Module::Load(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw ModuleError("cannot load the module '" + path + "': " + (why ? why : "unknown reason"));
    }
    Module m;
    m.m_path = path;
    m.m_list = reinterpret_cast<ListPluginsFn>(Symbol(handle, path, "ListPlugins"));
    m.m_create = reinterpret_cast<CreatePluginInstanceExFn>(Symbol(handle, path, "CreatePluginInstanceEx"));
    m.m_timestamp = reinterpret_cast<GetLoadingTimestampFn>(Symbol(handle, path, "get_loading_timestamp"));
    return m;
}

std::vector<std::string> Module::Listed() const {
    std::unique_ptr<KELO::CValueVector> list(m_list());
    std::vector<std::string> names;
    if (!list) return names;
    for (const auto& slot : list->Vector())
        if (slot && slot->Type() == KELO::EValueType::String) names.push_back(slot->String());
    return names;
}

std::unique_ptr<KELO::CPNode> Module::Create(const std::string& name) const {
    std::unique_ptr<KELO::IPluginObject> object(m_create(name.c_str()));
    if (!object) return nullptr;
    auto* node = dynamic_cast<KELO::CPNode*>(object.get());
    if (!node) throw ModuleError("the module made an object for '" + name + "' that is not a node");
    object.release();
    return std::unique_ptr<KELO::CPNode>(node);
}

std::string ResolveModulePath(const std::string& option, const char* argv0) {
    if (!option.empty()) return option;
    if (const char* env = std::getenv("REGIONFEAT_MODULE"); env && *env) return env;
    std::string exe;
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0)
        exe.assign(buf, static_cast<std::size_t>(n));
    else if (argv0)
        exe = argv0;
    const std::size_t slash = exe.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
    return dir + "/../lib/libplugalg_features.so";
}

}  // namespace regionfeat
