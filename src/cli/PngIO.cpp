#include "PngIO.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "ImageIOCommon.h"

namespace regionfeat {

using namespace detail;

namespace {

// libpng reports errors by longjmp. Everything that must survive the jump lives
// in this record, reached through a pointer, and the functions that call setjmp
// hold no C++ objects of their own.
struct PngReader {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    char error[256] = {};
    Raster* raster = nullptr;
    // One decoded row at full width, and for interlaced files the decoded
    // sub-images of the passes one after another.
    std::vector<unsigned char> row, passes;

    ~PngReader() {
        if (png) png_destroy_read_struct(&png, &info, nullptr);
        if (file) std::fclose(file);
    }
};

void PngError(png_structp png, png_const_charp message) {
    auto* s = static_cast<PngReader*>(png_get_error_ptr(png));
    std::snprintf(s->error, sizeof s->error, "%s", message ? message : "libpng error");
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

bool PngReadHeader(PngReader* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_init_io(s->png, s->file);
    png_read_info(s->png, s->info);
    return true;
}

// Decodes the rows into s->raster, whose type and extents are set. The buffers
// grow with the rows that the file delivers, so a header that declares a huge
// image and holds little data fails before the memory is spent. For an
// interlaced file the seven passes are read as the sub-images they are and
// placed into the image once all of them have been decoded.
bool PngReadRows(PngReader* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    Raster& r = *s->raster;
    const int bits = png_get_bit_depth(s->png, s->info);
    const bool interlaced = png_get_interlace_type(s->png, s->info) != PNG_INTERLACE_NONE;
    if (bits < 8) png_set_packing(s->png);
    if (bits == 16 && kLittleEndian) png_set_swap(s->png);
    png_read_update_info(s->png, s->info);
    const auto w = static_cast<png_uint_32>(r.width);
    const auto h = static_cast<png_uint_32>(r.height);
    const std::size_t elem = SampleSize(r.type);
    const std::size_t rowBytes = static_cast<std::size_t>(w) * elem;
    if (png_get_rowbytes(s->png, s->info) != rowBytes) {
        std::snprintf(s->error, sizeof s->error, "unexpected row size");
        return false;
    }
    if (!interlaced) {
        for (png_uint_32 y = 0; y < h; ++y) {
            const std::size_t base = r.bytes.size();
            r.bytes.resize(base + rowBytes);
            png_read_row(s->png, r.bytes.data() + base, nullptr);
        }
    } else {
        // libpng writes a whole row's bytes, of which the pass's pixels are the first.
        s->row.resize(rowBytes);
        for (int pass = 0; pass < 7; ++pass) {
            const std::size_t cols = PNG_PASS_COLS(w, pass), rows = PNG_PASS_ROWS(h, pass);
            if (cols == 0 || rows == 0) continue;  // libpng skips empty passes
            for (std::size_t y = 0; y < rows; ++y) {
                png_read_row(s->png, s->row.data(), nullptr);
                s->passes.insert(s->passes.end(), s->row.begin(), s->row.begin() + cols * elem);
            }
        }
        r.bytes.resize(rowBytes * h);
        const unsigned char* src = s->passes.data();
        for (int pass = 0; pass < 7; ++pass) {
            const std::size_t cols = PNG_PASS_COLS(w, pass), rows = PNG_PASS_ROWS(h, pass);
            if (cols == 0 || rows == 0) continue;
            for (std::size_t y = 0; y < rows; ++y) {
                unsigned char* dst = r.bytes.data() + PNG_ROW_FROM_PASS_ROW(y, pass) * rowBytes;
                for (std::size_t x = 0; x < cols; ++x, src += elem)
                    std::memcpy(dst + PNG_COL_FROM_PASS_COL(x, pass) * elem, src, elem);
            }
        }
        std::vector<unsigned char>().swap(s->passes);
    }
    png_read_end(s->png, nullptr);
    return true;
}

const char* ColourName(int colour) {
    switch (colour) {
        case PNG_COLOR_TYPE_RGB: return "RGB";
        case PNG_COLOR_TYPE_RGB_ALPHA: return "RGB with alpha";
        case PNG_COLOR_TYPE_GRAY_ALPHA: return "grey with alpha";
        case PNG_COLOR_TYPE_PALETTE: return "palette";
        default: return "unknown";
    }
}

[[noreturn]] void FailPng(const std::string& path, const PngReader& s) {
    // libpng's own allocation failures are the memory running out like any other.
    if (std::strstr(s.error, "Out of memory")) throw std::bad_alloc();
    Fail(path, std::string("cannot read PNG: ") + s.error);
}

}  // namespace

Raster ReadPng(const std::string& path, const ReadLimits& limits) {
    Raster out;
    PngReader s;
    s.raster = &out;
    s.file = std::fopen(path.c_str(), "rb");
    if (!s.file) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    unsigned char sig[8] = {};
    if (std::fread(sig, 1, 8, s.file) != 8 || png_sig_cmp(sig, 0, 8) != 0) Fail(path, "not a PNG file");
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, PngError, PngWarning);
    if (!s.png) Fail(path, "cannot set up the PNG reader");
    s.info = png_create_info_struct(s.png);
    if (!s.info) Fail(path, "cannot set up the PNG reader");
    png_set_sig_bytes(s.png, 8);
    if (!PngReadHeader(&s)) FailPng(path, s);
    const int colour = png_get_color_type(s.png, s.info);
    if (colour != PNG_COLOR_TYPE_GRAY)
        Fail(path, std::string("cannot read PNG: ") + ColourName(colour) +
                       " PNG is not supported (only grey images are read)");
    out.type = png_get_bit_depth(s.png, s.info) == 16 ? SampleType::U16 : SampleType::U8;
    out.width = png_get_image_width(s.png, s.info);
    out.height = png_get_image_height(s.png, s.info);
    out.depth = 1;
    if (out.width == 0 || out.height == 0) Fail(path, "the image has no pixels");
    CheckPixelCount(path, out.width, out.height, 1, limits);
    if (!PngReadRows(&s)) FailPng(path, s);
    return out;
}

}  // namespace regionfeat
