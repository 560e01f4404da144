#include <gtest/gtest.h>

#include <fstream>

#include "PFromGraph.h"
#include "Registry.h"
#include "TestSupport.h"
#include "kelo/Graph.h"

using namespace KELO;

namespace {

// A test plugin that reports what a graph argument received: one row with the
// crop's depth, its mask pixel count and the grey sum under the mask, plus, for
// "wide", one more column per mask pixel beyond the first. It has no value
// vector, so its columns carry no names, except for "named", which names them
// on its image after the region's pixel count.
class CropProbe : public CPNode {
public:
    enum Kind { Plain, Wide, Named };
    explicit CropProbe(Kind kind) : m_wide(kind == Wide), m_named(kind == Named) {}
    void GetPluginSetup(CValueMap& setup) override {
        setup.SetEntry("parameters", new CValueMap());
        setup.SetEntry("inputs/0", new CValuePointer<CImage>(nullptr));
        setup.SetEntry("inputs/1", new CValuePointer<CImage>(nullptr));
        setup.SetEntry("outputs/0", new CValuePointer<CImage>(nullptr));
    }
    void Run() override {
        const CImage* grey = UnwrapImage(GetStackInput(0, true));
        const CImage* mask = UnwrapImage(GetStackInput(1, true));
        float count = 0, sum = 0;
        for (int64_t i = 0; i < mask->Size().Count(); ++i)
            if (mask->Pixels<float>()[i] == 1.0f) ++count, sum += grey->Pixels<float>()[i];
        auto row = std::make_unique<CImage>(IMAGE_GREY_F, CSize(m_wide ? 2 + static_cast<int64_t>(count) : 3, 1, 1));
        row->Pixels<float>()[0] = static_cast<float>(mask->Size().z);
        row->Pixels<float>()[1] = count;
        row->Pixels<float>()[2 % row->Size().x] = m_wide ? count : sum;
        if (m_named) {
            auto names = std::make_unique<CValueVector>(3);
            for (long long f = 0; f < 3; ++f)
                names->SetEntry(f, new CValueString(CString("f%1 of %2").Arg(f).Arg(static_cast<int>(count))));
            row->Attributes().SetEntry("feature_names", names.release());
        }
        SetStackOutput(0, new CValueOwnedPointer<CImage>(row.release(), 1));
    }

private:
    bool m_wide, m_named;
};

class FromGraph : public ::testing::Test {
protected:
    void SetUp() override {
        graph::SetNodeFactory([](const std::string& name) -> CPNode* {
            if (name == "test::Probe") return new CropProbe(CropProbe::Plain);
            if (name == "test::WideProbe") return new CropProbe(CropProbe::Wide);
            if (name == "test::NamedProbe") return new CropProbe(CropProbe::Named);
            return registry::Create(name.c_str());
        });
    }
    void TearDown() override { graph::SetNodeFactory(nullptr); }
    std::string Graph(const std::string& nodes, const std::string& results) {
        const std::string path = m_dir / (std::to_string(m_count++) + ".json");
        std::ofstream(path) << R"({"arguments": ["image", "mask"], "nodes": [)" << nodes << R"(], "results": [")"
                            << results << R"("]})";
        return path;
    }
    test::NodeHarness Run(const std::string& graphPath, std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels,
                          bool verbose = false, std::string* out = nullptr) {
        test::NodeHarness h(new CPFromGraph());
        h.SetParameter("graph", new CValueString(graphPath));
        h.SetParameter("verbose", new CValueBool(verbose));
        h.Connect(0, std::move(grey));
        h.Connect(1, std::move(labels));
        if (out)
            *out = h.RunCapturingStdout();
        else
            h.Run();
        return h;
    }

    test::TempDir m_dir;
    int m_count = 0;
};

// Labels 1, 2 and 4 (3 is empty); label 4 touches the right edge.
const std::vector<float> kLabels = {1, 1, 0, 0, 4, 4,
                                    1, 0, 2, 2, 0, 4,
                                    0, 0, 2, 2, 0, 4,
                                    1, 1, 0, 2, 0, 0};
std::vector<float> Grey() {
    std::vector<float> g(24);
    for (int i = 0; i < 24; ++i) g[i] = static_cast<float>((i * 37) % 11);
    return g;
}

}  // namespace

TEST_F(FromGraph, RowsAndNamesEqualTheNodesRunDirectly) {
    const std::string path = Graph(R"({"id": "stats", "plugin": "Statistics", "inputs": ["image", "mask"]},
                                      {"id": "shape", "plugin": "Geometry", "inputs": ["image", "mask"]},
                                      {"id": "row", "plugin": "manipulation::Append", "inputs": ["stats", "shape"],
                                       "parameters": {"along": "X"}})",
                                   "row");
    std::string out;
    auto h = Run(path, test::FloatImage(6, 4, Grey()), test::FloatImage(6, 4, kLabels), true, &out);
    test::NodeHarness stats(registry::Create("Statistics")), shape(registry::Create("Geometry"));
    for (test::NodeHarness* d : {&stats, &shape}) {
        d->Connect(0, test::FloatImage(6, 4, Grey()));
        d->Connect(1, test::FloatImage(6, 4, kLabels));
        d->Run();
    }
    const int64_t nS = stats.Matrix().Size().x, nG = shape.Matrix().Size().x;
    // One row per non-empty region, in label order: labels 1, 2 and 4.
    ASSERT_EQ(h.Matrix().Size(), CSize(nS + nG, 3, 1));
    const int directRow[3] = {0, 1, 3};
    for (int r = 0; r < 3; ++r) {
        for (int64_t f = 0; f < nS; ++f) EXPECT_EQ(h.At(f, r), stats.At(f, directRow[r])) << r << " " << f;
        for (int64_t f = 0; f < nG; ++f) EXPECT_EQ(h.At(nS + f, r), shape.At(f, directRow[r])) << r << " " << f;
    }
    // Output 1: one inner vector per column, one value per matrix row, named by the graph.
    const CValueVector& values = h.Values();
    ASSERT_EQ(values.Size(), static_cast<std::size_t>(nS + nG));
    const auto* last = dynamic_cast<const CValueVector*>(values.Vector().back().get());
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->Size(), 3u);
    EXPECT_EQ(last->Vector()[2]->Double(), static_cast<double>(h.At(nS + nG - 1, 2)));
    EXPECT_EQ(last->MetaIfAny()->Entry("FeatureName")->String(), "shape.Regression");
    EXPECT_EQ(out,
              "The number of regions is: 4\nThere are 3 non-empty regions. \nWarning: There are 1 empty regions!!!\n"
              "By labeling the second input image before using this plugin, there will be no more empty regions.\n");
}

TEST_F(FromGraph, CropsSpanEveryPlaneOfTheRegion) {
    // Two planes; label 2 occurs only in plane 1, label 1 in both.
    const std::vector<float> labels = {1, 1, 0, 0, 0, 0,  0, 1, 0, 2, 2, 0};
    const std::vector<float> grey = {1, 2, 3, 4, 5, 6,  7, 8, 9, 10, 11, 12};
    const std::string path = Graph(R"({"id": "p", "plugin": "test::Probe", "inputs": ["image", "mask"]})", "p");
    auto h = Run(path, test::FloatImage(3, 2, grey, 2), test::FloatImage(3, 2, labels, 2));
    ASSERT_EQ(h.Matrix().Size(), CSize(3, 2, 1));
    EXPECT_EQ(h.At(0, 0), 2.0f);  // label 1: depth 2, three pixels, 1 + 2 + 8
    EXPECT_EQ(h.At(1, 0), 3.0f);
    EXPECT_EQ(h.At(2, 0), 11.0f);
    EXPECT_EQ(h.At(0, 1), 1.0f);  // label 2: plane 1 only
    EXPECT_EQ(h.At(1, 1), 2.0f);
    EXPECT_EQ(h.At(2, 1), 21.0f);
    // The probe names no columns.
    const auto* first = dynamic_cast<const CValueVector*>(h.Values().Vector()[0].get());
    EXPECT_EQ(first->MetaIfAny()->Entry("FeatureName")->String(), "no feature names defined by the graph.. :-(");

    // Names that differ from region to region: those of the first region (label 1,
    // three pixels) name the columns of both outputs.
    const std::string named = Graph(R"({"id": "p", "plugin": "test::NamedProbe", "inputs": ["image", "mask"]})", "p");
    auto n = Run(named, test::FloatImage(3, 2, grey, 2), test::FloatImage(3, 2, labels, 2));
    ASSERT_EQ(n.Values().Size(), 3u);
    for (std::size_t f = 0; f < 3; ++f) {
        const std::string want = CString("f%1 of 3").Arg(f);
        EXPECT_EQ(n.Values().Vector()[f]->MetaIfAny()->Entry("FeatureName")->String(), want);
        const auto* names = dynamic_cast<const CValueVector*>(n.Matrix().Attributes().Entry("feature_names"));
        ASSERT_NE(names, nullptr);
        EXPECT_EQ(names->Vector()[f]->String(), want);
    }
}

TEST_F(FromGraph, RefusalsLeaveNoOutput) {
    test::ExpectInputChecks([] { return new CPFromGraph(); }, "(feature plugins) FromGraph::Run",
                            {{frame::Check::GreyNull, "First input image is NULL"},
                             {frame::Check::LabelNull, "Label image is NULL"},
                             {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");

    // Rows of different widths (the wide probe's width follows the pixel count).
    const std::string wide = Graph(R"({"id": "p", "plugin": "test::WideProbe", "inputs": ["image", "mask"]})", "p");
    auto grey = [] { return test::FloatImage(6, 4, Grey()); };
    auto labels = [] { return test::FloatImage(6, 4, kLabels); };
    test::NodeHarness h(new CPFromGraph());
    h.SetParameter("graph", new CValueString(wide));
    h.Connect(0, grey()), h.Connect(1, labels());
    CException e = test::CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Location(), "(feature plugins) FromGraph::Run");
    EXPECT_EQ(e.Message(), "The graph " + wide + " returned 6 features for label 4, but 7 for the first region");
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);

    // A graph that returns a whole crop instead of a row.
    const std::string crop = Graph(R"({"id": "c", "plugin": "utility::CopyImage", "inputs": ["image"]})", "c");
    test::NodeHarness c(new CPFromGraph());
    c.SetParameter("graph", new CValueString(crop));
    c.Connect(0, grey()), c.Connect(1, labels());
    EXPECT_EQ(test::CatchException([&] { c.Run(); }).Message(),
              "The graph " + crop + " returned an image of size (2, 4, 1) for label 1; a float image of one row is "
                                    "expected");

    // The graph file's own failures pass through.
    test::NodeHarness m(new CPFromGraph());
    m.SetParameter("graph", new CValueString(m_dir / "none.json"));
    m.Connect(0, grey()), m.Connect(1, labels());
    EXPECT_NE(test::CatchException([&] { m.Run(); }).Message().find("cannot read the file"), std::string::npos);
    EXPECT_EQ(m.Node().StackOutput(1), nullptr);
}

TEST_F(FromGraph, AGraphThatReturnsItsArgumentHandsBackACopy) {
    // The graph returns its mask argument as it is. The node owns what a graph
    // returns and frees it after the region, while the crop the argument borrows
    // is freed by the node too: the result must be a copy, not the crop itself.
    // Every region is one row high, so the crops pass as rows: label 1 is 3 wide,
    // label 2 is 3 wide over x = 1 .. 3 with background at x = 2.
    const std::vector<float> labels = {1, 1, 1, 0,
                                       0, 2, 0, 2};
    const std::vector<float> grey = {5, 6, 7, 8, 9, 10, 11, 12};
    const std::string mask = Graph("{\"id\": \"c\", \"plugin\": \"utility::CopyImage\", \"inputs\": [\"image\"]}", "mask");
    auto h = Run(mask, test::FloatImage(4, 2, grey), test::FloatImage(4, 2, labels));
    ASSERT_EQ(h.Matrix().Size(), CSize(3, 2, 1));
    const std::vector<float> rows(h.Matrix().Pixels<float>(), h.Matrix().Pixels<float>() + 6);
    EXPECT_EQ(rows, (std::vector<float>{1, 1, 1, 1, 0, 1}));

    // Returned as well when the result is refused (a crop of two rows here).
    const std::string image = Graph("{\"id\": \"c\", \"plugin\": \"utility::CopyImage\", \"inputs\": [\"mask\"]}", "image");
    test::NodeHarness t(new CPFromGraph());
    t.SetParameter("graph", new CValueString(image));
    t.Connect(0, test::FloatImage(6, 4, Grey())), t.Connect(1, test::FloatImage(6, 4, kLabels));
    EXPECT_EQ(test::CatchException([&] { t.Run(); }).Message(),
              "The graph " + image + " returned an image of size (2, 4, 1) for label 1; a float image of one row is "
                                     "expected");
}

TEST_F(FromGraph, AGraphThatRunsItselfIsRefused) {
    // A FromGraph node inside the graph it names would run the same graph on the
    // same crops again and again.
    const std::string path = m_dir / "self.json";
    std::ofstream(path) << R"({"arguments": ["image", "mask"], "nodes": [{"id": "inner", "plugin": "FromGraph",
        "inputs": ["image", "mask"], "parameters": {"graph": ")" << path << R"("}}], "results": ["inner"]})";
    test::NodeHarness h(new CPFromGraph());
    h.SetParameter("graph", new CValueString(path));
    h.Connect(0, test::FloatImage(6, 4, Grey())), h.Connect(1, test::FloatImage(6, 4, kLabels));
    const CException e = test::CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Location(), "graph " + path);
    EXPECT_EQ(e.Message(), "the graph runs itself while it runs (through a node that runs graphs)");
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);
}
