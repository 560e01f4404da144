// The module as a host sees it: exactly four exported C functions, loaded with dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string>

#include "Exports.h"
#include "kelo/Node.h"

using namespace KELO;

namespace {
struct Module {
    void* handle = dlopen(REGIONFEAT_MODULE, RTLD_NOW | RTLD_LOCAL);
    ~Module() {
        if (handle) dlclose(handle);
    }
    template <class F>
    F Get(const char* name) const {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
};
}  // namespace

TEST(Exports, ExactlyTheFourEntryPointsAreExported) {
    const std::string cmd = std::string("nm -D --defined-only ") + REGIONFEAT_MODULE;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::set<std::string> names;
    std::array<char, 512> line{};
    while (fgets(line.data(), line.size(), pipe.get())) {
        std::string l(line.data());
        while (!l.empty() && (l.back() == '\n' || l.back() == ' ')) l.pop_back();
        names.insert(l.substr(l.rfind(' ') + 1));
    }
    names.erase("");
    EXPECT_EQ(names, (std::set<std::string>{"CreatePluginInstanceEx", "DllMain", "ListPlugins",
                                             "get_loading_timestamp"}));
}

TEST(Exports, LoadTimeIsRecordedOnceAtLoad) {
    const auto before = static_cast<int64_t>(std::time(nullptr));
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto stamp = m.Get<GetLoadingTimestampFn>("get_loading_timestamp");
    auto dllMain = m.Get<DllMainFn>("DllMain");
    ASSERT_TRUE(stamp && dllMain);
    const int64_t t = stamp();
    EXPECT_GE(t, before - 1);
    EXPECT_LE(t, static_cast<int64_t>(std::time(nullptr)) + 1);
    // Other notifications change nothing and all answer TRUE.
    EXPECT_EQ(dllMain(nullptr, 0, nullptr), 1);
    EXPECT_EQ(dllMain(nullptr, 2, nullptr), 1);
    EXPECT_EQ(dllMain(nullptr, 3, nullptr), 1);
    EXPECT_EQ(stamp(), t);
}

TEST(Exports, CreationMatchesWholeNamesExactly) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto create = m.Get<CreatePluginInstanceExFn>("CreatePluginInstanceEx");
    ASSERT_TRUE(create);
    std::unique_ptr<IPluginObject> hist(create("Hist"));
    ASSERT_NE(hist, nullptr);
    auto* node = dynamic_cast<CPNode*>(hist.get());
    ASSERT_NE(node, nullptr);
    CValueMap setup;
    node->GetPluginSetup(setup);
    EXPECT_EQ(setup.EntryString("name", ""), "Hist");
    for (const char* bad : {"hist", "Hist ", " Hist", "HistX", "His", "", "Unknown"})
        EXPECT_EQ(create(bad), nullptr) << "'" << bad << "'";
    EXPECT_EQ(create(nullptr), nullptr);
}

TEST(Exports, ListingIsNewEachCallInKeyOrder) {
    Module m;
    ASSERT_NE(m.handle, nullptr) << dlerror();
    auto list = m.Get<ListPluginsFn>("ListPlugins");
    auto create = m.Get<CreatePluginInstanceExFn>("CreatePluginInstanceEx");
    std::unique_ptr<CValueVector> a(list()), b(list());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    ASSERT_EQ(a->Size(), b->Size());
    // Every listed name creates a node.
    for (std::size_t i = 0; i < a->Size(); ++i) {
        const CValue* v = a->Entry(static_cast<long long>(i));
        if (!v) continue;
        EXPECT_EQ(v->String(), b->Entry(static_cast<long long>(i))->String());
        std::unique_ptr<IPluginObject> node(create(v->String().c_str()));
        EXPECT_NE(node, nullptr) << v->String();
    }
    // The listing keys, in one place; Abis, Avedu and Redrik are created by name but not listed.
    const std::vector<std::string> keys = {
        "Geometry", "Haralick", "Hist", "LBPHist", "BinNbhHist", "BinNbhHistPlusXYEntropy", "HoughEntropy",
        "SdistAveVar", "ThreePartsRelNbhHist", "XYEntropy", "XYInteractionHist", "NbhSpHist", "ShiftHistVar",
        "TotalVariation", "Covbin", "Area", "AveragePhi", "AveragePolar", "Border", "Entropy", "Statistics",
        "RelnbhHist", "RotHistVar", "Rough", "SDistMedianqDiff", "Shadow", "VSlope", "FromGraph", "Median"};
    ASSERT_EQ(a->Size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(a->EntryString(std::to_string(i), "<none>"), keys[i]) << i;
}
