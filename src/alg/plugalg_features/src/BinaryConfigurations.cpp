#include "BinaryConfigurations.h"

#include <cmath>
#include <memory>
#include <new>

#include "MaskedRunningMean.h"

namespace KELO {

namespace {
constexpr int kRadius = 10;            // of the running mean
constexpr int kPasses = 1;             // along rows, then along columns
constexpr float kBitThreshold = 5.0f;  // a pixel is on when |g - s| exceeds it

// On when the grey value differs from the local mean by more than the threshold;
// false for NaN on either side.
inline unsigned Bit(float grey, float smoothed) { return std::fabs(grey - smoothed) > kBitThreshold ? 1u : 0u; }
}  // namespace

bool BinaryConfigurationHistogram(const float* g, int64_t W, const float* m, int64_t w, int64_t h, int64_t x0,
                                  int64_t y0, BlockRule rule, float counters[kConfigurations]) {
    float counts[kConfigurations] = {};
    if (w > 0 && h > 0) {
        std::unique_ptr<float[]> smoothed(new (std::nothrow) float[static_cast<std::size_t>(w * h)]);
        if (!smoothed) return false;
        if (SmoothRegionBox(g, W, m, w, h, x0, y0, kPasses, kRadius, smoothed.get()) != kRunningMeanOk) return false;
        const float* s = smoothed.get();
        const bool wholeBlock = rule == BlockRule::WholeBlockInRegion;

        // The last column and the last row of the box are never top-left pixels.
        int64_t n = 0;  // a 32-bit count would do for any box of realistic size
        for (int64_t j = 0; j + 1 < h; ++j) {
            const float* g0 = g + (y0 + j) * W + x0;
            const float* g1 = g0 + W;
            const float* s0 = s + j * w;
            const float* s1 = s0 + w;
            const float* m0 = m + j * w;
            const float* m1 = m0 + w;
            for (int64_t i = 0; i + 1 < w; ++i) {
                if (m0[i] == 0.0f) continue;
                if (wholeBlock && (m0[i + 1] == 0.0f || m1[i] == 0.0f || m1[i + 1] == 0.0f)) continue;
                unsigned k = Bit(g0[i], s0[i]);
                if (m0[i + 1] != 0.0f) k |= Bit(g0[i + 1], s0[i + 1]) << 1;
                if (m1[i] != 0.0f) k |= Bit(g1[i], s1[i]) << 2;
                if (m1[i + 1] != 0.0f) k |= Bit(g1[i + 1], s1[i + 1]) << 3;
                counts[k] += 1.0f;
                ++n;
            }
        }
        if (n > 0) {
            const auto total = static_cast<float>(n);
            for (float& c : counts) c /= total;
        }
    }
    for (int k = 0; k < kConfigurations; ++k) counters[k] = counts[k];
    return true;
}

}  // namespace KELO
