#include "RegionMoments.h"

namespace KELO::moments {

Sums MaskSums(const float* mask, int64_t w, int64_t h) {
    Sums s;
    for (int64_t y = 0; y < h; ++y) {
        const float* row = mask + y * w;
        for (int64_t x = 0; x < w; ++x)
            if (row[x] != 0.0f) s.Add(x, y);
    }
    return s;
}

}  // namespace KELO::moments
