// regionfeat end to end: the executable is run as a separate process on tiny
// files, and its standard output, standard error, exit status and output files
// are checked. Expected tables are computed by hand from the images written here.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "Exports.h"
#include "ImageIO.h"
#include "Output.h"
#include "NpyIO.h"
#include "Registry.h"
#include "TestSupport.h"
#include "TiffIO.h"
#include "ValueJson.h"

using namespace regionfeat;
using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

namespace {

using Result = test::ProgramResult;

std::vector<std::string> Split(const std::string& text, char separator = '\n') {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// One row of a table as numbers; field 0 (the label) included.
std::vector<float> Numbers(const std::string& line, char separator = ',') {
    std::vector<float> values;
    for (const std::string& field : Split(line, separator)) values.push_back(std::strtof(field.c_str(), nullptr));
    return values;
}

// The module as a host sees it, loaded here independently of the executable.
std::vector<std::string> ModuleListing() {
    void* h = dlopen(REGIONFEAT_MODULE, RTLD_NOW | RTLD_LOCAL);
    std::unique_ptr<KELO::CValueVector> v(reinterpret_cast<ListPluginsFn>(dlsym(h, "ListPlugins"))());
    std::vector<std::string> names;
    for (const auto& slot : v->Vector())  // slots without a listing key stay empty
        if (slot) names.push_back(slot->String());
    return names;
}

bool ModuleCreates(const std::string& name) {
    void* h = dlopen(REGIONFEAT_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto create = reinterpret_cast<CreatePluginInstanceExFn>(dlsym(h, "CreatePluginInstanceEx"));
    return std::unique_ptr<KELO::IPluginObject>(create(name.c_str())) != nullptr;
}

class Cli : public testing::Test {
protected:
    void SetUp() override {
        // A 6 x 5 float grey ramp and uint16 labels (as segmentation tools write
        // them) whose bounding boxes are 2 x 2 (label 1), 3 x 2 (label 2) and
        // 1 x 1 (label 3).
        std::vector<float> grey(30);
        for (int i = 0; i < 30; ++i) grey[i] = static_cast<float>(i);
        m_grey = FloatTiff("grey.tif", 6, 5, grey);
        const uint16_t labels[30] = {1, 1, 0, 0, 0, 0,  //
                                     0, 1, 0, 2, 0, 2,  //
                                     0, 0, 0, 2, 2, 0,  //
                                     0, 0, 0, 0, 0, 0,  //
                                     3, 0, 0, 0, 0, 0};
        Raster r(SampleType::U16, 6, 5, 1);
        std::memcpy(r.bytes.data(), labels, sizeof labels);
        WriteTiff(m_labels = Path("labels.tif"), r);
    }

    std::string Path(const std::string& name) const { return m_dir / name; }

    // Runs regionfeat with args and the environment setting env (if any);
    // REGIONFEAT_MODULE is otherwise unset, so the default module location is
    // used. Standard output goes to stdoutPath when given.
    Result Run(const std::vector<std::string>& args, const std::string& env = "",
                            const std::string& stdoutPath = "") {
        std::vector<std::string> words = {"-u", "REGIONFEAT_MODULE"};
        if (!env.empty()) words.push_back(env);
        words.push_back(REGIONFEAT_BIN);
        words.insert(words.end(), args.begin(), args.end());
        return test::RunProgram("env", words, stdoutPath);
    }

    std::set<std::string> Files() const { return m_dir.Names(); }

    // A float image of W x H (x D) pixels written as TIFF.
    std::string FloatTiff(const std::string& name, int64_t w, int64_t h, const std::vector<float>& px, int64_t d = 1) {
        Raster r(SampleType::F32, w, h, d);
        std::memcpy(r.bytes.data(), px.data(), r.bytes.size());
        WriteTiff(Path(name), r);
        return Path(name);
    }

    static constexpr const char* kAreaTable = "label,Area (number of pixels)\n1,4\n2,6\n3,1\n";
    test::TempDir m_dir;
    std::string m_grey, m_labels;
};

}  // namespace

// ============================================================== list, describe

TEST_F(Cli, ListFollowsTheModuleListingAndAllAddsCreatableNames) {
    const std::vector<std::string> listed = ModuleListing();
    ASSERT_FALSE(listed.empty());
    const Result r = Run({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Split(r.out), listed);

    // --all: the listed names, then names that create a node, each once.
    const std::vector<std::string> all = Split(Run({"list", "--all"}).out);
    ASSERT_GE(all.size(), listed.size());
    EXPECT_TRUE(std::equal(listed.begin(), listed.end(), all.begin()));
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size()) << "duplicates";
    for (std::size_t i = listed.size(); i < all.size(); ++i) EXPECT_TRUE(ModuleCreates(all[i])) << all[i];
    for (const char* unlisted : {"Abis", "Avedu", "Redrik"})
        EXPECT_EQ(std::find(all.begin(), all.end(), unlisted) != all.end(), ModuleCreates(unlisted)) << unlisted;
}

// (The --json form of every node is compared with its stored reference.)
TEST_F(Cli, DescribeIsReadable) {
    const Result r = Run({"describe", "Area"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* part : {"Parameters:\n  verbose  bool  default: false\n", "Inputs:\n  0  image  Data Image\n",
                             "Features (1):\n  0  Area (number of pixels)\n"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\nin:\n" << r.out;
    EXPECT_NE(Run({"describe", "Hist"}).out.find("\nFeatures: not described"), std::string::npos);
}

// ============================================================== usage and input errors

TEST_F(Cli, UsageAndInputErrorsExitWithTwoAndOneLine) {
    WriteFile(Path("text.png"), "hello");
    const std::string tif = ReadFile(m_labels);
    WriteFile(Path("cut.tif"), tif.substr(0, tif.size() / 2));
    std::string npy = NpyBytes(ReadImage(m_grey));
    npy.replace(npy.find("False"), 5, "True ");
    WriteFile(Path("fortran.npy"), npy);
    WriteNpy(Path("i32.npy"), Raster(SampleType::I32, 6, 5, 1));
    WriteFile(Path("libnot.so"), "not an ELF file");
    const std::set<std::string> before = Files();

    struct Case {
        std::vector<std::string> args;
        std::string part;
        std::string env = "";
    };
    const Case cases[] = {
        {{}, "a command is required: list, describe, run, table, batch or graph"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--module", "x.so", "lst"}, "unknown command 'lst'"},
        {{"list", "--nope"}, "--nope"},
        {{"run", "Area"}, "IMAGE is required"},
        {{"describe", "area"}, "unknown node 'area' (nodes: "},
        {{"run", "Nope", m_grey, m_labels}, "unknown node 'Nope'"},
        {{"--module", Path("none.so"), "list"}, "cannot load the module '" + Path("none.so") + "'"},
        {{"--module", Path("libnot.so"), "list"}, "cannot load the module"},
        {{"list"}, "cannot load the module '" + Path("env.so") + "'", "REGIONFEAT_MODULE=" + Path("env.so")},
        {{"run", "Area", Path("missing.tif"), m_labels}, Path("missing.tif") + ": cannot open"},
        {{"run", "Area", Path("text.png"), m_labels}, Path("text.png") + ": not a TIFF, PNG or NPY file"},
        {{"run", "Area", m_grey, Path("cut.tif")}, Path("cut.tif") + ": "},
        {{"run", "Area", m_grey, Path("fortran.npy")}, "Fortran-ordered NPY arrays are not supported"},
        {{"run", "Area", m_grey, Path("i32.npy"), "--native"}, "int32 pixels have no native node type"},
        {{"run", "Area", m_grey, m_labels, "-p", "m_glcm_size=32"}, "unknown parameter 'm_glcm_size' for Area"},
        {{"run", "Area", m_grey, m_labels, "-p", "verbose:double=1"}, "is a bool, not a double"},
        {{"run", "Area", m_grey, m_labels, "-o", Path("a.csv"), "-o", Path("a.xlsx")}, "a.xlsx': unknown extension"},
        {{"run", "Area", m_grey, m_labels, "-o", Path("nodir/a.csv")}, "does not exist"},
        {{"run", "Area", m_grey, m_labels, "--max-pixels", "-3"}, "takes a whole number from 1 to"},
        {{"run", "Area", m_grey, m_labels, "--max-pixels", "18446744073709551616"}, "takes a whole number"},
        {{"run", "Area", m_grey, m_labels, "--max-pixels", "29"}, "more than the limit of 29 pixels"},
    };
    for (const Case& c : cases) {
        const Result r = Run(c.args, c.env);
        EXPECT_EQ(r.status, 2) << c.part;
        EXPECT_EQ(r.out, "") << c.part;
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.back(), '\n') << r.err;
        EXPECT_NE(r.err.find(c.part), std::string::npos) << r.err;
    }
    EXPECT_EQ(Files(), before);
    // The option wins over the environment.
    EXPECT_EQ(Run({"--module", REGIONFEAT_MODULE, "list"}, "REGIONFEAT_MODULE=" + Path("env.so")).status, 0);
}

// ============================================================== run

TEST_F(Cli, RunPrintsTheTableOnStandardOutput) {
    Result r = Run({"run", "Area", m_grey, m_labels, "-p", "extra:double=2.5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kAreaTable);
    EXPECT_EQ(r.err, "");

    // The node's progress text goes to standard error while the table is on
    // standard output, and stays on standard output when the table goes to a file.
    r = Run({"run", "Area", m_grey, m_labels, "--verbose"});
    EXPECT_EQ(r.out, kAreaTable);
    EXPECT_NE(r.err.find("The number of regions is: 3\n"), std::string::npos) << r.err;
    r = Run({"run", "Area", m_grey, m_labels, "-p", "verbose=true", "-o", Path("t.csv")});
    EXPECT_NE(r.out.find("The number of regions is: 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(Path("t.csv")), kAreaTable);

    // Column names as the node gives them once it has read its parameters: three
    // SdistAveVar columns are one bin and a column without a name.
    r = Run({"run", "SdistAveVar", m_grey, m_labels, "-p", "number_of_features=3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "label,Average,Variance,f2");

    // A table that cannot be written is a failure, not a silent success.
    r = Run({"run", "Area", m_grey, m_labels}, "", "/dev/full");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: cannot write to standard output\n");
}

TEST_F(Cli, NodeFailuresExitWithOneAndLeaveNoFiles) {
    WriteFile(Path("old.csv"), "keep");
    const std::set<std::string> before = Files();
    // No label image: the old file stays, no new file appears.
    Result r = Run({"run", "Area", m_grey, "-o", Path("old.csv"), "-o", Path("new.npy"), "-o", Path("new.json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: (feature plugins) Area::Run: Label input image is NULL\n");
    EXPECT_EQ(ReadFile(Path("old.csv")), "keep");
    EXPECT_EQ(Files(), before);

    // Hist reports in the source-location form: file(line) function.
    r = Run({"run", "Hist", m_grey});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("PHist.cpp("), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("CPHist::Run: Second input image is NULL.\n")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    // A refused sizing parameter and a refused split of the sections.
    r = Run({"run", "AveragePhi", m_grey, m_labels, "-p", "pieces=-1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: (feature plugins) AveragePhi::Run: pieces has to be >= 0\n");
    r = Run({"run", "AveragePolar", m_grey, m_labels, "-p", "angles=100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: (feature plugins) AveragePolar::Run: Invalid number of radii, choose different number "
                     "of 'pieces' and 'angles'\n");

    // --native hands the uint16 labels over as they are stored; Area wants float.
    r = Run({"run", "Area", m_grey, m_labels, "--native"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: (feature plugins) Area::Run: The label image is not of type IMAGE_GREY_F\n");
}

TEST_F(Cli, MultiPageTiffIsOneThreeDimensionalImage) {
    // Two planes of 3 x 1. Label 1 covers x = 0..1 in plane 0 (grey 10) and
    // x = 0 in plane 1 (grey 20): Hist counts both planes, 2 of 3 pixels at 10.
    const std::string grey = FloatTiff("g3.tif", 3, 1, {10, 10, 10, 20, 20, 20}, 2);
    const std::string labels = FloatTiff("l3.tif", 3, 1, {1, 1, 0, 1, 0, 0}, 2);
    const Result r = Run({"run", "Hist", grey, labels});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Split(r.out);
    ASSERT_EQ(lines.size(), 2u);
    std::vector<float> expected(257, 0.0f);
    expected[0] = 1;  // the label
    expected[1 + 10] = 2.0f / 3.0f;
    expected[1 + 20] = 1.0f / 3.0f;
    EXPECT_EQ(Numbers(lines[1]), expected);
}

TEST_F(Cli, EveryOutputFormatReadsBack) {
    // Hist: label 1 = grey {1, 1, 2}, label 2 absent (empty row), label 3 = {255}.
    const std::string grey = FloatTiff("g.tif", 4, 1, {1, 1, 2, 255});
    const std::string labels = FloatTiff("l.tif", 4, 1, {1, 1, 1, 3});
    const Result r = Run({"run", "Hist", grey, labels, "-o", Path("h.csv"), "-o", Path("h.TSV"), "-o", Path("h.npy"),
                          "-o", Path("h.tif"), "-o", Path("h.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<float> expected(3 * 256, 0.0f);
    expected[1] = 2.0f / 3.0f;
    expected[2] = 1.0f / 3.0f;
    expected[2 * 256 + 255] = 1.0f;

    // CSV and TSV: the header, then the label and the row, floats exact.
    for (const auto& [name, sep] : {std::pair{"h.csv", ','}, std::pair{"h.TSV", '\t'}}) {
        const auto lines = Split(ReadFile(Path(name)));
        ASSERT_EQ(lines.size(), 4u) << name;
        EXPECT_TRUE(lines[0].starts_with(std::string("label") + sep + "f0" + sep + "f1" + sep)) << name;
        for (int row = 0; row < 3; ++row) {
            std::vector<float> want = {static_cast<float>(row + 1)};
            want.insert(want.end(), expected.begin() + row * 256, expected.begin() + row * 256 + 256);
            EXPECT_EQ(Numbers(lines[row + 1], sep), want) << name << " row " << row;
        }
    }

    // NPY: float32 array of shape (rows, columns), parsed here by hand.
    const std::string npy = ReadFile(Path("h.npy"));
    ASSERT_GE(npy.size(), 10u);
    ASSERT_EQ(npy.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    const std::size_t headerLen = static_cast<unsigned char>(npy[8]) | static_cast<unsigned char>(npy[9]) << 8;
    EXPECT_EQ(npy.substr(10, headerLen).find("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 256), }"), 0u);
    EXPECT_EQ((10 + headerLen) % 64, 0u);
    ASSERT_EQ(npy.size(), 10 + headerLen + expected.size() * 4);
    std::vector<float> data(expected.size());
    std::memcpy(data.data(), npy.data() + 10 + headerLen, data.size() * 4);
    EXPECT_EQ(data, expected);

    // TIFF: one 256 x 3 float page. The reader is checked against files that
    // libtiff wrote itself.
    const Raster tif = ReadImage(Path("h.tif"));
    EXPECT_EQ(std::tuple(tif.type, tif.width, tif.height, tif.depth), std::tuple(SampleType::F32, 256, 3, 1));
    EXPECT_EQ(std::vector<float>(tif.As<float>(), tif.As<float>() + tif.Count()), expected);
    // Finished files get the usual mode, not the private one of a temporary file.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(Path("h.tif")).permissions()), 0666 & ~mask);

    // JSON: the node's name and both outputs in the JSON form of values.
    const Json j = Json::parse(ReadFile(Path("h.json")));
    EXPECT_EQ(j["node"], "Hist");
    const Json& o0 = j["output0"]["value"];
    EXPECT_EQ(o0["pixel_type"], "IMAGE_GREY_F");
    EXPECT_EQ(o0["size"].dump(), "[256,3,1]");
    EXPECT_EQ(o0["data"].get<std::vector<float>>(), expected);
    const Json& o1 = j["output1"];
    EXPECT_EQ(o1["type"], "vector");
    ASSERT_EQ(o1["value"].size(), 256u);
    EXPECT_EQ(o1["value"][1]["value"][0].dump(),
              Json({{"type", "double"}, {"value", static_cast<double>(2.0f / 3.0f)}}).dump());
    EXPECT_FALSE(o1["value"][1].contains("meta"));  // Hist names no features
    // Area's output 1 carries the feature name as meta.
    ASSERT_EQ(Run({"run", "Area", m_grey, m_labels, "-o", Path("a.json")}).status, 0);
    const Json a = Json::parse(ReadFile(Path("a.json")));
    EXPECT_EQ(a["output1"]["value"][0]["meta"]["FeatureName"]["value"], "Area (number of pixels)");
}

// Every node of the registry through the executable on the bundled sample: the
// NPY it writes must hold exactly what the node computes when run here
// in-process on the same pixels (Statistics also without labels and with its
// native types). A node that refuses the sample in-process (FromGraph without
// a graph) must fail on the command line too.
TEST_F(Cli, FeatureNodesOnTheSampleMatchInProcessRuns) {
    const std::string greyPath = std::string(REGIONFEAT_SOURCE_DIR) + "/samples/cells_grey.tif";
    const std::string labelPath = std::string(REGIONFEAT_SOURCE_DIR) + "/samples/cells_labels.tif";
    struct Case {
        std::string node, extra;
        bool withLabels;
    };
    std::vector<Case> cases = {{"Statistics", "", false}, {"Statistics", "--native", true}};
    std::size_t n = 0;
    const KELO::registry::Row* rows = KELO::registry::Rows(n);
    for (std::size_t i = 0; i < n; ++i) cases.push_back({rows[i].name, "", true});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node + " " + c.extra);
        std::vector<std::string> args{"run", c.node, greyPath};
        if (c.withLabels) args.push_back(labelPath);
        if (!c.extra.empty()) args.push_back(c.extra);
        args.insert(args.end(), {"-o", Path("out.npy")});
        Raster want;
        testing::internal::CaptureStdout();  // what a node prints as it runs
        try {
            want = test::InProcess(c.node, greyPath, c.withLabels ? labelPath : "");
            testing::internal::GetCapturedStdout();
        } catch (const KELO::CException& e) {
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(Run(args).status, 1) << "refused in-process: " << e.what();
            continue;
        }
        const Result r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const Raster got = ReadNpy(Path("out.npy"));
        ASSERT_EQ(got.width, want.width);
        ASSERT_EQ(got.height, want.height);
        EXPECT_EQ(std::memcmp(got.bytes.data(), want.bytes.data(), want.bytes.size()), 0);
    }
}

// ============================================================== graphs

TEST_F(Cli, GraphsAreCheckedAndRunPerRegionWithTheirLabels) {
    // The example graphs check and run on the sample as the nodes run directly:
    // statistics and shape of each region in one named row.
    const std::string examples = std::string(REGIONFEAT_SOURCE_DIR) + "/graphs/";
    for (const char* name : {"statistics_geometry.json", "texture.json"}) {
        const Result check = Run({"graph", "check", examples + name});
        EXPECT_EQ(check.status, 0) << check.err;
        EXPECT_NE(check.out.find("a graph of 3 nodes"), std::string::npos) << check.out;
    }
    const Result bad = Run({"graph", "check", Path("missing.json")});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "error: graph " + Path("missing.json") + ": cannot read the file: No such file or directory\n");

    // Label 3 of the fixture is missing here, so the rows are labels 1, 2 and 4.
    const uint16_t labels[30] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 2, 0, 2, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0};
    Raster r(SampleType::U16, 6, 5, 1);
    std::memcpy(r.bytes.data(), labels, sizeof labels);
    WriteTiff(Path("gaps.tif"), r);
    const std::string graph = Path("area.json");
    WriteTextFile(graph, R"({"arguments": ["image", "mask"],
        "nodes": [{"id": "box", "plugin": "Area", "inputs": ["image", "mask"]}], "results": ["box"]})");
    const Result run = Run({"run", "FromGraph", m_grey, Path("gaps.tif"), "-p", "graph=" + graph});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "label,box.Area (number of pixels)\n1,4\n2,6\n4,1\n");
}

TEST_F(Cli, MaxMemoryBoundsWhatANodeMayPlanFor) {
    // Three labels need a few hundred bytes of table and outputs: 64 bytes are too few.
    const Result small = Run({"run", "Area", m_grey, m_labels, "--max-memory", "64"});
    EXPECT_EQ(small.status, 3);
    EXPECT_EQ(small.err.rfind("error: out of memory: (feature plugins) Area::Run: Largest label 3 needs ", 0), 0u)
        << small.err;
    const Result enough = Run({"run", "Area", m_grey, m_labels, "--max-memory", "1M"});
    EXPECT_EQ(enough.status, 0) << enough.err;
    EXPECT_EQ(enough.out, kAreaTable);
    for (const char* wrong : {"0", "-1", "12X", "K", "99999999999999999999G"})
        EXPECT_EQ(Run({"run", "Area", m_grey, m_labels, "--max-memory", wrong}).status, 2) << wrong;
}
