// NPY files (format versions 1 to 3): C-ordered arrays of shape (H, W) or
// (D, H, W), little- or big-endian, of bool, integer or float types.
#pragma once

#include <string>

#include "ImageIO.h"

namespace regionfeat {

// The declared shape must fit the file exactly, which is checked before the
// pixel buffer is made.
Raster ReadNpy(const std::string& path, const ReadLimits& limits = {});
// The same into a sink (ReadImageInto).
void ReadNpyInto(const std::string& path, const ReadLimits& limits, SampleSink& sink);

// Every sample type; shape (H, W) for one plane, else (D, H, W). Unlike TIFF
// and PNG, NPY holds arrays without elements (a result of zero rows). Writes
// straight to the path; atomic replacement is the caller's business.
void WriteNpy(const std::string& path, const Raster& raster);

// The NPY bytes of a raster (header and data), as WriteNpy writes them.
std::string NpyBytes(const Raster& raster);

}  // namespace regionfeat
