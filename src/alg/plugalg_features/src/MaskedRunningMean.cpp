#include "MaskedRunningMean.h"

#include <algorithm>
#include <memory>
#include <new>

namespace KELO {

namespace {

// Scratch memory of one call: running sums and counts for the longest line.
struct Scratch {
    std::unique_ptr<float[]> sums;
    std::unique_ptr<int32_t[]> counts;

    int Allocate(int64_t n) {
        const auto len = static_cast<std::size_t>(n);
        // Value-initialised, although only entries at region pixels are ever read.
        sums.reset(new (std::nothrow) float[len]());
        if (!sums) return kRunningMeanNoSums;
        counts.reset(new (std::nothrow) int32_t[len]());
        if (!counts) return kRunningMeanNoCounts;
        return kRunningMeanOk;
    }
};

// One pass of the mean over a line of n pixels: value i at v[i * vstep], its
// mask at m[i * mstep].
void MeanLine(float* v, int64_t vstep, const float* m, int64_t mstep, int64_t n, int64_t r, float* sums,
              int32_t* counts) {
    auto inside = [&](int64_t i) { return m[i * mstep] != 0.0f; };

    float sum = 0.0f;
    int32_t count = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (!inside(i)) continue;  // no entry: such positions are never an end of a window
        sum += v[i * vstep];
        ++count;
        sums[i] = sum;
        counts[i] = count;
    }

    for (int64_t x = 0; x < n; ++x) {
        if (!inside(x)) continue;
        int64_t right = std::min(x + r, n - 1);
        while (right > x && !inside(right)) --right;
        float windowSum = sums[right];
        int32_t windowCount = counts[right];
        int64_t left = x - r - 1;
        if (left >= 0) {
            while (left < x && !inside(left)) ++left;
            windowSum = sums[right] - sums[left];
            windowCount = counts[right] - counts[left];
        }
        if (windowCount > 0) v[x * vstep] = windowSum / static_cast<float>(windowCount);
    }
}

}  // namespace

int MaskedRunningMeanRows(float* values, int64_t stride, int passes, int radius, const float* mask, int64_t w,
                          int64_t h, int64_t x0, int64_t y0) {
    if (passes <= 0 || w <= 0 || h <= 0) return kRunningMeanOk;
    Scratch scratch;
    if (const int rc = scratch.Allocate(w); rc != kRunningMeanOk) return rc;
    const int64_t r = std::max(radius, 0);
    // Rows do not interact, so all passes over one row are done before the next row.
    for (int64_t y = 0; y < h; ++y) {
        float* line = values + (y0 + y) * stride + x0;
        const float* m = mask + y * w;
        for (int p = 0; p < passes; ++p) MeanLine(line, 1, m, 1, w, r, scratch.sums.get(), scratch.counts.get());
    }
    return kRunningMeanOk;
}

int MaskedRunningMeanColumns(float* values, int64_t stride, int passes, int radius, const float* mask, int64_t w,
                             int64_t h, int64_t x0, int64_t y0) {
    if (passes <= 0 || w <= 0 || h <= 0) return kRunningMeanOk;
    Scratch scratch;
    if (const int rc = scratch.Allocate(h); rc != kRunningMeanOk) return rc;
    const int64_t r = std::max(radius, 0);
    for (int64_t x = 0; x < w; ++x) {
        float* line = values + y0 * stride + x0 + x;
        const float* m = mask + x;
        for (int p = 0; p < passes; ++p)
            MeanLine(line, stride, m, w, h, r, scratch.sums.get(), scratch.counts.get());
    }
    return kRunningMeanOk;
}

int SmoothRegionBox(const float* grey, int64_t greyStride, const float* mask, int64_t w, int64_t h, int64_t x0,
                    int64_t y0, int passes, int radius, float* box) {
    if (w <= 0 || h <= 0) return kRunningMeanOk;
    for (int64_t j = 0; j < h; ++j) std::copy_n(grey + (y0 + j) * greyStride + x0, w, box + j * w);
    if (const int rc = MaskedRunningMeanRows(box, w, passes, radius, mask, w, h, 0, 0); rc != kRunningMeanOk)
        return rc;
    return MaskedRunningMeanColumns(box, w, passes, radius, mask, w, h, 0, 0);
}

}  // namespace KELO
