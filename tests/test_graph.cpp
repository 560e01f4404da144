#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "Registry.h"
#include "TestSupport.h"
#include "kelo/Graph.h"

using namespace KELO;

namespace {

class Graphs : public ::testing::Test {
protected:
    void SetUp() override {
        graph::SetNodeFactory([](const std::string& name) { return registry::Create(name.c_str()); });
    }

    // Writes a graph file and returns its path; each call gets a new name, so
    // the runner's cache never hands back an earlier graph.
    std::string Write(const std::string& text) {
        const std::string path = m_dir / (std::to_string(m_count++) + ".json");
        std::ofstream(path) << text;
        return path;
    }

    test::TempDir m_dir;
    int m_count = 0;
};

std::vector<std::string> Names(const CImage& image) {
    std::vector<std::string> out;
    if (const auto* v = dynamic_cast<const CValueVector*>(image.Attributes().Entry("feature_names")))
        for (const auto& e : v->Vector()) out.push_back(e ? e->String() : "<empty>");
    return out;
}

std::unique_ptr<CImage> Row(std::vector<float> values, std::vector<std::string> names = {}) {
    auto image = test::FloatImage(static_cast<int64_t>(values.size()), 1, values);
    if (!names.empty()) {
        auto v = std::make_unique<CValueVector>();
        for (std::size_t i = 0; i < names.size(); ++i) v->SetEntry(static_cast<long long>(i), new CValueString(names[i]));
        image->Attributes().SetEntry("feature_names", v.release());
    }
    return image;
}

}  // namespace

TEST_F(Graphs, FileAndWiringErrorsNameTheFileAndTheProblem) {
    const std::string ok_node = R"({"id": "a", "plugin": "Area", "inputs": ["image", "mask"]})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{", "not valid JSON"},
        {"[]", "a graph is a JSON object"},
        {R"({"arguments": ["image"], "nodes": [], "results": ["image"]})", "\"nodes\" must be a non-empty list"},
        {R"({"nodes": [{"plugin": "Area"}], "results": ["Area"], "extra": 1})", "unknown key \"extra\""},
        {R"({"arguments": ["image", "mask"], "nodes": [{"plugin": "Nope", "inputs": ["image"]}], "results": ["Nope"]})",
         "node \"Nope\": unknown plugin \"Nope\""},
        {R"({"arguments": ["image", "mask"], "nodes": [{"id": "a", "plugin": "Area", "inputs": ["image", "mask"],
             "parameters": {"colour": 1}}], "results": ["a"]})",
         "node \"a\": Area has no parameter \"colour\""},
        {R"({"arguments": ["image", "mask"], "nodes": [{"id": "a", "plugin": "Haralick", "inputs": ["image", "mask"],
             "parameters": {"m_glcm_size": "many"}}], "results": ["a"]})",
         "node \"a\": parameter \"m_glcm_size\" must be a long"},
        {R"({"arguments": ["image", "mask"], "nodes": [{"id": "a", "plugin": "Area", "inputs": ["image"]}],
             "results": ["a"]})",
         "node \"a\" input 1 is wired to nothing (Area needs 2)"},
        {R"({"arguments": ["image", "mask"], "nodes": [{"id": "a", "plugin": "Area", "inputs": ["image", "labels"]}],
             "results": ["a"]})",
         "node \"a\" input 1 is wired to \"labels\", which is neither an argument nor a node"},
        {R"({"arguments": ["image", "mask"], "nodes": [)" + ok_node + R"(], "results": ["a:2"]})",
         "result 0: \"a:2\" names no output"},
        {R"({"arguments": ["image", "mask"], "nodes": [)" + ok_node + R"(, )" + ok_node + R"(], "results": ["a"]})",
         "the name \"a\" is used twice"},
        {R"({"arguments": ["image", "mask"], "nodes": [
             {"id": "x", "plugin": "manipulation::Append", "inputs": ["image", "y"]},
             {"id": "y", "plugin": "manipulation::Append", "inputs": ["x"]},
             {"id": "z", "plugin": "utility::CopyImage", "inputs": ["image"]}], "results": ["z"]})",
         "the nodes \"x\", \"y\" wait on each other (a cycle)"},
        {R"({"arguments": ["image", "mask"], "nodes": [)" + ok_node + R"(], "results": []})",
         "\"results\" must be a non-empty list"},
        {R"({"arguments": ["image", "mask"], "nodes": [{"id": "c", "plugin": "utility::CopyImage", "inputs": ["image"]},
             {"id": "a", "plugin": "Area", "inputs": ["image", "c:1"]}], "results": ["a"]})",
         "node \"a\" input 1 is wired to output 1 of \"c\", which utility::CopyImage does not have"},
        {R"({"arguments": ["image"], "nodes": [{"id": "c", "plugin": "utility::CopyImage", "inputs": ["image"]}],
             "results": ["c", "c:1"]})",
         "result 1 is wired to output 1 of \"c\", which utility::CopyImage does not have"},
    };
    for (const auto& [text, problem] : cases) {
        const std::string path = Write(text);
        CException e = test::CatchException([&] { graph::Load(path); });
        EXPECT_EQ(e.Location(), "graph " + path) << text;
        EXPECT_NE(e.Message().find(problem), std::string::npos) << e.Message() << "\nwanted: " << problem;
    }
    CException missing = test::CatchException([&] { graph::Load(m_dir / "absent.json"); });
    EXPECT_NE(missing.Message().find("cannot read the file"), std::string::npos) << missing.Message();
    CException dir = test::CatchException([&] { graph::Load(m_dir.Path()); });
    EXPECT_NE(dir.Message().find("directory"), std::string::npos) << dir.Message();
}

TEST_F(Graphs, ModuleNodesNameTheirColumnsAndAppendJoinsThem) {
    // Two module nodes on the same region, joined side by side: one row whose names
    // say which node and which feature each column is. LBPHist names no features,
    // so its columns are numbered.
    const std::string path = Write(R"({
        "arguments": ["image", "mask"],
        "nodes": [
            {"id": "size", "plugin": "Area", "inputs": ["image", "mask"]},
            {"id": "shape", "plugin": "Geometry", "inputs": ["image", "mask"]},
            {"id": "row", "plugin": "manipulation::Append", "inputs": ["size", "shape"], "parameters": {"along": "X"}}
        ],
        "results": ["row", "shape:1"]
    })");
    auto grey = test::FloatImage(4, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    auto mask = test::FloatImage(4, 3, {0, 1, 1, 0, 1, 1, 1, 0, 0, 1, 0, 0});
    value_list out = RunZorvatGraph(path, value(grey.get()), value(mask.get()));
    ASSERT_EQ(out.size(), 2u);
    std::unique_ptr<CImage> row(static_cast<CImage*>(out[0]));
    ASSERT_EQ(row->Size(), CSize(9, 1, 1));

    test::NodeHarness direct(registry::Create("Geometry"));
    direct.Connect(0, test::FloatImage(4, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    direct.Connect(1, test::FloatImage(4, 3, {0, 1, 1, 0, 1, 1, 1, 0, 0, 1, 0, 0}));
    direct.Run();
    EXPECT_EQ(row->Pixels<float>()[0], 9.0f);  // bounding box 3 x 3
    for (int f = 0; f < 8; ++f) EXPECT_EQ(row->Pixels<float>()[1 + f], direct.At(f, 0)) << f;
    const std::vector<std::string> names = Names(*row);
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names[0], "size.Area (number of pixels)");
    EXPECT_EQ(names[1], "shape.Area (number of pixels)");
    EXPECT_EQ(names[8], "shape.Regression");
    // Output 1 of a node is a result like any other.
    EXPECT_EQ(out[1].Get()->Type(), EValueType::Vector);

    const std::string lbp = Write(R"({"arguments": ["image", "mask"],
        "nodes": [{"plugin": "LBPHist", "inputs": ["image", "mask"]}], "results": ["LBPHist"]})");
    value_list l = RunZorvatGraph(lbp, value(grey.get()), value(mask.get()));
    std::unique_ptr<CImage> hist(static_cast<CImage*>(l[0]));
    EXPECT_EQ(Names(*hist)[255], "LBPHist.255");
    // Argument counts must match the graph's.
    CException e = test::CatchException([&] { RunZorvatGraph(lbp, value(grey.get())); });
    EXPECT_NE(e.Message().find("the graph takes 2 arguments, not 1"), std::string::npos) << e.Message();
}

TEST_F(Graphs, AppendAlongBothAxesAndCopyImage) {
    auto a = Row({1, 2}, {"a1", "a2"});
    auto b = Row({3, 4, 5});  // no names: numbered by column
    auto target = test::FilledImage(1, 1, 0.0f);
    RunPlugin(value(target.get()), "%KELODIR%/bin/manipulation::Append", value(a.get()), value(b.get()), "along", "X");
    ASSERT_EQ(target->Size(), CSize(5, 1, 1));
    EXPECT_EQ(std::vector<float>(target->Pixels<float>(), target->Pixels<float>() + 5),
              (std::vector<float>{1, 2, 3, 4, 5}));
    EXPECT_EQ(Names(*target), (std::vector<std::string>{"a1", "a2", "2", "3", "4"}));

    // Along Y: rows below each other, the first image's attributes kept.
    auto c = test::FloatImage(2, 2, {6, 7, 8, 9});
    RunPlugin(value(a.get()), "manipulation::Append", value(a.get()), value(c.get()), "along", "Y");
    ASSERT_EQ(a->Size(), CSize(2, 3, 1));
    EXPECT_EQ(std::vector<float>(a->Pixels<float>(), a->Pixels<float>() + 6), (std::vector<float>{1, 2, 6, 7, 8, 9}));
    EXPECT_EQ(Names(*a), (std::vector<std::string>{"a1", "a2"}));

    // Planes stay planes when 3-D images are joined along X.
    auto p = test::FloatImage(1, 1, {1, 2}, 2), q = test::FloatImage(1, 1, {3, 4}, 2);
    RunPlugin(value(p.get()), "manipulation::Append", value(p.get()), value(q.get()), "along", "X");
    EXPECT_EQ(std::vector<float>(p->Pixels<float>(), p->Pixels<float>() + 4), (std::vector<float>{1, 3, 2, 4}));

    // In a graph, the host's plugins are named by the part after "::" unless given an id.
    const std::string appended = Write(R"({"arguments": ["a", "b"], "nodes": [
        {"plugin": "utility::CopyImage", "inputs": ["b"]},
        {"plugin": "manipulation::Append", "inputs": ["CopyImage", "b"], "parameters": {"along": "X"}}],
        "results": ["Append"]})");
    std::unique_ptr<CImage> twice(static_cast<CImage*>(RunZorvatGraph(appended, value(a.get()), value(b.get()))[0]));
    EXPECT_EQ(std::vector<float>(twice->Pixels<float>(), twice->Pixels<float>() + twice->Size().Count()),
              (std::vector<float>{3, 4, 5, 3, 4, 5}));

    auto copy = test::FilledImage(1, 1, 0.0f);
    RunPlugin(value(copy.get()), "%KELODIR%/bin/utility::CopyImage", value(b.get()));
    EXPECT_EQ(copy->Size(), CSize(3, 1, 1));
    EXPECT_EQ(copy->Pixels<float>()[2], 5.0f);

    const std::vector<std::pair<std::function<void()>, std::string>> failures = {
        {[&] { RunPlugin(value(a.get()), "manipulation::Append", value(a.get()), value(b.get()), "along", "Y"); },
         "cannot append an image of size (3, 1, 1) along Y to one of size (2, 3, 1)"},
        {[&] { RunPlugin(value(a.get()), "manipulation::Append", value(a.get()), value(b.get()), "along", "Z"); },
         "\"along\" must be \"X\" or \"Y\", not \"Z\""},
        {[&] { RunPlugin(value(a.get()), "manipulation::Append", value(a.get()), "sideways", "Y"); },
         "manipulation::Append has no parameter \"sideways\""},
        {[&] { RunPlugin(value(a.get()), "%KELODIR%/bin/utility::Nothing", value(a.get())); },
         "unknown plugin \"utility::Nothing\""},
    };
    for (const auto& [call, message] : failures) EXPECT_EQ(test::CatchException(call).Message(), message);
    EXPECT_EQ(a->Size(), CSize(2, 3, 1));  // a failed plugin leaves its target alone
}

TEST_F(Graphs, RowsAppendedOneAtATimeIntoTheFirstInputAreAllKept) {
    // How FromGraph collects its rows: the collected image is the target and the
    // first input of every call, and grows by one row each time.
    const int64_t width = 3, rows = 200;
    auto collected = Row({0, 1, 2}, {"x", "y", "z"});
    std::vector<float> expected = {0, 1, 2};
    for (int64_t r = 1; r < rows; ++r) {
        auto row = Row({float(r * 10), float(r * 10 + 1), float(r * 10 + 2)});
        RunPlugin(value(collected.get()), "manipulation::Append", value(collected.get()), value(row.get()), "along",
                  "Y");
        expected.insert(expected.end(), {float(r * 10), float(r * 10 + 1), float(r * 10 + 2)});
    }
    ASSERT_EQ(collected->Size(), CSize(width, rows, 1));
    EXPECT_EQ(std::vector<float>(collected->Pixels<float>(), collected->Pixels<float>() + width * rows), expected);
    EXPECT_EQ(Names(*collected), (std::vector<std::string>{"x", "y", "z"}));
    // A copy holds exactly the rows.
    const CImage copy(*collected);
    EXPECT_EQ(std::vector<float>(copy.Pixels<float>(), copy.Pixels<float>() + width * rows), expected);

    // The target again among the later inputs: its rows as they were before the call.
    auto t = Row({1, 2}), u = Row({3, 4});
    RunPlugin(value(t.get()), "manipulation::Append", value(t.get()), value(u.get()), value(t.get()), "along", "Y");
    ASSERT_EQ(t->Size(), CSize(2, 3, 1));
    EXPECT_EQ(std::vector<float>(t->Pixels<float>(), t->Pixels<float>() + 6), (std::vector<float>{1, 2, 3, 4, 1, 2}));
    // Several rows at once, and two planes (joined plane by plane).
    auto v = test::FloatImage(2, 2, {5, 6, 7, 8});
    RunPlugin(value(t.get()), "manipulation::Append", value(t.get()), value(v.get()), value(u.get()), "along", "Y");
    EXPECT_EQ(std::vector<float>(t->Pixels<float>(), t->Pixels<float>() + 12),
              (std::vector<float>{1, 2, 3, 4, 1, 2, 5, 6, 7, 8, 3, 4}));
    auto p = test::FloatImage(1, 1, {1, 2}, 2), q = test::FloatImage(1, 1, {3, 4}, 2);
    RunPlugin(value(p.get()), "manipulation::Append", value(p.get()), value(q.get()), "along", "Y");
    EXPECT_EQ(std::vector<float>(p->Pixels<float>(), p->Pixels<float>() + 4), (std::vector<float>{1, 3, 2, 4}));
}

TEST_F(Graphs, ARewrittenFileIsReadAgainEvenWithTheSameSizeAndTime) {
    // File times are coarse: a graph rewritten right after a run may keep its size
    // and modification time. The run after it must use the new text all the same.
    const auto text = [](const char* along) {
        return std::string(R"({"arguments": ["a", "b"], "nodes": [{"id": "j", "plugin": "manipulation::Append",
            "inputs": ["a", "b"], "parameters": {"along": ")") + along + R"("}}], "results": ["j"]})";
    };
    auto a = Row({1}), b = Row({2});
    const auto run = [&](const std::string& path) {
        return std::unique_ptr<CImage>(static_cast<CImage*>(RunZorvatGraph(path, value(a.get()), value(b.get()))[0]))
            ->Size();
    };
    const std::string path = Write(text("X"));
    EXPECT_EQ(run(path), CSize(2, 1, 1));
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::ofstream(path) << text("Y");
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(run(path), CSize(1, 2, 1));
}

TEST(GraphValues, ConversionsReleaseOwnershipAndReportWhenVerbose) {
    std::ostringstream log;
    value::vekout = &log;
    RP::run_plugin_verbose = true;
    auto* image = new CImage(IMAGE_GREY_F, CSize(1, 1, 1));
    {
        value owned(image, true);
        CImage* taken = owned;  // the caller owns it now: the value must not delete it
        EXPECT_EQ(taken, image);
        EXPECT_EQ(owned.Get(), nullptr);
    }
    std::unique_ptr<CImage> keep(image);
    value borrowed(image);
    const std::string text = log.str();
    EXPECT_NE(text.find("created owned pointer "), std::string::npos) << text;
    EXPECT_NE(text.find("created non owned pointer "), std::string::npos) << text;
    EXPECT_NE(text.find(" of type CImage in "), std::string::npos) << text;
    EXPECT_NE(text.find("released "), std::string::npos) << text;
    RP::run_plugin_verbose = false;
    value::vekout = &std::cout;

    value s("NULL");
    EXPECT_TRUE(s.IsNull());
    CException e = test::CatchException([&] { static_cast<void>(static_cast<CImage*>(s)); });
    EXPECT_EQ(e.Message().rfind("invalid pointer conversion ", 0), 0u) << e.Message();
    value empty(static_cast<CImage*>(nullptr));
    EXPECT_EQ(test::CatchException([&] { static_cast<void>(static_cast<CImage*>(empty)); })
                  .Message()
                  .rfind("invalid pointer conversion ", 0),
              0u);
}
