#include "ImageIO.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>

#include "ImageIOCommon.h"
#include "NpyIO.h"
#include "PngIO.h"
#include "TiffIO.h"

namespace regionfeat {

using KELO::CImage;
using KELO::CSize;

namespace detail {

void Fail(const std::string& path, const std::string& problem) { throw ImageIOError(path + ": " + problem); }

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

void CheckPixelCount(const std::string& path, uint64_t w, uint64_t h, uint64_t d, const ReadLimits& limits) {
    uint64_t wh = 0, n = 0;
    const bool overflow = __builtin_mul_overflow(w, h, &wh) || __builtin_mul_overflow(wh, d, &n);
    if (!overflow && n <= limits.maxPixels) return;
    const std::string extents = std::to_string(w) + " x " + std::to_string(h) + " x " + std::to_string(d);
    Fail(path, "the image has " + (overflow ? extents + " pixels" : std::to_string(n) + " pixels (" + extents + ")") +
                   ", more than the limit of " + std::to_string(limits.maxPixels) + " pixels (--max-pixels)");
}

}  // namespace detail

using namespace detail;

uint64_t DefaultMaxPixels() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 8;
}

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

Raster ReadImage(const std::string& path, const ReadLimits& limits) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Fail(path, "is a directory, not an image file");
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, std::string("cannot open: ") + std::strerror(errno));
    unsigned char magic[8] = {};
    in.read(reinterpret_cast<char*>(magic), sizeof magic);
    const std::streamsize got = in.gcount();
    in.close();
    if (got == 0) Fail(path, "the file is empty");
    if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
                     (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43))))
        return ReadTiff(path, limits);
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (got == 8 && std::memcmp(magic, kPng, 8) == 0) return ReadPng(path, limits);
    if (got >= 6 && std::memcmp(magic, "\x93NUMPY", 6) == 0) return ReadNpy(path, limits);
    Fail(path, "not a TIFF, PNG or NPY file");
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
