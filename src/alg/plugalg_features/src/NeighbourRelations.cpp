#include "NeighbourRelations.h"

namespace KELO::relations {

template <class Rule, class Pixel>
int64_t CountCodes(const Pixel* box, int64_t stride, int64_t w, int64_t h, uint64_t* counts) {
    if (w < 2 || h < 2) return 0;
    constexpr unsigned b = Rule::kBase;
    for (int64_t y = 0; y + 1 < h; ++y) {
        const Pixel* row = box + y * stride;
        const Pixel* below = row + stride;
        // The right-hand pixels become the next pixel's own values, so each value
        // is converted once.
        float v = static_cast<float>(row[0]);
        float vBelow = static_cast<float>(below[0]);
        for (int64_t x = 0; x + 1 < w; ++x) {
            const auto right = static_cast<float>(row[x + 1]);
            const auto lowerRight = static_cast<float>(below[x + 1]);
            const unsigned code =
                Rule::Digit(v, right) + b * Rule::Digit(v, vBelow) + b * b * Rule::Digit(v, lowerRight);
            ++counts[code];
            v = right;
            vBelow = lowerRight;
        }
    }
    return (w - 1) * (h - 1);
}

template int64_t CountCodes<BigDifference, float>(const float*, int64_t, int64_t, int64_t, uint64_t*);
template int64_t CountCodes<ThreeParts, float>(const float*, int64_t, int64_t, int64_t, uint64_t*);
template int64_t CountCodes<ThreeParts, uint8_t>(const uint8_t*, int64_t, int64_t, int64_t, uint64_t*);

}  // namespace KELO::relations
