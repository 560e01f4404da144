#include "ImageIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fstream>
#include <limits>
#include <optional>

#include "ImageIOCommon.h"
#include "LabelCheck.h"
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
    // Byte counts of up to 8-byte samples must fit in int64_t whatever
    // --max-pixels allows; no memory holds more anyway.
    constexpr uint64_t kMostPixels = static_cast<uint64_t>(INT64_MAX) / 8;
    if (!overflow && n <= limits.maxPixels && n <= kMostPixels) return;
    if (!overflow && n > kMostPixels)
        Fail(path, "the image has " + std::to_string(n) + " pixels, more than any memory holds");
    const std::string extents = std::to_string(w) + " x " + std::to_string(h) + " x " + std::to_string(d);
    Fail(path, "the image has " + (overflow ? extents + " pixels" : std::to_string(n) + " pixels (" + extents + ")") +
                   ", more than the limit of " + std::to_string(limits.maxPixels) + " pixels (--max-pixels)");
}

void SwapSamples(void* samples, std::size_t count, std::size_t elem) {
    auto swapAll = [&](auto word, auto swap) {
        using W = decltype(word);
        auto* p = static_cast<unsigned char*>(samples);
        for (std::size_t i = 0; i < count; ++i, p += sizeof(W)) {
            W w;
            std::memcpy(&w, p, sizeof w);
            w = swap(w);
            std::memcpy(p, &w, sizeof w);
        }
    };
    switch (elem) {
        case 2: swapAll(uint16_t{}, [](uint16_t w) { return __builtin_bswap16(w); }); break;
        case 4: swapAll(uint32_t{}, [](uint32_t w) { return __builtin_bswap32(w); }); break;
        case 8: swapAll(uint64_t{}, [](uint64_t w) { return __builtin_bswap64(w); }); break;
        default: break;
    }
}

bool ReadAt(int fd, void* buffer, std::size_t bytes, uint64_t offset) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (bytes > 0) {
        const std::size_t piece = std::min<std::size_t>(bytes, std::size_t{1} << 30);
        const ssize_t got = ::pread(fd, p, piece, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        bytes -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

void ReadSamplesAt(const std::string& path, int fd, uint64_t offset, std::size_t count, std::size_t elem, bool swap,
                   SampleSink& sink, const std::string& problem) {
    const std::size_t step = std::max<std::size_t>(1, sink.PreferredCount());
    while (count > 0) {
        const std::size_t n = std::min(count, step);
        void* room = sink.Room(n);
        if (!ReadAt(fd, room, n * elem, offset)) Fail(path, problem);
        if (swap) SwapSamples(room, n, elem);
        sink.Filled(n);
        offset += n * elem;
        count -= n;
    }
}

RasterSink::RasterSink(Raster& r) : m_r(r) {}

void RasterSink::Start(SampleType type, int64_t w, int64_t h, int64_t d) {
    m_r.type = type;
    m_r.width = w;
    m_r.height = h;
    m_r.depth = d;
    m_r.bytes.clear();
    m_elem = SampleSize(type);
}

void* RasterSink::Room(std::size_t count) {
    const std::size_t base = m_r.bytes.size();
    if (base / m_elem + count > static_cast<std::size_t>(m_r.Count()))
        throw ImageIOError("raster: more samples than the image holds");
    m_r.bytes.resize(base + count * m_elem);
    return m_r.bytes.data() + base;
}

DeferredSink::DeferredSink(SampleSink& target, std::size_t thresholdBytes)
    : m_target(target), m_threshold(thresholdBytes) {}

void DeferredSink::Start(SampleType type, int64_t w, int64_t h, int64_t d) {
    m_type = type;
    m_w = w;
    m_h = h;
    m_d = d;
    m_elem = SampleSize(type);
    m_total = static_cast<std::size_t>(w * h * d);
}

void* DeferredSink::Room(std::size_t count) {
    if (m_started) return m_target.Room(count);
    const std::size_t base = m_heldBytes;
    const std::size_t need = base + count * m_elem;
    if (need > m_heldCapacity) {
        const std::size_t capacity = std::max(need, m_heldCapacity + m_heldCapacity / 2);
        void* p = std::realloc(m_held.get(), capacity);
        if (!p) throw std::bad_alloc();
        (void)m_held.release();
        m_held.reset(static_cast<unsigned char*>(p));
        m_heldCapacity = capacity;
    }
    m_heldBytes = need;
    return m_held.get() + base;
}

void DeferredSink::Filled(std::size_t count) {
    if (m_started) return m_target.Filled(count);
    if (m_heldBytes >= m_threshold || m_heldBytes / m_elem >= m_total) Release();
}

std::size_t DeferredSink::PreferredCount() const { return m_started ? m_target.PreferredCount() : SIZE_MAX; }

void DeferredSink::Release() {
    m_target.Start(m_type, m_w, m_h, m_d);
    m_started = true;
    const std::size_t step = std::max<std::size_t>(1, m_target.PreferredCount());
    const std::size_t held = m_heldBytes / m_elem;
    for (std::size_t done = 0; done < held;) {
        const std::size_t n = std::min(held - done, step);
        std::memcpy(m_target.Room(n), m_held.get() + done * m_elem, n * m_elem);
        m_target.Filled(n);
        done += n;
    }
    m_held.reset();
    m_heldBytes = m_heldCapacity = 0;
}

Raster ReadRaster(const std::string& path, const std::function<void(SampleSink&)>& read) {
    Raster out;
    RasterSink sink(out);
    read(sink);
    if (out.bytes.size() != static_cast<std::size_t>(out.Count()) * SampleSize(out.type))
        Fail(path, "the file ended before the image was read");
    return out;
}

}  // namespace detail

using namespace detail;

namespace {

// The node type of a stored type with native, if the host has one.
std::optional<KELO::CPixelType> NativeNodeType(SampleType type) {
    switch (type) {
        case SampleType::F32: return KELO::IMAGE_GREY_F;
        case SampleType::U8: return KELO::IMAGE_GREY_8;
        case SampleType::U16: return KELO::IMAGE_GREY_16;
        case SampleType::U32: return KELO::IMAGE_GREY_32;
        case SampleType::Bool: return KELO::IMAGE_BINARY_FG;
        default: return std::nullopt;
    }
}

[[noreturn]] void FailNoNativeType(const std::string& what, SampleType type) {
    throw ImageIOError(what + ": " + SampleTypeName(type) +
                       " pixels have no native node type (float32, uint8, uint16, uint32 and bool have); "
                       "leave out --native to convert to float");
}

// Puts the samples into the image a node gets. When the stored type is the
// node's, the reader is handed the image's own pixel array, so the data are
// read once into their final place; otherwise they pass through a staging
// buffer of a few MiB that is converted to float piece by piece. The image's
// pages are zeroed lazily by the allocator, so a file that declares more than
// it holds costs address space, not memory, until the data arrive; the
// declared size is limited by --max-pixels before Start.
class NodeImageSink : public SampleSink {
public:
    NodeImageSink(std::string what, bool native, std::size_t chunkBytes, bool scanLabels)
        : m_what(std::move(what)), m_native(native), m_chunkBytes(chunkBytes), m_scanLabels(scanLabels) {}

    void Start(SampleType type, int64_t w, int64_t h, int64_t d) override {
        m_type = type;
        m_elem = SampleSize(type);
        KELO::CPixelType pixel = KELO::IMAGE_GREY_F;
        if (m_native) {
            const auto t = NativeNodeType(type);
            if (!t) FailNoNativeType(m_what, type);
            pixel = *t;
        }
        m_direct = m_native || type == SampleType::F32;
        m_count = static_cast<std::size_t>(w * h * d);
        if (m_scanLabels) m_scan = std::make_unique<LabelScan>(type, w, h, d, m_native);
        m_image = std::make_unique<CImage>(pixel, CSize(w, h, d), CSize(0, 0, 0));
    }
    void* Room(std::size_t count) override {
        if (!m_image || count > m_count - m_done) throw ImageIOError(m_what + ": more samples than the image holds");
        if (m_direct) return static_cast<unsigned char*>(m_image->Data()) + m_done * m_elem;
        if (m_staging.size() < count * m_elem) m_staging.resize(count * m_elem);
        return m_staging.data();
    }
    void Filled(std::size_t count) override {
        const unsigned char* src =
            m_direct ? static_cast<const unsigned char*>(m_image->Data()) + m_done * m_elem : m_staging.data();
        if (m_scan) m_scan->Add(src, count);
        if (!m_direct) {
            float* dst = m_image->Pixels<float>() + m_done;
            Dispatch(m_type, [&](auto v) {
                using T = decltype(v);
                for (std::size_t i = 0; i < count; ++i) {
                    T s;
                    std::memcpy(&s, src + i * sizeof(T), sizeof(T));
                    dst[i] = ToFloat(s);
                }
            });
        }
        m_done += count;
    }
    // Labels are checked piece by piece while the piece is still in the
    // cache, so they too are read a staging buffer's size at a time.
    std::size_t PreferredCount() const override {
        return m_direct && !m_scan ? SIZE_MAX : std::max<std::size_t>(1, m_chunkBytes / m_elem);
    }

    bool TakesMapped() const override { return m_direct && m_image && m_done == 0; }
    void Adopt(void* samples, std::shared_ptr<void> keeper) override {
        const CSize size = m_image->Size();
        const KELO::CPixelType pixel = m_image->Type();
        m_image = std::make_unique<CImage>(pixel, size, samples, std::move(keeper));
        // The labels are checked in pieces, as they would be read.
        const std::size_t step = std::max<std::size_t>(1, m_chunkBytes / m_elem);
        const auto* src = static_cast<const unsigned char*>(samples);
        for (std::size_t at = 0; m_scan && at < m_count; at += step)
            m_scan->Add(src + at * m_elem, std::min(step, m_count - at));
        m_done = m_count;
    }

    std::unique_ptr<CImage> Finish(std::vector<std::string>* warnings) {
        if (!m_image || m_done != m_count) throw ImageIOError(m_what + ": the file ended before the image was read");
        if (warnings) *warnings = m_scan ? m_scan->Warnings() : std::vector<std::string>{};
        return std::move(m_image);
    }

private:
    std::string m_what;
    bool m_native;
    std::size_t m_chunkBytes;
    bool m_scanLabels;
    SampleType m_type = SampleType::F32;
    std::size_t m_elem = 4, m_count = 0, m_done = 0;
    bool m_direct = false;
    std::unique_ptr<CImage> m_image;
    std::vector<unsigned char> m_staging;
    std::unique_ptr<LabelScan> m_scan;
};

}  // namespace

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

void ReadImageInto(const std::string& path, const ReadLimits& limits, SampleSink& sink) {
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
        return ReadTiffInto(path, limits, sink);
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (got == 8 && std::memcmp(magic, kPng, 8) == 0) return ReadPngInto(path, limits, sink);
    if (got >= 6 && std::memcmp(magic, "\x93NUMPY", 6) == 0) return ReadNpyInto(path, limits, sink);
    Fail(path, "not a TIFF, PNG or NPY file");
}

Raster ReadImage(const std::string& path, const ReadLimits& limits) {
    return ReadRaster(path, [&](SampleSink& sink) { ReadImageInto(path, limits, sink); });
}

std::unique_ptr<CImage> ReadNodeImage(const std::string& path, bool native, const ReadLimits& limits,
                                      std::vector<std::string>* labelWarnings) {
    NodeImageSink sink(path, native, limits.chunkBytes, labelWarnings != nullptr);
    ReadImageInto(path, limits, sink);
    return sink.Finish(labelWarnings);
}

std::unique_ptr<CImage> ToNodeImage(const Raster& r, bool native, const std::string& what) {
    const CSize size(r.width, r.height, r.depth);
    const std::size_t n = static_cast<std::size_t>(r.Count());
    if (r.bytes.size() != n * SampleSize(r.type)) throw ImageIOError(what + ": pixel data do not match the extents");
    if (native) {
        const std::optional<KELO::CPixelType> type = NativeNodeType(r.type);
        if (!type) FailNoNativeType(what, r.type);
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
