// regionfeat under hostile use, mostly through the executable: outputs that
// name an input, interrupted runs, files that declare more than they hold, the
// memory running out, failing nodes, and label images whose results would
// surprise. Every hostile file is written here, small; none is stored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "ImageIO.h"
#include "NpyIO.h"
#include "TestSupport.h"
#include "TiffIO.h"

using namespace regionfeat;
namespace fs = std::filesystem;

namespace {

using test::LE16;
using test::LE32;
using test::ReadFile;
using test::TiffFile;
using test::WriteFile;
using Tag = test::TiffTag;

std::string BE32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16 & 0xff), static_cast<char>(v >> 8 & 0xff),
            static_cast<char>(v & 0xff)};
}

// ------------------------------------------------------------------ TIFF by hand

// An 8-bit page in strips, uncompressed unless compression says otherwise.
std::vector<Tag> StripPage(uint32_t w, uint32_t h, uint32_t rowsPerStrip, std::vector<uint32_t> offsets,
                           std::vector<uint32_t> counts, uint32_t compression = 1) {
    return {{256, 4, {w}},    {257, 4, {h}},     {258, 3, {8}}, {259, 3, {compression}},
            {262, 3, {1}},    {273, 4, offsets}, {277, 3, {1}}, {278, 4, {rowsPerStrip}},
            {279, 4, counts}, {339, 3, {1}}};
}

// An uncompressed 8-bit page in square tiles.
std::vector<Tag> TilePage(uint32_t w, uint32_t h, uint32_t tile, std::vector<uint32_t> offsets,
                          std::vector<uint32_t> counts) {
    return {{256, 4, {w}},    {257, 4, {h}},    {258, 3, {8}},     {259, 3, {1}},    {262, 3, {1}}, {277, 3, {1}},
            {322, 4, {tile}}, {323, 4, {tile}}, {324, 4, offsets}, {325, 4, counts}, {339, 3, {1}}};
}

// A deflate-compressed 8-bit TIFF of one page whose every pixel is value.
void WriteDeflateTiff(const std::string& path, uint32_t w, uint32_t h, uint8_t value) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 512);
    std::vector<uint8_t> row(w, value);
    for (uint32_t y = 0; y < h; ++y) ASSERT_GE(TIFFWriteScanline(t, row.data(), y, 0), 0);
    TIFFClose(t);
}

// ------------------------------------------------------------------ PNG by hand

uint32_t Crc32(const std::string& bytes) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

std::string PngChunk(const std::string& type, const std::string& data) {
    return BE32(static_cast<uint32_t>(data.size())) + type + data + BE32(Crc32(type + data));
}

// A complete zlib stream holding data in one stored (uncompressed) block.
std::string ZlibStored(const std::string& data) {
    uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    const auto n = static_cast<uint32_t>(data.size());
    return std::string("\x78\x01\x01", 3) + LE16(n) + LE16(~n & 0xffff) + data + BE32(b << 16 | a);
}

// An 8-bit grey Adam7-interlaced PNG that declares w x h pixels and holds a
// few bytes of image data.
std::string InterlacedPngHeaderOnly(uint32_t w, uint32_t h) {
    return std::string("\x89PNG\r\n\x1a\n", 8) +
           PngChunk("IHDR", BE32(w) + BE32(h) + std::string("\x08\x00\x00\x00\x01", 5)) +
           PngChunk("IDAT", ZlibStored(std::string(5, '\0'))) + PngChunk("IEND", "");
}

// ------------------------------------------------------------------ running

struct Outcome {
    int status = -1;  // exit status; -1 when ended by a signal
    int signal = 0;   // the signal that ended it
    std::string out, err;
    long maxRssMiB = 0;
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // an address-space limit and ASan's shadow memory exclude each other
#else
constexpr bool kSanitized = false;
#endif

constexpr rlim_t kNoLimit = 0;
// The executable with its libraries needs well under 100 MiB of address space.
constexpr rlim_t kSmallAddressSpace = rlim_t{512} << 20;
// What a refusal may cost at most: the executable's own few MiB (more under
// the sanitizers), far below the hundreds of MiB to GiB that the refused
// files declare.
constexpr long kRefusalRssMiB = 200;

class Safety : public testing::Test {
protected:
    void SetUp() override {
        std::vector<float> grey(30), labels(30, 0.0f);
        for (int i = 0; i < 30; ++i) grey[i] = static_cast<float>(i * 3);
        for (int i : {0, 1, 7}) labels[i] = 1;
        for (int i : {9, 11, 15, 16}) labels[i] = 2;
        m_grey = FloatImage("grey.tif", 6, 5, grey);
        m_labels = Path("labels.npy");
        WriteNpy(m_labels, FloatRaster(6, 5, 1, labels));
    }
    std::string Path(const std::string& name) const { return m_dir / name; }

    static Raster FloatRaster(int64_t w, int64_t h, int64_t d, const std::vector<float>& values) {
        Raster r(SampleType::F32, w, h, d);
        std::memcpy(r.bytes.data(), values.data(), r.bytes.size());
        return r;
    }
    std::string FloatImage(const std::string& name, int64_t w, int64_t h, const std::vector<float>& values) {
        WriteTiff(Path(name), FloatRaster(w, h, 1, values));
        return Path(name);
    }

    // Starts regionfeat with the module and args. Standard output and error go
    // to files outside the test directory; the signals the executable handles
    // start with their default action, whatever this process has.
    pid_t Start(const std::vector<std::string>& args, rlim_t addressLimit = kNoLimit,
                const std::string& module = REGIONFEAT_MODULE) {
        std::vector<std::string> words = {REGIONFEAT_BIN, "--module", module};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        const std::string out = m_io / "out", err = m_io / "err";
        const pid_t pid = fork();
        if (pid == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
            for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            if (addressLimit != kNoLimit) {
                const rlimit limit{addressLimit, addressLimit};
                if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    Outcome Finish(pid_t pid) {
        int status = 0;
        rusage usage{};
        Outcome o;
        if (wait4(pid, &status, 0, &usage) != pid) return o;
        if (WIFEXITED(status)) o.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
        o.out = ReadFile(m_io / "out");
        o.err = ReadFile(m_io / "err");
        o.maxRssMiB = usage.ru_maxrss / 1024;
        return o;
    }

    Outcome Run(const std::vector<std::string>& args, rlim_t addressLimit = kNoLimit,
                const std::string& module = REGIONFEAT_MODULE) {
        return Finish(Start(args, addressLimit, module));
    }

    // The names in the test directory (the captured streams live elsewhere).
    std::set<std::string> Files() const { return m_dir.Names(); }
    std::set<std::string> TemporaryFiles() const {
        std::set<std::string> temps;
        for (const std::string& name : Files())
            if (name.find(".tmp-") != std::string::npos) temps.insert(name);
        return temps;
    }

    test::TempDir m_dir, m_io;
    std::string m_grey, m_labels;
};

// The run failed with status and one line on standard error that holds part.
void ExpectOneLine(const Outcome& r, int status, const std::string& part) {
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("error: ")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n")) << r.err;
    EXPECT_NE(r.err.find(part), std::string::npos) << "expected: " << part << "\nin: " << r.err;
}

}  // namespace

// ============================================================== inputs are never overwritten

TEST_F(Safety, AnOutputThatIsAnInputIsRefusedBeforeAnythingRuns) {
    fs::create_directory(Path("sub"));
    fs::create_symlink(m_labels, Path("link.npy"));
    fs::create_hard_link(m_grey, Path("hard.tif"));
    const std::string grey = ReadFile(m_grey), labels = ReadFile(m_labels);
    const std::set<std::string> before = Files();

    struct Case {
        std::string input, output, part;
    };
    const Case cases[] = {
        {m_labels, m_labels, "output '" + m_labels + "' is the input '" + m_labels + "'"},
        {m_labels, m_grey, "output '" + m_grey + "' is the input '" + m_grey + "'"},
        {m_labels, Path("link.npy"), "is the input '" + m_labels + "'"},           // through a symbolic link
        {m_labels, Path("hard.tif"), "is the input '" + m_grey + "'"},             // a hard link
        {m_labels, Path("sub/../labels.npy"), "is the input '" + m_labels + "'"},  // another spelling
        {Path("link.npy"), m_labels, "is the input '" + Path("link.npy") + "'"},   // the input is the link
    };
    for (const Case& c : cases) {
        // A second, harmless output is not written either; --verbose would
        // print the node's progress had it run.
        const Outcome r = Run({"run", "Area", m_grey, c.input, "--verbose", "-o", Path("fine.csv"), "-o", c.output});
        ExpectOneLine(r, 2, c.part + "; an input is never overwritten, choose another output");
    }
    // Two outputs that are one file.
    ExpectOneLine(Run({"run", "Area", m_grey, m_labels, "-o", Path("a.csv"), "-o", Path("sub/../a.csv")}), 2,
                  "output '" + Path("sub/../a.csv") + "' is given twice (also as '" + Path("a.csv") + "')");
    // A file a parameter names (FromGraph's graph) is an input too.
    WriteFile(Path("g.json"), "{}");
    ExpectOneLine(Run({"run", "FromGraph", m_grey, m_labels, "-p", "graph=" + Path("g.json"), "-o", Path("g.json")}),
                  2, "output '" + Path("g.json") + "' is the input '" + Path("g.json") + "'");
    EXPECT_EQ(ReadFile(Path("g.json")), "{}");
    std::filesystem::remove(Path("g.json"));
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(ReadFile(m_grey), grey);
    EXPECT_EQ(ReadFile(m_labels), labels);
}

TEST_F(Safety, ADirectoryIsNamedAsSuch) {
    fs::create_directory(Path("d.csv"));
    ExpectOneLine(Run({"run", "Area", Path("d.csv"), m_labels}), 2,
                  Path("d.csv") + ": is a directory, not an image file");
    ExpectOneLine(Run({"run", "Area", m_grey, m_dir.Path() + "/"}), 2,
                  m_dir.Path() + "/: is a directory, not an image file");
    ExpectOneLine(Run({"run", "Area", m_grey, m_labels, "-o", Path("d.csv")}), 2,
                  "output '" + Path("d.csv") + "' is a directory; give a file name in it, such as '" + Path("d.csv") +
                      "/features.csv'");
}

// ============================================================== interrupts

// Stops a run while it writes its outputs (some but not all temporary files
// exist, so the renames that publish them have not begun), sends the signal
// and lets it go on: the run must end by the signal and leave no temporary
// file, no new output and the old content of an existing target. The process
// is stopped before it is looked at, so nothing depends on timing; a machine
// fast enough to finish before it is caught gets a retry.
TEST_F(Safety, AnInterruptedRunLeavesNoTemporaryFileAndNoOutput) {
    // 4096 regions of 8 x 8 pixels: Hist writes 4096 x 256 values to each of
    // two JSON files, which takes long enough to be caught in the middle.
    const int64_t size = 512;
    std::vector<float> grey(size * size), labels(size * size);
    for (int64_t y = 0; y < size; ++y)
        for (int64_t x = 0; x < size; ++x) {
            grey[y * size + x] = static_cast<float>((x * 7 + y * 3) % 256);
            labels[y * size + x] = static_cast<float>((y / 8) * (size / 8) + x / 8 + 1);
        }
    WriteNpy(Path("g.npy"), FloatRaster(size, size, 1, grey));
    WriteNpy(Path("l.npy"), FloatRaster(size, size, 1, labels));
    const std::vector<std::string> outputs = {Path("a.json"), Path("keep.csv"), Path("b.json")};

    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        bool caught = false;
        for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
            WriteFile(Path("keep.csv"), "old");
            fs::remove(Path("a.json"));
            fs::remove(Path("b.json"));
            std::vector<std::string> args = {"run", "Hist", Path("g.npy"), Path("l.npy")};
            for (const std::string& o : outputs) args.insert(args.end(), {"-o", o});
            const pid_t pid = Start(args);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            bool ended = false;
            while (!ended && std::chrono::steady_clock::now() < deadline) {
                if (TemporaryFiles().empty()) {
                    // Ended already? (Left to Finish to reap.)
                    siginfo_t info{};
                    ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                            info.si_pid == pid;
                    if (!ended) std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                kill(pid, SIGSTOP);
                int status = 0;
                ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
                ASSERT_FALSE(WIFEXITED(status) || WIFSIGNALED(status)) << "reaped too early";
                const std::size_t temps = TemporaryFiles().size();
                caught = temps >= 1 && temps < outputs.size();
                if (caught) kill(pid, sig);
                kill(pid, SIGCONT);
                break;
            }
            const Outcome r = Finish(pid);
            if (!caught) continue;
            EXPECT_EQ(r.signal, sig) << "status " << r.status << ": " << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(TemporaryFiles(), std::set<std::string>{});
            EXPECT_FALSE(fs::exists(Path("a.json")));
            EXPECT_FALSE(fs::exists(Path("b.json")));
            EXPECT_EQ(ReadFile(Path("keep.csv")), "old");
        }
        EXPECT_TRUE(caught) << "no run was caught while writing its outputs";
    }
}

// ============================================================== reader limits

// Each file declares far more than it holds. The run is refused with one line
// naming the file, and the memory it took stays small.
TEST_F(Safety, FilesThatDeclareMoreThanTheyHoldCostLittleBeforeRefusal) {
    // An interlaced PNG of 100000 x 30000 with 5 bytes of image data (3 GB
    // once decoded; the pixel buffer must grow with the rows decoded).
    WriteFile(Path("interlaced.png"), InterlacedPngHeaderOnly(100000, 30000));
    // A tiled 20000 x 20000 TIFF whose 6241 tile offsets all point at one tile.
    const uint32_t tiles = (20000 + 255) / 256 * ((20000 + 255) / 256);
    WriteFile(Path("tiles.tif"),
              TiffFile(std::string(256 * 256, '\1'), {TilePage(20000, 20000, 256, std::vector<uint32_t>(tiles, 8),
                                                               std::vector<uint32_t>(tiles, 256 * 256))}));
    // 20000 pages of 64 x 64 whose strips are all the same 4096 bytes.
    WriteFile(Path("pages.tif"),
              TiffFile(std::string(64 * 64, '\1'), std::vector(20000, StripPage(64, 64, 64, {8}, {64 * 64}))));
    // An NPY array of 20000 x 20000 floats with 16 bytes of data.
    WriteFile(Path("short.npy"), test::NpyFile("{'descr': '<f4', 'fortran_order': False, 'shape': (20000, 20000), }",
                                               std::string(16, '\0')));
    // 10000 deflate pages of 4294967295 x 1 pixels: beyond any machine's
    // memory, so the default limit refuses it.
    WriteFile(Path("endless.tif"),
              TiffFile(std::string(8, '\0'), std::vector(10000, StripPage(4294967295u, 1, 1, {8}, {8}, 8))));

    const std::pair<std::string, std::string> cases[] = {
        {"interlaced.png", ""},
        {"tiles.tif",
         "page 1 tile 1 and page 1 tile 0 share bytes of the file: the file holds less data than it declares"},
        {"pages.tif", "page 2 strip 0 and page 1 strip 0 share bytes of the file"},
        {"short.npy", "truncated NPY data (16 of 1600000000 bytes)"},
        {"endless.tif", "more than the limit of "},
    };
    for (const auto& [name, part] : cases) {
        SCOPED_TRACE(name);
        const Outcome r = Run({"run", "Area", Path(name), Path(name)});
        ExpectOneLine(r, 2, Path(name) + ": ");
        EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        EXPECT_LT(r.maxRssMiB, kRefusalRssMiB);
    }
}

TEST_F(Safety, MaxPixelsRefusesADeflateTiffThatExpandsBeyondIt) {
    // 4000 x 4000 pixels of 1 in a file of a few kilobytes.
    WriteDeflateTiff(Path("ones.tif"), 4000, 4000, 1);
    ASSERT_LT(fs::file_size(Path("ones.tif")), 100000u);
    const Outcome r = Run({"run", "Area", Path("ones.tif"), Path("ones.tif"), "--max-pixels", "15999999"});
    ExpectOneLine(r, 2,
                  Path("ones.tif") +
                      ": the image has 16000000 pixels (4000 x 4000 x 1), more than the limit of 15999999 pixels "
                      "(--max-pixels)");
    EXPECT_LT(r.maxRssMiB, kRefusalRssMiB);
    // At the limit it is read: one region of every pixel.
    const Outcome ok = Run({"run", "Area", Path("ones.tif"), Path("ones.tif"), "--max-pixels", "16000000"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "label,Area (number of pixels)\n1,1.6e+07\n");
}

// The reader's checks of strips and tiles, in this process, with the messages.
TEST_F(Safety, StripsAndTilesMustLieInTheFileAndHoldTheirOwnData) {
    // Three pages of 4 x 3 in two strips each (2 rows, then 1), the strips
    // stored in the file in reverse order: distinct data read correctly.
    std::string data;
    std::vector<std::vector<Tag>> pages;
    std::vector<double> expected;
    for (int page = 0; page < 3; ++page)
        for (int i = 0; i < 12; ++i) expected.push_back(page * 20 + i);
    for (int chunk = 5; chunk >= 0; --chunk) {
        const int page = chunk / 2, first = chunk % 2 == 0 ? 0 : 8, count = chunk % 2 == 0 ? 8 : 4;
        for (int i = 0; i < count; ++i) data += static_cast<char>(page * 20 + first + i);
    }
    // Offsets from the end: chunk 5 (page 2, second strip) comes first.
    auto offsetOf = [](int chunk) {
        uint32_t off = 8;
        for (int c = 5; c > chunk; --c) off += c % 2 == 0 ? 8 : 4;
        return off;
    };
    for (int page = 0; page < 3; ++page)
        pages.push_back(StripPage(4, 3, 2, {offsetOf(2 * page), offsetOf(2 * page + 1)}, {8, 4}));
    WriteFile(Path("ok.tif"), TiffFile(data, pages));
    const Raster r = ReadImage(Path("ok.tif"));
    ASSERT_EQ(r.Count(), 36);
    EXPECT_EQ(r.depth, 3);
    for (int i = 0; i < 36; ++i) EXPECT_EQ(r.At(i), expected[i]) << i;

    auto refusal = [&](const std::string& name, const std::string& bytes) {
        WriteFile(Path(name), bytes);
        try {
            ReadImage(Path(name));
        } catch (const ImageIOError& e) {
            return std::string(e.what());
        }
        return std::string("read without complaint");
    };
    const std::string eight(8, '\1');
    // The second strip overlaps the first by one byte.
    EXPECT_EQ(refusal("overlap.tif", TiffFile(eight + eight, {StripPage(4, 4, 2, {8, 15}, {8, 8})})),
              Path("overlap.tif") +
                  ": page 1 strip 1 and page 1 strip 0 share bytes of the file: the file holds less data than it "
                  "declares");
    const std::string beyond =
        refusal("beyond.tif", TiffFile(eight + eight, {StripPage(4, 4, 2, {8, 100000}, {8, 8})}));
    EXPECT_EQ(beyond, Path("beyond.tif") +
                          ": page 1 strip 1 lies beyond the end of the file (bytes 100000 to 100008 of " +
                          std::to_string(fs::file_size(Path("beyond.tif"))) + ")");
    // Uncompressed, a strip of two rows of 4 pixels needs 8 bytes.
    EXPECT_EQ(refusal("short.tif", TiffFile(eight + eight, {StripPage(4, 4, 2, {8, 16}, {8, 7})})),
              Path("short.tif") + ": page 1 strip 1 holds 7 bytes; uncompressed it needs 8");
    // Pages and tiles that share bytes: the files above that declare more than they hold.
}

// ============================================================== out of memory

TEST_F(Safety, EveryOutOfMemoryCaseExitsWithThree) {
    if (kSanitized) GTEST_SKIP() << "an address-space limit does not work with the sanitizers";
    // One label of 16777217 (the float 16777216) in 16 x 16: the region table
    // alone needs over 600 MiB. A label of 3e9 needs over 100 GiB.
    std::vector<float> grey(256, 1.0f), one(256, 1.0f), huge(256, 1.0f);
    one[37] = 16777217.0f;
    huge[37] = 3e9f;
    const std::string g = FloatImage("g16.tif", 16, 16, grey);
    const std::string l1 = FloatImage("one.tif", 16, 16, one), l2 = FloatImage("huge.tif", 16, 16, huge);
    for (const std::string& labels : {l1, l2}) {
        const Outcome r = Run({"run", "Area", g, labels}, kSmallAddressSpace);
        ExpectOneLine(r, 3, "error: out of memory");
        // Either the node refused (its message speaks of memory) or an
        // allocation failed while it ran.
        EXPECT_TRUE(r.err.starts_with("error: out of memory: (feature plugins) Area::Run: ") ||
                    r.err == "error: out of memory while running Area (std::bad_alloc)\n")
            << r.err;
    }
    // 12000 x 12000 pixels of 8 bits fit, but not as floats.
    WriteDeflateTiff(Path("wide.tif"), 12000, 12000, 1);
    ExpectOneLine(Run({"run", "Area", Path("wide.tif"), Path("wide.tif")}, kSmallAddressSpace), 3,
                  "error: out of memory while reading " + Path("wide.tif") + "\n");
}

// ============================================================== how a node's failure is reported

TEST_F(Safety, ANodesFailureIsReportedAsItStands) {
    struct Case {
        const char* failure;
        int status;
        std::string err;
    };
    const Case cases[] = {
        // Line ends become blanks, trailing blanks stay.
        {"lines", 1, "error: (feature plugins) Fails::Run: first line second line third line last  \n"},
        {"memory", 3,
         "error: out of memory: (feature plugins) Fails::Run: Not enough memory for the region table of 3000000000 "
         "labels\n"},
        {"bad_alloc", 3, "error: out of memory while running Fails (std::bad_alloc)\n"},
        {"length", 3, "error: out of memory while running Fails (vector::reserve)\n"},
        {"other", 1, "error: the node threw an exception that is not a standard one\n"},
    };
    for (const Case& c : cases) {
        const Outcome r = Run({"run", "Fails", m_grey, m_labels, "-p", std::string("failure=") + c.failure}, kNoLimit,
                              FAILING_MODULE);
        EXPECT_EQ(r.status, c.status) << c.failure;
        EXPECT_EQ(r.err, c.err) << c.failure;
        EXPECT_EQ(r.out, "") << c.failure;
    }
}

// ============================================================== warnings

TEST_F(Safety, WarningsAboutLabelsGoToStandardErrorAndChangeNoResult) {
    // Labels 1.5 (three pixels, the first at (2, 0)) and 2: the region table
    // counts 1.5 as label 1, a mask node such as Hist sees no pixel of it.
    std::vector<float> labels(30, 0.0f);
    for (int i : {2, 3, 8}) labels[i] = 1.5f;
    for (int i : {20, 21}) labels[i] = 2.0f;
    WriteNpy(Path("fractions.npy"), FloatRaster(6, 5, 1, labels));
    const std::string fractionWarning =
        "warning: " + Path("fractions.npy") + ": 3 label pixels are not whole numbers (the first: 1.5 at (2, 0)); ";
    // 64 x 64 labels 1..200, each at two pixels whose box is wide and tall (the
    // warnings' texts and counts are checked where they are made).
    std::vector<float> sparse(64 * 64, 0.0f);
    for (int k = 0; k < 200; ++k)
        sparse[(k % 29) * 64 + k % 32] = sparse[(40 + k % 23) * 64 + 63 - k % 17] = static_cast<float>(k + 1);
    WriteNpy(Path("sparse.npy"), FloatRaster(64, 64, 1, sparse));
    const std::string boxWarning = "warning: " + Path("sparse.npy") + ": the regions' bounding boxes cover ";
    const std::string sparseGrey = FloatImage("g64.tif", 64, 64, std::vector<float>(64 * 64, 9.0f));

    struct Case {
        const char* node;
        std::string grey, labels, warning;
    };
    const Case cases[] = {{"Area", m_grey, Path("fractions.npy"), fractionWarning},
                          {"Hist", m_grey, Path("fractions.npy"), fractionWarning},
                          {"Area", sparseGrey, Path("sparse.npy"), boxWarning}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.node) + " on " + c.labels);
        const Outcome r = Run({"run", c.node, c.grey, c.labels, "-o", Path("out.npy")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.starts_with(c.warning) && r.err.ends_with("\n")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        const Raster got = ReadImage(Path("out.npy")), want = test::InProcess(c.node, c.grey, c.labels);
        ASSERT_EQ(got.bytes.size(), want.bytes.size());
        EXPECT_EQ(got.bytes, want.bytes);
    }

    // 32-bit integer labels above 2^24: the warning comes before the node's own
    // refusal (here of the differing sizes), and not with --native, which hands
    // the labels over as they are stored.
    Raster big(SampleType::U32, 4, 4, 1);
    big.As<uint32_t>()[6] = 16777217;
    big.As<uint32_t>()[9] = 16777219;
    WriteNpy(Path("big.npy"), big);
    Outcome r = Run({"run", "Area", m_grey, Path("big.npy")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "warning: " + Path("big.npy") +
                         ": 2 label pixels hold whole numbers above 16777216 that a float cannot hold exactly (the "
                         "first: 16777217 at (2, 1), becomes 16777216); labels that become equal as floats merge into "
                         "one region\n"
                         "error: (feature plugins) Area::Run: Input and label image have differing sizes: (6, 5, 1) "
                         "vs (4, 4, 1)\n");
    r = Run({"run", "Area", m_grey, Path("big.npy"), "--native"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("error: ")) << r.err;
}
