// Images: a pixel type, 64-bit extents and one contiguous pixel array
// (x fastest, then y, then z), plus an attribute map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kelo/Exception.h"
#include "kelo/Value.h"

namespace KELO {

class CPixelType {
public:
    constexpr CPixelType(int id, std::size_t elementSize, const char* name)
        : m_id(id), m_elementSize(elementSize), m_name(name) {}
    constexpr bool operator==(const CPixelType& other) const { return m_id == other.m_id; }
    constexpr bool operator!=(const CPixelType& other) const { return m_id != other.m_id; }
    constexpr std::size_t ElementSize() const { return m_elementSize; }
    constexpr const char* Name() const { return m_name; }

private:
    int m_id;
    std::size_t m_elementSize;
    const char* m_name;
};

inline constexpr CPixelType IMAGE_GREY_F{1, 4, "IMAGE_GREY_F"};
inline constexpr CPixelType IMAGE_GREY_8{2, 1, "IMAGE_GREY_8"};
inline constexpr CPixelType IMAGE_GREY_16{3, 2, "IMAGE_GREY_16"};
inline constexpr CPixelType IMAGE_GREY_32{4, 4, "IMAGE_GREY_32"};
inline constexpr CPixelType IMAGE_BINARY_FG{5, 1, "IMAGE_BINARY_FG"};

struct CSize {
    int64_t x = 0, y = 0, z = 0;
    CSize() = default;
    CSize(int64_t sx, int64_t sy, int64_t sz) : x(sx), y(sy), z(sz) {}
    bool operator==(const CSize&) const = default;
    // Number of pixels; 0 when any extent is 0 or negative, INT64_MAX when the
    // product does not fit in 64 bits (no image has such a size).
    int64_t Count() const {
        if (x <= 0 || y <= 0 || z <= 0) return 0;
        int64_t n = 0;
        if (__builtin_mul_overflow(x, y, &n) || __builtin_mul_overflow(n, z, &n)) return INT64_MAX;
        return n;
    }
};

// A position or size in text form, "(x, y, z)".
class CPos {
public:
    CPos(const CSize& size) : m_size(size) {}
    CString ToString() const;

private:
    CSize m_size;
};

class IImage {
public:
    virtual ~IImage();
    virtual CPixelType Type() const = 0;
    virtual CSize Size() const = 0;
};

class CImage : public IImage {
public:
    // All pixels start at zero. Negative extents, or extents whose byte count
    // does not fit in 64 bits, throw CException; the border is recorded but adds
    // no pixels.
    CImage(CPixelType type, CSize size, CSize border = CSize(0, 0, 0));
    // An image over pixels that someone else provides (a file mapped into
    // memory): pixels holds size.Count() elements of type, aligned for it, and
    // stays valid while keeper lives. The image never frees the pixels; it
    // releases keeper when it goes, or when AppendRows moves the pixels into
    // memory of its own.
    CImage(CPixelType type, CSize size, void* pixels, std::shared_ptr<void> keeper);
    CImage(const CImage& other);
    CImage& operator=(const CImage&) = delete;
    ~CImage() override;

    CPixelType Type() const override { return m_type; }
    CSize Size() const override { return m_size; }
    CSize Border() const { return m_border; }

    // The contiguous pixel array (null for an image of no pixels).
    void* Data() { return m_pixels.get(); }
    const void* Data() const { return m_pixels.get(); }
    template <class T>
    T* Pixels() { return static_cast<T*>(Data()); }
    template <class T>
    const T* Pixels() const { return static_cast<const T*>(Data()); }
    std::size_t ByteCount() const { return static_cast<std::size_t>(m_size.Count()) * m_type.ElementSize(); }

    // Exchanges type, extents, pixels and attributes with other: how a plugin
    // writes its result into an image it was handed.
    void Swap(CImage& other) noexcept;

    // Adds the rows of below (same type and width, one plane, as this image)
    // under this image's rows, in place. The pixel array grows by at least half
    // its size when it must grow, so adding rows one at a time costs about the
    // rows added, not the image. Throws CException when below does not fit.
    void AppendRows(const CImage& below);

    CValueMap& Attributes() { return *m_attributes; }
    const CValueMap& Attributes() const { return *m_attributes; }

private:
    struct FreeDeleter {
        FreeDeleter() noexcept : owned(true) {}
        explicit FreeDeleter(bool own) noexcept : owned(own) {}
        void operator()(void* p) const;
        bool owned;  // false: the pixels belong to m_keeper
    };
    CPixelType m_type;
    CSize m_size;
    CSize m_border;
    std::unique_ptr<void, FreeDeleter> m_pixels;
    std::size_t m_capacity = 0;  // bytes allocated for m_pixels (at least ByteCount())
    std::unique_ptr<CValueMap> m_attributes;
    std::shared_ptr<void> m_keeper;  // what keeps pixels the image does not own
};

}  // namespace KELO
