#include "kelo/Image.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace KELO {

CString CPos::ToString() const {
    std::string text(1, '(');
    text += std::to_string(m_size.x);
    text += ", ";
    text += std::to_string(m_size.y);
    text += ", ";
    text += std::to_string(m_size.z);
    text += ')';
    return CString(std::move(text));
}

IImage::~IImage() = default;

void CImage::FreeDeleter::operator()(void* p) const {
    if (owned) std::free(p);
}

namespace {

// A large image is filled soon after it is made (a file read into it, a
// node's result), one page fault per 4 KiB page: 16,384 faults for 64 MiB,
// which cost more than the copying. Asking for transparent huge pages over the
// block's 2 MiB-aligned interior makes that 32 faults. The pages stay lazily
// zeroed (the kernel clears a huge page as it does a small one), and the block
// remains calloc's, so free and realloc work as before. Where huge pages are
// off or unsupported the advice changes nothing.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void AdviseHugePages(void* p, std::size_t bytes) {
    if (bytes < 2 * kHugePage) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    const std::uintptr_t last = (begin + bytes) & ~(std::uintptr_t{kHugePage} - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

CImage::CImage(CPixelType type, CSize size, CSize border)
    : m_type(type), m_size(size), m_border(border), m_attributes(std::make_unique<CValueMap>()) {
    if (size.x < 0 || size.y < 0 || size.z < 0)
        throw CException("CImage", "negative image size " + CPos(size).ToString(), nullptr);
    std::size_t bytes = 0;
    if (size.Count() == INT64_MAX ||
        __builtin_mul_overflow(static_cast<std::size_t>(size.Count()), type.ElementSize(), &bytes))
        throw CException("CImage", "image size " + CPos(size).ToString() + " is too large", nullptr);
    if (bytes > 0) {
        // calloc hands out zeroed pages lazily, which keeps large matrices cheap.
        void* p = std::calloc(bytes, 1);
        if (!p) throw std::bad_alloc();
        AdviseHugePages(p, bytes);
        m_pixels.reset(p);
        m_capacity = bytes;
    }
}

CImage::CImage(CPixelType type, CSize size, void* pixels, std::shared_ptr<void> keeper)
    : m_type(type), m_size(size), m_border(0, 0, 0), m_attributes(std::make_unique<CValueMap>()) {
    std::size_t bytes = 0;
    if (size.x < 0 || size.y < 0 || size.z < 0 || size.Count() == INT64_MAX ||
        __builtin_mul_overflow(static_cast<std::size_t>(size.Count()), type.ElementSize(), &bytes))
        throw CException("CImage", "image size " + CPos(size).ToString() + " is not valid", nullptr);
    if (bytes > 0) {
        m_pixels = std::unique_ptr<void, FreeDeleter>(pixels, FreeDeleter{false});
        m_capacity = bytes;
        m_keeper = std::move(keeper);
    }
}

CImage::CImage(const CImage& other)
    : CImage(other.m_type, other.m_size, other.m_border) {
    if (other.ByteCount() > 0) std::memcpy(Data(), other.Data(), other.ByteCount());
    m_attributes = std::make_unique<CValueMap>(other.Attributes());
}

CImage::~CImage() = default;

void CImage::Swap(CImage& other) noexcept {
    std::swap(m_type, other.m_type);
    std::swap(m_size, other.m_size);
    std::swap(m_border, other.m_border);
    m_pixels.swap(other.m_pixels);
    std::swap(m_capacity, other.m_capacity);
    m_attributes.swap(other.m_attributes);
    m_keeper.swap(other.m_keeper);
}

void CImage::AppendRows(const CImage& below) {
    const CSize b = below.Size();
    if (below.m_type != m_type || b.x != m_size.x || b.z != 1 || m_size.z != 1)
        throw CException("CImage", "cannot append rows of an image of size " + CPos(b).ToString() + " and type " +
                                       below.m_type.Name() + " to one of size " + CPos(m_size).ToString() +
                                       " and type " + m_type.Name(),
                         nullptr);
    const std::size_t added = below.ByteCount();  // read before this image changes (below may be this image)
    const std::size_t used = ByteCount();
    CSize grown = m_size;
    std::size_t bytes = 0;
    if (__builtin_add_overflow(m_size.y, b.y, &grown.y) || grown.Count() == INT64_MAX ||
        __builtin_mul_overflow(static_cast<std::size_t>(grown.Count()), m_type.ElementSize(), &bytes))
        throw CException("CImage", "image size " + CPos(grown).ToString() + " is too large", nullptr);
    if (added == 0) {
        m_size = grown;
        return;
    }
    if (bytes > m_capacity) {
        std::size_t capacity = m_capacity + m_capacity / 2;
        if (capacity < bytes || capacity < m_capacity) capacity = bytes;
        if (m_pixels.get_deleter().owned) {
            void* p = std::realloc(m_pixels.get(), capacity);
            if (!p) throw std::bad_alloc();
            m_pixels.release();
            m_pixels.reset(p);
        } else {
            // Pixels provided from outside cannot grow: they move into memory
            // of the image's own.
            void* p = std::malloc(capacity);
            if (!p) throw std::bad_alloc();
            if (used) std::memcpy(p, m_pixels.get(), used);
            m_pixels = std::unique_ptr<void, FreeDeleter>(p, FreeDeleter{true});
            m_keeper.reset();
        }
        m_capacity = capacity;
    }
    auto* data = static_cast<unsigned char*>(Data());
    std::memcpy(data + used, &below == this ? data : below.Data(), added);
    m_size = grown;
}

}  // namespace KELO
