// Images read straight into the image a node gets: every format, byte order
// and stored type against the values the file was made from, with staging
// buffers cut so small that pieces end inside rows and pages; label warnings
// computed piece by piece; refusals of damaged files; BigTIFF and the row
// writer; --timings.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <unistd.h>
#include <tiffio.h>

#include <cctype>
#include <cmath>
#include <cstring>

#include "CommandSupport.h"
#include "Errors.h"
#include "ImageIO.h"
#include "LabelCheck.h"
#include "NpyIO.h"
#include "TestSupport.h"
#include "TiffIO.h"
#include "kelo/Image.h"

using namespace regionfeat;
using namespace KELO;
using test::NpyFile;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

namespace {

// W x H x D of the test images: 37 x 21 x 2 = 1554 samples (2 x 3 x 7 x 37),
// a multiple of no staging size used below; 16-pixel tiles leave partial
// tiles at the right and bottom.
constexpr uint32_t kW = 37, kH = 21, kD = 2;
const std::string kShape = "(2, 21, 37)";
constexpr std::size_t kN = kW * kH * kD;

// Sample i of the test image, within every type's range.
double Value(std::size_t i, SampleType type) {
    const double v = static_cast<double>((i * 37 + 11) % 251);
    switch (type) {
        case SampleType::I16: return v * 100 - 12000;
        case SampleType::U16: return v * 250;
        case SampleType::F32:
        case SampleType::F64: return v / 8 - 3.25;
        default: return v;
    }
}

template <class T>
std::string SampleBytes(SampleType type, bool bigEndian, std::size_t n = kN) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const T v = static_cast<T>(Value(i, type));
        std::string b(reinterpret_cast<const char*>(&v), sizeof v);
        if (bigEndian) std::reverse(b.begin(), b.end());
        out += b;
    }
    return out;
}

// Every staging size a case is read with: one byte (one sample a piece),
// 44 bytes (11 floats, 44 bytes, 22 uint16, 5 float64: pieces that end
// inside rows), and the default.
constexpr std::size_t kChunkSizes[] = {1, 44, kDefaultChunkBytes};

// The image at path, read as a node gets it, holds Value(i) as float for
// every staging size.
void ExpectFloatImage(const std::string& path, SampleType stored, uint32_t w, uint32_t h, uint32_t d) {
    for (const std::size_t chunk : kChunkSizes)
      for (const bool mapped : {false, true}) {
        SCOPED_TRACE(path + ", staging " + std::to_string(chunk) + " bytes" + (mapped ? ", mapped" : ""));
        ReadLimits limits;
        limits.chunkBytes = chunk;
        limits.deferBytes = chunk;  // compressed data held back for a few rows, or all of them
        limits.mapBytes = mapped ? 0 : SIZE_MAX;  // NPY of the node's type in this byte order: mapped
        const std::unique_ptr<CImage> img = ReadNodeImage(path, false, limits);
        ASSERT_EQ(img->Type(), IMAGE_GREY_F);
        ASSERT_EQ(img->Size(), CSize(w, h, d));
        const float* p = img->Pixels<float>();
        for (std::size_t i = 0; i < std::size_t{w} * h * d; ++i)
            ASSERT_EQ(p[i], static_cast<float>(Value(i, stored))) << "sample " << i;
    }
}

std::string Dict(const std::string& descr, const std::string& shape) {
    return "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
}

// A TIFF of kD pages of kW x kH samples made with libtiff: strips of
// rowsPerStrip rows, or square tiles of edge tile; mode "wb" is big-endian.
void WriteTestTiff(const std::string& path, SampleType type, const std::string& data, const char* mode,
                   uint16_t compression, uint32_t rowsPerStrip, uint32_t tile = 0) {
    uint16_t bits = 8, format = SAMPLEFORMAT_UINT;
    if (type == SampleType::U16) bits = 16;
    if (type == SampleType::F32) bits = 32, format = SAMPLEFORMAT_IEEEFP;
    const std::size_t elem = bits / 8, rowBytes = kW * elem;
    TIFF* t = TIFFOpen(path.c_str(), mode);
    ASSERT_NE(t, nullptr);
    for (uint32_t z = 0; z < kD; ++z) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kW);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, kH);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, format);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
        const char* page = data.data() + z * kH * rowBytes;
        if (tile) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
            TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
            for (uint32_t ty = 0; ty < kH; ty += tile)
                for (uint32_t tx = 0; tx < kW; tx += tile) {
                    std::string buf(tile * tile * elem, '\0');
                    for (uint32_t r = 0; r < tile && ty + r < kH; ++r)
                        for (uint32_t c = 0; c < tile && tx + c < kW; ++c)
                            std::memcpy(&buf[(r * tile + c) * elem], page + (ty + r) * rowBytes + (tx + c) * elem,
                                        elem);
                    ASSERT_GE(TIFFWriteTile(t, buf.data(), tx, ty, 0, 0), 0);
                }
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
            for (uint32_t y = 0; y < kH; ++y) {
                std::string row(page + y * rowBytes, rowBytes);  // libtiff may swap it in place
                ASSERT_GE(TIFFWriteScanline(t, row.data(), y, 0), 0);
            }
        }
        ASSERT_TRUE(TIFFWriteDirectory(t));
    }
    TIFFClose(t);
}

// The stored rows of a grey PNG of kW x kH holding Value(i) of type.
std::vector<std::string> PngRows(int bits, SampleType type) {
    std::vector<std::string> rows(kH);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            const auto v = static_cast<uint32_t>(Value(y * kW + x, type));
            if (bits == 16) rows[y] += static_cast<char>(v >> 8);
            rows[y] += static_cast<char>(v & 0xff);
        }
    return rows;
}

// A grey PNG of kW x kH of the given depth and stored rows.
bool WriteTestPng(const std::string& path, int bits, const std::vector<std::string>& rows) {
    return test::WriteRawPng(path, kW, bits, PNG_COLOR_TYPE_GRAY, rows);
}

template <class Fn>
std::string IOError(Fn&& fn) {
    return test::MessageOf<ImageIOError>(fn);
}

}  // namespace

// ============================================================== direct reads

TEST(ReadDirect, NpyOfEveryByteOrderAndTypeEqualsTheValuesWritten) {
    TempDir dir;
    const std::string& shape = kShape;
    const std::tuple<const char*, SampleType, std::string> cases[] = {
        {"<f4", SampleType::F32, SampleBytes<float>(SampleType::F32, false)},
        {">f4", SampleType::F32, SampleBytes<float>(SampleType::F32, true)},
        {"|u1", SampleType::U8, SampleBytes<uint8_t>(SampleType::U8, false)},
        {"<u2", SampleType::U16, SampleBytes<uint16_t>(SampleType::U16, false)},
        {">u2", SampleType::U16, SampleBytes<uint16_t>(SampleType::U16, true)},
        {"<i2", SampleType::I16, SampleBytes<int16_t>(SampleType::I16, false)},
        {"<f8", SampleType::F64, SampleBytes<double>(SampleType::F64, false)},
        {">f8", SampleType::F64, SampleBytes<double>(SampleType::F64, true)},
    };
    int index = 0;
    for (const auto& [descr, type, data] : cases) {
        const std::string path = dir / (std::to_string(index++) + ".npy");
        SCOPED_TRACE(descr);
        WriteFile(path, NpyFile(Dict(descr, shape), data));
        ExpectFloatImage(path, type, kW, kH, kD);
    }
}

TEST(ReadDirect, TiffStripsAndTilesCompressedOrNotEqualTheValuesWritten) {
    TempDir dir;
    struct Case {
        const char* name;
        SampleType type;
        const char* mode;
        uint16_t compression;
        uint32_t rowsPerStrip, tile;
    };
    // Strips of 4 rows over 21 rows end with a strip of 1.
    const Case cases[] = {
        {"f32_strips.tif", SampleType::F32, "w", COMPRESSION_NONE, 4, 0},
        {"f32_strips_be.tif", SampleType::F32, "wb", COMPRESSION_NONE, 4, 0},
        {"u16_strips_be.tif", SampleType::U16, "wb", COMPRESSION_NONE, 21, 0},
        {"u8_strips.tif", SampleType::U8, "w", COMPRESSION_NONE, 2, 0},
        {"u16_tiles.tif", SampleType::U16, "w", COMPRESSION_NONE, 0, 16},
        {"f32_tiles_be.tif", SampleType::F32, "wb", COMPRESSION_NONE, 0, 16},
        {"u8_deflate.tif", SampleType::U8, "w", COMPRESSION_ADOBE_DEFLATE, 3, 0},
        {"f32_lzw_tiles.tif", SampleType::F32, "w", COMPRESSION_LZW, 0, 16},
        {"u16_lzw_be.tif", SampleType::U16, "wb", COMPRESSION_LZW, 2, 0},
    };
    for (const Case& c : cases) {
        std::string data;
        if (c.type == SampleType::F32) data = SampleBytes<float>(c.type, false);
        if (c.type == SampleType::U16) data = SampleBytes<uint16_t>(c.type, false);
        if (c.type == SampleType::U8) data = SampleBytes<uint8_t>(c.type, false);
        WriteTestTiff(dir / c.name, c.type, data, c.mode, c.compression, c.rowsPerStrip, c.tile);
        ExpectFloatImage(dir / c.name, c.type, kW, kH, kD);
    }
}

TEST(ReadDirect, PngOfEightAndSixteenBitsEqualsTheValuesWritten) {
    TempDir dir;
    ASSERT_TRUE(WriteTestPng(dir / "g8.png", 8, PngRows(8, SampleType::U8)));
    ASSERT_TRUE(WriteTestPng(dir / "g16.png", 16, PngRows(16, SampleType::U16)));
    ExpectFloatImage(dir / "g8.png", SampleType::U8, kW, kH, 1);
    ExpectFloatImage(dir / "g16.png", SampleType::U16, kW, kH, 1);
}

TEST(ReadDirect, NativeKeepsTheStoredTypeAndItsBytes) {
    TempDir dir;
    const std::string u16 = SampleBytes<uint16_t>(SampleType::U16, false);
    WriteFile(dir / "u16.npy", NpyFile(Dict(">u2", kShape), SampleBytes<uint16_t>(SampleType::U16, true)));
    WriteTestTiff(dir / "u16.tif", SampleType::U16, u16, "wb", COMPRESSION_NONE, 3);
    ASSERT_TRUE(WriteTestPng(dir / "u8.png", 8, PngRows(8, SampleType::U8)));
    WriteFile(dir / "bool.npy", NpyFile(Dict("|b1", "(1, 4)"), std::string("\0\1\2\0", 4)));
    WriteFile(dir / "u16le.npy", NpyFile(Dict("<u2", kShape), u16));
    const std::tuple<std::string, CPixelType, std::string> cases[] = {
        {dir / "u16.npy", IMAGE_GREY_16, u16},
        {dir / "u16le.npy", IMAGE_GREY_16, u16},
        {dir / "u16.tif", IMAGE_GREY_16, u16},
        {dir / "u8.png", IMAGE_GREY_8, SampleBytes<uint8_t>(SampleType::U8, false, kW * kH)},
        {dir / "bool.npy", IMAGE_BINARY_FG, std::string("\0\1\1\0", 4)},  // any non-zero byte is true
    };
    for (const auto& [path, type, bytes] : cases)
        for (const std::size_t chunk : kChunkSizes)
          for (const bool mapped : {false, true}) {
            SCOPED_TRACE(path + ", staging " + std::to_string(chunk) + (mapped ? ", mapped" : ""));
            ReadLimits limits;
            limits.chunkBytes = chunk;
            limits.mapBytes = mapped ? 0 : SIZE_MAX;
            const std::unique_ptr<CImage> img = ReadNodeImage(path, true, limits);
            EXPECT_EQ(img->Type(), type);
            ASSERT_EQ(img->ByteCount(), bytes.size());
            EXPECT_EQ(std::memcmp(img->Data(), bytes.data(), bytes.size()), 0);
        }
    WriteFile(dir / "f64.npy", NpyFile(Dict("<f8", "(1, 1)"), SampleBytes<double>(SampleType::F64, false, 1)));
    EXPECT_EQ(IOError([&] { ReadNodeImage(dir / "f64.npy", true); }).rfind(dir / "f64.npy" + ": float64 pixels have no "
                                                                                             "native node type",
                                                                          0),
              0u);
}

TEST(ReadDirect, DamagedFilesAreRefusedAsBefore) {
    TempDir dir;
    const std::string four = SampleBytes<float>(SampleType::F32, false, 4);
    WriteFile(dir / "short.npy", NpyFile(Dict("<f4", "(2, 2)"), four.substr(0, 12)));
    WriteFile(dir / "long.npy", NpyFile(Dict("<f4", "(2, 2)"), four + "xyzw"));
    // An uncompressed strip that lies past the end of the file.
    const std::vector<test::TiffTag> beyond = {{256, 4, {4}},  {257, 4, {2}}, {258, 3, {8}}, {259, 3, {1}},
                                               {262, 3, {1}},  {273, 4, {9000}}, {277, 3, {1}},
                                               {278, 4, {2}},  {279, 4, {8}}, {339, 3, {1}}};
    WriteFile(dir / "beyond.tif", test::TiffFile(std::string(8, '\1'), {beyond}));
    // A type size that wraps around to 4 as a 32-bit number.
    WriteFile(dir / "wrap.npy", NpyFile(Dict("<f4294967300", "(2, 2)"), four));
    const std::pair<const char*, const char*> cases[] = {
        {"short.npy", "truncated NPY data (12 of 16 bytes)"},
        {"long.npy", "4 bytes after the NPY data; the shape does not fit the file"},
        {"beyond.tif", "page 1 strip 0 lies beyond the end of the file"},
        {"wrap.npy", "NPY type '<f4294967300' is not supported"},
    };
    for (const auto& [name, part] : cases)
        for (const bool native : {false, true}) {
            const std::string e = IOError([&] { ReadNodeImage(dir / name, native); });
            EXPECT_EQ(e.rfind(dir / name + ": ", 0), 0u) << e;
            EXPECT_NE(e.find(part), std::string::npos) << e;
        }
    // A compressed file of a few bytes that declares one tile of 256 MiB
    // costs memory only for what decodes: the tile and the band of tiles are
    // asked for before decoding, and their pages must stay untouched.
    const std::vector<test::TiffTag> bigTile = {
        {256, 4, {8192}}, {257, 4, {8192}}, {258, 3, {32}}, {259, 3, {8}},    {262, 3, {1}},
        {277, 3, {1}},    {322, 4, {8192}}, {323, 4, {8192}}, {324, 4, {8}}, {325, 4, {16}}, {339, 3, {3}}};
    WriteFile(dir / "bigtile.tif", test::TiffFile(std::string(16, 'x'), {bigTile}));
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_NE(IOError([&] { ReadNodeImage(dir / "bigtile.tif", false); }).find("cannot read the tile at (0, 0)"),
              std::string::npos);
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB more at the peak";
    // The pixel limit comes before any memory is spent on pixels.
    ReadLimits small;
    small.maxPixels = 3;
    EXPECT_NE(IOError([&] { ReadNodeImage(dir / "long.npy", false, small); }).find("more than the limit of 3 pixels"),
              std::string::npos);
}

// ============================================================== label warnings

TEST(ReadDirect, LabelWarningsPieceByPieceEqualThoseOfTheWholeImage) {
    TempDir dir;
    // 6 x 1 x 18 float labels: plane z holds label z + 1 in runs of two at
    // both ends, [z+1, z+1, 0, 0, z+1, z+1], so each box covers the plane of 6
    // pixels, 108 = 18 times the image in all; plane 3 holds a run of two
    // 2.5 in the middle. Pieces of one float, or 11, cut the runs.
    std::vector<float> labels;
    for (int z = 0; z < 18; ++z) {
        const float l = static_cast<float>(z + 1), mid = z == 3 ? 2.5f : 0.0f;
        labels.insert(labels.end(), {l, l, mid, mid, l, l});
    }
    const std::string data(reinterpret_cast<const char*>(labels.data()), labels.size() * sizeof(float));
    WriteFile(dir / "l.npy", NpyFile(Dict("<f4", "(18, 1, 6)"), data));
    // uint32 labels above 2^24 that float changes.
    std::string big;
    for (uint32_t v : {0u, 16777217u, 16777217u, 5u, 16777219u, 16777216u}) big.append(reinterpret_cast<char*>(&v), 4);
    WriteFile(dir / "big.npy", NpyFile(Dict("<u4", "(2, 3)"), big));

    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"l.npy",
         {"2 label pixels are not whole numbers (the first: 2.5 at (2, 0, 3)); the region table counts such a pixel "
          "in the label it truncates to, but nodes that build a region mask compare pixel == label and leave it out "
          "of the mask",
          "the regions' bounding boxes cover 108 pixels, 18 times the image: nodes that work per box will take long"}},
        {"big.npy",
         {"3 label pixels hold whole numbers above 16777216 that a float cannot hold exactly (the first: 16777217 "
          "at (1, 0), becomes 16777216); labels that become equal as floats merge into one region"}},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(LabelWarnings(ReadImage(dir / name), false), expected) << name;
        for (const std::size_t chunk : kChunkSizes)
            for (const bool mapped : {false, true}) {
                ReadLimits limits;
                limits.chunkBytes = chunk;
                limits.mapBytes = mapped ? 0 : SIZE_MAX;
                std::vector<std::string> pieces;
                ReadNodeImage(dir / name, false, limits, &pieces);
                EXPECT_EQ(pieces, expected) << name << ", staging " << chunk << (mapped ? ", mapped" : "");
            }
    }
}

// ============================================================== BigTIFF and the row writer

namespace {

Raster FloatRaster(int64_t w, int64_t h, int64_t d) {
    Raster r(SampleType::F32, w, h, d);
    for (int64_t i = 0; i < r.Count(); ++i) r.As<float>()[i] = static_cast<float>(i) * 0.5f - 7.0f;
    return r;
}

// The version word of a little-endian TIFF: 42 classic, 43 BigTIFF.
int TiffVersion(const std::string& path) {
    const std::string head = ReadFile(path).substr(0, 4);
    return head.size() == 4 && head[0] == 'I' ? static_cast<unsigned char>(head[2]) : -1;
}

}  // namespace

TEST(BigTiff, WrittenOnRequestAndReadBackSingleAndMultiPage) {
    TempDir dir;
    for (const int64_t depth : {1, 3}) {
        const Raster r = FloatRaster(37, 11, depth);
        for (const bool big : {false, true}) {
            const std::string path = dir / (std::to_string(depth) + (big ? "big.tif" : "classic.tif"));
            WriteTiff(path, r, big);
            EXPECT_EQ(TiffVersion(path), big ? 43 : 42) << path;
            const Raster back = ReadImage(path);
            EXPECT_EQ(std::tuple(back.type, back.width, back.height, back.depth),
                      std::tuple(r.type, r.width, r.height, r.depth));
            EXPECT_EQ(back.bytes, r.bytes) << path;
            const std::unique_ptr<CImage> img = ReadNodeImage(path, false);
            EXPECT_EQ(std::memcmp(img->Data(), r.bytes.data(), r.bytes.size()), 0) << path;
        }
    }
    // Data beyond 2 GiB go to BigTIFF without being asked.
    EXPECT_FALSE(NeedsBigTiff(kClassicTiffDataLimit));
    EXPECT_TRUE(NeedsBigTiff(kClassicTiffDataLimit + 1));
}

TEST(BigTiff, RowWriterAppendsInSeveralCallsAndReadsBackExactly) {
    TempDir dir;
    // Rows of 1000 floats fill two rows per default strip, so the rows
    // appended run over several strips that libtiff adds as they come.
    const uint32_t w = 1000;
    const Raster all = FloatRaster(w, 9, 1);
    for (const bool big : {false, true}) {
        const std::string path = dir / (big ? "big.tif" : "classic.tif");
        TiffRowWriter writer(path, w, SampleType::F32, big);
        uint32_t row = 0;
        for (const uint32_t count : {1u, 0u, 5u, 3u}) {
            writer.Append(all.As<float>() + std::size_t{row} * w, count);
            row += count;
            EXPECT_EQ(writer.Rows(), row);
        }
        // A damaged TIFF read on the same thread meanwhile (a batch of one
        // job) does not fail the file being written.
        WriteFile(dir / "damaged.tif", std::string("II*\0\x10\x27\0\0", 8));
        EXPECT_EQ(IOError([&] { ReadImage(dir / "damaged.tif"); }).rfind(dir / "damaged.tif: ", 0), 0u);
        writer.Close();
        EXPECT_EQ(TiffVersion(path), big ? 43 : 42);
        const Raster back = ReadImage(path);
        EXPECT_EQ(std::tuple(back.width, back.height, back.depth), std::tuple(int64_t{w}, int64_t{9}, int64_t{1}));
        EXPECT_EQ(back.bytes, all.bytes) << path;
    }
    // 1-bit rows are packed as WriteTiff packs them.
    {
        TiffRowWriter writer(dir / "mask.tif", 11, SampleType::Bool, false);
        const uint8_t rows[22] = {1, 0, 0, 1, 1, 1, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 1};
        writer.Append(rows, 2);
        writer.Close();
        const Raster back = ReadImage(dir / "mask.tif");
        EXPECT_EQ(back.type, SampleType::Bool);
        EXPECT_EQ(std::memcmp(back.bytes.data(), rows, sizeof rows), 0);
    }
    // No rows: no TIFF image can be made.
    TiffRowWriter empty(dir / "empty.tif", 4, SampleType::F32, true);
    EXPECT_EQ(IOError([&] { empty.Close(); }),
              dir / "empty.tif" +
                  ": a TIFF image needs at least one row; use .csv, .tsv, .npy or .json for an empty table");
    EXPECT_NE(IOError([&] { TiffRowWriter(dir / "h.tif", 4, SampleType::F16, false); }).find("cannot write float16"),
              std::string::npos);
}

// ============================================================== --timings

TEST(Timings, OneLineOnStandardErrorAndTheSameOutput) {
    const std::string samples = std::string(REGIONFEAT_SOURCE_DIR) + "/samples/";
    const std::vector<std::string> args = {"--module", REGIONFEAT_MODULE, "run", "Area", samples + "cells_grey.tif",
                                           samples + "cells_labels.tif"};
    const test::ProgramResult plain = test::RunProgram(REGIONFEAT_BIN, args);
    std::vector<std::string> timedArgs = args;
    timedArgs.push_back("--timings");
    const test::ProgramResult timed = test::RunProgram(REGIONFEAT_BIN, timedArgs);
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(timed.status, 0) << timed.err;
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(timed.out, plain.out);
    // Each run of digits as '#': the numbers vary, the form does not (three decimals).
    std::string form;
    for (const char c : timed.err)
        if (!std::isdigit(static_cast<unsigned char>(c)) || form.empty() || form.back() != '#')
            form += std::isdigit(static_cast<unsigned char>(c)) ? '#' : c;
    EXPECT_EQ(form, "timings: read #.# s, run #.# s, write #.# s, total #.# s, peak memory # MiB\n");
    for (const std::string phase : {"read ", "run ", "write ", "total "}) {
        const std::size_t at = timed.err.find(phase);
        ASSERT_NE(at, std::string::npos) << phase;
        EXPECT_EQ(timed.err.find(" s", at), timed.err.find('.', at) + 4) << phase << "has three decimals";
    }
}

// ============================================================== mapped files

TEST(MappedNpy, AShortenedFileEndsTheRunWithOneLineInsteadOfACrash) {
    TempDir dir;
    // 64 KiB of data: pages beyond the first are lost when the file shrinks.
    std::vector<float> values(16384, 3.0f);
    const std::string path = dir / "big.npy";
    WriteFile(path, NpyFile(Dict("<f4", "(128, 128)"),
                            std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4)));
    ReadLimits limits;
    limits.mapBytes = 0;
    EXPECT_EXIT(
        {
            const std::unique_ptr<CImage> img = ReadNodeImage(path, false, limits);
            if (::truncate(path.c_str(), 128) != 0) std::_Exit(10);
            volatile float last = img->Pixels<float>()[16383];
            (void)last;
            std::_Exit(11);  // the page was still there: the image was not over the file
        },
        ::testing::ExitedWithCode(kExitUsage), "error: " + path + ": the file was shortened while it was in use");
}

TEST(MappedImages, PixelsFromOutsideAreKeptAliveAndMoveOutWhenRowsAreAppended) {
    std::vector<float> pixels = {1, 2, 3, 4, 5, 6};
    auto keeper = std::make_shared<int>(0);
    std::weak_ptr<int> watch = keeper;
    {
        CImage img(IMAGE_GREY_F, CSize(3, 2, 1), pixels.data(), std::move(keeper));
        EXPECT_EQ(img.Data(), pixels.data());
        EXPECT_FALSE(watch.expired());
        CImage copy(img);  // a copy owns its pixels
        EXPECT_NE(copy.Data(), pixels.data());
        img.AppendRows(copy);
        EXPECT_TRUE(watch.expired()) << "the pixels moved into the image's own memory";
        ASSERT_EQ(img.Size(), CSize(3, 4, 1));
        const float expected[] = {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6};
        EXPECT_EQ(std::memcmp(img.Data(), expected, sizeof expected), 0);
        img.AppendRows(img);  // growing its own memory again
        EXPECT_EQ(img.Size(), CSize(3, 8, 1));
    }
    CImage other(IMAGE_GREY_F, CSize(1, 1, 1), pixels.data(), std::make_shared<int>(1));
    EXPECT_EQ(pixels[0], 1.0f);  // never freed or written by the image
}
