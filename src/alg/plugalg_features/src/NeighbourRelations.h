// Neighbour relation codes of a box of grey values, shared by the relation
// histogram nodes (RelnbhHist, ThreePartsRelNbhHist).
//
// Every pixel (x, y) of the box with x <= w - 2 and y <= h - 2, whatever its
// label, is compared with its right (x + 1, y), lower (x, y + 1) and lower-right
// (x + 1, y + 1) neighbour. Each comparison gives a digit by the node's rule, and
// the pixel's code is right + base * lower + base^2 * lower-right. The last
// column and the last row of the box are never coded, so every neighbour read
// lies inside the box.
//
// Grey values are compared as single-precision floats; 8-bit boxes are read
// value by value as floats, so an 8-bit image codes like the float image of the
// same values.
#pragma once

#include <cmath>
#include <cstdint>

namespace KELO::relations {

// RelnbhHist: 1 when the grey values differ by more than 5 (strictly), else 0.
// A NaN difference is not more than 5: digit 0.
struct BigDifference {
    static constexpr unsigned kBase = 2;
    static constexpr unsigned kCodes = 8;
    static unsigned Digit(float v, float n) { return std::fabs(v - n) > 5.0f ? 1u : 0u; }
};

// ThreePartsRelNbhHist: 2 when the neighbour is brighter by 2 or more, 1 when the
// two differ by less than 2, 0 otherwise (darker by 2 or more, or a NaN
// difference, as between two equal infinities).
struct ThreeParts {
    static constexpr unsigned kBase = 3;
    static constexpr unsigned kCodes = 27;
    // With d = n - v: |v - n| equals |d| exactly, so the rule reads d >= 2 -> 2,
    // -2 < d < 2 -> 1, else 0 (NaN fails both comparisons); summed without a
    // branch, which noisy grey values would mispredict.
    static unsigned Digit(float v, float n) {
        const float d = n - v;
        return static_cast<unsigned>(d >= 2.0f) + static_cast<unsigned>(d > -2.0f);
    }
};

// Adds 1 to counts[code] for every coded pixel of the box and returns how many
// pixels were coded ((w - 1) * (h - 1), or 0 for a box narrower or lower than 2).
//   box:    the box's top-left pixel; pixel (x, y) at box[y * stride + x].
//   counts: Rule::kCodes counters.
// Instantiated for float and 8-bit pixels.
template <class Rule, class Pixel>
int64_t CountCodes(const Pixel* box, int64_t stride, int64_t w, int64_t h, uint64_t* counts);

}  // namespace KELO::relations
