// Masked running mean: a box mean of a given radius taken inside a region mask,
// one variant along rows and one along columns, both in place. Used by the
// binary neighbourhood histogram nodes to get a local mean of a region's grey
// values that never mixes in pixels outside the region.
//
// The window rule, for a region pixel at position x of a line (a row of the box
// for the row variant, a column for the column variant) of length n:
//   - running sums (float) and running counts (32-bit) of the line's region
//     pixels are taken in order first, so every read of a line happens before
//     any write to it;
//   - right end R = min(x + r, n - 1), moved left onto the nearest region pixel
//     (at the latest x itself);
//   - left end L = x - r - 1; when L < 0 there is none, otherwise an L outside
//     the region is moved right onto the nearest region pixel (at the latest x);
//   - the mean is (sum at R - sum at L) / (count at R - count at L), and a pixel
//     whose count comes out 0 keeps its value.
// So the window is the region's pixels in x - r .. x + r, except that when
// x - r - 1 lies in the line but outside the region, the first region pixel
// after it is left out too. Pixels outside the region are neither read nor
// changed.
#pragma once

#include <cstdint>

namespace KELO {

// Return codes of the running means.
inline constexpr int kRunningMeanOk = 0;
inline constexpr int kRunningMeanNoSums = -1;    // the scratch array of running sums could not be allocated
inline constexpr int kRunningMeanNoCounts = -2;  // the scratch array of running counts could not be allocated

// Smooths values in place over the box x0 .. x0 + w - 1, y0 .. y0 + h - 1.
//   values: image pixels, element (x, y) at values[y * stride + x]; the box must
//           lie inside the image.
//   passes: how many times the mean is applied along each line (0 or less: none).
//   radius: window radius r (a negative radius counts as 0).
//   mask:   w x h values (row stride w), region where non-zero; mask (i, j)
//           belongs to image pixel (x0 + i, y0 + j).
// Returns kRunningMeanOk, or a negative code when scratch memory is missing, in
// which case values are unchanged.
int MaskedRunningMeanRows(float* values, int64_t stride, int passes, int radius, const float* mask, int64_t w,
                          int64_t h, int64_t x0, int64_t y0);
int MaskedRunningMeanColumns(float* values, int64_t stride, int passes, int radius, const float* mask, int64_t w,
                             int64_t h, int64_t x0, int64_t y0);

// The smoothed region of the binary neighbourhood nodes: copies the box of a
// grey image (row stride greyStride, box origin x0, y0) into box (w x h floats,
// row stride w), then applies the running mean along rows and then along
// columns, `passes` passes each, inside the mask. passes and radius come in the
// same order as in the running means above.
//
// Only pixels of the box are ever read or changed by the running means, so this
// copy of the box holds exactly what a copy of the whole image would hold there
// after the same smoothing: the nodes need no more of the image than the box.
// Returns the first non-zero code of the running means, else kRunningMeanOk.
int SmoothRegionBox(const float* grey, int64_t greyStride, const float* mask, int64_t w, int64_t h, int64_t x0,
                    int64_t y0, int passes, int radius, float* box);

}  // namespace KELO
