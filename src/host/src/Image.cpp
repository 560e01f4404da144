#include "kelo/Image.h"

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

void CImage::FreeDeleter::operator()(void* p) const { std::free(p); }

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
        m_pixels.reset(p);
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
    m_attributes.swap(other.m_attributes);
}

}  // namespace KELO
