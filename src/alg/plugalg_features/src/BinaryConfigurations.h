// The binary 2 x 2 configuration histogram of a region, shared by BinNbhHist
// and BinNbhHistPlusXYEntropy.
//
// A pixel is on when its grey value g differs from the local mean s of the
// region's grey values by more than 5 (|g - s| > 5, single precision), s being
// the masked running mean of radius 10 along rows and then along columns (one
// pass each, see MaskedRunningMean.h). Every counted block adds 1 to counter
// k = b0 + 2 b1 + 4 b2 + 8 b3 of its pixel (b0), right (b1), lower (b2) and
// lower-right (b3) neighbour; blocks are scanned row by row over the top-left
// positions 0 <= x <= w - 2, 0 <= y <= h - 2 of the box, and the counters are
// divided by the number of counted blocks (single precision) when there is one.
//
// Grey values: any float value is accepted. They enter the means as they are; a
// pixel whose comparison |g - s| > 5 involves a NaN (a NaN grey value, a mean
// spoilt by one, or inf - inf) is off, so a configuration is always one of the
// 16 counters.
#pragma once

#include <cstdint>

namespace KELO {

// Which 2 x 2 blocks of a region's box count.
enum class BlockRule {
    // Every block whose top-left pixel is in the region; its other pixels count
    // as off when they lie outside the region, whatever their grey values.
    TopLeftInRegion,
    // Only blocks whose four pixels all lie in the region.
    WholeBlockInRegion,
};

inline constexpr int kConfigurations = 16;

// The 16 relative frequencies of one region into counters (all 0 when no block
// counts). grey: image pixels, (x, y) at grey[y * greyStride + x]; mask: w x h
// values (row stride w), region where not 0.0, mask (i, j) belonging to grey
// pixel (x0 + i, y0 + j); the box must lie inside the image.
//
// Only the box of the grey image is copied and smoothed: the running means read
// and change nothing outside the box, so this gives what smoothing a copy of
// the whole image would give. Returns false, with counters untouched, when the
// working copy of the box or the scratch memory of the means cannot be had:
// without a local mean there is nothing to compare with.
bool BinaryConfigurationHistogram(const float* grey, int64_t greyStride, const float* mask, int64_t w, int64_t h,
                                  int64_t x0, int64_t y0, BlockRule rule, float counters[kConfigurations]);

}  // namespace KELO
