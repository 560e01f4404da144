// regionfeat end to end: the executable is run as a separate process on tiny
// files, and its standard output, standard error, exit status and output files
// are checked. Expected tables are computed by hand from the images written here.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "Exports.h"
#include "ImageIO.h"
#include "ValueJson.h"

extern char** environ;

using namespace regionfeat;
namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;  // exit status; -1 when the process did not exit normally
    std::string out, err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Cli : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "cli_e2e_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Runs regionfeat with args. REGIONFEAT_MODULE is removed from the
    // environment unless env sets it, so the default module location is used.
    // Standard output goes to stdoutPath when given.
    Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               const std::string& stdoutPath = "") {
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "REGIONFEAT_MODULE=", 18) != 0) envStore.emplace_back(*e);
        for (const std::string& e : env) envStore.push_back(e);
        std::vector<char*> envp;
        for (std::string& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);

        std::vector<std::string> argStore = {REGIONFEAT_BIN};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);

        const std::string outPath = Path(".stdout"), errPath = Path(".stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.empty() ? outPath.c_str() : stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        Result r;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
            return r;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFile(outPath);
        r.err = ReadFile(errPath);
        fs::remove(outPath);
        fs::remove(errPath);
        return r;
    }

    // The files the runs left in the test directory.
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir)) names.insert(e.path().filename().string());
        return names;
    }

    // A float image of W x H (x D) pixels written as TIFF.
    std::string FloatTiff(const std::string& name, int64_t w, int64_t h, const std::vector<float>& px, int64_t d = 1) {
        Raster r(SampleType::F32, w, h, d);
        EXPECT_EQ(static_cast<int64_t>(px.size()), r.Count());
        std::memcpy(r.bytes.data(), px.data(), r.bytes.size());
        WriteTiff(Path(name), r);
        return Path(name);
    }

    // The standard pair: 6 x 5 grey ramp and three labels whose bounding boxes
    // are 2 x 2 (label 1), 3 x 2 (label 2) and 1 x 1 (label 3).
    void StandardPair() {
        std::vector<float> grey(30);
        for (int i = 0; i < 30; ++i) grey[i] = static_cast<float>(i);
        m_grey = FloatTiff("grey.tif", 6, 5, grey);
        // clang-format off
        m_labels = FloatTiff("labels.tif", 6, 5, {
            1, 1, 0, 0, 0, 0,
            0, 1, 0, 2, 0, 2,
            0, 0, 0, 2, 2, 0,
            0, 0, 0, 0, 0, 0,
            3, 0, 0, 0, 0, 0,
        });
        // clang-format on
    }
    static constexpr const char* kAreaTable = "label,Area (number of pixels)\n1,4\n2,6\n3,1\n";

    fs::path m_dir;
    std::string m_grey, m_labels;
};

// Exit status 2 with exactly one line on standard error, naming the problem.
void ExpectUsageError(const Result& r, const std::string& part) {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
}

// The module as a host sees it, loaded here independently of the executable.
std::vector<std::string> ModuleListing() {
    void* h = dlopen(REGIONFEAT_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!h) return {};
    auto list = reinterpret_cast<ListPluginsFn>(dlsym(h, "ListPlugins"));
    std::unique_ptr<KELO::CValueVector> v(list());
    std::vector<std::string> names;
    for (const auto& slot : v->Vector())
        if (slot) names.push_back(slot->String());
    return names;
}

bool ModuleCreates(const std::string& name) {
    void* h = dlopen(REGIONFEAT_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto create = reinterpret_cast<CreatePluginInstanceExFn>(dlsym(h, "CreatePluginInstanceEx"));
    std::unique_ptr<KELO::IPluginObject> node(create(name.c_str()));
    return node != nullptr;
}

float ParseFloat(const std::string& s) { return std::strtof(s.c_str(), nullptr); }

}  // namespace

// ============================================================== list, describe

TEST_F(Cli, ListFollowsTheModuleListingAndAllAddsCreatableNames) {
    const Result r = Run({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> expected = ModuleListing();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Lines(r.out), expected);
    // The listing keys put Hist (2) before Area (15).
    const auto lines = Lines(r.out);
    const auto hist = std::find(lines.begin(), lines.end(), "Hist");
    const auto area = std::find(lines.begin(), lines.end(), "Area");
    ASSERT_NE(hist, lines.end());
    ASSERT_NE(area, lines.end());
    EXPECT_LT(hist - lines.begin(), area - lines.begin());

    const Result all = Run({"list", "--all"});
    ASSERT_EQ(all.status, 0) << all.err;
    const std::vector<std::string> allLines = Lines(all.out);
    ASSERT_GE(allLines.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), allLines.begin()));
    EXPECT_EQ(std::set<std::string>(allLines.begin(), allLines.end()).size(), allLines.size()) << "duplicates";
    for (std::size_t i = expected.size(); i < allLines.size(); ++i) {
        EXPECT_TRUE(ModuleCreates(allLines[i])) << allLines[i];
        EXPECT_EQ(std::find(expected.begin(), expected.end(), allLines[i]), expected.end()) << allLines[i];
    }
    for (const char* unlisted : {"Abis", "Avedu", "Redrik"})
        EXPECT_EQ(std::find(allLines.begin(), allLines.end(), unlisted) != allLines.end(), ModuleCreates(unlisted))
            << unlisted;
}

TEST_F(Cli, DescribeIsReadable) {
    const Result r = Run({"describe", "Area"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* part :
         {"Parameters:\n  verbose  bool  default: false\n", "Prints function feedback to log area.",
          "Inputs:\n  0  image  Data Image\n", "  1  image  Label Image\n",
          "  0  image  Calculated features output as image\n", "  1  vector  Calculated features as CValueVector\n",
          "Features (1):\n  0  Area (number of pixels)\n",
          "Documentation: %KELODIR%/doc/zorvat/html/features/PArea/index.html\n"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\nin:\n" << r.out;
    // Hist describes no feature names.
    const Result hist = Run({"describe", "Hist"});
    ASSERT_EQ(hist.status, 0);
    EXPECT_NE(hist.out.find("Features: not described"), std::string::npos);
}

TEST_F(Cli, DescribeJsonIsTheWholeSetupDescription) {
    const Result r = Run({"describe", "Area", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j = Json::parse(r.out);
    EXPECT_EQ(j["type"], "map");
    const Json& v = j["value"];
    ASSERT_TRUE(v.is_object());
    EXPECT_EQ(v.begin().key(), "pluginType");
    EXPECT_EQ((--v.end()).key(), "__zorvatDocumentation");
    EXPECT_EQ(v["__zorvatDocumentation"]["value"], "%KELODIR%/doc/zorvat/html/features/PArea/index.html");
    const Json& verbose = v["parameters"]["value"]["verbose"];
    EXPECT_EQ(verbose["type"], "bool");
    EXPECT_EQ(verbose["value"], false);
    EXPECT_EQ(verbose["meta"]["desc"]["type"], "string");
    const Json& in0 = v["inputs"]["value"]["0"];
    EXPECT_EQ(in0["type"], "image");
    EXPECT_TRUE(in0["value"].is_null());
    EXPECT_EQ(in0["meta"]["label"]["value"], "Data Image");
    EXPECT_EQ(in0["meta"]["optional"]["value"], false);
    EXPECT_EQ(v["outputs"]["value"]["1"]["type"], "vector");
    EXPECT_EQ(v["outputs"]["value"]["1"]["value"], Json::array());
    EXPECT_EQ(v["FeatureNames"]["value"].dump(), R"j([{"type":"string","value":"Area (number of pixels)"}])j");
    EXPECT_EQ(v["keywords"]["value"].size(), 3u);
}

TEST_F(Cli, UnknownNodeAndBadCommandLines) {
    ExpectUsageError(Run({"describe", "Areas"}), "unknown node 'Areas' (nodes: ");
    ExpectUsageError(Run({"describe", "area"}), "unknown node 'area'");
    ExpectUsageError(Run({}), "a command is required: list, describe or run");
    ExpectUsageError(Run({"frobnicate"}), "unknown command 'frobnicate'");
    ExpectUsageError(Run({"--module", "x.so", "lst"}), "unknown command 'lst'");
    ExpectUsageError(Run({"run", "Area"}), "IMAGE is required");
    ExpectUsageError(Run({"list", "--nope"}), "--nope");
    const Result help = Run({"run", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("-p,--param"), std::string::npos);
}

TEST_F(Cli, ModuleComesFromTheOptionThenTheEnvironment) {
    ExpectUsageError(Run({"--module", Path("none.so"), "list"}), "cannot load the module '" + Path("none.so") + "'");
    ExpectUsageError(Run({"list"}, {"REGIONFEAT_MODULE=" + Path("env.so")}), Path("env.so"));
    // The option wins over the environment.
    const Result r = Run({"--module", REGIONFEAT_MODULE, "list"}, {"REGIONFEAT_MODULE=" + Path("env.so")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), ModuleListing());
    // A library that is no feature module.
    const std::string notModule = Path("libnot.so");
    WriteFile(notModule, "not an ELF file");
    ExpectUsageError(Run({"--module", notModule, "list"}), "cannot load the module");
}

// ============================================================== run: tables

TEST_F(Cli, RunPrintsTheTableOnStandardOutput) {
    StandardPair();
    Result r = Run({"run", "Area", m_grey, m_labels});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kAreaTable);
    EXPECT_EQ(r.err, "");

    // The node's progress text goes to standard error while the table is on
    // standard output, and stays on standard output when the table goes to a file.
    r = Run({"run", "Area", m_grey, m_labels, "--verbose"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kAreaTable);
    EXPECT_NE(r.err.find("The number of regions is: 3\n"), std::string::npos) << r.err;
    r = Run({"run", "Area", m_grey, m_labels, "-p", "verbose=true", "-o", Path("t.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("The number of regions is: 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(Path("t.csv")), kAreaTable);

    // A table that cannot be written is a failure, not a silent success.
    if (fs::exists("/dev/full")) {
        r = Run({"run", "Area", m_grey, m_labels}, {}, "/dev/full");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "error: cannot write to standard output\n");
    }
}

TEST_F(Cli, InputFormatsAndPixelTypes) {
    StandardPair();
    const Raster labels = ReadImage(m_labels);
    // The same labels as uint16 TIFF (as a segmentation tool writes them), 8-bit
    // PNG and NPY of several types: converted to float, the table is the same.
    auto as = [&](SampleType t) {
        Raster r(t, labels.width, labels.height, 1);
        for (int64_t i = 0; i < r.Count(); ++i) {
            const auto v = static_cast<int>(labels.As<float>()[i]);
            switch (t) {
                case SampleType::U8: r.As<uint8_t>()[i] = static_cast<uint8_t>(v); break;
                case SampleType::U16: r.As<uint16_t>()[i] = static_cast<uint16_t>(v); break;
                case SampleType::I32: r.As<int32_t>()[i] = v; break;
                case SampleType::F64: r.As<double>()[i] = v; break;
                default: break;
            }
        }
        return r;
    };
    WriteTiff(Path("l16.tif"), as(SampleType::U16));
    WritePng(Path("l8.png"), as(SampleType::U8));
    WriteNpy(Path("li32.npy"), as(SampleType::I32));
    WriteNpy(Path("lf64.npy"), as(SampleType::F64));
    WriteNpy(Path("grey.npy"), ReadImage(m_grey));
    for (const char* name : {"l16.tif", "l8.png", "li32.npy", "lf64.npy"}) {
        const Result r = Run({"run", "Area", Path("grey.npy"), Path(name)});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, kAreaTable) << name;
    }

    // --native hands the stored type over: Area wants float labels and says so...
    Result r = Run({"run", "Area", m_grey, Path("l16.tif"), "--native"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: (feature plugins) Area::Run: The label image is not of type IMAGE_GREY_F\n");
    r = Run({"run", "Area", m_grey, m_labels, "--native"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kAreaTable);
    // ...and a type without a host pixel type is refused before the node runs.
    ExpectUsageError(Run({"run", "Area", m_grey, Path("li32.npy"), "--native"}),
                     Path("li32.npy") + ": int32 pixels have no native node type");
}

TEST_F(Cli, MultiPageTiffIsOneThreeDimensionalImage) {
    // Two planes of 3 x 1. Label 1 covers x = 0..1 in plane 0 (grey 10) and
    // x = 0 in plane 1 (grey 20): Hist counts both planes, 2 of 3 pixels at 10.
    const std::string grey = FloatTiff("g3.tif", 3, 1, {10, 10, 10, 20, 20, 20}, 2);
    const std::string labels = FloatTiff("l3.tif", 3, 1, {1, 1, 0, 1, 0, 0}, 2);
    const Result r = Run({"run", "Hist", grey, labels});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    std::vector<std::string> fields;
    std::istringstream row(lines[1]);
    for (std::string f; std::getline(row, f, ',');) fields.push_back(f);
    ASSERT_EQ(fields.size(), 257u);
    EXPECT_EQ(fields[0], "1");
    for (int b = 0; b < 256; ++b) {
        const float expected = b == 10 ? 2.0f / 3.0f : b == 20 ? 1.0f / 3.0f : 0.0f;
        EXPECT_EQ(ParseFloat(fields[static_cast<std::size_t>(b) + 1]), expected) << "bin " << b;
    }
    EXPECT_EQ(lines[0].substr(0, 15), "label,f0,f1,f2,");
}

// ============================================================== run: files

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

    for (const auto& [name, sep] : {std::pair{"h.csv", ','}, std::pair{"h.TSV", '\t'}}) {
        SCOPED_TRACE(name);
        const auto lines = Lines(ReadFile(Path(name)));
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0].substr(0, 9), std::string("label") + sep + "f0" + sep);
        for (int row = 0; row < 3; ++row) {
            std::vector<std::string> fields;
            std::istringstream in(lines[static_cast<std::size_t>(row) + 1]);
            for (std::string f; std::getline(in, f, sep);) fields.push_back(f);
            ASSERT_EQ(fields.size(), 257u);
            EXPECT_EQ(fields[0], std::to_string(row + 1));
            for (int c = 0; c < 256; ++c)
                ASSERT_EQ(ParseFloat(fields[static_cast<std::size_t>(c) + 1]), expected[row * 256 + c])
                    << row << "," << c;
        }
    }

    // NPY: float32 array of shape (rows, columns), parsed here by hand.
    const std::string npy = ReadFile(Path("h.npy"));
    ASSERT_GE(npy.size(), 10u);
    ASSERT_EQ(npy.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    const std::size_t headerLen = static_cast<unsigned char>(npy[8]) | static_cast<unsigned char>(npy[9]) << 8;
    const std::string header = npy.substr(10, headerLen);
    EXPECT_NE(header.find("'descr': '<f4'"), std::string::npos) << header;
    EXPECT_NE(header.find("'fortran_order': False"), std::string::npos) << header;
    EXPECT_NE(header.find("'shape': (3, 256)"), std::string::npos) << header;
    EXPECT_EQ((10 + headerLen) % 64, 0u);
    ASSERT_EQ(npy.size(), 10 + headerLen + expected.size() * 4);
    std::vector<float> data(expected.size());
    std::memcpy(data.data(), npy.data() + 10 + headerLen, data.size() * 4);
    EXPECT_EQ(data, expected);

    // TIFF: one 256 x 3 float page, read with libtiff.
    TIFF* t = TIFFOpen(Path("h.tif").c_str(), "r");
    ASSERT_NE(t, nullptr);
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, format = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(t, TIFFTAG_SAMPLEFORMAT, &format);
    EXPECT_EQ(w, 256u);
    EXPECT_EQ(h, 3u);
    EXPECT_EQ(bits, 32);
    EXPECT_EQ(format, SAMPLEFORMAT_IEEEFP);
    std::vector<float> pixels(256 * 3);
    for (uint32_t y = 0; y < h && y < 3; ++y) ASSERT_GE(TIFFReadScanline(t, pixels.data() + y * 256, y, 0), 0);
    EXPECT_FALSE(TIFFReadDirectory(t));
    TIFFClose(t);
    EXPECT_EQ(pixels, expected);

    // JSON: the node's name and both outputs in the JSON form of values.
    const Json j = Json::parse(ReadFile(Path("h.json")));
    EXPECT_EQ(j["node"], "Hist");
    const Json& o0 = j["output0"];
    EXPECT_EQ(o0["type"], "image");
    EXPECT_EQ(o0["value"]["pixel_type"], "IMAGE_GREY_F");
    EXPECT_EQ(o0["value"]["size"].dump(), "[256,3,1]");
    ASSERT_EQ(o0["value"]["data"].size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(o0["value"]["data"][i].get<double>(), static_cast<double>(expected[i])) << i;
    const Json& o1 = j["output1"];
    EXPECT_EQ(o1["type"], "vector");
    ASSERT_EQ(o1["value"].size(), 256u);
    EXPECT_EQ(o1["value"][1]["type"], "vector");
    EXPECT_EQ(o1["value"][1]["value"][0].dump(),
              Json({{"type", "double"}, {"value", static_cast<double>(2.0f / 3.0f)}}).dump());
    EXPECT_FALSE(o1["value"][1].contains("meta"));  // Hist names no features

    // Area's output 1 carries the feature name as meta.
    StandardPair();
    ASSERT_EQ(Run({"run", "Area", m_grey, m_labels, "-o", Path("a.json")}).status, 0);
    const Json a = Json::parse(ReadFile(Path("a.json")));
    EXPECT_EQ(a["output1"]["value"][0]["meta"]["FeatureName"]["value"], "Area (number of pixels)");
    EXPECT_EQ(a["output1"]["value"][0]["value"][1]["value"], 6.0);
}

TEST_F(Cli, AFailingRunLeavesNoOutputBehind) {
    StandardPair();
    WriteFile(Path("old.csv"), "keep");
    const std::set<std::string> before = Files();
    // The node fails (no label image): the old file stays, no new file appears.
    Result r = Run({"run", "Area", m_grey, "-o", Path("old.csv"), "-o", Path("new.npy"), "-o", Path("new.json")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: (feature plugins) Area::Run: Label input image is NULL\n");
    EXPECT_EQ(ReadFile(Path("old.csv")), "keep");
    EXPECT_EQ(Files(), before);
    // An unknown extension among the outputs stops the run before anything is written.
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-o", Path("a.csv"), "-o", Path("a.xlsx")}),
                     "output '" + Path("a.xlsx") + "': unknown extension");
    EXPECT_EQ(Files(), before);
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-o", Path("nodir/a.csv")}), "does not exist");
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-o", Path("")}), "unknown extension");
    EXPECT_EQ(Files(), before);
}

// ============================================================== run: failures

TEST_F(Cli, NodeFailuresExitWithOne) {
    StandardPair();
    Result r = Run({"run", "Area", m_grey});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: (feature plugins) Area::Run: Label input image is NULL\n");
    // Hist reports in the source-location form: file(line) function.
    r = Run({"run", "Hist", m_grey});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("error: ", 0), 0u);
    EXPECT_NE(r.err.find("PHist.cpp("), std::string::npos) << r.err;
    const std::string tail = "CPHist::Run: Second input image is NULL.\n";
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    // An all-background label image.
    const std::string zeros = FloatTiff("zeros.tif", 6, 5, std::vector<float>(30, 0.0f));
    r = Run({"run", "Area", m_grey, zeros});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: (feature plugins) Area::Run: The number of regions is zero!!\n");
}

TEST_F(Cli, BadInputsAndParametersExitWithTwo) {
    StandardPair();
    ExpectUsageError(Run({"run", "Nope", m_grey, m_labels}), "unknown node 'Nope'");
    ExpectUsageError(Run({"run", "Area", Path("missing.tif"), m_labels}), Path("missing.tif") + ": cannot open");
    WriteFile(Path("text.png"), "hello");
    ExpectUsageError(Run({"run", "Area", Path("text.png"), m_labels}), "not a TIFF, PNG or NPY file");
    const std::string tif = ReadFile(m_labels);
    WriteFile(Path("cut.tif"), tif.substr(0, tif.size() / 2));
    ExpectUsageError(Run({"run", "Area", m_grey, Path("cut.tif")}), Path("cut.tif") + ": ");
    std::string npy = NpyBytes(ReadImage(m_labels));
    const std::size_t f = npy.find("False");
    npy.replace(f, 5, "True ");
    WriteFile(Path("fortran.npy"), npy);
    ExpectUsageError(Run({"run", "Area", m_grey, Path("fortran.npy")}), "Fortran-ordered");

    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-p", "m_glcm_size=32"}),
                     "unknown parameter 'm_glcm_size' for Area (valid keys: verbose;");
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-p", "verbose=perhaps"}), "'perhaps' is not a bool");
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-p", "n:long=2147483648"}), "is not a long");
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-p", "verbose:double=1"}), "is a bool, not a double");
    ExpectUsageError(Run({"run", "Area", m_grey, m_labels, "-p", "verbose"}), "KEY=VALUE");
    // A typed key the node does not know is passed on and ignored by it.
    const Result ok = Run({"run", "Area", m_grey, m_labels, "-p", "extra:double=2.5", "-p", "verbose=false"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, kAreaTable);
    EXPECT_EQ(ok.err, "");
}

// ============================================================== bundled sample

TEST_F(Cli, BundledSampleGivesSensibleTables) {
    const std::string dir = std::string(REGIONFEAT_SOURCE_DIR) + "/samples/";
    const Result area = Run({"run", "Area", dir + "cells_grey.tif", dir + "cells_labels.tif"});
    ASSERT_EQ(area.status, 0) << area.err;
    const auto lines = Lines(area.out);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "label,Area (number of pixels)");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string prefix = std::to_string(i) + ",";
        ASSERT_EQ(lines[i].rfind(prefix, 0), 0u) << lines[i];
        const float a = ParseFloat(lines[i].substr(prefix.size()));
        EXPECT_GT(a, 50.0f) << lines[i];  // every cell is a sizeable blob
        EXPECT_LT(a, 128.0f * 128.0f / 4) << lines[i];
    }
    // Grey values lie in 0..255, so every histogram sums to 1.
    const Result hist = Run({"run", "Hist", dir + "cells_grey.tif", dir + "cells_labels.tif"});
    ASSERT_EQ(hist.status, 0) << hist.err;
    const auto rows = Lines(hist.out);
    ASSERT_EQ(rows.size(), lines.size());
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::istringstream in(rows[i]);
        std::string field;
        std::getline(in, field, ',');
        double sum = 0;
        int nonZero = 0;
        while (std::getline(in, field, ',')) {
            sum += ParseFloat(field);
            nonZero += ParseFloat(field) != 0.0f;
        }
        EXPECT_NEAR(sum, 1.0, 1e-5) << "label " << i;
        EXPECT_GT(nonZero, 10) << "label " << i << ": the cells are textured";
    }
}
