// The command-line host's building blocks: image readers (fed with files made
// directly with libtiff and libpng, and with NPY bytes written out by hand, so a
// reader fault is not hidden by a matching writer fault), the writers (checked
// with the libraries directly), conversion to node images, the JSON form of
// values, number formatting, parameter typing and all-or-nothing output files.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "Commands.h"
#include "ImageIO.h"
#include "Output.h"
#include "ValueJson.h"
#include "kelo/Image.h"

using namespace regionfeat;
using namespace KELO;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "cli_io_XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_path)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path m_path;
};

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <class T>
std::string Bytes(std::initializer_list<T> values) {
    std::string out;
    for (T v : values) out.append(reinterpret_cast<const char*>(&v), sizeof v);
    return out;
}

// Big-endian bytes of each value.
template <class T>
std::string BigEndianBytes(std::initializer_list<T> values) {
    std::string out;
    for (T v : values) {
        std::string b(reinterpret_cast<const char*>(&v), sizeof v);
        std::reverse(b.begin(), b.end());
        out += b;
    }
    return out;
}

// The message of the ImageIOError fn throws ("" if it throws none).
template <class Fn>
std::string IOError(Fn&& fn) {
    try {
        fn();
    } catch (const ImageIOError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no ImageIOError";
    return "";
}

// ------------------------------------------------------------ raw TIFF writer

struct RawPage {
    uint32_t w, h;
    uint16_t bits, format;
    std::string data;  // native-order samples (1-bit: packed rows)
    uint16_t spp = 1;
    uint32_t subfile = 0;
};

struct RawTiffOptions {
    const char* mode = "w";  // "wb": big-endian
    uint16_t compression = COMPRESSION_NONE;
    uint32_t rowsPerStrip = 0;  // 0: one strip
    uint32_t tile = 0;          // tile edge; 0: strips
};

void WriteRawTiff(const std::string& path, const std::vector<RawPage>& pages, RawTiffOptions o = {}) {
    TIFF* t = TIFFOpen(path.c_str(), o.mode);
    ASSERT_NE(t, nullptr);
    for (const RawPage& p : pages) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.h);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits);
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, p.format);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, o.compression);
        if (p.subfile) TIFFSetField(t, TIFFTAG_SUBFILETYPE, p.subfile);
        const std::size_t elem = p.bits / 8 * p.spp;
        const std::size_t rowBytes = p.bits == 1 ? (p.w + 7) / 8 : p.w * elem;
        if (o.tile) {
            TIFFSetField(t, TIFFTAG_TILEWIDTH, o.tile);
            TIFFSetField(t, TIFFTAG_TILELENGTH, o.tile);
            for (uint32_t ty = 0; ty < p.h; ty += o.tile)
                for (uint32_t tx = 0; tx < p.w; tx += o.tile) {
                    std::string tile(o.tile * o.tile * elem, '\0');
                    for (uint32_t r = 0; r < o.tile && ty + r < p.h; ++r)
                        for (uint32_t c = 0; c < o.tile && tx + c < p.w; ++c)
                            std::memcpy(&tile[(r * o.tile + c) * elem], &p.data[(ty + r) * rowBytes + (tx + c) * elem],
                                        elem);
                    ASSERT_GE(TIFFWriteTile(t, tile.data(), tx, ty, 0, 0), 0);
                }
        } else {
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, o.rowsPerStrip ? o.rowsPerStrip : p.h);
            for (uint32_t y = 0; y < p.h; ++y) {
                std::string row = p.data.substr(y * rowBytes, rowBytes);  // libtiff may swap it in place
                ASSERT_GE(TIFFWriteScanline(t, row.data(), y, 0), 0);
            }
        }
        ASSERT_TRUE(TIFFWriteDirectory(t));
    }
    TIFFClose(t);
}

// ------------------------------------------------------------ raw PNG writer

jmp_buf g_pngJump;
void PngTestError(png_structp, png_const_charp) { longjmp(g_pngJump, 1); }

// rows: the bytes of each row as stored in the file (16-bit big-endian, packed
// below 8 bits).
bool WriteRawPng(const std::string& path, uint32_t w, uint32_t h, int bits, int colour,
                 const std::vector<std::string>& rows, bool interlaced = false) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngTestError, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> pointers;
    for (const std::string& r : rows) pointers.push_back(reinterpret_cast<png_bytep>(const_cast<char*>(r.data())));
    bool ok = false;
    if (!setjmp(g_pngJump)) {
        png_init_io(png, f);
        png_set_IHDR(png, info, w, h, bits, colour, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (colour == PNG_COLOR_TYPE_PALETTE) {
            png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
            png_set_PLTE(png, info, palette, 2);
        }
        png_write_info(png, info);
        png_write_image(png, pointers.data());
        png_write_end(png, info);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return ok;
}

// ------------------------------------------------------------ NPY by hand

// An NPY file: magic, version, little-endian header length, the dict padded
// with blanks and a newline to a multiple of 64 bytes, then the data.
std::string NpyFile(const std::string& dict, const std::string& data, int major = 1) {
    const std::size_t fixed = major == 1 ? 10 : 12;
    std::string header = dict;
    while ((fixed + header.size() + 1) % 64 != 0) header += ' ';
    header += '\n';
    std::string out("\x93NUMPY", 6);
    out += static_cast<char>(major);
    out += '\0';
    for (std::size_t i = 0; i < fixed - 8; ++i) out += static_cast<char>((header.size() >> (8 * i)) & 0xff);
    return out + header + data;
}

std::string Dict(const std::string& descr, const std::string& shape, const char* fortran = "False") {
    return "{'descr': '" + descr + "', 'fortran_order': " + fortran + ", 'shape': " + shape + ", }";
}

void ExpectValues(const Raster& r, const std::vector<double>& expected) {
    ASSERT_EQ(r.Count(), static_cast<int64_t>(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(r.At(static_cast<int64_t>(i)), expected[i]) << "sample " << i;
}

}  // namespace

// ============================================================== TIFF reading

TEST(TiffReader, EverySampleTypeWithItsValues) {
    TempDir dir;
    struct Case {
        uint16_t bits, format;
        SampleType type;
        std::string data;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {8, SAMPLEFORMAT_UINT, SampleType::U8, Bytes<uint8_t>({0, 1, 2, 127, 200, 255}), {0, 1, 2, 127, 200, 255}},
        {16,
         SAMPLEFORMAT_UINT,
         SampleType::U16,
         Bytes<uint16_t>({0, 1, 258, 4096, 40000, 65535}),
         {0, 1, 258, 4096, 40000, 65535}},
        {32,
         SAMPLEFORMAT_UINT,
         SampleType::U32,
         Bytes<uint32_t>({0, 7, 65536, 16777217, 3000000000u, 4294967295u}),
         {0, 7, 65536, 16777217, 3000000000.0, 4294967295.0}},
        {8, SAMPLEFORMAT_INT, SampleType::I8, Bytes<int8_t>({-128, -1, 0, 1, 5, 127}), {-128, -1, 0, 1, 5, 127}},
        {16,
         SAMPLEFORMAT_INT,
         SampleType::I16,
         Bytes<int16_t>({-32768, -2, 0, 3, 1000, 32767}),
         {-32768, -2, 0, 3, 1000, 32767}},
        {32,
         SAMPLEFORMAT_INT,
         SampleType::I32,
         Bytes<int32_t>({std::numeric_limits<int32_t>::min(), -70000, 0, 9, 123456, 2147483647}),
         {-2147483648.0, -70000, 0, 9, 123456, 2147483647}},
        {32,
         SAMPLEFORMAT_IEEEFP,
         SampleType::F32,
         Bytes<float>({-0.25f, 0.0f, 1.5f, 0.1f, 255.0f, 1e30f}),
         {-0.25, 0.0, 1.5, static_cast<double>(0.1f), 255.0, static_cast<double>(1e30f)}},
        {64,
         SAMPLEFORMAT_IEEEFP,
         SampleType::F64,
         Bytes<double>({-0.25, 0.0, 1.5, 0.1, 255.0, 1e300}),
         {-0.25, 0.0, 1.5, 0.1, 255.0, 1e300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(SampleTypeName(c.type));
        const std::string path = dir / (std::string(SampleTypeName(c.type)) + ".tif");
        WriteRawTiff(path, {{3, 2, c.bits, c.format, c.data}});
        const Raster r = ReadImage(path);
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.width, 3);
        EXPECT_EQ(r.height, 2);
        EXPECT_EQ(r.depth, 1);
        ExpectValues(r, c.values);
    }
}

TEST(TiffReader, MultiPageFileIsA3DImageAndPreviewsAreSkipped) {
    TempDir dir;
    const std::string path = dir / "stack.tif";
    WriteRawTiff(path, {{2, 2, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({1, 2, 3, 4})},
                        {1, 1, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({999}), 1, FILETYPE_REDUCEDIMAGE},
                        {2, 2, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({5, 6, 7, 8})},
                        {2, 2, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({9, 10, 11, 12})}});
    const Raster r = ReadTiff(path);
    EXPECT_EQ(r.width, 2);
    EXPECT_EQ(r.height, 2);
    EXPECT_EQ(r.depth, 3);
    ExpectValues(r, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
}

TEST(TiffReader, TilesCompressedStripsAndBigEndianGiveTheSamePixels) {
    TempDir dir;
    // 37 x 21: not a multiple of the 16-pixel tiles, so edge tiles are partial.
    const uint32_t w = 37, h = 21;
    std::string f32, u16;
    std::vector<double> expectF, expectU;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const float v = static_cast<float>(x) * 0.5f - static_cast<float>(y);
            const auto u = static_cast<uint16_t>(x * 1000 + y);
            f32 += Bytes<float>({v});
            u16 += Bytes<uint16_t>({u});
            expectF.push_back(v);
            expectU.push_back(u);
        }
    RawTiffOptions tiled;
    tiled.tile = 16;
    WriteRawTiff(dir / "tiled.tif", {{w, h, 32, SAMPLEFORMAT_IEEEFP, f32}}, tiled);
    ExpectValues(ReadImage(dir / "tiled.tif"), expectF);

    RawTiffOptions lzw;
    lzw.compression = COMPRESSION_LZW;
    lzw.rowsPerStrip = 4;
    WriteRawTiff(dir / "lzw.tif", {{w, h, 16, SAMPLEFORMAT_UINT, u16}}, lzw);
    ExpectValues(ReadImage(dir / "lzw.tif"), expectU);

    RawTiffOptions big;
    big.mode = "wb";
    WriteRawTiff(dir / "big.tif", {{w, h, 16, SAMPLEFORMAT_UINT, u16}}, big);
    ASSERT_EQ(ReadBytes(dir / "big.tif").substr(0, 2), "MM");
    ExpectValues(ReadImage(dir / "big.tif"), expectU);
}

TEST(TiffReader, OneBitImageReadsAsBoolWithStoredBits) {
    TempDir dir;
    // 10 pixels a row: 1011000001 and 0100000010, packed most significant bit first.
    const std::string packed = Bytes<uint8_t>({0xB0, 0x40, 0x40, 0x80});
    WriteRawTiff(dir / "mask.tif", {{10, 2, 1, SAMPLEFORMAT_UINT, packed}});
    const Raster r = ReadImage(dir / "mask.tif");
    EXPECT_EQ(r.type, SampleType::Bool);
    ExpectValues(r, {1, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0});
}

TEST(TiffReader, RejectsWhatItCannotRepresent) {
    TempDir dir;
    WriteRawTiff(dir / "rgb.tif", {{2, 1, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2, 3, 4, 5, 6}), 3}});
    EXPECT_NE(IOError([&] { ReadImage(dir / "rgb.tif"); }).find("3 samples per pixel"), std::string::npos);

    WriteRawTiff(dir / "sizes.tif", {{2, 2, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2, 3, 4})},
                                     {3, 1, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2, 3})}});
    EXPECT_NE(IOError([&] { ReadImage(dir / "sizes.tif"); }).find("page 2 (3 x 1, uint8) differs"), std::string::npos);

    WriteRawTiff(dir / "types.tif", {{2, 1, 8, SAMPLEFORMAT_UINT, Bytes<uint8_t>({1, 2})},
                                     {2, 1, 16, SAMPLEFORMAT_UINT, Bytes<uint16_t>({1, 2})}});
    EXPECT_NE(IOError([&] { ReadImage(dir / "types.tif"); }).find("differs from the first page"), std::string::npos);

    WriteRawTiff(dir / "u64.tif", {{1, 1, 64, SAMPLEFORMAT_UINT, Bytes<uint64_t>({1})}});
    EXPECT_NE(IOError([&] { ReadImage(dir / "u64.tif"); }).find("64-bit unsigned integer samples are not supported"),
              std::string::npos);

    // Cut a valid file inside its pixel data.
    std::string f32;
    for (int i = 0; i < 64 * 64; ++i) f32 += Bytes<float>({static_cast<float>(i)});
    WriteRawTiff(dir / "whole.tif", {{64, 64, 32, SAMPLEFORMAT_IEEEFP, f32}});
    const std::string whole = ReadBytes(dir / "whole.tif");
    // libtiff writes the directory after the data: the first half of the file
    // has the header and part of the data but no directory.
    WriteBytes(dir / "cut.tif", whole.substr(0, whole.size() / 2));
    const std::string cut = IOError([&] { ReadImage(dir / "cut.tif"); });
    EXPECT_EQ(cut.rfind(dir / "cut.tif: ", 0), 0u) << cut;
    EXPECT_EQ(cut.find('\n'), std::string::npos);

    WriteBytes(dir / "text.tif", "just some text, not an image\n");
    EXPECT_EQ(IOError([&] { ReadImage(dir / "text.tif"); }), dir / "text.tif" + ": not a TIFF, PNG or NPY file");
    WriteBytes(dir / "empty.tif", "");
    EXPECT_EQ(IOError([&] { ReadImage(dir / "empty.tif"); }), dir / "empty.tif" + ": the file is empty");
    EXPECT_NE(IOError([&] { ReadImage(dir / "missing.tif"); }).find("cannot open"), std::string::npos);
}

// A minimal little-endian float TIFF of one strip whose header claims w x h
// pixels and stripBytes bytes at offset 8, while the file holds 8 data bytes.
std::string HandMadeTiff(uint32_t w, uint32_t h, uint32_t stripBytes) {
    std::string f = std::string("II*\0", 4) + Bytes<uint32_t>({16}) + std::string(8, '\0');
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
        f += Bytes<uint16_t>({tag, type}) + Bytes<uint32_t>({1, value});
    };
    f += Bytes<uint16_t>({9});
    entry(256, 4, w);           // width
    entry(257, 4, h);           // length
    entry(258, 3, 32);          // bits per sample
    entry(259, 3, 1);           // no compression
    entry(262, 3, 1);           // min is black
    entry(273, 4, 8);           // strip offset
    entry(278, 4, h);           // rows per strip
    entry(279, 4, stripBytes);  // strip byte count
    entry(339, 3, 3);           // float samples
    return f + Bytes<uint32_t>({0});
}

TEST(TiffReader, HeadersThatPromiseMoreThanTheFileHolds) {
    TempDir dir;
    // Sanity of the hand-made file: with data to match it reads.
    WriteBytes(dir / "fits.tif", HandMadeTiff(2, 1, 8));
    ExpectValues(ReadImage(dir / "fits.tif"), {0, 0});
    // One strip of 16 x 16 floats, 8 bytes present.
    WriteBytes(dir / "short.tif", HandMadeTiff(16, 16, 1024));
    std::string e = IOError([&] { ReadImage(dir / "short.tif"); });
    EXPECT_EQ(e.rfind(dir / "short.tif: ", 0), 0u) << e;
    // Extents no real image has: refused before any buffer is made for them.
    WriteBytes(dir / "wide.tif", HandMadeTiff(0x7fffffffu, 1, 8));
    e = IOError([&] { ReadImage(dir / "wide.tif"); });
    EXPECT_EQ(e.rfind(dir / "wide.tif: ", 0), 0u) << e;
    WriteBytes(dir / "tall.tif", HandMadeTiff(4, 0x7fffffffu, 8));
    e = IOError([&] { ReadImage(dir / "tall.tif"); });
    EXPECT_EQ(e.rfind(dir / "tall.tif: ", 0), 0u) << e;
}

// ============================================================== PNG reading

TEST(PngReader, GreyDepthsKeepTheirStoredValues) {
    TempDir dir;
    ASSERT_TRUE(WriteRawPng(dir / "g8.png", 3, 2, 8, PNG_COLOR_TYPE_GRAY,
                            {Bytes<uint8_t>({0, 17, 255}), Bytes<uint8_t>({1, 2, 3})}));
    Raster r = ReadImage(dir / "g8.png");
    EXPECT_EQ(r.type, SampleType::U8);
    ExpectValues(r, {0, 17, 255, 1, 2, 3});

    // 16-bit samples are big-endian in the file: 0x0102 is 258.
    ASSERT_TRUE(WriteRawPng(dir / "g16.png", 2, 2, 16, PNG_COLOR_TYPE_GRAY,
                            {Bytes<uint8_t>({0x01, 0x02, 0xff, 0xff}), Bytes<uint8_t>({0x00, 0x05, 0x80, 0x00})}));
    r = ReadImage(dir / "g16.png");
    EXPECT_EQ(r.type, SampleType::U16);
    ExpectValues(r, {258, 65535, 5, 32768});

    // A 1-bit mask gives 0 and 1 (not 0 and 255).
    ASSERT_TRUE(WriteRawPng(dir / "g1.png", 10, 1, 1, PNG_COLOR_TYPE_GRAY, {Bytes<uint8_t>({0xA1, 0x40})}));
    r = ReadImage(dir / "g1.png");
    EXPECT_EQ(r.type, SampleType::U8);
    ExpectValues(r, {1, 0, 1, 0, 0, 0, 0, 1, 0, 1});

    // Interlaced: rows come in several passes.
    std::vector<std::string> rows;
    std::vector<double> expect;
    for (int y = 0; y < 9; ++y) {
        std::string row;
        for (int x = 0; x < 11; ++x) {
            row += static_cast<char>(y * 11 + x);
            expect.push_back(y * 11 + x);
        }
        rows.push_back(row);
    }
    ASSERT_TRUE(WriteRawPng(dir / "adam7.png", 11, 9, 8, PNG_COLOR_TYPE_GRAY, rows, true));
    ExpectValues(ReadImage(dir / "adam7.png"), expect);
}

TEST(PngReader, RejectsColourAndDamagedFiles) {
    TempDir dir;
    ASSERT_TRUE(WriteRawPng(dir / "rgb.png", 1, 1, 8, PNG_COLOR_TYPE_RGB, {Bytes<uint8_t>({1, 2, 3})}));
    EXPECT_EQ(IOError([&] { ReadImage(dir / "rgb.png"); }),
              dir / "rgb.png" + ": cannot read PNG: RGB PNG is not supported (only grey images are read)");
    ASSERT_TRUE(WriteRawPng(dir / "pal.png", 2, 1, 8, PNG_COLOR_TYPE_PALETTE, {Bytes<uint8_t>({0, 1})}));
    EXPECT_NE(IOError([&] { ReadImage(dir / "pal.png"); }).find("palette PNG is not supported"), std::string::npos);

    std::vector<std::string> rows(40, std::string(40, '\x33'));
    for (int y = 0; y < 40; ++y) rows[y][y] = static_cast<char>(y);
    ASSERT_TRUE(WriteRawPng(dir / "ok.png", 40, 40, 8, PNG_COLOR_TYPE_GRAY, rows));
    const std::string whole = ReadBytes(dir / "ok.png");
    WriteBytes(dir / "cut.png", whole.substr(0, whole.size() - 30));
    EXPECT_NE(IOError([&] { ReadImage(dir / "cut.png"); }).find("cannot read PNG"), std::string::npos);
    std::string flipped = whole;
    flipped[60] = static_cast<char>(flipped[60] ^ 0x55);  // inside IDAT: CRC no longer matches
    WriteBytes(dir / "crc.png", flipped);
    EXPECT_NE(IOError([&] { ReadImage(dir / "crc.png"); }).find("cannot read PNG"), std::string::npos);
}

// ============================================================== NPY reading

TEST(NpyReader, EveryTypeAndByteOrder) {
    TempDir dir;
    struct Case {
        const char* descr;
        SampleType type;
        std::string data;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {"<f4",
         SampleType::F32,
         Bytes<float>({1.5f, -2.0f, 0.1f, 3e38f}),
         {1.5, -2, static_cast<double>(0.1f), static_cast<double>(3e38f)}},
        {"|u1", SampleType::U8, Bytes<uint8_t>({0, 1, 128, 255}), {0, 1, 128, 255}},
        {"<u2", SampleType::U16, Bytes<uint16_t>({0, 258, 40000, 65535}), {0, 258, 40000, 65535}},
        {"<u4",
         SampleType::U32,
         Bytes<uint32_t>({0, 70000, 16777217, 4294967295u}),
         {0, 70000, 16777217, 4294967295.0}},
        // numpy stores bools as bytes 0 and 1; anything non-zero counts as true.
        {"|b1", SampleType::Bool, Bytes<uint8_t>({0, 1, 2, 0}), {0, 1, 1, 0}},
        {"|i1", SampleType::I8, Bytes<int8_t>({-128, -1, 0, 127}), {-128, -1, 0, 127}},
        {"<i2", SampleType::I16, Bytes<int16_t>({-32768, -1, 7, 32767}), {-32768, -1, 7, 32767}},
        {">i4", SampleType::I32, BigEndianBytes<int32_t>({-70000, -1, 0, 2147483647}), {-70000, -1, 0, 2147483647}},
        {"<i8", SampleType::I64, Bytes<int64_t>({-5, 0, 1, 1LL << 40}), {-5, 0, 1, 1099511627776.0}},
        {">u2", SampleType::U16, BigEndianBytes<uint16_t>({1, 258, 0x8000, 65535}), {1, 258, 32768, 65535}},
        {"<u8", SampleType::U64, Bytes<uint64_t>({0, 3, 1ULL << 33, 12}), {0, 3, 8589934592.0, 12}},
        {"<f8", SampleType::F64, Bytes<double>({0.1, -1e300, 2.5, 0}), {0.1, -1e300, 2.5, 0}},
        {">f4", SampleType::F32, BigEndianBytes<float>({0.75f, -1.0f, 8.0f, 0.0f}), {0.75, -1, 8, 0}},
        // Half precision: 1, -2, smallest subnormal 2^-24, 65504 (largest finite).
        {"<f2",
         SampleType::F16,
         Bytes<uint16_t>({0x3c00, 0xc000, 0x0001, 0x7bff}),
         {1, -2, std::ldexp(1.0, -24), 65504}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.descr);
        const std::string path = dir / "a.npy";
        WriteBytes(path, NpyFile(Dict(c.descr, "(2, 2)"), c.data));
        const Raster r = ReadImage(path);
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.width, 2);
        EXPECT_EQ(r.height, 2);
        EXPECT_EQ(r.depth, 1);
        ExpectValues(r, c.values);
    }
}

TEST(NpyReader, ShapesAndHeaderVersions) {
    TempDir dir;
    // (D, H, W) = (2, 1, 3): x fastest, then y, then z.
    WriteBytes(dir / "cube.npy", NpyFile(Dict("<u2", "(2, 1, 3)"), Bytes<uint16_t>({1, 2, 3, 4, 5, 6})));
    Raster r = ReadImage(dir / "cube.npy");
    EXPECT_EQ(r.width, 3);
    EXPECT_EQ(r.height, 1);
    EXPECT_EQ(r.depth, 2);
    ExpectValues(r, {1, 2, 3, 4, 5, 6});

    // Version 2 (4-byte header length), keys in another order, no trailing comma.
    WriteBytes(dir / "v2.npy",
               NpyFile("{'shape': (1, 2), 'fortran_order': False, 'descr': '<f4'}", Bytes<float>({0.5f, 4.0f}), 2));
    ExpectValues(ReadImage(dir / "v2.npy"), {0.5, 4});
    WriteBytes(dir / "v3.npy", NpyFile(Dict("|u1", "(1, 1)"), Bytes<uint8_t>({9}), 3));
    ExpectValues(ReadImage(dir / "v3.npy"), {9});
}

TEST(NpyReader, RejectsMalformedAndUnsupportedFiles) {
    TempDir dir;
    const std::string four = Bytes<float>({1, 2, 3, 4});
    struct Case {
        std::string bytes;
        std::string message;  // expected part of the message
    };
    const std::vector<Case> cases = {
        {NpyFile(Dict("<f4", "(2, 2)", "True"), four), "Fortran-ordered NPY arrays are not supported"},
        {NpyFile(Dict("<f4", "(2, 2)"), four.substr(0, 12)), "truncated NPY data (12 of 16 bytes)"},
        {NpyFile(Dict("<f4", "(2, 2)"), four + "xx"), "2 bytes after the NPY data"},
        {NpyFile(Dict("<c8", "(1, 2)"), four), "NPY type '<c8' is not supported (complex numbers)"},
        {NpyFile(Dict("|O", "(2, 2)"), four), "NPY type '|O' is not supported"},
        {NpyFile(Dict("<U1", "(2, 2)"), four), "NPY type '<U1' is not supported"},
        {NpyFile(Dict("<f4", "(4,)"), four), "NPY array of 1 dimensions"},
        {NpyFile(Dict("<f4", "(1, 1, 2, 2)"), four), "NPY array of 4 dimensions"},
        {NpyFile(Dict("<f4", "(0, 4)"), ""), "the image has no pixels"},
        {NpyFile("{'descr': '<f4', 'shape': (2, 2)}", four), "'descr', 'fortran_order' or 'shape' is missing"},
        {NpyFile("{'descr': [('a', '<f4')], 'fortran_order': False, 'shape': (2,)}", four),
         "structured arrays are not supported"},
        {NpyFile("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 2)", four), "malformed NPY header"},
        {NpyFile("not a dict", four), "malformed NPY header"},
        {std::string("\x93NUMPY\x01\x00\xff\x7f{", 11), "truncated NPY header"},
        {std::string("\x93NUMPY\x07\x00\x10\x00", 10) + std::string(16, ' '), "NPY format version 7 is not supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        WriteBytes(dir / "bad.npy", c.bytes);
        const std::string e = IOError([&] { ReadImage(dir / "bad.npy"); });
        EXPECT_EQ(e.rfind(dir / "bad.npy: ", 0), 0u) << e;
        EXPECT_NE(e.find(c.message), std::string::npos) << e;
    }
}

// ============================================================== writers

TEST(Writers, TiffFilesAsLibtiffSeesThem) {
    TempDir dir;
    Raster f(SampleType::F32, 3, 2, 2);
    for (int i = 0; i < 12; ++i) f.As<float>()[i] = static_cast<float>(i) - 0.5f;
    WriteTiff(dir / "f.tif", f);
    TIFF* t = TIFFOpen((dir / "f.tif").c_str(), "r");
    ASSERT_NE(t, nullptr);
    int pages = 0;
    do {
        uint32_t w = 0, h = 0;
        uint16_t bits = 0, format = 0;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetField(t, TIFFTAG_SAMPLEFORMAT, &format);
        EXPECT_EQ(w, 3u);
        EXPECT_EQ(h, 2u);
        EXPECT_EQ(bits, 32);
        EXPECT_EQ(format, SAMPLEFORMAT_IEEEFP);
        for (uint32_t y = 0; y < h; ++y) {
            float row[3];
            ASSERT_GE(TIFFReadScanline(t, row, y, 0), 0);
            for (int x = 0; x < 3; ++x) EXPECT_EQ(row[x], static_cast<float>(pages * 6 + y * 3 + x) - 0.5f);
        }
        ++pages;
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    EXPECT_EQ(pages, 2);

    // Every type the writer accepts comes back unchanged through the reader.
    for (SampleType type : {SampleType::Bool, SampleType::U8, SampleType::U16, SampleType::U32, SampleType::I8,
                            SampleType::I16, SampleType::I32, SampleType::F32, SampleType::F64}) {
        SCOPED_TRACE(SampleTypeName(type));
        Raster r(type, 11, 3, 2);
        for (std::size_t i = 0; i < r.bytes.size(); ++i) r.bytes[i] = static_cast<unsigned char>(i * 37 + 5);
        if (type == SampleType::Bool)
            for (auto& b : r.bytes) b &= 1;
        if (type == SampleType::F32 || type == SampleType::F64)  // keep clear of NaN bit patterns
            for (int64_t i = 0; i < r.Count(); ++i) {
                if (type == SampleType::F32)
                    r.As<float>()[i] = static_cast<float>(i) * 0.25f - 3;
                else
                    r.As<double>()[i] = static_cast<double>(i) / 3;
            }
        WriteTiff(dir / "rt.tif", r);
        const Raster back = ReadTiff(dir / "rt.tif");
        EXPECT_EQ(back.type, type);
        EXPECT_EQ(back.depth, 2);
        EXPECT_EQ(back.bytes, r.bytes);
    }
    EXPECT_NE(IOError([&] { WriteTiff(dir / "x.tif", Raster(SampleType::U64, 1, 1, 1)); }).find("cannot write uint64"),
              std::string::npos);
}

TEST(Writers, NpyBytesAndHeader) {
    Raster r(SampleType::F32, 3, 2, 1);
    for (int i = 0; i < 6; ++i) r.As<float>()[i] = static_cast<float>(i) * 1.5f;
    const std::string bytes = NpyBytes(r);
    const std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), }";
    // 10 + 59 + newline = 70: padded to 128, so the header length field is 118.
    ASSERT_EQ(bytes.size(), 128u + 24u);
    EXPECT_EQ(bytes.substr(0, 10), std::string("\x93NUMPY\x01\x00\x76\x00", 10));
    EXPECT_EQ(bytes.substr(10, dict.size()), dict);
    EXPECT_EQ(bytes.substr(10 + dict.size(), 127 - 10 - dict.size()), std::string(127 - 10 - dict.size(), ' '));
    EXPECT_EQ(bytes[127], '\n');
    EXPECT_EQ(bytes.substr(128), Bytes<float>({0, 1.5f, 3, 4.5f, 6, 7.5f}));

    Raster cube(SampleType::U16, 1, 2, 4);
    EXPECT_NE(NpyBytes(cube).find("'descr': '<u2', 'fortran_order': False, 'shape': (4, 2, 1), }"), std::string::npos);
    Raster b(SampleType::Bool, 1, 1, 1);
    EXPECT_NE(NpyBytes(b).find("'|b1'"), std::string::npos);
}

TEST(Writers, PngAsLibpngSeesIt) {
    TempDir dir;
    Raster r(SampleType::U16, 2, 1, 1);
    r.As<uint16_t>()[0] = 258;
    r.As<uint16_t>()[1] = 65535;
    WritePng(dir / "w.png", r);
    FILE* f = std::fopen((dir / "w.png").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngTestError, nullptr);
    png_infop info = png_create_info_struct(png);
    unsigned char row[4] = {};
    int bits = 0, colour = -1;
    if (!setjmp(g_pngJump)) {
        png_init_io(png, f);
        png_read_info(png, info);
        bits = png_get_bit_depth(png, info);
        colour = png_get_color_type(png, info);
        png_read_row(png, row, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(colour, PNG_COLOR_TYPE_GRAY);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(row), 4), Bytes<uint8_t>({0x01, 0x02, 0xff, 0xff}));

    Raster g(SampleType::U8, 5, 3, 1);
    for (int i = 0; i < 15; ++i) g.As<uint8_t>()[i] = static_cast<uint8_t>(i * 17);
    WritePng(dir / "g.png", g);
    EXPECT_EQ(ReadPng(dir / "g.png").bytes, g.bytes);
    EXPECT_NE(IOError([&] { WritePng(dir / "f.png", Raster(SampleType::F32, 1, 1, 1)); }).find("uint8 or uint16 only"),
              std::string::npos);
}

// ============================================================== node images

TEST(NodeImages, FloatByDefaultStoredTypeWithNative) {
    Raster u16(SampleType::U16, 2, 1, 2);
    const uint16_t values[] = {0, 65535, 7, 300};
    std::memcpy(u16.bytes.data(), values, sizeof values);
    auto f = ToNodeImage(u16, false, "labels.tif");
    EXPECT_EQ(f->Type(), IMAGE_GREY_F);
    EXPECT_EQ(f->Size(), CSize(2, 1, 2));
    EXPECT_EQ(std::vector<float>(f->Pixels<float>(), f->Pixels<float>() + 4), (std::vector<float>{0, 65535, 7, 300}));

    struct Case {
        SampleType type;
        CPixelType pixel;
    };
    for (const Case& c :
         {Case{SampleType::F32, IMAGE_GREY_F}, Case{SampleType::U8, IMAGE_GREY_8}, Case{SampleType::U16, IMAGE_GREY_16},
          Case{SampleType::U32, IMAGE_GREY_32}, Case{SampleType::Bool, IMAGE_BINARY_FG}}) {
        SCOPED_TRACE(SampleTypeName(c.type));
        Raster r(c.type, 3, 1, 1);
        for (std::size_t i = 0; i < r.bytes.size(); ++i) r.bytes[i] = static_cast<unsigned char>(i % 2);
        auto img = ToNodeImage(r, true, "x");
        EXPECT_EQ(img->Type(), c.pixel);
        EXPECT_EQ(std::memcmp(img->Data(), r.bytes.data(), r.bytes.size()), 0);
    }
    for (SampleType t : {SampleType::I16, SampleType::F64, SampleType::I8, SampleType::F16, SampleType::U64}) {
        const std::string e = IOError([&] { ToNodeImage(Raster(t, 1, 1, 1), true, "grey.npy"); });
        EXPECT_EQ(e.rfind(std::string("grey.npy: ") + SampleTypeName(t) + " pixels have no native node type", 0), 0u)
            << e;
        EXPECT_NE(e.find("--native"), std::string::npos);
    }

    // Signed and half values convert to float exactly.
    Raster i16(SampleType::I16, 2, 1, 1);
    i16.As<int16_t>()[0] = -32768;
    i16.As<int16_t>()[1] = 12;
    auto g = ToNodeImage(i16, false, "x");
    EXPECT_EQ(g->Pixels<float>()[0], -32768.0f);
    EXPECT_EQ(g->Pixels<float>()[1], 12.0f);
}

TEST(NodeImages, FloatRasterOfEveryHostType) {
    CImage g16(IMAGE_GREY_16, CSize(2, 1, 1));
    g16.Pixels<uint16_t>()[0] = 65535;
    g16.Pixels<uint16_t>()[1] = 2;
    Raster r = FloatRasterOf(g16);
    EXPECT_EQ(r.type, SampleType::F32);
    ExpectValues(r, {65535, 2});
    CImage g32(IMAGE_GREY_32, CSize(1, 1, 1));
    g32.Pixels<uint32_t>()[0] = 16777216;
    ExpectValues(FloatRasterOf(g32), {16777216});
    CImage f(IMAGE_GREY_F, CSize(2, 2, 1));
    f.Pixels<float>()[3] = -1.25f;
    ExpectValues(FloatRasterOf(f), {0, 0, 0, -1.25});
}

// ============================================================== JSON form

TEST(ValueJson, ScalarsAndNonFiniteDoubles) {
    EXPECT_EQ(ValueToJson(CValueBool(true)).dump(), R"({"type":"bool","value":true})");
    EXPECT_EQ(ValueToJson(CValueLong(-2147483647 - 1)).dump(), R"({"type":"long","value":-2147483648})");
    EXPECT_EQ(ValueToJson(CValueString("a \"q\"")).dump(), R"({"type":"string","value":"a \"q\""})");
    EXPECT_EQ(ValueToJson(CValueDouble(0.1)).dump(), R"({"type":"double","value":0.1})");
    EXPECT_EQ(ValueToJson(CValueDouble(std::nan(""))).dump(), R"({"type":"double","value":"NaN"})");
    EXPECT_EQ(ValueToJson(CValueDouble(-std::nan(""))).dump(), R"({"type":"double","value":"NaN"})");
    EXPECT_EQ(ValueToJson(CValueDouble(HUGE_VAL)).dump(), R"({"type":"double","value":"Infinity"})");
    EXPECT_EQ(ValueToJson(CValueDouble(-HUGE_VAL)).dump(), R"({"type":"double","value":"-Infinity"})");
    // Doubles keep every bit through the text.
    const double third = 1.0 / 3.0;
    EXPECT_EQ(Json::parse(ValueToJson(CValueDouble(third)).dump())["value"].get<double>(), third);
}

TEST(ValueJson, MapsKeepInsertionOrderVectorsShowEmptySlotsMetaOnlyWhenPresent) {
    CValueMap map;
    map.SetEntry("zeta", new CValueLong(1));
    map.SetEntry("alpha", new CValueBool(false));
    auto* vec = new CValueVector(3);
    vec->SetEntry(1, new CValueDouble(2.5));
    vec->Meta().SetEntry("FeatureName", new CValueString("width"));
    map.SetEntry("mid", vec);
    map.Meta();  // an empty meta map is not shown
    const Json j = ValueToJson(map);
    EXPECT_EQ(j.dump(),
              R"({"type":"map","value":{"zeta":{"type":"long","value":1},"alpha":{"type":"bool","value":false},)"
              R"("mid":{"type":"vector","value":[null,{"type":"double","value":2.5},null],)"
              R"("meta":{"FeatureName":{"type":"string","value":"width"}}}}})");
}

TEST(ValueJson, Images) {
    CValueOwnedPointer<CImage> none(nullptr, 1);
    none.Meta().SetEntry("label", new CValueString("Data Image"));
    EXPECT_EQ(ValueToJson(none).dump(),
              R"({"type":"image","value":null,"meta":{"label":{"type":"string","value":"Data Image"}}})");

    auto* f = new CImage(IMAGE_GREY_F, CSize(3, 1, 1));
    f->Pixels<float>()[0] = 0.1f;
    f->Pixels<float>()[1] = std::numeric_limits<float>::quiet_NaN();
    f->Pixels<float>()[2] = -std::numeric_limits<float>::infinity();
    f->Attributes().SetEntry("y-name", new CValueString("label"));
    CValueOwnedPointer<CImage> owned(f, 1);
    const Json j = ValueToJson(owned);
    EXPECT_EQ(j["type"], "image");
    EXPECT_EQ(j["value"]["pixel_type"], "IMAGE_GREY_F");
    EXPECT_EQ(j["value"]["size"], Json::parse("[3, 1, 1]"));
    EXPECT_EQ(j["value"]["attributes"].dump(), R"({"y-name":{"type":"string","value":"label"}})");
    // A float pixel is shown as the double it widens to.
    EXPECT_EQ(j["value"]["data"][0].get<double>(), static_cast<double>(0.1f));
    EXPECT_EQ(j["value"]["data"][1], "NaN");
    EXPECT_EQ(j["value"]["data"][2], "-Infinity");
    EXPECT_FALSE(j.contains("meta"));

    CImage g16(IMAGE_GREY_16, CSize(2, 1, 1));
    g16.Pixels<uint16_t>()[0] = 65535;
    CValuePointer<CImage> borrowed(&g16);
    EXPECT_EQ(ValueToJson(borrowed)["value"]["data"].dump(), "[65535,0]");
}

// ============================================================== numbers and tables

TEST(Formatting, FloatsAreShortestAndReadBackExactly) {
    EXPECT_EQ(FormatFloat(0.1f), "0.1");
    EXPECT_EQ(FormatFloat(1.0f), "1");
    EXPECT_EQ(FormatFloat(736.0f), "736");
    EXPECT_EQ(FormatFloat(2.0f / 3.0f), "0.6666667");
    EXPECT_EQ(FormatFloat(std::numeric_limits<float>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatFloat(-std::numeric_limits<float>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatFloat(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(FormatFloat(-std::numeric_limits<float>::infinity()), "-inf");
    // Round trip over many bit patterns, subnormals and extremes included.
    uint32_t bits = 12345;
    std::vector<float> values = {std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::lowest(),
                                 -0.0f,
                                 16777217.0f,
                                 1e-38f};
    for (int i = 0; i < 20000; ++i) {
        bits = bits * 1664525u + 1013904223u;
        const float v = std::bit_cast<float>(bits);
        if (std::isfinite(v)) values.push_back(v);
    }
    for (float v : values) {
        const std::string text = FormatFloat(v);
        const float back = std::strtof(text.c_str(), nullptr);
        ASSERT_EQ(std::bit_cast<uint32_t>(back), std::bit_cast<uint32_t>(v)) << text;
        // Never longer than printf's text with the fewest significant digits that
        // read back (precisions tried from 1 upwards).
        char shortest[64];
        for (int precision = 1;; ++precision) {
            std::snprintf(shortest, sizeof shortest, "%.*g", precision, static_cast<double>(v));
            if (std::strtof(shortest, nullptr) == v) break;
        }
        ASSERT_LE(text.size(), std::strlen(shortest)) << text << " vs " << shortest;
    }
}

TEST(Formatting, ColumnNamesAndDelimitedTables) {
    CValueMap setup;
    auto* names = new CValueVector(3);
    names->SetEntry(0, new CValueString("described a"));
    names->SetEntry(1, new CValueString("described b"));
    setup.SetEntry("FeatureNames", names);

    // Output 1 names feature 0 and leaves feature 1's name empty.
    CValueVector out1(3);
    auto* f0 = new CValueVector(1);
    f0->Meta().SetEntry("FeatureName", new CValueString("published, a"));
    out1.SetEntry(0, f0);
    auto* f1 = new CValueVector(1);
    f1->Meta().SetEntry("FeatureName", new CValueString(""));
    out1.SetEntry(1, f1);
    EXPECT_EQ(ColumnNames(&out1, setup, 4), (std::vector<std::string>{"published, a", "described b", "f2", "f3"}));
    EXPECT_EQ(ColumnNames(nullptr, CValueMap(), 2), (std::vector<std::string>{"f0", "f1"}));

    CImage m(IMAGE_GREY_F, CSize(2, 2, 1));
    float* p = m.Pixels<float>();
    p[0] = 0.5f;
    p[1] = std::numeric_limits<float>::quiet_NaN();
    p[2] = -std::numeric_limits<float>::infinity();
    p[3] = 1e-7f;
    auto* tabNames = new CValueVector(2);
    tabNames->SetEntry(0, new CValueString("say \"hi\", twice"));
    tabNames->SetEntry(1, new CValueString("tab\there"));
    CValueMap s2;
    s2.SetEntry("FeatureNames", tabNames);
    const Table t = MakeTable(m, nullptr, s2);
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

    auto parse = [&](const std::string& arg) { return ParseParameter(arg, &described, "Node"); };
    auto usage = [&](const std::string& arg) -> std::string {
        try {
            parse(arg);
        } catch (const UsageError& e) {
            return e.what();
        }
        ADD_FAILURE() << arg << " was accepted";
        return "";
    };

    ParameterSetting s = parse("m_glcm_size=32");
    EXPECT_EQ(s.key, "m_glcm_size");
    ASSERT_EQ(s.value->Type(), EValueType::Long);
    EXPECT_EQ(s.value->Long(), 32);
    EXPECT_EQ(parse("m_glcm_size=-2147483648").value->Long(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(parse("m_glcm_size=+2147483647").value->Long(), 2147483647);
    for (const char* t : {"true", "TRUE", "1", "yes", "on"})
        EXPECT_TRUE(parse(std::string("verbose=") + t).value->Bool());
    for (const char* t : {"false", "0", "No", "off"}) EXPECT_FALSE(parse(std::string("verbose=") + t).value->Bool());
    s = parse("ratio=1e-3");
    ASSERT_EQ(s.value->Type(), EValueType::Double);
    EXPECT_EQ(s.value->Double(), 1e-3);
    EXPECT_EQ(parse("ratio=7").value->Double(), 7.0);
    s = parse("graph=a=b.graph");  // only the first '=' separates
    EXPECT_EQ(s.value->String(), "a=b.graph");
    EXPECT_EQ(parse("graph=").value->String(), "");

    // Keys the description does not list, with their type given.
    s = parse("extra:double=2.5");
    EXPECT_EQ(s.key, "extra");
    EXPECT_EQ(s.value->Double(), 2.5);
    s = parse("n:long=-4");
    EXPECT_EQ(s.value->Long(), -4);
    EXPECT_EQ(parse("flag:bool=true").value->Type(), EValueType::Bool);
    EXPECT_EQ(parse("name:string=x:y").value->String(), "x:y");
    EXPECT_EQ(parse("verbose:bool=1").value->Bool(), true);

    EXPECT_EQ(usage("size=3"),
              "unknown parameter 'size' for Node (valid keys: verbose, m_glcm_size, ratio, graph, nested; other keys "
              "need a type: -p KEY:TYPE=VALUE)");
    EXPECT_EQ(usage("m_glcm_size=2147483648"),
              "parameter 'm_glcm_size': '2147483648' is not a long (a whole number from -2147483648 to 2147483647)");
    EXPECT_NE(usage("m_glcm_size=-2147483649").find("is not a long"), std::string::npos);
    EXPECT_NE(usage("m_glcm_size=3.5").find("is not a long"), std::string::npos);
    EXPECT_NE(usage("m_glcm_size= 3").find("is not a long"), std::string::npos);
    EXPECT_NE(usage("m_glcm_size=").find("is not a long"), std::string::npos);
    EXPECT_NE(usage("m_glcm_size=0x10").find("is not a long"), std::string::npos);
    EXPECT_EQ(usage("verbose=maybe"), "parameter 'verbose': 'maybe' is not a bool (true or false)");
    EXPECT_NE(usage("ratio=1e999").find("is not a double"), std::string::npos);
    EXPECT_NE(usage("ratio=abc").find("is not a double"), std::string::npos);
    EXPECT_NE(usage("ratio=1.5x").find("is not a double"), std::string::npos);
    EXPECT_EQ(usage("verbose:long=1"), "parameter 'verbose' of Node is a bool, not a long");
    EXPECT_EQ(usage("x:float=1"), "parameter 'x:float=1': unknown type 'float' (use bool, long, double or string)");
    EXPECT_EQ(usage("verbose"), "parameter 'verbose' is not of the form KEY=VALUE or KEY:TYPE=VALUE");
    EXPECT_EQ(usage("=1"), "parameter '=1' has no key");
    EXPECT_EQ(usage("a/b:long=1"), "parameter key 'a/b' must not contain '/'");
    EXPECT_EQ(usage("nested=1"), "parameter 'nested' is a map and cannot be set from the command line");
    EXPECT_NE(usage("n:long=99999999999").find("is not a long"), std::string::npos);

    try {
        ParseParameter("k=1", nullptr, "Bare");
        ADD_FAILURE();
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("(valid keys: none;"), std::string::npos);
    }
}

// ============================================================== output files

TEST(FileSet, AllFilesOrNone) {
    TempDir dir;
    WriteBytes(dir / "old.csv", "keep me");
    {
        FileSet files;
        files.Add(dir / "old.csv", [](const std::string& temp) { WriteTextFile(temp, "new content"); });
        files.Add(dir / "fresh.npy", [](const std::string& temp) { WriteTextFile(temp, "x"); });
        files.Add(dir / "broken.tif", [](const std::string& temp) {
            WriteTextFile(temp, "partial");
            throw ImageIOError(temp + ": disk full");
        });
        const std::string e = IOError([&] { files.Commit(); });
        // The message names the target, not the temporary file.
        EXPECT_EQ(e, dir / "broken.tif" + ": disk full");
    }
    EXPECT_EQ(ReadBytes(dir / "old.csv"), "keep me");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"old.csv"}));

    FileSet files;
    files.Add(dir / "old.csv", [](const std::string& temp) { WriteTextFile(temp, "new content"); });
    files.Add(dir / "fresh.npy", [](const std::string& temp) { WriteTextFile(temp, "x"); });
    files.Commit();
    EXPECT_EQ(ReadBytes(dir / "old.csv"), "new content");
    EXPECT_EQ(ReadBytes(dir / "fresh.npy"), "x");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"fresh.npy", "old.csv"}));
    // Finished files get the usual mode, not the private mode of a temporary file.
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(dir / "fresh.npy").permissions()), 0666 & ~mask);
}
