// Every registered node, with an allocation failing at each point of its run
// (and of its setup description) in turn: the failure reaches the caller as
// std::bad_alloc (or as the node's own CException where it names what it could
// not make), never as anything else or as a crash, and everything the run made
// is released again.
//
// This executable replaces the global operator new and delete to count live
// blocks and to fail the n-th allocation on request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "Registry.h"
#include "TestSupport.h"
#include "kelo/Graph.h"

using namespace KELO;

namespace {
long g_live = 0;      // blocks from operator new not yet deleted
long g_failIn = -1;   // the allocation that fails: 0 = the next one; -1 = none
long g_made = 0;      // allocations since the last reset

void* Allocate(std::size_t n) {
    if (g_failIn >= 0 && g_failIn-- == 0) throw std::bad_alloc();
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    ++g_live;
    ++g_made;
    return p;
}
void Release(void* p) noexcept {
    if (!p) return;
    --g_live;
    std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {
// 12 x 9 x 2: four regions, one missing label, one label only in plane 1, a NaN.
// With one NaN grey value unless clean: nodes that refuse NaN (NbhSpHist) run on the clean one.
std::unique_ptr<CImage> Grey(bool clean) {
    auto g = std::make_unique<CImage>(IMAGE_GREY_F, CSize(12, 9, 2));
    float* p = g->Pixels<float>();
    for (int i = 0; i < 12 * 9 * 2; ++i) p[i] = static_cast<float>((i * 37) % 256);
    if (!clean) p[40] = std::numeric_limits<float>::quiet_NaN();
    return g;
}
std::unique_ptr<CImage> Labels() {
    auto l = std::make_unique<CImage>(IMAGE_GREY_F, CSize(12, 9, 2));
    float* p = l->Pixels<float>();
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 12; ++x) p[y * 12 + x] = x < 5 ? (y < 4 ? 1.0f : 2.0f) : (y < 6 ? 4.0f : 0.0f);
    for (int i = 12 * 9; i < 12 * 9 + 30; ++i) p[i] = 5.0f;
    return l;
}

// What an action ended with: "" (success), "bad_alloc", "CException: ..." or "other: ...".
template <class Action>
std::string Outcome(Action&& action) {
    try {
        action();
        return "";
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const CException& e) {
        return std::string("CException: ") + e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
}

// Fails each allocation of action in turn (action must succeed on its own and
// allocate the same way every time it runs). Every failure must end in
// bad_alloc or a CException, or be survived, and leave no block behind.
template <class Action>
void FailEachAllocation(Action&& action) {
    // A first call fills the value pool and whatever else a process keeps once
    // made, so that later calls allocate nothing that outlives them.
    ASSERT_EQ(Outcome(action), "");
    const long live = g_live;
    g_made = 0;
    ASSERT_EQ(Outcome(action), "");
    ASSERT_EQ(g_live, live) << "a successful call leaves blocks behind";
    const long allocations = g_made;
    ASSERT_GT(allocations, 0);
    for (long k = 0; k < allocations; ++k) {
        {
            g_failIn = k;
            const std::string outcome = Outcome(action);
            const bool failed = g_failIn < 0;
            g_failIn = -1;
            // An allocation the node can do without (a nothrow one) lets it succeed.
            if (failed && !outcome.empty() && outcome != "bad_alloc" && !outcome.starts_with("CException: "))
                ADD_FAILURE() << "allocation " << k << ": " << outcome;
        }
        ASSERT_EQ(g_live, live) << "allocation " << k << " failing leaves blocks behind";
    }
}
}  // namespace

TEST(AllocationFailures, EveryNodeReleasesEverythingItMadeAndReportsTheFailure) {
    const auto withNaN = Grey(false), clean = Grey(true), labels = Labels();
    // FromGraph runs a graph of module nodes for each region.
    graph::SetNodeFactory([](const std::string& name) { return registry::Create(name.c_str()); });
    const test::TempDir dir;
    const std::string graphPath = dir / "graph.json";
    test::WriteFile(graphPath, R"({"arguments": ["image", "mask"], "nodes": [
        {"id": "a", "plugin": "Area", "inputs": ["image", "mask"]},
        {"id": "g", "plugin": "Geometry", "inputs": ["image", "mask"]},
        {"id": "row", "plugin": "manipulation::Append", "inputs": ["a", "g"], "parameters": {"along": "X"}}],
        "results": ["row"]})");
    std::size_t n = 0;
    const registry::Row* rows = registry::Rows(n);
    for (std::size_t i = 0; i < n; ++i) {
        const registry::Row& row = rows[i];
        SCOPED_TRACE(row.name);
        const CImage* grey = withNaN.get();
        const auto run = [&] {
            test::NodeHarness h(row.create());
            if (std::string(row.name) == "FromGraph") h.SetParameter("graph", new CValueString(graphPath));
            h.Connect(0, std::make_unique<CImage>(*grey));
            h.Connect(1, std::make_unique<CImage>(*labels));
            h.Run();
        };
        if (!Outcome(run).empty()) grey = clean.get();
        FailEachAllocation(run);
        FailEachAllocation([&] {
            std::unique_ptr<CPNode> node(row.create());
            CValueMap setup;
            node->GetPluginSetup(setup);
        });
    }
    graph::SetNodeFactory(nullptr);
}
