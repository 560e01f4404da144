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
    SampleSink* sink = nullptr;
    SampleType type = SampleType::U8;
    png_uint_32 width = 0, height = 0;
    // One decoded row at full width, and for interlaced files the decoded
    // sub-images of the passes one after another, then the whole image.
    std::vector<unsigned char> row, passes, whole;

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

// Decodes the rows into s->sink, which has been started with s->type and the
// extents. Rows go to the sink as they are decoded, so a header that declares
// a huge image and holds little data fails before the sink's memory is used.
// For an interlaced file the seven passes are read as the sub-images they are
// (a buffer that grows with them) and placed into the image once all of them
// have been decoded.
bool PngReadRows(PngReader* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    const int bits = png_get_bit_depth(s->png, s->info);
    const bool interlaced = png_get_interlace_type(s->png, s->info) != PNG_INTERLACE_NONE;
    if (bits < 8) png_set_packing(s->png);
    if (bits == 16 && kLittleEndian) png_set_swap(s->png);
    png_read_update_info(s->png, s->info);
    const png_uint_32 w = s->width, h = s->height;
    const std::size_t elem = SampleSize(s->type);
    const std::size_t rowBytes = static_cast<std::size_t>(w) * elem;
    if (png_get_rowbytes(s->png, s->info) != rowBytes) {
        std::snprintf(s->error, sizeof s->error, "unexpected row size");
        return false;
    }
    if (!interlaced) {
        for (png_uint_32 y = 0; y < h; ++y) {
            png_read_row(s->png, static_cast<png_bytep>(s->sink->Room(w)), nullptr);
            s->sink->Filled(w);
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
        s->whole.resize(rowBytes * h);
        const unsigned char* src = s->passes.data();
        for (int pass = 0; pass < 7; ++pass) {
            const std::size_t cols = PNG_PASS_COLS(w, pass), rows = PNG_PASS_ROWS(h, pass);
            if (cols == 0 || rows == 0) continue;
            for (std::size_t y = 0; y < rows; ++y) {
                unsigned char* dst = s->whole.data() + PNG_ROW_FROM_PASS_ROW(y, pass) * rowBytes;
                for (std::size_t x = 0; x < cols; ++x, src += elem)
                    std::memcpy(dst + PNG_COL_FROM_PASS_COL(x, pass) * elem, src, elem);
            }
        }
        std::vector<unsigned char>().swap(s->passes);
        for (png_uint_32 y = 0; y < h; ++y) {
            std::memcpy(s->sink->Room(w), s->whole.data() + y * rowBytes, rowBytes);
            s->sink->Filled(w);
        }
        std::vector<unsigned char>().swap(s->whole);
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
    return ReadRaster(path, [&](SampleSink& sink) { ReadPngInto(path, limits, sink); });
}

void ReadPngInto(const std::string& path, const ReadLimits& limits, SampleSink& target) {
    // PNG data are compressed: the image is made once the rows justify it.
    DeferredSink sink(target, limits.deferBytes);
    PngReader s;
    s.sink = &sink;
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
    s.type = png_get_bit_depth(s.png, s.info) == 16 ? SampleType::U16 : SampleType::U8;
    s.width = png_get_image_width(s.png, s.info);
    s.height = png_get_image_height(s.png, s.info);
    if (s.width == 0 || s.height == 0) Fail(path, "the image has no pixels");
    CheckPixelCount(path, s.width, s.height, 1, limits);
    sink.Start(s.type, s.width, s.height, 1);
    if (!PngReadRows(&s)) FailPng(path, s);
}

}  // namespace regionfeat
