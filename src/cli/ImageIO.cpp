#include "ImageIO.h"

#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

namespace regionfeat {

using KELO::CImage;
using KELO::CSize;

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& problem) {
    throw ImageIOError(path + ": " + problem);
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// IEEE half precision to float, exactly (every half is a float).
float HalfToFloat(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exp = (h >> 10) & 0x1fu;
    uint32_t mant = h & 0x3ffu;
    uint32_t bits;
    if (exp == 0) {
        if (mant == 0) {
            bits = sign;
        } else {  // subnormal: normalise
            int e = -1;
            do {
                ++e;
                mant <<= 1;
            } while ((mant & 0x400u) == 0);
            bits = sign | static_cast<uint32_t>(127 - 15 - e) << 23 | (mant & 0x3ffu) << 13;
        }
    } else if (exp == 31) {
        bits = sign | 0x7f800000u | mant << 13;
    } else {
        bits = sign | (exp + 127 - 15) << 23 | mant << 13;
    }
    return std::bit_cast<float>(bits);
}

struct Half {
    uint16_t bits;
};

// Calls fn with a value of the C++ sample type of t (Half for F16).
template <class Fn>
decltype(auto) Dispatch(SampleType t, Fn&& fn) {
    switch (t) {
        case SampleType::Bool: return fn(uint8_t{});
        case SampleType::U8: return fn(uint8_t{});
        case SampleType::U16: return fn(uint16_t{});
        case SampleType::U32: return fn(uint32_t{});
        case SampleType::U64: return fn(uint64_t{});
        case SampleType::I8: return fn(int8_t{});
        case SampleType::I16: return fn(int16_t{});
        case SampleType::I32: return fn(int32_t{});
        case SampleType::I64: return fn(int64_t{});
        case SampleType::F16: return fn(Half{});
        case SampleType::F32: return fn(float{});
        case SampleType::F64: return fn(double{});
    }
    return fn(uint8_t{});
}

template <class T>
double ToDouble(T v) {
    if constexpr (std::is_same_v<T, Half>)
        return HalfToFloat(v.bits);
    else
        return static_cast<double>(v);
}

template <class T>
float ToFloat(T v) {
    if constexpr (std::is_same_v<T, Half>)
        return HalfToFloat(v.bits);
    else
        return static_cast<float>(v);
}

// Bytes of count samples of size elem, or throws when that does not fit.
std::size_t CheckedBytes(const std::string& path, int64_t w, int64_t h, int64_t d, std::size_t elem) {
    const auto limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 2;
    uint64_t n = elem;
    for (int64_t e : {w, h, d}) {
        if (e <= 0) Fail(path, "the image has no pixels");
        if (n > limit / static_cast<uint64_t>(e)) Fail(path, "the image extents are too large");
        n *= static_cast<uint64_t>(e);
    }
    return static_cast<std::size_t>(n);
}

// ------------------------------------------------------------------ TIFF

// libtiff reports through global handlers that print to stderr by default. The
// first error of an operation is kept for the message; warnings are dropped.
thread_local std::string t_tiffError;

void TiffErrorHandler(const char* module, const char* fmt, va_list ap) {
    if (!t_tiffError.empty()) return;
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    t_tiffError = module && *module ? std::string(module) + ": " + buf : std::string(buf);
}

void TiffWarningHandler(const char*, const char*, va_list) {}

void PrepareTiff() {
    static const bool installed = [] {
        TIFFSetErrorHandler(TiffErrorHandler);
        TIFFSetWarningHandler(TiffWarningHandler);
        return true;
    }();
    (void)installed;
    t_tiffError.clear();
}

std::string TiffDetail() { return t_tiffError.empty() ? std::string() : " (" + t_tiffError + ")"; }

struct TiffCloser {
    void operator()(TIFF* t) const {
        if (t) TIFFClose(t);
    }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

std::optional<SampleType> TiffSampleType(uint16_t bits, uint16_t format) {
    if (format == SAMPLEFORMAT_UINT) {
        switch (bits) {
            case 1: return SampleType::Bool;
            case 8: return SampleType::U8;
            case 16: return SampleType::U16;
            case 32: return SampleType::U32;
        }
    } else if (format == SAMPLEFORMAT_INT) {
        switch (bits) {
            case 8: return SampleType::I8;
            case 16: return SampleType::I16;
            case 32: return SampleType::I32;
        }
    } else if (format == SAMPLEFORMAT_IEEEFP) {
        switch (bits) {
            case 32: return SampleType::F32;
            case 64: return SampleType::F64;
        }
    }
    return std::nullopt;
}

std::string TiffFormatName(uint16_t format) {
    switch (format) {
        case SAMPLEFORMAT_UINT: return "unsigned integer";
        case SAMPLEFORMAT_INT: return "signed integer";
        case SAMPLEFORMAT_IEEEFP: return "float";
        case SAMPLEFORMAT_COMPLEXINT: return "complex integer";
        case SAMPLEFORMAT_COMPLEXIEEEFP: return "complex float";
        default: return "sample format " + std::to_string(format);
    }
}

// Appends one page of w x h samples to out.bytes, row by row, so that a header
// that claims a huge image fails on its missing data before memory is spent.
void ReadTiffPage(TIFF* t, const std::string& path, int page, uint32_t w, uint32_t h, uint16_t bits, Raster& out) {
    const std::size_t elem = SampleSize(out.type);
    const std::size_t rowBytes = static_cast<std::size_t>(w) * elem;
    const std::string where = "page " + std::to_string(page) + ": ";
    // A row or tile buffer is allocated before any data are read; a damaged
    // header must not make it absurdly large. 1 GiB per row is far beyond any
    // real image.
    constexpr uint64_t kMaxBuffer = uint64_t{1} << 30;
    if (static_cast<uint64_t>(w) * elem > kMaxBuffer)
        Fail(path, where + "rows of " + std::to_string(w) + " pixels are too long");
    if (TIFFIsTiled(t)) {
        if (bits == 1) Fail(path, where + "tiled 1-bit TIFF is not supported");
        uint32_t tw = 0, th = 0;
        if (!TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(t, TIFFTAG_TILELENGTH, &th) || tw == 0 || th == 0)
            Fail(path, where + "tiled TIFF without tile size" + TiffDetail());
        const tmsize_t tileSize = TIFFTileSize(t);
        if (static_cast<uint64_t>(tileSize) > kMaxBuffer) Fail(path, where + "tiles are too large");
        if (tileSize <= 0 || static_cast<uint64_t>(tileSize) < static_cast<uint64_t>(tw) * th * elem)
            Fail(path, where + "inconsistent tile size" + TiffDetail());
        std::vector<unsigned char> tile(static_cast<std::size_t>(tileSize));
        for (uint32_t ty = 0; ty < h; ty += th) {
            const uint32_t rows = std::min(th, h - ty);
            const std::size_t base = out.bytes.size();
            out.bytes.resize(base + rows * rowBytes);
            for (uint32_t tx = 0; tx < w; tx += tw) {
                if (TIFFReadTile(t, tile.data(), tx, ty, 0, 0) < 0)
                    Fail(path, where + "cannot read the tile at (" + std::to_string(tx) + ", " + std::to_string(ty) +
                                   ")" + TiffDetail());
                const std::size_t cols = std::min(tw, w - tx);
                for (uint32_t r = 0; r < rows; ++r)
                    std::memcpy(out.bytes.data() + base + r * rowBytes + tx * elem,
                                tile.data() + static_cast<std::size_t>(r) * tw * elem, cols * elem);
            }
        }
        return;
    }
    const std::size_t storedRow = bits == 1 ? (static_cast<std::size_t>(w) + 7) / 8 : rowBytes;
    const tmsize_t lineSize = TIFFScanlineSize(t);
    if (lineSize <= 0 || static_cast<std::size_t>(lineSize) < storedRow)
        Fail(path, where + "inconsistent row size" + TiffDetail());
    std::vector<unsigned char> line(static_cast<std::size_t>(lineSize));
    for (uint32_t row = 0; row < h; ++row) {
        if (TIFFReadScanline(t, line.data(), row, 0) < 0)
            Fail(path, where + "cannot read row " + std::to_string(row) + TiffDetail());
        const std::size_t base = out.bytes.size();
        out.bytes.resize(base + rowBytes);
        unsigned char* dst = out.bytes.data() + base;
        if (bits == 1) {
            for (uint32_t x = 0; x < w; ++x) dst[x] = (line[x >> 3] >> (7 - (x & 7))) & 1u;
        } else {
            std::memcpy(dst, line.data(), rowBytes);
        }
    }
}

// ------------------------------------------------------------------ PNG

// libpng reports errors by longjmp. Everything that must survive the jump lives
// in this record, reached through a pointer, and the functions that call setjmp
// hold no C++ objects of their own.
struct PngState {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    bool writing = false;
    char error[256] = {};
    Raster* raster = nullptr;
    const Raster* source = nullptr;

    ~PngState() {
        if (png) {
            if (writing)
                png_destroy_write_struct(&png, &info);
            else
                png_destroy_read_struct(&png, &info, nullptr);
        }
        if (file) std::fclose(file);
    }
};

void PngError(png_structp png, png_const_charp message) {
    auto* s = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(s->error, sizeof s->error, "%s", message ? message : "libpng error");
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

bool PngReadBody(PngState* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_init_io(s->png, s->file);
    png_read_info(s->png, s->info);
    const png_uint_32 w = png_get_image_width(s->png, s->info);
    const png_uint_32 h = png_get_image_height(s->png, s->info);
    const int bits = png_get_bit_depth(s->png, s->info);
    const int colour = png_get_color_type(s->png, s->info);
    if (colour != PNG_COLOR_TYPE_GRAY) {
        const char* kind = colour == PNG_COLOR_TYPE_RGB          ? "RGB"
                           : colour == PNG_COLOR_TYPE_RGB_ALPHA  ? "RGB with alpha"
                           : colour == PNG_COLOR_TYPE_GRAY_ALPHA ? "grey with alpha"
                           : colour == PNG_COLOR_TYPE_PALETTE    ? "palette"
                                                                 : "unknown";
        std::snprintf(s->error, sizeof s->error, "%s PNG is not supported (only grey images are read)", kind);
        return false;
    }
    if (bits < 8) png_set_packing(s->png);
    if (bits == 16 && kLittleEndian) png_set_swap(s->png);
    const int passes = png_set_interlace_handling(s->png);
    png_read_update_info(s->png, s->info);
    Raster& r = *s->raster;
    r.type = bits == 16 ? SampleType::U16 : SampleType::U8;
    r.width = w;
    r.height = h;
    r.depth = 1;
    const std::size_t rowBytes = static_cast<std::size_t>(w) * (bits == 16 ? 2 : 1);
    if (png_get_rowbytes(s->png, s->info) != rowBytes) {
        std::snprintf(s->error, sizeof s->error, "unexpected row size");
        return false;
    }
    if (passes == 1) {
        // Rows are appended as they are decoded: a header with huge extents and
        // no data fails before the memory is spent.
        for (png_uint_32 y = 0; y < h; ++y) {
            const std::size_t base = r.bytes.size();
            r.bytes.resize(base + rowBytes);
            png_read_row(s->png, r.bytes.data() + base, nullptr);
        }
    } else {
        r.bytes.resize(rowBytes * h);
        for (int p = 0; p < passes; ++p)
            for (png_uint_32 y = 0; y < h; ++y) png_read_row(s->png, r.bytes.data() + y * rowBytes, nullptr);
    }
    png_read_end(s->png, nullptr);
    return true;
}

bool PngWriteBody(PngState* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    const Raster& r = *s->source;
    const int bits = r.type == SampleType::U16 ? 16 : 8;
    png_init_io(s->png, s->file);
    png_set_IHDR(s->png, s->info, static_cast<png_uint_32>(r.width), static_cast<png_uint_32>(r.height), bits,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(s->png, s->info);
    if (bits == 16 && kLittleEndian) png_set_swap(s->png);
    const std::size_t rowBytes = static_cast<std::size_t>(r.width) * (bits / 8);
    for (int64_t y = 0; y < r.height; ++y)
        png_write_row(s->png, const_cast<png_bytep>(r.bytes.data() + static_cast<std::size_t>(y) * rowBytes));
    png_write_end(s->png, s->info);
    return true;
}

// ------------------------------------------------------------------ NPY

// A minimal reader of the header's Python dict literal:
// {'descr': '<f4', 'fortran_order': False, 'shape': (3, 4), }
class NpyHeaderParser {
public:
    NpyHeaderParser(const std::string& path, const std::string& text) : m_path(path), m_text(text) {}

    void Parse(std::string& descr, bool& fortran, std::vector<uint64_t>& shape) {
        bool haveDescr = false, haveFortran = false, haveShape = false;
        Expect('{');
        while (true) {
            SkipSpace();
            if (Peek() == '}') {
                ++m_pos;
                break;
            }
            const std::string key = StringLiteral();
            Expect(':');
            SkipSpace();
            if (key == "descr") {
                if (Peek() == '[') Bad("structured arrays are not supported");
                descr = StringLiteral();
                haveDescr = true;
            } else if (key == "fortran_order") {
                fortran = Boolean();
                haveFortran = true;
            } else if (key == "shape") {
                shape = Tuple();
                haveShape = true;
            } else {
                Bad("unexpected key '" + key + "'");
            }
            SkipSpace();
            if (Peek() == ',') {
                ++m_pos;
            } else if (Peek() != '}') {
                Bad("expected ',' or '}'");
            }
        }
        if (!haveDescr || !haveFortran || !haveShape) Bad("'descr', 'fortran_order' or 'shape' is missing");
    }

private:
    [[noreturn]] void Bad(const std::string& what) { Fail(m_path, "malformed NPY header: " + what); }
    char Peek() const { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }
    void SkipSpace() {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    }
    void Expect(char c) {
        SkipSpace();
        if (Peek() != c) Bad(std::string("expected '") + c + "'");
        ++m_pos;
    }
    std::string StringLiteral() {
        SkipSpace();
        const char quote = Peek();
        if (quote != '\'' && quote != '"') Bad("expected a string");
        const std::size_t end = m_text.find(quote, m_pos + 1);
        if (end == std::string::npos) Bad("unterminated string");
        std::string s = m_text.substr(m_pos + 1, end - m_pos - 1);
        m_pos = end + 1;
        return s;
    }
    bool Boolean() {
        if (m_text.compare(m_pos, 4, "True") == 0) {
            m_pos += 4;
            return true;
        }
        if (m_text.compare(m_pos, 5, "False") == 0) {
            m_pos += 5;
            return false;
        }
        Bad("expected True or False");
    }
    std::vector<uint64_t> Tuple() {
        if (Peek() != '(') Bad("expected a shape tuple");
        ++m_pos;
        std::vector<uint64_t> dims;
        while (true) {
            SkipSpace();
            if (Peek() == ')') {
                ++m_pos;
                return dims;
            }
            if (!std::isdigit(static_cast<unsigned char>(Peek()))) Bad("expected a dimension");
            uint64_t v = 0;
            while (std::isdigit(static_cast<unsigned char>(Peek()))) {
                if (v > (std::numeric_limits<uint64_t>::max() - 9) / 10) Bad("dimension too large");
                v = v * 10 + static_cast<uint64_t>(Peek() - '0');
                ++m_pos;
            }
            // Python writes a long as "3L" in old files.
            if (Peek() == 'L') ++m_pos;
            dims.push_back(v);
            SkipSpace();
            if (Peek() == ',')
                ++m_pos;
            else if (Peek() != ')')
                Bad("expected ',' or ')' in the shape");
        }
    }

    const std::string& m_path;
    const std::string& m_text;
    std::size_t m_pos = 0;
};

// Sample type of an NPY type string such as "<f4"; sets swap when its byte
// order differs from the machine's.
SampleType NpyType(const std::string& path, const std::string& descr, bool& swap) {
    auto unsupported = [&](const std::string& why) -> SampleType {
        Fail(path, "NPY type '" + descr + "' is not supported (" + why + ")");
    };
    if (descr.size() < 3) unsupported("bool, integer and float arrays are read");
    const char order = descr[0];
    const char kind = descr[1];
    const std::string sizeText = descr.substr(2);
    if (order != '<' && order != '>' && order != '|' && order != '=')
        unsupported("bool, integer and float arrays are read");
    if (!std::all_of(sizeText.begin(), sizeText.end(), [](char c) { return std::isdigit((unsigned char)c); }))
        unsupported("bool, integer and float arrays are read");
    const int size = std::atoi(sizeText.c_str());
    swap = size > 1 && ((order == '<' && !kLittleEndian) || (order == '>' && kLittleEndian));
    switch (kind) {
        case 'b':
            if (size == 1) return SampleType::Bool;
            break;
        case 'u':
            if (size == 1) return SampleType::U8;
            if (size == 2) return SampleType::U16;
            if (size == 4) return SampleType::U32;
            if (size == 8) return SampleType::U64;
            break;
        case 'i':
            if (size == 1) return SampleType::I8;
            if (size == 2) return SampleType::I16;
            if (size == 4) return SampleType::I32;
            if (size == 8) return SampleType::I64;
            break;
        case 'f':
            if (size == 2) return SampleType::F16;
            if (size == 4) return SampleType::F32;
            if (size == 8) return SampleType::F64;
            break;
        case 'c': return unsupported("complex numbers");
        default: break;
    }
    return unsupported("bool, integer and float arrays are read");
}

// The NPY type string of t in the machine's byte order ("<f4" on x86).
std::string NpyDescr(SampleType t) {
    const std::string order = kLittleEndian ? "<" : ">";
    switch (t) {
        case SampleType::Bool: return "|b1";
        case SampleType::U8: return "|u1";
        case SampleType::I8: return "|i1";
        case SampleType::U16: return order + "u2";
        case SampleType::U32: return order + "u4";
        case SampleType::U64: return order + "u8";
        case SampleType::I16: return order + "i2";
        case SampleType::I32: return order + "i4";
        case SampleType::I64: return order + "i8";
        case SampleType::F16: return order + "f2";
        case SampleType::F32: return order + "f4";
        case SampleType::F64: return order + "f8";
    }
    return "|u1";
}

void CheckWritable(const std::string& path, const Raster& r) {
    if (r.width <= 0 || r.height <= 0 || r.depth <= 0) Fail(path, "cannot write an image without pixels");
    if (r.bytes.size() != static_cast<std::size_t>(r.Count()) * SampleSize(r.type))
        Fail(path, "pixel data do not match the image extents");
}

}  // namespace

// ------------------------------------------------------------------ public

const char* SampleTypeName(SampleType type) {
    switch (type) {
        case SampleType::Bool: return "bool";
        case SampleType::U8: return "uint8";
        case SampleType::U16: return "uint16";
        case SampleType::U32: return "uint32";
        case SampleType::U64: return "uint64";
        case SampleType::I8: return "int8";
        case SampleType::I16: return "int16";
        case SampleType::I32: return "int32";
        case SampleType::I64: return "int64";
        case SampleType::F16: return "float16";
        case SampleType::F32: return "float32";
        case SampleType::F64: return "float64";
    }
    return "unknown";
}

std::size_t SampleSize(SampleType type) {
    return Dispatch(type, [](auto v) { return sizeof v; });
}

Raster::Raster(SampleType t, int64_t w, int64_t h, int64_t d)
    : type(t), width(w), height(h), depth(d), bytes(CheckedBytes("raster", w, h, d, SampleSize(t))) {}

double Raster::At(int64_t i) const {
    return Dispatch(type, [&](auto v) {
        using T = decltype(v);
        T s;
        std::memcpy(&s, bytes.data() + static_cast<std::size_t>(i) * sizeof(T), sizeof(T));
        return ToDouble(s);
    });
}

Raster ReadImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    unsigned char magic[8] = {};
    in.read(reinterpret_cast<char*>(magic), sizeof magic);
    const std::streamsize got = in.gcount();
    in.close();
    if (got == 0) Fail(path, "the file is empty");
    if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
                     (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43))))
        return ReadTiff(path);
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (got == 8 && std::memcmp(magic, kPng, 8) == 0) return ReadPng(path);
    if (got >= 6 && std::memcmp(magic, "\x93NUMPY", 6) == 0) return ReadNpy(path);
    Fail(path, "not a TIFF, PNG or NPY file");
}

Raster ReadTiff(const std::string& path) {
    PrepareTiff();
    TiffPtr tif(TIFFOpen(path.c_str(), "r"));
    if (!tif) Fail(path, "cannot read as TIFF" + TiffDetail());
    TIFF* t = tif.get();
    Raster out;
    int page = 0;
    do {
        ++page;
        uint32_t subfile = 0;
        if (TIFFGetField(t, TIFFTAG_SUBFILETYPE, &subfile) && (subfile & FILETYPE_REDUCEDIMAGE)) continue;
        const std::string pageName = "page " + std::to_string(page);
        uint32_t w = 0, h = 0;
        if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h))
            Fail(path, pageName + " has no image size" + TiffDetail());
        if (w == 0 || h == 0) Fail(path, pageName + " has no pixels");
        uint16_t spp = 1, bits = 1, format = SAMPLEFORMAT_UINT;
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
        if (spp != 1)
            Fail(path, pageName + " has " + std::to_string(spp) +
                           " samples per pixel (colour or alpha); only grey images are read");
        const auto type = TiffSampleType(bits, format);
        if (!type)
            Fail(path, pageName + ": " + std::to_string(bits) + "-bit " + TiffFormatName(format) +
                           " samples are not supported");
        if (out.depth == 0) {
            out.type = *type;
            out.width = w;
            out.height = h;
        } else if (out.type != *type || out.width != w || out.height != h) {
            Fail(path, pageName + " (" + std::to_string(w) + " x " + std::to_string(h) + ", " + SampleTypeName(*type) +
                           ") differs from the first page (" + std::to_string(out.width) + " x " +
                           std::to_string(out.height) + ", " + SampleTypeName(out.type) + ")");
        }
        ReadTiffPage(t, path, page, w, h, bits, out);
        ++out.depth;
    } while (TIFFReadDirectory(t));
    if (!t_tiffError.empty()) Fail(path, "malformed TIFF" + TiffDetail());
    if (out.depth == 0) Fail(path, "the TIFF holds no full-resolution page");
    return out;
}

Raster ReadPng(const std::string& path) {
    Raster out;
    PngState s;
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
    if (!PngReadBody(&s)) Fail(path, std::string("cannot read PNG: ") + s.error);
    if (out.width == 0 || out.height == 0) Fail(path, "the image has no pixels");
    return out;
}

Raster ReadNpy(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    in.seekg(0, std::ios::end);
    const auto fileSize = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    unsigned char pre[12] = {};
    in.read(reinterpret_cast<char*>(pre), 10);
    if (in.gcount() < 10 || std::memcmp(pre, "\x93NUMPY", 6) != 0) Fail(path, "not an NPY file");
    const int major = pre[6];
    uint64_t headerLen = 0, offset = 0;
    if (major == 1) {
        headerLen = pre[8] | static_cast<uint64_t>(pre[9]) << 8;
        offset = 10;
    } else if (major == 2 || major == 3) {
        in.read(reinterpret_cast<char*>(pre + 10), 2);
        if (in.gcount() < 2) Fail(path, "truncated NPY header");
        headerLen = pre[8] | static_cast<uint64_t>(pre[9]) << 8 | static_cast<uint64_t>(pre[10]) << 16 |
                    static_cast<uint64_t>(pre[11]) << 24;
        offset = 12;
    } else {
        Fail(path, "NPY format version " + std::to_string(major) + " is not supported");
    }
    if (headerLen > (1u << 20)) Fail(path, "malformed NPY header: too long");
    if (offset + headerLen > fileSize) Fail(path, "truncated NPY header");
    std::string header(headerLen, '\0');
    in.read(header.data(), static_cast<std::streamsize>(headerLen));
    if (static_cast<uint64_t>(in.gcount()) != headerLen) Fail(path, "truncated NPY header");

    std::string descr;
    bool fortran = false;
    std::vector<uint64_t> shape;
    NpyHeaderParser(path, header).Parse(descr, fortran, shape);
    bool swap = false;
    const SampleType type = NpyType(path, descr, swap);
    if (fortran) Fail(path, "Fortran-ordered NPY arrays are not supported (save the array in C order)");
    if (shape.size() != 2 && shape.size() != 3)
        Fail(path, "NPY array of " + std::to_string(shape.size()) + " dimensions; expected (H, W) or (D, H, W)");
    for (uint64_t e : shape)
        if (e > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            Fail(path, "the image extents are too large");
    const auto d = shape.size() == 3 ? static_cast<int64_t>(shape[0]) : 1;
    const auto h = static_cast<int64_t>(shape[shape.size() - 2]);
    const auto w = static_cast<int64_t>(shape[shape.size() - 1]);
    const std::size_t dataBytes = CheckedBytes(path, w, h, d, SampleSize(type));
    const uint64_t available = fileSize - offset - headerLen;
    if (available < dataBytes)
        Fail(path, "truncated NPY data (" + std::to_string(available) + " of " + std::to_string(dataBytes) + " bytes)");
    if (available > dataBytes)
        Fail(path,
             std::to_string(available - dataBytes) + " bytes after the NPY data; the shape does not fit the file");

    Raster out;
    out.type = type;
    out.width = w;
    out.height = h;
    out.depth = d;
    out.bytes.resize(dataBytes);
    in.read(reinterpret_cast<char*>(out.bytes.data()), static_cast<std::streamsize>(dataBytes));
    if (static_cast<std::size_t>(in.gcount()) != dataBytes) Fail(path, "cannot read the NPY data");
    if (swap) {
        const std::size_t elem = SampleSize(type);
        for (std::size_t i = 0; i < dataBytes; i += elem)
            std::reverse(out.bytes.begin() + i, out.bytes.begin() + i + elem);
    }
    if (type == SampleType::Bool)
        for (unsigned char& b : out.bytes) b = b != 0;
    return out;
}

void WriteTiff(const std::string& path, const Raster& r) {
    CheckWritable(path, r);
    uint16_t bits = 0, format = SAMPLEFORMAT_UINT;
    switch (r.type) {
        case SampleType::Bool: bits = 1; break;
        case SampleType::U8: bits = 8; break;
        case SampleType::U16: bits = 16; break;
        case SampleType::U32: bits = 32; break;
        case SampleType::I8: bits = 8, format = SAMPLEFORMAT_INT; break;
        case SampleType::I16: bits = 16, format = SAMPLEFORMAT_INT; break;
        case SampleType::I32: bits = 32, format = SAMPLEFORMAT_INT; break;
        case SampleType::F32: bits = 32, format = SAMPLEFORMAT_IEEEFP; break;
        case SampleType::F64: bits = 64, format = SAMPLEFORMAT_IEEEFP; break;
        default: Fail(path, std::string("cannot write ") + SampleTypeName(r.type) + " pixels as TIFF");
    }
    if (r.width > std::numeric_limits<uint32_t>::max() || r.height > std::numeric_limits<uint32_t>::max() ||
        r.depth > std::numeric_limits<uint16_t>::max())
        Fail(path, "the image is too large for TIFF");
    PrepareTiff();
    // Classic TIFF addresses 4 GiB; larger data go to BigTIFF.
    const bool big = r.bytes.size() > (uint64_t{1} << 31);
    TiffPtr tif(TIFFOpen(path.c_str(), big ? "w8" : "w"));
    if (!tif) Fail(path, "cannot create" + TiffDetail());
    TIFF* t = tif.get();
    const auto w = static_cast<uint32_t>(r.width);
    const auto h = static_cast<uint32_t>(r.height);
    const std::size_t rowBytes = static_cast<std::size_t>(w) * SampleSize(r.type);
    std::vector<unsigned char> packed(bits == 1 ? (w + 7) / 8 : 0);
    for (int64_t z = 0; z < r.depth; ++z) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t{1});
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, format);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        if (r.depth > 1) {
            TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(t, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(z), static_cast<uint16_t>(r.depth));
        }
        for (uint32_t y = 0; y < h; ++y) {
            const unsigned char* row = r.bytes.data() + (static_cast<std::size_t>(z) * h + y) * rowBytes;
            void* data = const_cast<unsigned char*>(row);
            if (bits == 1) {
                std::fill(packed.begin(), packed.end(), 0);
                for (uint32_t x = 0; x < w; ++x)
                    if (row[x]) packed[x >> 3] |= static_cast<unsigned char>(0x80u >> (x & 7));
                data = packed.data();
            }
            if (TIFFWriteScanline(t, data, y, 0) < 0) Fail(path, "cannot write" + TiffDetail());
        }
        if (!TIFFWriteDirectory(t)) Fail(path, "cannot write" + TiffDetail());
    }
    TIFF* raw = tif.release();
    TIFFClose(raw);
    if (!t_tiffError.empty()) Fail(path, "cannot write" + TiffDetail());
}

void WritePng(const std::string& path, const Raster& r) {
    CheckWritable(path, r);
    if (r.type != SampleType::U8 && r.type != SampleType::U16)
        Fail(path, std::string("cannot write ") + SampleTypeName(r.type) + " pixels as PNG (uint8 or uint16 only)");
    if (r.depth != 1) Fail(path, "cannot write a 3-D image as PNG");
    if (r.width > 0x7fffffff || r.height > 0x7fffffff) Fail(path, "the image is too large for PNG");
    PngState s;
    s.writing = true;
    s.source = &r;
    s.file = std::fopen(path.c_str(), "wb");
    if (!s.file) Fail(path, std::string("cannot create: ") + std::strerror(errno));
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, PngError, PngWarning);
    if (!s.png) Fail(path, "cannot set up the PNG writer");
    s.info = png_create_info_struct(s.png);
    if (!s.info) Fail(path, "cannot set up the PNG writer");
    if (!PngWriteBody(&s)) Fail(path, std::string("cannot write PNG: ") + s.error);
    FILE* f = s.file;
    s.file = nullptr;
    if (std::fclose(f) != 0) Fail(path, std::string("cannot write: ") + std::strerror(errno));
}

std::string NpyBytes(const Raster& r) {
    std::string dict = std::string("{'descr': '") + NpyDescr(r.type) + "', 'fortran_order': False, 'shape': (";
    if (r.depth != 1) dict += std::to_string(r.depth) + ", ";
    dict += std::to_string(r.height) + ", " + std::to_string(r.width) + "), }";
    // The header (magic, version, length field, dict, padding, newline) fills a
    // multiple of 64 bytes so that the data are aligned.
    std::size_t fixed = 10;
    std::size_t total = (fixed + dict.size() + 1 + 63) / 64 * 64;
    if (total - fixed > 0xffff) {
        fixed = 12;
        total = (fixed + dict.size() + 1 + 63) / 64 * 64;
    }
    const std::size_t headerLen = total - fixed;
    dict.append(headerLen - dict.size() - 1, ' ');
    dict += '\n';
    std::string out("\x93NUMPY", 6);
    out += static_cast<char>(fixed == 10 ? 1 : 2);
    out += '\0';
    for (std::size_t i = 0; i < fixed - 8; ++i) out += static_cast<char>((headerLen >> (8 * i)) & 0xffu);
    out += dict;
    out.append(reinterpret_cast<const char*>(r.bytes.data()), r.bytes.size());
    return out;
}

void WriteNpy(const std::string& path, const Raster& r) {
    // Unlike TIFF and PNG, NPY holds arrays without elements (a result of zero rows).
    if (r.width < 0 || r.height < 0 || r.depth < 0 ||
        r.bytes.size() != static_cast<std::size_t>(r.Count()) * SampleSize(r.type))
        Fail(path, "pixel data do not match the image extents");
    const std::string bytes = NpyBytes(r);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) Fail(path, std::string("cannot create: ") + std::strerror(errno));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Fail(path, "cannot write");
}

std::unique_ptr<CImage> ToNodeImage(const Raster& r, bool native, const std::string& what) {
    const CSize size(r.width, r.height, r.depth);
    const std::size_t n = static_cast<std::size_t>(r.Count());
    if (r.bytes.size() != n * SampleSize(r.type)) throw ImageIOError(what + ": pixel data do not match the extents");
    if (native) {
        std::optional<KELO::CPixelType> type;
        switch (r.type) {
            case SampleType::F32: type = KELO::IMAGE_GREY_F; break;
            case SampleType::U8: type = KELO::IMAGE_GREY_8; break;
            case SampleType::U16: type = KELO::IMAGE_GREY_16; break;
            case SampleType::U32: type = KELO::IMAGE_GREY_32; break;
            case SampleType::Bool: type = KELO::IMAGE_BINARY_FG; break;
            default: break;
        }
        if (!type)
            throw ImageIOError(what + ": " + SampleTypeName(r.type) +
                               " pixels have no native node type (float32, uint8, uint16, uint32 and bool have); "
                               "leave out --native to convert to float");
        auto img = std::make_unique<CImage>(*type, size, CSize(0, 0, 0));
        if (n) std::memcpy(img->Data(), r.bytes.data(), r.bytes.size());
        return img;
    }
    auto img = std::make_unique<CImage>(KELO::IMAGE_GREY_F, size, CSize(0, 0, 0));
    float* dst = img->Pixels<float>();
    Dispatch(r.type, [&](auto v) {
        using T = decltype(v);
        const unsigned char* src = r.bytes.data();
        for (std::size_t i = 0; i < n; ++i) {
            T s;
            std::memcpy(&s, src + i * sizeof(T), sizeof(T));
            dst[i] = ToFloat(s);
        }
    });
    return img;
}

Raster FloatRasterOf(const CImage& image) {
    const CSize s = image.Size();
    Raster out;
    out.type = SampleType::F32;
    out.width = s.x;
    out.height = s.y;
    out.depth = s.z;
    const auto n = static_cast<std::size_t>(s.Count());
    out.bytes.resize(n * sizeof(float));
    float* dst = out.As<float>();
    const KELO::CPixelType t = image.Type();
    if (t == KELO::IMAGE_GREY_F) {
        if (n) std::memcpy(dst, image.Data(), n * sizeof(float));
    } else if (t == KELO::IMAGE_GREY_8 || t == KELO::IMAGE_BINARY_FG) {
        const auto* p = image.Pixels<uint8_t>();
        for (std::size_t i = 0; i < n; ++i) dst[i] = p[i];
    } else if (t == KELO::IMAGE_GREY_16) {
        const auto* p = image.Pixels<uint16_t>();
        for (std::size_t i = 0; i < n; ++i) dst[i] = p[i];
    } else if (t == KELO::IMAGE_GREY_32) {
        const auto* p = image.Pixels<uint32_t>();
        for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<float>(p[i]);
    } else {
        throw ImageIOError(std::string("unsupported pixel type ") + t.Name());
    }
    return out;
}

}  // namespace regionfeat
