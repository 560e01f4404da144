// Helpers shared by the format readers and writers (TiffIO, PngIO, NpyIO) and
// by the label checks: failures that name the file, sample types as C++ types,
// and the size checks every reader makes before it spends memory.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <type_traits>

#include "ImageIO.h"

namespace regionfeat::detail {

[[noreturn]] void Fail(const std::string& path, const std::string& problem);

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// IEEE half precision to float, exactly (every half is a float).
float HalfToFloat(uint16_t h);

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

// Bytes of w x h x d samples of size elem, or throws when that does not fit.
std::size_t CheckedBytes(const std::string& path, int64_t w, int64_t h, int64_t d, std::size_t elem);

// Throws when w x h x d pixels exceed limits.maxPixels, naming the file and
// the size. Called as soon as a header has declared the extents.
void CheckPixelCount(const std::string& path, uint64_t w, uint64_t h, uint64_t d, const ReadLimits& limits);

// Reverses the bytes of each of count samples of elem bytes (2, 4 or 8; other
// sizes are left alone), in place.
void SwapSamples(void* samples, std::size_t count, std::size_t elem);

// Reads exactly bytes bytes at offset with pread calls of up to 1 GiB; false
// when the file ends first or a read fails.
bool ReadAt(int fd, void* buffer, std::size_t bytes, uint64_t offset);

// Reads count samples of elem bytes at offset into sink, in as few pieces as
// the sink asks for, putting them into the machine's byte order (swap).
// Fails with problem when the file holds fewer bytes than that.
void ReadSamplesAt(const std::string& path, int fd, uint64_t offset, std::size_t count, std::size_t elem, bool swap,
                   SampleSink& sink, const std::string& problem);

// Collects the samples in a Raster of the stored type, growing it as they
// arrive, so that a reader of compressed data spends memory only as the data
// expand.
class RasterSink : public SampleSink {
public:
    explicit RasterSink(Raster& r);
    void Start(SampleType type, int64_t w, int64_t h, int64_t d) override;
    void* Room(std::size_t count) override;
    void Filled(std::size_t) override {}
    std::size_t PreferredCount() const override { return SIZE_MAX; }

private:
    Raster& m_r;
    std::size_t m_elem = 1;
};

// Holds back the samples of a compressed file until they justify the image:
// they are collected in a buffer that grows with them until thresholdBytes
// have arrived (or all of them, if fewer), and only then is target started,
// handed what was collected, and given the rest directly. So a small file
// that declares a huge image fails before the image is made.
class DeferredSink : public SampleSink {
public:
    DeferredSink(SampleSink& target, std::size_t thresholdBytes);
    void Start(SampleType type, int64_t w, int64_t h, int64_t d) override;
    void* Room(std::size_t count) override;
    void Filled(std::size_t count) override;
    std::size_t PreferredCount() const override;

private:
    void Release();
    SampleSink& m_target;
    std::size_t m_threshold;
    SampleType m_type = SampleType::U8;
    int64_t m_w = 0, m_h = 0, m_d = 0;
    std::size_t m_elem = 1, m_total = 0;
    bool m_started = false;
    // Grown with realloc and never cleared: a reader may ask for room for a
    // whole band of tiles before it decodes them, and only the pages that
    // decoded data reach may cost memory.
    struct FreeDeleter {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, FreeDeleter> m_held;
    std::size_t m_heldBytes = 0, m_heldCapacity = 0;
};

// The Raster that read delivers into a RasterSink; fails when it is incomplete.
Raster ReadRaster(const std::string& path, const std::function<void(SampleSink&)>& read);

}  // namespace regionfeat::detail
