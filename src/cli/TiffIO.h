// TIFF files, single or multi-page.
#pragma once

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

// Every type but U64, I64 and F16, one page per plane, uncompressed. Writes
// straight to the path; atomic replacement is the caller's business.
void WriteTiff(const std::string& path, const Raster& raster);

}  // namespace regionfeat
