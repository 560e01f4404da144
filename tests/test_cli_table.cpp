// regionfeat table and batch end to end: the executable runs as a separate
// process on small files written here (and on the bundled sample), and its
// tables are compared with `run` of each node and read back from every format.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "FeatureTable.h"
#include "ImageIO.h"
#include "ModuleLoader.h"
#include "NpyIO.h"
#include "TestSupport.h"
#include "TiffIO.h"
#include "ValueJson.h"

using namespace regionfeat;
using test::ReadFile;
using test::WriteFile;

namespace {

using Result = test::ProgramResult;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The fields of one CSV line (quoted fields unquoted) or TSV line.
std::vector<std::string> Fields(const std::string& line, char separator = ',') {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (separator == ',' && c == '"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (c == separator && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// A table as fields: row 0 the header.
std::vector<std::vector<std::string>> Parse(const std::string& text, char separator = ',') {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(text)) rows.push_back(Fields(line, separator));
    return rows;
}

// Every field from row 1 on read as a float (the image field of a batch as -1).
std::vector<float> Numbers(const std::vector<std::vector<std::string>>& table, bool withImage = false,
                           const std::vector<std::string>& images = {}) {
    std::vector<float> values;
    for (std::size_t r = 1; r < table.size(); ++r)
        for (std::size_t c = 0; c < table[r].size(); ++c) {
            if (withImage && c == 0) {
                const auto it = std::find(images.begin(), images.end(), table[r][0]);
                values.push_back(static_cast<float>(it - images.begin()));
            } else {
                values.push_back(std::strtof(table[r][c].c_str(), nullptr));
            }
        }
    return values;
}

// Equal as the bits of floats, so NaN equals NaN.
void ExpectSameFloats(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(got[i] == want[i] || (std::isnan(got[i]) && std::isnan(want[i])))
            << what << " value " << i << ": " << got[i] << " against " << want[i];
}

void ExpectOneErrorLine(const Result& r, int status, const std::string& part) {
    EXPECT_EQ(r.status, status) << part << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
}

struct ImagePairFiles {
    std::string image, labels;
};

class Table : public testing::Test {
protected:
    void SetUp() override {
        // A 6 x 5 grey ramp; labels 1 (3 pixels), 2 (4 pixels), 3 (1 pixel).
        std::vector<float> grey(30);
        for (int i = 0; i < 30; ++i) grey[i] = static_cast<float>(i * 7 % 31);
        m_grey = FloatTiff("grey.tif", 6, 5, grey);
        m_labels = FloatTiff("labels.tif", 6, 5,
                             {1, 1, 0, 0, 0, 0,  //
                              0, 1, 0, 2, 0, 2,  //
                              0, 0, 0, 2, 2, 0,  //
                              0, 0, 0, 0, 0, 0,  //
                              3, 0, 0, 0, 0, 0});
    }

    std::string Path(const std::string& name) const { return m_dir / name; }

    Result Run(const std::vector<std::string>& args, const std::string& stdoutPath = "") {
        std::vector<std::string> words = {"--module", REGIONFEAT_MODULE};
        words.insert(words.end(), args.begin(), args.end());
        return test::RunProgram(REGIONFEAT_BIN, words, stdoutPath);
    }

    std::string FloatTiff(const std::string& name, int64_t w, int64_t h, const std::vector<float>& px, int64_t d = 1) {
        Raster r(SampleType::F32, w, h, d);
        std::memcpy(r.bytes.data(), px.data(), r.bytes.size());
        WriteTiff(Path(name), r);
        return Path(name);
    }

    static std::string Sample(const char* name) { return std::string(REGIONFEAT_SOURCE_DIR) + "/samples/" + name; }
    static std::string Graph(const char* name) { return std::string(REGIONFEAT_SOURCE_DIR) + "/graphs/" + name; }

    test::TempDir m_dir;
    std::string m_grey, m_labels;
};

}  // namespace

// ============================================================== column names

TEST(TableColumns, NamesAreTheNodesFeaturesMadeUnique) {
    EXPECT_EQ(NodeColumns("Area", {"Area (number of pixels)"}), std::vector<std::string>{"Area.Area (number of pixels)"});
    // A repeated name gets the first free suffix, also where a feature already
    // carries that suffix; the result depends only on the names.
    EXPECT_EQ(NodeColumns("N", {"a", "b", "a", "a#2", "a", "f0"}),
              (std::vector<std::string>{"N.a", "N.b", "N.a#2", "N.a#2#2", "N.a#3", "N.f0"}));
    EXPECT_EQ(NodeColumns("N", {"", ""}), (std::vector<std::string>{"N.", "N.#2"}));
}

TEST_F(Table, ColumnsAreUniqueNamedAndNumberedOverEveryNode) {
    const Result r = Run({"table", Sample("cells_grey.tif"), Sample("cells_labels.tif"), "--all", "-p",
                          "FromGraph.graph=" + Graph("statistics_geometry.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto table = Parse(r.out);
    ASSERT_EQ(table.size(), 9u);  // the sample's labels 1..8
    const std::vector<std::string>& header = table[0];
    EXPECT_EQ(header[0], "label");
    EXPECT_EQ(std::set<std::string>(header.begin(), header.end()).size(), header.size()) << "a name repeats";
    // Nodes in the listing's order, each column "Node.feature".
    std::vector<std::string> order;
    for (std::size_t c = 1; c < header.size(); ++c) {
        const std::string node = header[c].substr(0, header[c].find('.'));
        ASSERT_NE(node, header[c]) << header[c];
        if (order.empty() || order.back() != node) order.push_back(node);
    }
    std::vector<std::string> listed;
    for (const std::string& line : Lines(Run({"list"}).out)) listed.push_back(line);
    EXPECT_EQ(order, listed);
    // Hist names no feature: numbered columns.
    EXPECT_NE(std::find(header.begin(), header.end(), "Hist.f255"), header.end());
    EXPECT_NE(std::find(header.begin(), header.end(), "FromGraph.shape.Regression"), header.end());
    // The same names on another run and another image pair.
    const Result again = Run({"table", m_grey, m_labels, "--all", "-p",
                              "FromGraph.graph=" + Graph("statistics_geometry.json"), "--keep-going"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(Parse(again.out)[0], header);

    // A node's own repeated name (a graph that puts one feature in its row
    // twice) and a missing one (SdistAveVar's odd third column).
    const std::string twice = Path("twice.json");
    WriteFile(twice, R"({"arguments": ["image", "mask"],
        "nodes": [{"id": "box", "plugin": "Area", "inputs": ["image", "mask"]},
                  {"id": "row", "plugin": "manipulation::Append", "inputs": ["box", "box"], "parameters": {"along": "X"}}],
        "results": ["row"]})");
    const Result dup = Run({"table", m_grey, m_labels, "--nodes", "FromGraph,SdistAveVar", "-p",
                            "FromGraph.graph=" + twice, "-p", "SdistAveVar.number_of_features=3"});
    ASSERT_EQ(dup.status, 0) << dup.err;
    EXPECT_EQ(Lines(dup.out)[0],
              "label,FromGraph.box.Area (number of pixels),FromGraph.box.Area (number of pixels)#2,"
              "SdistAveVar.Average,SdistAveVar.Variance,SdistAveVar.f2");
}

// ============================================================== one table = the nodes one by one

// Every listed node on the sample: its block of columns in the table is its
// own `run` table, field for field, byte for byte.
TEST_F(Table, OneTableEqualsTheNodesRunOneByOne) {
    const std::string grey = Sample("cells_grey.tif"), labels = Sample("cells_labels.tif");
    const std::string graph = "graph=" + Graph("statistics_geometry.json");
    const Result all = Run({"table", grey, labels, "--all", "-p", "FromGraph." + graph});
    ASSERT_EQ(all.status, 0) << all.err;
    const auto table = Parse(all.out);
    std::size_t column = 1;
    for (const std::string& node : Lines(Run({"list"}).out)) {
        SCOPED_TRACE(node);
        std::vector<std::string> args = {"run", node, grey, labels};
        if (node == "FromGraph") args.insert(args.end(), {"-p", graph});
        const Result one = Run(args);
        ASSERT_EQ(one.status, 0) << one.err;
        const auto own = Parse(one.out);
        ASSERT_EQ(own.size(), table.size());
        const std::size_t width = own[0].size() - 1;
        ASSERT_LE(column + width, table[0].size());
        // LBPHist names every column "feature": the table tells them apart.
        const std::vector<std::string> names = NodeColumns(node, {own[0].begin() + 1, own[0].end()});
        for (std::size_t r = 0; r < own.size(); ++r) {
            EXPECT_EQ(table[r][0], own[r][0]) << "row " << r;
            for (std::size_t c = 0; c < width; ++c) {
                const std::string want = r == 0 ? names[c] : own[r][c + 1];
                ASSERT_EQ(table[r][column + c], want) << "row " << r << " column " << c;
            }
        }
        column += width;
    }
    EXPECT_EQ(column, table[0].size());
}

// Parameters reach their own node; FromGraph's rows are joined by label, NaN
// where a label has no row.
TEST_F(Table, ParametersAreRoutedAndRowsJoinedByLabel) {
    const Result r = Run({"table", m_grey, m_labels, "--nodes", "SdistAveVar,AveragePhi,Statistics", "-p",
                          "AveragePhi.pieces=2", "-p", "SdistAveVar.number_of_features=4", "-p",
                          "Statistics.extended:bool=true"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto table = Parse(r.out);
    std::size_t phi = 0, sdist = 0, stats = 0;
    for (const std::string& name : table[0]) {
        phi += name.starts_with("AveragePhi.");
        sdist += name.starts_with("SdistAveVar.");
        stats += name.starts_with("Statistics.");
    }
    EXPECT_EQ(std::tuple(sdist, phi, stats), std::tuple(4u, 2u, 7u));
    const Result phiAlone = Run({"run", "AveragePhi", m_grey, m_labels, "-p", "pieces=2"});
    const auto own = Parse(phiAlone.out);
    for (std::size_t row = 1; row < own.size(); ++row)
        EXPECT_EQ(std::vector<std::string>(table[row].begin() + 5, table[row].begin() + 7),
                  std::vector<std::string>(own[row].begin() + 1, own[row].end()));

    // Labels 1, 2 and 4: FromGraph has no row for label 3, Area has.
    const std::string gaps = FloatTiff("gaps.tif", 6, 5, {1, 1, 0, 0, 0, 0, 0, 1, 0, 2, 0, 2, 0, 0, 0,
                                                          2, 2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0});
    const std::string area = Path("area.json");
    WriteFile(area, R"({"arguments": ["image", "mask"],
        "nodes": [{"id": "box", "plugin": "Area", "inputs": ["image", "mask"]}], "results": ["box"]})");
    const Result joined = Run({"table", m_grey, gaps, "--nodes", "FromGraph,Area", "-p", "FromGraph.graph=" + area});
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out,
              "label,FromGraph.box.Area (number of pixels),Area.Area (number of pixels)\n"
              "1,4,4\n2,6,6\n3,nan,0\n4,1,1\n");
}

// ============================================================== failures

TEST_F(Table, UsageErrorsComeBeforeAnyImageIsRead) {
    const std::string missing = Path("missing.tif");
    struct Case {
        std::vector<std::string> args;
        std::string part;
    };
    const Case cases[] = {
        {{"--nodes", "Area,Nope"}, "unknown node 'Nope' (nodes: Geometry, "},
        {{"--nodes", "Area", "--nodes", "Area"}, "node 'Area' is named twice"},
        {{"--nodes", "Area,,Hist"}, "an empty node name"},
        {{"--nodes", "Area", "--all"}, "--nodes and --all exclude each other"},
        {{}, "no nodes selected: give --nodes A,B,... or --all"},
        {{"--nodes", "Area", "-p", "verbose=true"}, "does not name its node: use -p NODE.KEY=VALUE"},
        {{"--nodes", "Area", "-p", "Hist.verbose=true"}, "is for Hist, which is not selected"},
        {{"--nodes", "Area", "-p", "Nope.verbose=true"}, "unknown node 'Nope'"},
        {{"--all", "-p", "FromGraph.verbose=true"}, "under --all it needs -p FromGraph.graph=FILE"},
        {{"--nodes", "Area", "-p", "Area.verbose=maybe"}, "Area: parameter 'verbose': 'maybe' is not a bool"},
        {{"--nodes", "Area", "-p", "Area.bins=3"}, "unknown parameter 'bins' for Area"},
        {{"--nodes", "Area", "-o", Path("t.xlsx")}, "unknown extension"},
        {{"--nodes", "Area", "-o", m_labels}, "an input is never overwritten"},
        {{"--nodes", "FromGraph", "-p", "FromGraph.graph=" + Path("g.json"), "-o", Path("g.json")},
         "an input is never overwritten"},
    };
    WriteFile(Path("g.json"), ReadFile(Graph("statistics_geometry.json")));
    const std::set<std::string> before = m_dir.Names();
    for (const Case& c : cases) {
        std::vector<std::string> args = {"table", missing, m_labels};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        ExpectOneErrorLine(r, 2, c.part);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(m_dir.Names(), before);
    ExpectOneErrorLine(Run({"table", m_grey, "--nodes", "Area"}), 2, "LABELS is required");
}

TEST_F(Table, FailingNodesStopTheTableOrAreLeftOut) {
    WriteFile(Path("old.csv"), "keep");
    const std::set<std::string> before = m_dir.Names();
    const std::vector<std::string> base = {"table", m_grey, m_labels, "--nodes", "Area,AveragePhi,Abis",
                                           "-p", "AveragePhi.pieces=-1"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    // Stopped: the node's name and message, the node's status, nothing written.
    Result r = Run(with({"-o", Path("old.csv"), "-o", Path("new.npy")}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: AveragePhi: (feature plugins) AveragePhi::Run: pieces has to be >= 0\n");
    EXPECT_EQ(ReadFile(Path("old.csv")), "keep");
    EXPECT_EQ(m_dir.Names(), before);

    // Left out with --keep-going: a refused parameter and a node (Abis, one
    // row per raster cell) whose rows are not labels.
    r = Run(with({"--keep-going"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "label,Area.Area (number of pixels)\n1,4\n2,6\n3,1\n");
    const auto warnings = Lines(r.err);
    ASSERT_EQ(warnings.size(), 2u) << r.err;
    EXPECT_EQ(warnings[0], "warning: AveragePhi left out: (feature plugins) AveragePhi::Run: pieces has to be >= 0");
    EXPECT_TRUE(warnings[1].starts_with("warning: Abis left out: its output of ")) << warnings[1];

    // Memory refusals keep their status; every node left out is a failure.
    ExpectOneErrorLine(Run({"table", m_grey, m_labels, "--nodes", "Area", "--max-memory", "64"}), 3,
                       "error: Area: out of memory: (feature plugins) Area::Run: Largest label 3 needs ");
    r = Run({"table", m_grey, m_labels, "--nodes", "AveragePhi", "-p", "AveragePhi.pieces=-1", "--keep-going"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("error: every selected node was left out; there is no table to write\n")) << r.err;
    // FromGraph named without a graph fails like any node.
    ExpectOneErrorLine(Run({"table", m_grey, m_labels, "--nodes", "FromGraph"}), 1, "error: FromGraph: ");

    // A message with line ends is one line in the warning as in the error,
    // for table and for batch.
    const std::string lines = "Fails::Run: first line second line third line last  ";
    r = test::RunProgram(REGIONFEAT_BIN, {"--module", FAILING_MODULE, "table", m_grey, m_labels, "--nodes", "Fails",
                                          "--keep-going"});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(Lines(r.err).size(), 2u) << r.err;
    EXPECT_TRUE(Lines(r.err)[0].ends_with(lines)) << r.err;
    WriteFile(Path("list.csv"), "image,labels\n" + m_grey + "," + m_labels + "\n");
    r = test::RunProgram(REGIONFEAT_BIN, {"--module", FAILING_MODULE, "batch", Path("list.csv"), "--nodes", "Fails",
                                          "--keep-going", "--progress", "lines"});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(Lines(r.err).size(), 3u) << r.err;  // skipped, 1/1, error
    EXPECT_TRUE(Lines(r.err)[0].ends_with(lines)) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
}

// ============================================================== formats

TEST_F(Table, EveryFormatHoldsTheNumbersOfTheCsv) {
    // Hist gives NaN-free fractions; Statistics an extreme value or two.
    const std::vector<std::string> args = {"table", m_grey, m_labels, "--nodes", "Geometry,Hist,Statistics"};
    const Result csv = Run(args);
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto table = Parse(csv.out);
    const std::vector<float> want = Numbers(table);
    const std::size_t columns = table[0].size();

    std::vector<std::string> files = args;
    for (const char* name : {"t.tsv", "t.npy", "t.json", "t.tif"}) files.insert(files.end(), {"-o", Path(name)});
    const Result r = Run(files);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    const auto tsv = Parse(ReadFile(Path("t.tsv")), '\t');
    EXPECT_EQ(tsv, table);

    const Raster npy = ReadNpy(Path("t.npy"));
    EXPECT_EQ(std::tuple(npy.type, npy.width, npy.height), std::tuple(SampleType::F32, int64_t(columns), int64_t(3)));
    ExpectSameFloats(std::vector<float>(npy.As<float>(), npy.As<float>() + npy.Count()), want, "npy");
    const Raster tif = ReadImage(Path("t.tif"));
    EXPECT_EQ(std::tuple(tif.type, tif.width, tif.height), std::tuple(SampleType::F32, int64_t(columns), int64_t(3)));
    ExpectSameFloats(std::vector<float>(tif.As<float>(), tif.As<float>() + tif.Count()), want, "tif");

    const Json j = Json::parse(ReadFile(Path("t.json")));
    EXPECT_EQ(j["columns"].get<std::vector<std::string>>(), table[0]);
    ASSERT_EQ(j["rows"].size(), 3u);
    std::vector<float> fromJson;
    for (const Json& row : j["rows"]) {
        EXPECT_TRUE(row[0].is_number_integer());
        for (const Json& v : row) fromJson.push_back(v.is_null() ? NAN : v.get<float>());
    }
    ExpectSameFloats(fromJson, want, "json");
}

// ============================================================== batch

namespace {

class Batch : public Table {
protected:
    // Image i of a batch: W x W grey values, `labels` labels of 2 x 2 pixels
    // along the diagonal (label k at (2k, 2k)), so its rows tell it apart.
    ImagePairFiles Pair(const std::string& stem, int w, int labels) {
        std::vector<float> grey(static_cast<std::size_t>(w) * w), lab(grey.size(), 0.0f);
        for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<float>((i * 13 + w) % 97);
        for (int k = 1; k <= labels; ++k)
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) lab[static_cast<std::size_t>((2 * k + dy) * w + 2 * k + dx)] = k;
        return {FloatTiff(stem + ".tif", w, w, grey), FloatTiff(stem + "_labels.tif", w, w, lab)};
    }
    std::string List(const std::vector<ImagePairFiles>& pairs, const std::string& name = "list.csv") {
        std::string text = "image,labels\n";
        for (const auto& p : pairs) text += p.image + "," + p.labels + "\n";
        WriteFile(Path(name), text);
        return Path(name);
    }
    // What `table` gives for each pair, with the image column in front.
    std::string TablesOneByOne(const std::vector<ImagePairFiles>& pairs, const std::vector<std::string>& nodes) {
        std::string joined;
        for (const auto& p : pairs) {
            std::vector<std::string> args = {"table", p.image, p.labels};
            args.insert(args.end(), nodes.begin(), nodes.end());
            const Result r = Run(args);
            EXPECT_EQ(r.status, 0) << r.err;
            const auto lines = Lines(r.out);
            if (joined.empty()) joined = "image," + lines[0] + "\n";
            for (std::size_t i = 1; i < lines.size(); ++i) joined += p.image + "," + lines[i] + "\n";
        }
        return joined;
    }
};

}  // namespace

// Large images first, so that with four jobs the later ones finish first: the
// rows still come in the list's order, and each image's rows are its table.
TEST_F(Batch, RowsComeInListOrderAndEqualTheTablesOfEachImage) {
    std::vector<ImagePairFiles> pairs;
    const int sizes[] = {160, 120, 12, 10, 40, 8};
    for (int i = 0; i < 6; ++i) pairs.push_back(Pair("img" + std::to_string(i), sizes[i], sizes[i] / 4 - 1));
    const std::vector<std::string> nodes = {"--nodes", "Median,Statistics,Area"};
    std::vector<std::string> args = {"batch", List(pairs), "--jobs", "4", "--progress", "none"};
    args.insert(args.end(), nodes.begin(), nodes.end());
    const Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, TablesOneByOne(pairs, nodes));

    // The same table from a glob with a label pattern (sorted paths: img0..img5).
    const Result glob = Run({"batch", "--images", Path("img*.tif"), "--labels", "{dir}/{stem}_labels{ext}", "--jobs",
                             "2", "--progress", "none", "--nodes", "Median,Statistics,Area"});
    ASSERT_EQ(glob.status, 0) << glob.err;
    EXPECT_EQ(glob.out, r.out);
}

TEST_F(Batch, AFailingImageStopsTheBatchOrIsSkipped) {
    std::vector<ImagePairFiles> pairs = {Pair("a", 8, 2), Pair("b", 8, 3), Pair("c", 10, 4)};
    WriteFile(pairs[1].image, "not an image");
    const std::string list = List(pairs);
    WriteFile(Path("old.csv"), "keep");
    const std::set<std::string> before = m_dir.Names();
    const std::vector<std::string> base = {"batch", list, "--nodes", "Area", "--jobs", "2"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };

    // Stopped: one line naming the image, nothing written, the old file kept.
    Result r = Run(with({"--progress", "none", "-o", Path("old.csv"), "-o", Path("new.npy")}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: " + pairs[1].image + ": not a TIFF, PNG or NPY file\n");
    EXPECT_EQ(ReadFile(Path("old.csv")), "keep");
    EXPECT_EQ(m_dir.Names(), before);

    // Skipped: reported in the progress lines, the other images written.
    r = Run(with({"--keep-going", "--progress", "lines", "-o", Path("old.csv")}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string table = ReadFile(Path("old.csv"));
    EXPECT_EQ(table, TablesOneByOne({pairs[0], pairs[2]}, {"--nodes", "Area"}));
    const auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 5u) << r.err;  // a skip message, one line per image, the summary
    EXPECT_EQ(lines[0], "1/3 " + pairs[0].image + " (" + lines[0].substr(lines[0].find('(') + 1));
    EXPECT_EQ(lines[1], "skipped " + pairs[1].image + ": not a TIFF, PNG or NPY file");
    EXPECT_TRUE(lines[4].starts_with("3 images in ")) << lines[4];
    EXPECT_TRUE(lines[4].ends_with(", 1 skipped")) << lines[4];

    // A node that fails on one image fails the image, with the node's status.
    const ImagePairFiles many = Pair("many", 64, 30);
    const std::string list2 = List({pairs[0], many, pairs[2]}, "list2.csv");
    r = Run({"batch", list2, "--nodes", "Area", "--max-memory", "1K", "--progress", "none"});
    ExpectOneErrorLine(r, 3, "error: " + many.image + ": Area: out of memory: ");
    r = Run({"batch", list2, "--nodes", "Area", "--max-memory", "1K", "--progress", "none", "--keep-going"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, TablesOneByOne({pairs[0], pairs[2]}, {"--nodes", "Area"}));

    // Every image skipped: nothing to write is a failure, with the first cause.
    r = Run({"batch", list2, "--nodes", "Area", "--max-memory", "64", "--progress", "none", "--keep-going"});
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string last = Lines(r.err).back();
    EXPECT_TRUE(last.starts_with("error: every image was skipped, no table written (the first: " + pairs[0].image +
                                 ": Area: out of memory: (feature plugins) Area::Run: Largest label 2 needs "))
        << last;
    EXPECT_TRUE(last.ends_with("more than the 64 bytes of memory available)")) << last;
    EXPECT_EQ(r.out, "");
}

// Standard output closed by its reader (`| head`) while a node writes there
// after the outputs were staged: the run ends, its temporary files go with it.
// One job, so the order is fixed: the first image (all grey values 0) makes
// ShiftHistVar print nothing and stages the output, the second makes it print.
TEST_F(Batch, AClosedStandardOutputLeavesNoTemporaryFile) {
    ImagePairFiles quiet = Pair("quiet", 8, 2);
    quiet.image = FloatTiff("zero.tif", 8, 8, std::vector<float>(64, 0.0f));
    const std::string list = List({quiet, Pair("loud", 8, 2)});
    const std::set<std::string> before = m_dir.Names();
    std::vector<std::string> words = {REGIONFEAT_BIN, "--module", REGIONFEAT_MODULE, "batch", list, "--nodes",
                                      "ShiftHistVar", "--jobs", "1", "--progress", "none", "-o", Path("t.csv")};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(fds[1], 1) < 0) _exit(126);
        close(fds[0]);
        close(fds[1]);
        signal(SIGPIPE, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);  // no reader from here on
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    EXPECT_EQ(m_dir.Names(), before);
}

TEST_F(Batch, ProgressIsOneLinePerImageOrABarRedrawnInPlace) {
    const std::vector<ImagePairFiles> pairs = {Pair("a", 8, 2), Pair("b", 8, 3), Pair("c", 8, 1)};
    const std::string list = List(pairs);
    Result r = Run({"batch", list, "--nodes", "Area", "--progress", "lines", "-o", Path("t.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 4u) << r.err;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(lines[i].starts_with(std::to_string(i + 1) + "/3 " + pairs[i].image + " ("));
    EXPECT_EQ(r.err.find('\r'), std::string::npos);

    r = Run({"batch", list, "--nodes", "Area", "--progress", "bar", "-o", Path("t.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.front(), '\r');
    EXPECT_NE(r.err.find("3/3"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

    r = Run({"batch", list, "--nodes", "Area", "--progress", "none", "--timings"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.starts_with("timings: read ")) << r.err;
}

TEST_F(Batch, NpyTiffAndJsonHoldTheImageIndexAndTheNumbersOfTheCsv) {
    const std::vector<ImagePairFiles> pairs = {Pair("a", 8, 2), Pair("b", 10, 3)};
    const std::string list = List(pairs);
    const std::vector<std::string> args = {"batch", list, "--nodes", "Geometry,Statistics", "--progress", "none"};
    const Result csv = Run(args);
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto table = Parse(csv.out);
    EXPECT_EQ(std::vector<std::string>(table[0].begin(), table[0].begin() + 3),
              (std::vector<std::string>{"image", "label", "Geometry.Area (number of pixels)"}));
    ASSERT_EQ(table.size(), 6u);
    std::vector<std::string> images = {pairs[0].image, pairs[1].image};
    const std::vector<float> want = Numbers(table, true, images);

    std::vector<std::string> files = args;
    files.insert(files.end(), {"-o", Path("t.npy"), "-o", Path("t.json"), "-o", Path("t.tif")});
    ASSERT_EQ(Run(files).status, 0);
    for (const char* name : {"t.npy", "t.tif"}) {
        const Raster m = ReadImage(Path(name));
        EXPECT_EQ(std::tuple(m.width, m.height), std::tuple(int64_t(table[0].size()), int64_t(5))) << name;
        ExpectSameFloats(std::vector<float>(m.As<float>(), m.As<float>() + m.Count()), want, name);
    }
    const Json j = Json::parse(ReadFile(Path("t.json")));
    EXPECT_EQ(j["columns"].get<std::vector<std::string>>(), table[0]);
    std::vector<float> fromJson;
    for (const Json& row : j["rows"])
        for (std::size_t c = 0; c < row.size(); ++c)
            fromJson.push_back(c == 0   ? static_cast<float>(std::find(images.begin(), images.end(), row[0]) - images.begin())
                               : row[c].is_null() ? NAN
                                                  : row[c].get<float>());
    ExpectSameFloats(fromJson, want, "json");
}

TEST_F(Batch, UsageErrorsComeBeforeAnyImageIsRead) {
    const std::vector<ImagePairFiles> pairs = {Pair("a", 8, 2)};
    const std::string list = List(pairs);
    WriteFile(Path("gone.csv"), "image,labels\n" + Path("gone.tif") + "," + pairs[0].labels + "\n");
    struct Case {
        std::vector<std::string> args;
        std::string part;
    };
    const Case cases[] = {
        {{list, "--images", "*.tif", "--labels", "{stem}.png", "--nodes", "Area"}, "not both"},
        {{"--nodes", "Area"}, "no images: give a list file (CSV) or --images GLOB --labels PATTERN"},
        {{"--images", "*.tif", "--nodes", "Area"}, "--images and --labels go together"},
        {{list, "--nodes", "Area", "--progress", "fancy"}, "--progress takes auto, bar, lines or none"},
        {{list, "--nodes", "Area", "--jobs", "0"}, "--jobs"},
        {{Path("gone.csv"), "--nodes", "Area"}, "gone.tif"},
        {{list, "--nodes", "Area", "-o", list}, "an input is never overwritten"},
        {{list, "--nodes", "Area", "-o", pairs[0].labels}, "an input is never overwritten"},
        {{list, "--nodes", "Nope"}, "unknown node 'Nope'"},
        {{list, "--nodes", "FromGraph", "-p", "FromGraph.graph=" + Path("g.json"), "-o", Path("g.json")},
         "an input is never overwritten"},
    };
    WriteFile(Path("g.json"), ReadFile(Graph("statistics_geometry.json")));
    const std::set<std::string> before = m_dir.Names();
    for (const Case& c : cases) {
        std::vector<std::string> args = {"batch"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        ExpectOneErrorLine(r, 2, c.part);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(m_dir.Names(), before);
}
