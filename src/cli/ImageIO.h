// Images as files: the part shared by the formats. A file is read into a
// Raster that keeps the stored sample type, so that the caller can decide
// between converting to float (what the nodes expect) and handing the pixels
// over in their own type. The formats themselves: TiffIO.h, PngIO.h, NpyIO.h.
//
// Readers spend memory only as the file delivers data: a header that declares
// more than the file holds fails before the memory is spent, and a declared
// size beyond ReadLimits::maxPixels is refused before anything is decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelo/Image.h"

namespace regionfeat {

// Sample types a file can hold. F16 is kept as its raw 16 bits.
enum class SampleType { Bool, U8, U16, U32, U64, I8, I16, I32, I64, F16, F32, F64 };

// "uint8", "float32", ... as used in messages.
const char* SampleTypeName(SampleType type);
std::size_t SampleSize(SampleType type);

// Any problem with an image file: unreadable, malformed, unsupported content,
// too large, or a write that failed. The message names the file and says what
// is wrong in one line.
class ImageIOError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Pixels in memory order (x fastest, then y, then z), native byte order.
struct Raster {
    SampleType type = SampleType::F32;
    int64_t width = 0, height = 0, depth = 0;
    std::vector<unsigned char> bytes;

    Raster() = default;
    // Zero-filled raster of the given type and extents.
    Raster(SampleType t, int64_t w, int64_t h, int64_t d);

    int64_t Count() const { return width * height * depth; }
    template <class T>
    T* As() {
        return reinterpret_cast<T*>(bytes.data());
    }
    template <class T>
    const T* As() const {
        return reinterpret_cast<const T*>(bytes.data());
    }
    // Sample i converted to double (F16 decoded).
    double At(int64_t i) const;
};

// The largest image a reader accepts, in pixels (width x height x depth). The
// default is what this machine can hold: its physical memory divided by 8, the
// bytes a pixel takes at least once it is read (up to 4) and converted to
// float (4). Without a known memory size there is no limit.
uint64_t DefaultMaxPixels();

struct ReadLimits {
    uint64_t maxPixels = DefaultMaxPixels();
};

// Reads an image, recognising the format by the file's first bytes rather than
// its name. Throws ImageIOError; std::bad_alloc when the memory runs out.
Raster ReadImage(const std::string& path, const ReadLimits& limits = {});

// The image a node gets. By default every type becomes IMAGE_GREY_F (values
// converted to float). With native, the stored type is kept where the host has
// it (F32, U8, U16, U32, Bool); any other type throws ImageIOError naming what.
std::unique_ptr<KELO::CImage> ToNodeImage(const Raster& raster, bool native, const std::string& what);

// A host image as a float raster (pixel values converted to float).
Raster FloatRasterOf(const KELO::CImage& image);

}  // namespace regionfeat
