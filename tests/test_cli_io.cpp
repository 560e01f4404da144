// The command-line host's building blocks. The readers are fed with files made
// directly with libtiff and libpng and with NPY bytes written out by hand, so a
// reader fault is not hidden by a matching writer fault. Also: node images, the
// JSON form of values, numbers in tables, parameter typing, output files.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <tuple>

#include "Commands.h"
#include "ImageIO.h"
#include "LabelCheck.h"
#include "NpyIO.h"
#include "Output.h"
#include "TestSupport.h"
#include "TiffIO.h"
#include "ValueJson.h"
#include "kelo/Image.h"

using namespace regionfeat;
using namespace KELO;

namespace {

using test::NpyFile;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The bytes of each value, in machine order or big-endian.
template <class T>
std::string Bytes(std::initializer_list<T> values, bool bigEndian = false) {
    std::string out;
    for (T v : values) {
        std::string b(reinterpret_cast<const char*>(&v), sizeof v);
        if (bigEndian) std::reverse(b.begin(), b.end());
        out += b;
    }
    return out;
}

template <class Fn>
std::string IOError(Fn&& fn) {
    return test::MessageOf<ImageIOError>(fn);
}

// The image at path has the given type, extents and sample values.
void ExpectImage(const std::string& path, SampleType type, int64_t w, int64_t h, int64_t d,
                 const std::vector<double>& values) {
    SCOPED_TRACE(path);
    const Raster r = ReadImage(path);
    EXPECT_EQ(r.type, type) << SampleTypeName(r.type);
    EXPECT_EQ(std::tuple(r.width, r.height, r.depth), std::tuple(w, h, d));
    ASSERT_EQ(r.Count(), static_cast<int64_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(r.At(static_cast<int64_t>(i)), values[i]) << i;
}

struct RawPage {
    uint32_t w, h;
    uint16_t bits, format;
    std::string data;  // native-order samples (1-bit: packed rows)
    uint16_t spp = 1;
    uint32_t subfile = 0;
};

// Uncompressed; mode "wb" writes big-endian; tile is the tile edge, 0 for
// one strip.
void WriteRawTiff(const std::string& path, const std::vector<RawPage>& pages, const char* mode = "w",
                  uint32_t tile = 0) {
    TIFF* t = TIFFOpen(path.c_str(), mode);
    ASSERT_NE(t, nullptr);
    for (const RawPage& p : pages) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.h);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits);
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, p.format);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        if (p.subfile) TIFFSetField(t, TIFFTAG_SUBFILETYPE, p.subfile);
        const std::size_t elem = p.bits / 8 * p.spp;
        const std::size_t rowBytes = p.bits == 1 ? (p.w + 7) / 8 : p.w * elem;
        if (tile) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
            TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
            for (uint32_t ty = 0; ty < p.h; ty += tile)
                for (uint32_t tx = 0; tx < p.w; tx += tile) {
                    std::string data(tile * tile * elem, '\0');
                    for (uint32_t r = 0; r < tile && ty + r < p.h; ++r)
                        for (uint32_t c = 0; c < tile && tx + c < p.w; ++c)
                            std::memcpy(&data[(r * tile + c) * elem], &p.data[(ty + r) * rowBytes + (tx + c) * elem],
                                        elem);
                    ASSERT_GE(TIFFWriteTile(t, data.data(), tx, ty, 0, 0), 0);
                }
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.h);
            for (uint32_t y = 0; y < p.h; ++y) {
                std::string row = p.data.substr(y * rowBytes, rowBytes);  // libtiff may swap it in place
                ASSERT_GE(TIFFWriteScanline(t, row.data(), y, 0), 0);
            }
        }
        ASSERT_TRUE(TIFFWriteDirectory(t));
    }
    TIFFClose(t);
}

std::string Dict(const std::string& descr, const std::string& shape) {
    return "{'descr': '" + descr + "', 'fortran_order': False, 'shape': " + shape + ", }";
}

}  // namespace

// ============================================================== reading

TEST(Readers, TiffOfEverySampleType) {
    TempDir dir;
    struct Case {
        uint16_t bits, format;
        SampleType type;
        std::string data;
        std::vector<double> values;
    };
    // clang-format off
    const Case cases[] = {
        // 1 bit, packed most significant bit first: rows 10 and 11.
        {1, SAMPLEFORMAT_UINT, SampleType::Bool, Bytes<uint8_t>({0x80, 0xC0}), {1, 0, 1, 1}},
        {8, SAMPLEFORMAT_UINT, SampleType::U8, Bytes<uint8_t>({0, 1, 200, 255}), {0, 1, 200, 255}},
        {16, SAMPLEFORMAT_UINT, SampleType::U16, Bytes<uint16_t>({0, 258, 40000, 65535}), {0, 258, 40000, 65535}},
        {32, SAMPLEFORMAT_UINT, SampleType::U32, Bytes<uint32_t>({7, 16777217, 3000000000u, 4294967295u}),
         {7, 16777217, 3000000000.0, 4294967295.0}},
        {8, SAMPLEFORMAT_INT, SampleType::I8, Bytes<int8_t>({-128, -1, 5, 127}), {-128, -1, 5, 127}},
        {16, SAMPLEFORMAT_INT, SampleType::I16, Bytes<int16_t>({-32768, -2, 1000, 32767}), {-32768, -2, 1000, 32767}},
        {32, SAMPLEFORMAT_INT, SampleType::I32, Bytes<int32_t>({-2147483647 - 1, -70000, 9, 2147483647}),
         {-2147483648.0, -70000, 9, 2147483647}},
        {32, SAMPLEFORMAT_IEEEFP, SampleType::F32, Bytes<float>({-0.25f, 0.1f, 255.0f, 1e30f}),
         {-0.25, static_cast<double>(0.1f), 255.0, static_cast<double>(1e30f)}},
        {64, SAMPLEFORMAT_IEEEFP, SampleType::F64, Bytes<double>({-0.25, 0.1, 255.0, 1e300}), {-0.25, 0.1, 255.0, 1e300}},
    };
    // clang-format on
    for (const Case& c : cases) {
        WriteRawTiff(dir / "t.tif", {{2, 2, c.bits, c.format, c.data}});
        ExpectImage(dir / "t.tif", c.type, 2, 2, 1, c.values);
    }
}

TEST(Readers, TiffPagesArePlanesTilesAndBigEndianAreDecoded) {
    TempDir dir;
    // Three full pages and a reduced-resolution preview, which is skipped.
    WriteRawTiff(dir / "stack.tif", {{2, 2, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({1, 2, 3, 4})},
                                     {1, 1, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({999}), 1, FILETYPE_REDUCEDIMAGE},
                                     {2, 2, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({5, 6, 7, 8})},
                                     {2, 2, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({9, 10, 11, 12})}});
    ExpectImage(dir / "stack.tif", SampleType::U16, 2, 2, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});

    // 37 x 21: not a multiple of the 16-pixel tiles, so edge tiles are partial.
    std::string data;
    std::vector<double> expect;
    for (uint16_t i = 0; i < 37 * 21; ++i) {
        data += Bytes<uint16_t>({static_cast<uint16_t>(i * 83)});
        expect.push_back(static_cast<uint16_t>(i * 83));
    }
    WriteRawTiff(dir / "tiled.tif", {{37, 21, 16, SAMPLEFORMAT_UINT, data}}, "w", 16);
    WriteRawTiff(dir / "big.tif", {{37, 21, 16, SAMPLEFORMAT_UINT, data}}, "wb");
    ASSERT_EQ(ReadFile(dir / "big.tif").substr(0, 2), "MM");
    for (const char* name : {"tiled.tif", "big.tif"}) ExpectImage(dir / name, SampleType::U16, 37, 21, 1, expect);
}

TEST(Readers, PngGreyDepthsKeepTheirStoredValues) {
    TempDir dir;
    // 16-bit samples are big-endian in the file: 0x0102 is 258.
    ASSERT_TRUE(test::WriteRawPng(dir / "g16.png", 2, 16, PNG_COLOR_TYPE_GRAY,
                            {Bytes<uint8_t>({0x01, 0x02, 0xff, 0xff}), Bytes<uint8_t>({0x00, 0x05, 0x80, 0x00})}));
    ExpectImage(dir / "g16.png", SampleType::U16, 2, 2, 1, {258, 65535, 5, 32768});
    // A 1-bit mask gives 0 and 1, not 0 and 255.
    ASSERT_TRUE(test::WriteRawPng(dir / "g1.png", 10, 1, PNG_COLOR_TYPE_GRAY, {Bytes<uint8_t>({0xA1, 0x40})}));
    ExpectImage(dir / "g1.png", SampleType::U8, 10, 1, 1, {1, 0, 1, 0, 0, 0, 0, 1, 0, 1});
}

TEST(Readers, InterlacedPngEqualsItsRowsAtEveryDepthAndSize) {
    TempDir dir;
    // Sizes whose later passes are partly or wholly empty (1 x 1 has only the
    // first), of 1, 4, 8 and 16 bits: the passes are read as sub-images and
    // placed by hand, so every pixel must land where the plain rows put it.
    for (const auto& [w, h] : {std::pair{1u, 1u}, {2u, 1u}, {1u, 5u}, {3u, 2u}, {13u, 7u}, {9u, 17u}})
        for (const int bits : {1, 4, 8, 16}) {
            SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + ", " + std::to_string(bits) + " bits");
            const uint32_t top = (1u << bits) - 1;
            std::vector<std::string> rows;
            std::vector<double> values;
            for (uint32_t y = 0; y < h; ++y) {
                std::string row((w * bits + 7) / 8, '\0');
                for (uint32_t x = 0; x < w; ++x) {
                    const uint32_t v = (x * 7 + y * 13 + 3) % (top + 1);
                    values.push_back(v);
                    if (bits == 16) {
                        row[2 * x] = static_cast<char>(v >> 8);
                        row[2 * x + 1] = static_cast<char>(v & 0xff);
                    } else {  // most significant bits first
                        const uint32_t bit = x * bits;
                        row[bit / 8] = static_cast<char>(row[bit / 8] | v << (8 - bits - bit % 8));
                    }
                }
                rows.push_back(row);
            }
            ASSERT_TRUE(test::WriteRawPng(dir / "i.png", w, bits, PNG_COLOR_TYPE_GRAY, rows, true));
            ExpectImage(dir / "i.png", bits == 16 ? SampleType::U16 : SampleType::U8, w, h, 1, values);
        }
}

TEST(Readers, PixelLimitCountsEveryPlaneOfEveryFormat) {
    TempDir dir;
    WriteRawTiff(dir / "stack.tif", {{2, 3, 8, SAMPLEFORMAT_UINT, std::string(6, '\1')},
                                     {2, 3, 8, SAMPLEFORMAT_UINT, std::string(6, '\2')}});
    ASSERT_TRUE(test::WriteRawPng(dir / "g.png", 4, 8, PNG_COLOR_TYPE_GRAY, std::vector(3, std::string(4, '\5'))));
    WriteFile(dir / "cube.npy", NpyFile(Dict("|u1", "(2, 1, 5)"), std::string(10, '\7')));
    const std::tuple<const char*, uint64_t, const char*> cases[] = {
        {"stack.tif", 12, "the image has 12 pixels (2 x 3 x 2), more than the limit of 11 pixels (--max-pixels)"},
        {"g.png", 12, "the image has 12 pixels (4 x 3 x 1), more than the limit of 11 pixels (--max-pixels)"},
        {"cube.npy", 10, "the image has 10 pixels (5 x 1 x 2), more than the limit of 9 pixels (--max-pixels)"},
    };
    for (const auto& [name, pixels, message] : cases) {
        EXPECT_EQ(ReadImage(dir / name, {pixels}).Count(), static_cast<int64_t>(pixels)) << name;
        EXPECT_EQ(IOError([&] { ReadImage(dir / name, {pixels - 1}); }), dir / name + ": " + message);
    }
    // The default is what the machine holds: every image of the other tests fits.
    EXPECT_GT(ReadLimits{}.maxPixels, uint64_t{1} << 24);
}

TEST(Readers, NpyOfEveryTypeByteOrderAndShape) {
    TempDir dir;
    struct Case {
        const char* descr;
        SampleType type;
        std::string data;
        std::vector<double> values;
    };
    // clang-format off
    const Case cases[] = {
        {"<f4", SampleType::F32, Bytes<float>({1.5f, -2.0f, 0.1f, 3e38f}),
         {1.5, -2, static_cast<double>(0.1f), static_cast<double>(3e38f)}},
        {"|u1", SampleType::U8, Bytes<uint8_t>({0, 1, 128, 255}), {0, 1, 128, 255}},
        {"<u2", SampleType::U16, Bytes<uint16_t>({0, 258, 40000, 65535}), {0, 258, 40000, 65535}},
        {"<u4", SampleType::U32, Bytes<uint32_t>({0, 70000, 16777217, 4294967295u}), {0, 70000, 16777217, 4294967295.0}},
        // numpy stores bools as bytes 0 and 1; anything non-zero counts as true.
        {"|b1", SampleType::Bool, Bytes<uint8_t>({0, 1, 2, 0}), {0, 1, 1, 0}},
        {"|i1", SampleType::I8, Bytes<int8_t>({-128, -1, 0, 127}), {-128, -1, 0, 127}},
        {"<i2", SampleType::I16, Bytes<int16_t>({-32768, -1, 7, 32767}), {-32768, -1, 7, 32767}},
        {">i4", SampleType::I32, Bytes<int32_t>({-70000, -1, 0, 2147483647}, true), {-70000, -1, 0, 2147483647}},
        {"<i8", SampleType::I64, Bytes<int64_t>({-5, 0, 1, 1LL << 40}), {-5, 0, 1, 1099511627776.0}},
        {"<u8", SampleType::U64, Bytes<uint64_t>({0, 3, 1ULL << 33, 12}), {0, 3, 8589934592.0, 12}},
        {"<f8", SampleType::F64, Bytes<double>({0.1, -1e300, 2.5, 0}), {0.1, -1e300, 2.5, 0}},
        {">f4", SampleType::F32, Bytes<float>({0.75f, -1.0f, 8.0f, 0.0f}, true), {0.75, -1, 8, 0}},
        // Half precision: 1, -2, smallest subnormal 2^-24, 65504 (largest finite).
        {"<f2", SampleType::F16, Bytes<uint16_t>({0x3c00, 0xc000, 0x0001, 0x7bff}), {1, -2, std::ldexp(1.0, -24), 65504}},
    };
    // clang-format on
    for (const Case& c : cases) {
        WriteFile(dir / "a.npy", NpyFile(Dict(c.descr, "(2, 2)"), c.data));
        ExpectImage(dir / "a.npy", c.type, 2, 2, 1, c.values);
    }
    // (D, H, W) = (2, 1, 3): x fastest, then y, then z.
    WriteFile(dir / "cube.npy", NpyFile(Dict("<u2", "(2, 1, 3)"), Bytes<uint16_t>({1, 2, 3, 4, 5, 6})));
    ExpectImage(dir / "cube.npy", SampleType::U16, 3, 1, 2, {1, 2, 3, 4, 5, 6});
    // Version 2 (4-byte header length), keys in another order, no trailing comma.
    WriteFile(dir / "v2.npy",
               NpyFile("{'shape': (1, 2), 'fortran_order': False, 'descr': '<f4'}", Bytes<float>({0.5f, 4.0f}), 2));
    ExpectImage(dir / "v2.npy", SampleType::F32, 2, 1, 1, {0.5, 4});
}

TEST(Readers, RefuseUnsupportedAndDamagedFiles) {
    TempDir dir;
    WriteRawTiff(dir / "rgb.tif", {{2, 1, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2, 3, 4, 5, 6}), 3}});
    WriteRawTiff(dir / "sizes.tif", {{2, 2, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2, 3, 4})},
                                     {3, 1, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2, 3})}});
    WriteRawTiff(dir / "u64.tif", {{1, 1, 64, SAMPLEFORMAT_UINT, Bytes<uint64_t>({1})}});
    // A hand-made header with rows of 2^31 - 1 floats: refused before a row
    // buffer is made for them (libtiff estimates the strip from the header,
    // and the file is far too short for it).
    const std::vector<test::TiffTag> wide = {{256, 4, {0x7fffffffu}}, {257, 4, {1}}, {258, 3, {32}}, {259, 3, {1}},
                                             {262, 3, {1}}, {273, 4, {8}}, {278, 4, {1}}, {279, 4, {8}}, {339, 3, {3}}};
    WriteFile(dir / "wide.tif", test::TiffFile(std::string(8, '\0'), {wide}));
    ASSERT_TRUE(test::WriteRawPng(dir / "rgb.png", 1, 8, PNG_COLOR_TYPE_RGB, {Bytes<uint8_t>({1, 2, 3})}));
    ASSERT_TRUE(test::WriteRawPng(dir / "crc.png", 40, 8, PNG_COLOR_TYPE_GRAY, std::vector(40, std::string(40, '\x33'))));
    std::string png = ReadFile(dir / "crc.png");
    png[60] = static_cast<char>(png[60] ^ 0x55);  // inside IDAT: the CRC no longer matches
    WriteFile(dir / "crc.png", png);
    const std::string four = Bytes<float>({1, 2, 3, 4});
    WriteFile(dir / "short.npy", NpyFile(Dict("<f4", "(2, 2)"), four.substr(0, 12)));
    WriteFile(dir / "complex.npy", NpyFile(Dict("<c8", "(1, 2)"), four));
    WriteFile(dir / "nokey.npy", NpyFile("{'descr': '<f4', 'shape': (2, 2)}", four));
    WriteFile(dir / "cut.npy", std::string("\x93NUMPY\x01\x00\xff\x7f{", 11));
    WriteFile(dir / "v7.npy", std::string("\x93NUMPY\x07\x00\x10\x00", 10) + std::string(16, ' '));

    const std::pair<const char*, const char*> cases[] = {
        {"rgb.tif", "page 1 has 3 samples per pixel"},
        {"sizes.tif", "page 2 (3 x 1, uint8) differs from the first page (2 x 2, uint8)"},
        {"u64.tif", "64-bit unsigned integer samples are not supported"},
        {"wide.tif", "page 1 strip 0 lies beyond the end of the file (bytes 8 to 8589934596 of 130)"},
        {"rgb.png", "cannot read PNG: RGB PNG is not supported (only grey images are read)"},
        {"crc.png", "cannot read PNG: "},
        {"short.npy", "truncated NPY data (12 of 16 bytes)"},
        {"complex.npy", "NPY type '<c8' is not supported (complex numbers)"},
        {"nokey.npy", "'descr', 'fortran_order' or 'shape' is missing"},
        {"cut.npy", "truncated NPY header"},
        {"v7.npy", "NPY format version 7 is not supported"},
    };
    for (const auto& [name, part] : cases) {
        const std::string e = IOError([&] { ReadImage(dir / name); });
        EXPECT_EQ(e.rfind(dir / name + ": ", 0), 0u) << e;
        EXPECT_NE(e.find(part), std::string::npos) << e;
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
    }
}

// ============================================================== label warnings

namespace {

Raster Labels(SampleType type, int64_t w, int64_t h, int64_t d, const std::vector<double>& values) {
    Raster r(type, w, h, d);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        switch (type) {
            case SampleType::F32: r.As<float>()[i] = static_cast<float>(v); break;
            case SampleType::F64: r.As<double>()[i] = v; break;
            case SampleType::U32: r.As<uint32_t>()[i] = static_cast<uint32_t>(v); break;
            case SampleType::I32: r.As<int32_t>()[i] = static_cast<int32_t>(v); break;
            case SampleType::U16: r.As<uint16_t>()[i] = static_cast<uint16_t>(v); break;
            default: ADD_FAILURE() << "type not covered here";
        }
    }
    return r;
}

}  // namespace

TEST(LabelWarnings, ValuesThatAreNotWholeOrNotExactAsFloat) {
    // 3 x 2 x 2: 1.5 at (2, 0, 0) comes first in array order; 2.25 at (0, 1, 1);
    // 0.5 and -1.5 are background and raise nothing.
    const Raster fractions = Labels(SampleType::F32, 3, 2, 2, {1, 0.5, 1.5, -1.5, 2, 2, 0, 0, 0, 2.25, 0, 1});
    std::vector<std::string> w = LabelWarnings(fractions, false);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0],
              "2 label pixels are not whole numbers (the first: 1.5 at (2, 0, 0)); the region table counts such a "
              "pixel in the label it truncates to, but nodes that build a region mask compare pixel == label and "
              "leave it out of the mask");
    EXPECT_EQ(LabelWarnings(fractions, true), w) << "a float image is the same with --native";

    // Whole numbers above 2^24 that float changes, in 32-bit integer and float64
    // files: 16777217 becomes 16777216; 16777218 and 2^24 itself stay exact.
    for (const SampleType type : {SampleType::U32, SampleType::I32, SampleType::F64}) {
        const Raster big = Labels(type, 4, 1, 1, {16777218, 16777216, 16777217, 16777219});
        w = LabelWarnings(big, false);
        ASSERT_EQ(w.size(), 1u) << SampleTypeName(type);
        EXPECT_EQ(w[0],
                  "2 label pixels hold whole numbers above 16777216 that a float cannot hold exactly (the first: "
                  "16777217 at (2, 0), becomes 16777216); labels that become equal as floats merge into one region")
            << SampleTypeName(type);
        // With --native a uint32 image reaches the node as it is stored.
        if (type == SampleType::U32) {
            EXPECT_TRUE(LabelWarnings(big, true).empty());
        }
    }
    // The largest 32-bit label rounds up to 2^32, which is background.
    w = LabelWarnings(Labels(SampleType::U32, 2, 1, 1, {4294967295.0, 5}), false);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("(the first: 4294967295 at (0, 0), becomes 4294967296)"), std::string::npos) << w[0];
    // A float64 label of 1.5 becomes the float 1.5, not a whole number.
    EXPECT_EQ(LabelWarnings(Labels(SampleType::F64, 2, 1, 1, {1.5, 1}), false).size(), 1u);
    // Ordinary labels, NaN and infinities raise nothing.
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
    EXPECT_TRUE(LabelWarnings(Labels(SampleType::F32, 5, 1, 1, {0, 3, nan, inf, -inf}), false).empty());
    EXPECT_TRUE(LabelWarnings(Labels(SampleType::U16, 3, 1, 1, {0, 65535, 7}), false).empty());
}

TEST(LabelWarnings, BoundingBoxesFarAboveTheImage) {
    // 2 x 2 planes; label k + 1 sits at (0, 0) and (1, 1) of plane k, so its box
    // covers the whole plane of 4 pixels. 16 labels cover 64 = 16 times the
    // plane: no warning yet; 17 labels: 68.
    auto diagonalLabels = [](int n, double extra) {
        std::vector<double> v(static_cast<std::size_t>(4 * n), 0.0);
        for (int k = 0; k < n; ++k) v[4 * k] = v[4 * k + 3] = k + 1;
        if (extra > 0) v[1] = extra;
        return Labels(SampleType::F32, 2, 2, n, v);
    };
    EXPECT_TRUE(LabelWarnings(diagonalLabels(16, 0), false).empty());
    const std::vector<std::string> w = LabelWarnings(diagonalLabels(17, 0), false);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0],
              "the regions' bounding boxes cover 68 pixels, 17 times the image: nodes that work per box will "
              "take long");

    // Boxes are measured by a plain loop here on random labels and compared.
    std::vector<double> v(40 * 30);
    uint32_t seed = 99;
    for (double& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = (seed >> 16) % 3 == 0 ? 0.0 : 1 + (seed >> 8) % 90;
    }
    uint64_t covered = 0;
    for (int label = 1; label <= 90; ++label) {
        int x0 = 40, x1 = -1, y0 = 30, y1 = -1;
        for (int i = 0; i < 40 * 30; ++i) {
            if (v[i] != label) continue;
            x0 = std::min(x0, i % 40);
            x1 = std::max(x1, i % 40);
            y0 = std::min(y0, i / 40);
            y1 = std::max(y1, i / 40);
        }
        if (x1 >= 0) covered += static_cast<uint64_t>(x1 - x0 + 1) * (y1 - y0 + 1);
    }
    ASSERT_GT(covered, 16u * 40 * 30);
    const std::vector<std::string> r = LabelWarnings(Labels(SampleType::F32, 40, 30, 1, v), false);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], "the regions' bounding boxes cover " + std::to_string(covered) + " pixels, " +
                        std::to_string(covered / 1200) + " times the image: nodes that work per box will take long");

    // A largest label beyond 2^20 (and a quarter of the pixels) would need a box
    // table larger than the image: the check is skipped, so the same sparse
    // boxes raise nothing, and a label of 3e9 costs no table either.
    EXPECT_EQ(LabelWarnings(diagonalLabels(17, 1 << 20), false).size(), 1u);
    EXPECT_TRUE(LabelWarnings(diagonalLabels(17, (1 << 20) + 1), false).empty());
    EXPECT_TRUE(LabelWarnings(diagonalLabels(17, 3e9), false).empty());
}

// ============================================================== node images

TEST(NodeImages, NativeKeepsTheTypesTheHostHas) {
    // Without native every type becomes float (the command-line tests run on
    // uint16 labels); with it a type the host has keeps its bytes, the others
    // are refused.
    // clang-format off
    const std::pair<SampleType, CPixelType> native[] = {{SampleType::F32, IMAGE_GREY_F}, {SampleType::U8, IMAGE_GREY_8},
        {SampleType::U16, IMAGE_GREY_16}, {SampleType::U32, IMAGE_GREY_32}, {SampleType::Bool, IMAGE_BINARY_FG}};
    // clang-format on
    for (const auto& [type, pixel] : native) {
        Raster r(type, 3, 1, 1);
        for (std::size_t i = 0; i < r.bytes.size(); ++i) r.bytes[i] = static_cast<unsigned char>(i % 2);
        auto img = ToNodeImage(r, true, "x");
        EXPECT_EQ(img->Type(), pixel) << SampleTypeName(type);
        EXPECT_EQ(std::memcmp(img->Data(), r.bytes.data(), r.bytes.size()), 0) << SampleTypeName(type);
    }
    const std::string e = IOError([&] { ToNodeImage(Raster(SampleType::F64, 1, 1, 1), true, "grey.npy"); });
    EXPECT_EQ(e.rfind("grey.npy: float64 pixels have no native node type", 0), 0u) << e;
}

// ============================================================== JSON form

TEST(ValueJson, ScalarsMapsVectorsImagesAndMeta) {
    EXPECT_EQ(ValueToJson(CValueLong(-2147483647 - 1)).dump(), R"({"type":"long","value":-2147483648})");
    EXPECT_EQ(ValueToJson(CValueString("a \"q\"")).dump(), R"({"type":"string","value":"a \"q\""})");
    // Doubles keep every bit through the text.
    EXPECT_EQ(Json::parse(ValueToJson(CValueDouble(1.0 / 3.0)).dump())["value"].get<double>(), 1.0 / 3.0);

    // Insertion order, null for unset slots, non-finite doubles as strings,
    // meta only when not empty.
    CValueMap map;
    map.SetEntry("zeta", new CValueBool(true));
    auto* vec = new CValueVector(5);
    vec->SetEntry(1, new CValueDouble(-std::nan("")));
    vec->SetEntry(2, new CValueDouble(HUGE_VAL));
    vec->SetEntry(3, new CValueDouble(-HUGE_VAL));
    vec->Meta().SetEntry("FeatureName", new CValueString("width"));
    map.SetEntry("alpha", vec);
    map.Meta();
    EXPECT_EQ(
        ValueToJson(map).dump(),
        R"({"type":"map","value":{"zeta":{"type":"bool","value":true},"alpha":{"type":"vector","value":[null,)"
        R"({"type":"double","value":"NaN"},{"type":"double","value":"Infinity"},)"
        R"({"type":"double","value":"-Infinity"},null],"meta":{"FeatureName":{"type":"string","value":"width"}}}}})");

    auto* f = new CImage(IMAGE_GREY_F, CSize(3, 1, 1));
    f->Pixels<float>()[0] = 0.1f;
    f->Pixels<float>()[1] = std::numeric_limits<float>::quiet_NaN();
    f->Pixels<float>()[2] = -std::numeric_limits<float>::infinity();
    f->Attributes().SetEntry("y-name", new CValueString("label"));
    // A float pixel is shown as the double it widens to.
    EXPECT_EQ(ValueToJson(CValueOwnedPointer<CImage>(f, 1)).dump(),
              R"({"type":"image","value":{"pixel_type":"IMAGE_GREY_F","size":[3,1,1],)"
              R"("attributes":{"type":"map","value":{"y-name":{"type":"string","value":"label"}}},"data":[)" +
                  Json(static_cast<double>(0.1f)).dump() + R"(,"NaN","-Infinity"]}})");
}

// ============================================================== numbers and tables

TEST(Formatting, FloatsAreShortestAndReadBackExactly) {
    EXPECT_EQ(FormatFloat(0.1f), "0.1");
    EXPECT_EQ(FormatFloat(736.0f), "736");
    EXPECT_EQ(FormatFloat(2.0f / 3.0f), "0.6666667");
    EXPECT_EQ(FormatFloat(-std::numeric_limits<float>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatFloat(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(FormatFloat(-std::numeric_limits<float>::infinity()), "-inf");
    // Round trip over many bit patterns, subnormals and extremes included.
    using Limits = std::numeric_limits<float>;
    std::vector<float> values = {Limits::denorm_min(), Limits::max(), Limits::lowest(), -0.0f, 16777217.0f, 1e-38f};
    uint32_t bits = 12345;
    for (int i = 0; i < 20000; ++i) {
        bits = bits * 1664525u + 1013904223u;
        if (std::isfinite(std::bit_cast<float>(bits))) values.push_back(std::bit_cast<float>(bits));
    }
    for (float v : values) {
        const std::string text = FormatFloat(v);
        ASSERT_EQ(std::bit_cast<uint32_t>(std::strtof(text.c_str(), nullptr)), std::bit_cast<uint32_t>(v)) << text;
    }
}

TEST(Formatting, DelimitedTables) {
    CImage m(IMAGE_GREY_F, CSize(2, 2, 1));
    const float pixels[] = {0.5f, std::numeric_limits<float>::quiet_NaN(), -HUGE_VALF, 1e-7f};
    std::memcpy(m.Pixels<float>(), pixels, sizeof pixels);
    CValueMap setup;
    auto* names = new CValueVector(2);
    names->SetEntry(0, new CValueString("say \"hi\", twice"));
    names->SetEntry(1, new CValueString("tab\there"));
    setup.SetEntry("FeatureNames", names);
    const Table t = MakeTable(m, nullptr, setup);
    std::ostringstream csv, tsv;
    WriteDelimited(csv, t, ',');
    WriteDelimited(tsv, t, '\t');
    EXPECT_EQ(csv.str(), "label,\"say \"\"hi\"\", twice\",tab\there\n1,0.5,nan\n2,-inf,1e-07\n");
    EXPECT_EQ(tsv.str(), "label\tsay \"hi\", twice\ttab here\n1\t0.5\tnan\n2\t-inf\t1e-07\n");
}

// ============================================================== parameters

TEST(Parameters, TypedFromTheDescription) {
    CValueMap described;
    described.SetEntry("verbose", new CValueBool(false));
    described.SetEntry("m_glcm_size", new CValueLong(16));
    described.SetEntry("ratio", new CValueDouble(0.5));
    described.SetEntry("graph", new CValueString(""));
    described.SetEntry("nested", new CValueMap());

    // Accepted arguments and the value in its JSON form; a listed key takes
    // its described type, any other key needs one.
    const std::pair<const char*, const char*> accepted[] = {
        {"m_glcm_size=-2147483648", R"({"type":"long","value":-2147483648})"},
        {"m_glcm_size=+2147483647", R"({"type":"long","value":2147483647})"},
        {"verbose=TRUE", R"({"type":"bool","value":true})"},
        {"verbose=1", R"({"type":"bool","value":true})"},
        {"verbose=No", R"({"type":"bool","value":false})"},
        {"ratio=7", R"({"type":"double","value":7.0})"},
        {"graph=a=b.graph", R"({"type":"string","value":"a=b.graph"})"},  // the first '=' separates
        {"extra:double=2.5", R"({"type":"double","value":2.5})"},
        {"name:string=x:y", R"({"type":"string","value":"x:y"})"},
        {"verbose:bool=1", R"({"type":"bool","value":true})"},
    };
    for (const auto& [arg, json] : accepted) {
        const ParameterSetting s = ParseParameter(arg, &described, "Node");
        EXPECT_EQ(s.key, std::string(arg).substr(0, std::string(arg).find_first_of(":="))) << arg;
        EXPECT_EQ(ValueToJson(*s.value).dump(), json) << arg;
    }

    const std::pair<const char*, const char*> refused[] = {
        {"size=3",
         "unknown parameter 'size' for Node (valid keys: verbose, m_glcm_size, ratio, graph, nested; other keys need a "
         "type: -p KEY:TYPE=VALUE)"},
        {"m_glcm_size=2147483648",
         "parameter 'm_glcm_size': '2147483648' is not a long (a whole number from -2147483648 to 2147483647)"},
        {"m_glcm_size=-2147483649", "is not a long"},
        {"m_glcm_size=3.5", "is not a long"},
        {"verbose=maybe", "parameter 'verbose': 'maybe' is not a bool (true or false)"},
        {"ratio=1.5x", "is not a double"},
        {"verbose:long=1", "parameter 'verbose' of Node is a bool, not a long"},
        {"x:float=1", "parameter 'x:float=1': unknown type 'float' (use bool, long, double or string)"},
        {"verbose", "parameter 'verbose' is not of the form KEY=VALUE or KEY:TYPE=VALUE"},
        {"a/b:long=1", "parameter key 'a/b' must not contain '/'"},
        {"nested=1", "parameter 'nested' is a map and cannot be set from the command line"},
    };
    for (const auto& [arg, message] : refused) {
        try {
            ParseParameter(arg, &described, "Node");
            ADD_FAILURE() << arg << " was accepted";
        } catch (const UsageError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << arg << ": " << e.what();
        }
    }
}

// ============================================================== output files

TEST(FileSet, AWriterFailureLeavesTheTargetsAsTheyWere) {
    TempDir dir;
    WriteFile(dir / "old.csv", "keep me");
    FileSet files;
    files.Add(dir / "old.csv", [](const std::string& temp) { WriteTextFile(temp, "new content"); });
    files.Add(dir / "fresh.npy", [](const std::string& temp) { WriteTextFile(temp, "x"); });
    files.Add(dir / "broken.tif", [](const std::string& temp) {
        WriteTextFile(temp, "partial");
        throw ImageIOError(temp + ": disk full");
    });
    // The message names the target, not the temporary file.
    EXPECT_EQ(IOError([&] { files.Commit(); }), dir / "broken.tif" + ": disk full");
    EXPECT_EQ(ReadFile(dir / "old.csv"), "keep me");
    EXPECT_EQ(dir.Names(), std::set<std::string>{"old.csv"});
}
