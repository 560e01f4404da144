// Automatic grey-value thresholds and the positional measure of the darkest and
// brightest pixels of a region, shared by the nodes that characterise how these
// extreme pixels are spread (XYEntropy, XYInteractionHist,
// BinNbhHistPlusXYEntropy) and, for the threshold rule alone, NbhSpHist.
//
// The steps, each usable on its own:
//   1. LevelHistogram: 256 counters, a grey value g counts at level trunc(g).
//   2. FindThresholds: the lower threshold is k + 1 for the first level k, counted
//      from 0 upward, at which the running count exceeds the limit (strictly),
//      else 0; the upper threshold is k - 1 for the first level k, counted from 255
//      downward, at which it exceeds the limit, else 256. Counts, running sums and
//      thresholds are single precision.
//   3. InDarkSet / InBrightSet: g < lower threshold, g > upper threshold (strict;
//      NaN is in neither set). CollectSet gathers one set of a box in scan order.
//   4. PairMeasure: the mean over all ordered pairs of a set of
//      exp(-0.1 * squared distance), accumulated in single precision.
//
// Grey values outside [0, 256) have no counter of their own. They are treated
// as saturated: a value below 0 (also -inf) counts and compares as 0, a value of
// 256 or more (also +inf) as 255. An image with such values thus gives exactly
// what it would give after clipping to [0, 255]: the extremes stay the darkest
// and brightest pixels, nothing is lost and no counter outside the 256 is
// touched. NaN is counted nowhere and belongs to neither set. A node that
// rejects such images beforehand (NbhSpHist) is not affected by this rule.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace KELO::autothreshold {

inline constexpr int kLevels = 256;
// The pixel count the thresholds must exceed in XYEntropy and the nodes built on it.
inline constexpr float kDefaultLimit = 30.0f;

// A grey value as the histogram and the sets see it (see the file comment).
inline float Saturate(float g) {
    if (g < 0.0f) return 0.0f;
    if (g >= 256.0f) return 255.0f;
    return g;  // in range, or NaN
}

// 256 grey-level counters. Counts are kept exactly; Counter() gives what a
// single-precision counter raised by 1.0 per pixel holds (it stops growing at
// 2^24), which is what the threshold rule reads.
class LevelHistogram {
public:
    void Clear() { m_counts.fill(0); }
    // Counts trunc(Saturate(g)); NaN is not counted.
    void Add(float g) {
        const float s = Saturate(g);
        if (s == s) ++m_counts[static_cast<unsigned>(s)];
    }
    float Counter(int level) const;
    uint64_t Count(int level) const { return m_counts[static_cast<std::size_t>(level)]; }

private:
    std::array<uint64_t, kLevels> m_counts{};
};

struct Thresholds {
    float lower = 0.0f;    // dark set: g < lower
    float upper = 256.0f;  // bright set: g > upper
};

// The two thresholds from the counters and the pixel-count limit (compared as float).
Thresholds FindThresholds(const LevelHistogram& histogram, float limit);

inline bool InDarkSet(float g, const Thresholds& t) { return Saturate(g) < t.lower; }
inline bool InBrightSet(float g, const Thresholds& t) { return Saturate(g) > t.upper; }

enum class Side { Dark, Bright };

// A pixel position (column, row), relative to the box it was collected from.
struct Position {
    int32_t x = 0;
    int32_t y = 0;
};

// A w x h box of a float image: pixel (x, y) of the box is origin[y * stride + x].
// The caller guarantees that the box lies inside the image.
struct GreyBox {
    const float* origin = nullptr;
    int64_t stride = 0;
    int64_t w = 0;
    int64_t h = 0;
};

// Counts the box's pixels into histogram (added to what it holds). With a mask
// (w x h floats, rows of w) only pixels whose mask value is not 0 count;
// without one every pixel of the box counts, whatever its label.
void CountBox(const GreyBox& box, const float* mask, LevelHistogram& histogram);

// Replaces set with the positions of the box's pixels on the given side of the
// thresholds (mask as for CountBox), in scan order. Returns false, with set
// empty, when the list cannot be allocated.
bool CollectSet(const GreyBox& box, const float* mask, const Thresholds& t, Side side, std::vector<Position>& set);

// S / n^2 with S the single-precision sum, over all ordered pairs (i, j) of the
// set in order (i outer, j inner, i = j included), of
// float(exp(-0.1 * double(dx^2 + dy^2))), the squared distance formed in single
// precision; n^2 is a 64-bit count converted to float and the division is in
// single precision. 0 for an empty set. Positions in scan order (rows, then
// columns within a row, not decreasing), as CollectSet gives them, cost about
// n * 500 steps; any other order gives the same value over all n^2 pairs.
float PairMeasure(const std::vector<Position>& set);

// Steps 1 to 4 for one box: counts it (mask as for CountBox), finds the
// thresholds with the limit and writes the pair measure of the dark set to dark
// and of the bright set to bright. A set whose position list cannot be
// allocated leaves its value as it was.
void MeasureExtremeSets(const GreyBox& box, const float* mask, float limit, double& dark, double& bright);

}  // namespace KELO::autothreshold
