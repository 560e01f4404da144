// TIFF files, single or multi-page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ImageIO.h"

namespace regionfeat {

// One sample per pixel; 1-bit (as Bool), 8/16/32-bit unsigned, 8/16/32-bit
// signed, 32/64-bit float; strips or tiles, any compression libtiff decodes.
// The pages of a multi-page file are the planes of a 3-D image and must agree
// in size and type; reduced-resolution pages (previews) are skipped. Stored
// values are read as they stand: the photometric interpretation is not applied.
//
// Before anything is decoded, every page is looked at: the pixels of all pages
// together must stay within limits, every strip or tile must lie within the
// file, no two of them may share bytes of the file (so a small file cannot
// declare one block of data again and again), and an uncompressed one must
// hold the bytes its rows need. Decoding then appends row by row or tile row by
// tile row, so compressed data cost memory only as they expand.
Raster ReadTiff(const std::string& path, const ReadLimits& limits = {});
// The same into a sink (ReadImageInto).
void ReadTiffInto(const std::string& path, const ReadLimits& limits, SampleSink& sink);

// Pixel data above this many bytes are written as BigTIFF: a classic TIFF
// addresses 4 GiB, and half of that leaves room for the directories and for
// readers that take offsets as signed 32-bit numbers.
constexpr uint64_t kClassicTiffDataLimit = uint64_t{1} << 31;
bool NeedsBigTiff(uint64_t dataBytes);

// Every type but U64, I64 and F16, one page per plane, uncompressed strips.
// BigTIFF when big is set or the pixel data exceed kClassicTiffDataLimit,
// else classic TIFF. Writes straight to the path; atomic replacement is the
// caller's business.
void WriteTiff(const std::string& path, const Raster& raster, bool big = false);

// One page of `width` samples per row, rows appended in order, uncompressed
// strips; ImageLength grows as rows are appended. BigTIFF when big is true;
// a classic file fails (ImageIOError from Append) once it would pass 4 GiB,
// so pass big for data whose size is not known to stay below that. Types as
// WriteTiff. Writes straight to the path like WriteTiff.
class TiffRowWriter {
public:
    TiffRowWriter(const std::string& path, uint32_t width, SampleType type, bool big);
    ~TiffRowWriter();  // closes without throwing if Close was not called
    TiffRowWriter(const TiffRowWriter&) = delete;
    TiffRowWriter& operator=(const TiffRowWriter&) = delete;
    // count rows of width samples, native byte order (Bool: one byte per sample).
    void Append(const void* rows, uint32_t count);
    // Finishes the file; throws ImageIOError. A TIFF image cannot hold zero
    // rows, so Close after no rows throws ImageIOError and leaves an
    // unfinished file for the caller to remove.
    void Close();
    uint64_t Rows() const;

    struct Impl;  // also writes WriteTiff's pages

private:
    std::unique_ptr<Impl> m;
};

}  // namespace regionfeat
