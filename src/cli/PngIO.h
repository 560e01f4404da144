// PNG files: grey images of 1, 2, 4, 8 or 16 bits.
#pragma once

#include <string>

#include "ImageIO.h"

namespace regionfeat {

// 8 bits and below read as U8 with their stored values (a 1-bit mask gives 0
// and 1, not 0 and 255); 16 bits as U16. Interlaced or not, the pixel buffer
// grows with the rows actually decoded.
Raster ReadPng(const std::string& path, const ReadLimits& limits = {});
// The same into a sink (ReadImageInto).
void ReadPngInto(const std::string& path, const ReadLimits& limits, SampleSink& sink);

}  // namespace regionfeat
