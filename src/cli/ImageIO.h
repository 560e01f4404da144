// Reading and writing images as files: TIFF (single or multi-page), PNG (grey)
// and NPY arrays, and handing them to a node as host images.
//
// A file is read into a Raster that keeps the stored sample type, so that the
// caller can decide between converting to float (what the nodes expect) and
// handing the pixels over in their own type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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
// or a write that failed. The message names the file and says what is wrong in
// one line.
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

// Reads an image, recognising the format by the file's first bytes rather than
// its name. Throws ImageIOError.
Raster ReadImage(const std::string& path);

// TIFF: one sample per pixel; 1-bit (as Bool), 8/16/32-bit unsigned, 8/16/32-bit
// signed, 32/64-bit float; strips or tiles, any compression libtiff decodes. The
// pages of a multi-page file are the planes of a 3-D image and must agree in
// size and type; reduced-resolution pages (previews) are skipped. Stored values
// are read as they stand: the photometric interpretation is not applied.
Raster ReadTiff(const std::string& path);
// PNG: grey images of 1, 2, 4, 8 or 16 bits. 8 bits and below read as U8 with
// their stored values (a 1-bit mask gives 0 and 1, not 0 and 255); 16 bits as U16.
Raster ReadPng(const std::string& path);
// NPY (format versions 1 to 3): C-ordered arrays of shape (H, W) or (D, H, W),
// little- or big-endian, of bool, integer or float types.
Raster ReadNpy(const std::string& path);

// Writers. TIFF: every type but U64, I64 and F16, one page per plane. PNG: U8
// and U16, single plane. NPY: every type, shape (H, W) for one plane, else
// (D, H, W). They write straight to the path; atomic replacement is the
// caller's business.
void WriteTiff(const std::string& path, const Raster& raster);
void WritePng(const std::string& path, const Raster& raster);
void WriteNpy(const std::string& path, const Raster& raster);

// The NPY bytes of a raster (header and data), as WriteNpy writes them.
std::string NpyBytes(const Raster& raster);

// The image a node gets. By default every type becomes IMAGE_GREY_F (values
// converted to float). With native, the stored type is kept where the host has
// it (F32, U8, U16, U32, Bool); any other type throws ImageIOError naming what.
std::unique_ptr<KELO::CImage> ToNodeImage(const Raster& raster, bool native, const std::string& what);

// A host image as a float raster (pixel values converted to float).
Raster FloatRasterOf(const KELO::CImage& image);

}  // namespace regionfeat
