#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "AutoThreshold.h"

using namespace KELO::autothreshold;

namespace {

LevelHistogram WithCounts(const std::vector<std::pair<float, int>>& valueCounts) {
    LevelHistogram h;
    for (const auto& [value, count] : valueCounts)
        for (int i = 0; i < count; ++i) h.Add(value);
    return h;
}

// The measure as plainly written: every ordered pair, each term rounded to float
// and added in order to a float sum.
float PlainMeasure(const std::vector<Position>& set) {
    if (set.empty()) return 0.0f;
    float sum = 0.0f;
    for (const Position& a : set)
        for (const Position& b : set) {
            const float dx = static_cast<float>(a.x) - static_cast<float>(b.x);
            const float dy = static_cast<float>(a.y) - static_cast<float>(b.y);
            const float d2 = dx * dx + dy * dy;
            sum += static_cast<float>(std::exp(-0.1 * static_cast<double>(d2)));
        }
    const double n = static_cast<double>(set.size());
    return sum / static_cast<float>(n * n);
}

std::vector<int> Coordinates(const std::vector<Position>& set) {
    std::vector<int> xy;
    for (const Position& p : set) xy.insert(xy.end(), {p.x, p.y});
    return xy;
}

}  // namespace

// ----------------------------------------------------------------- thresholds

TEST(AutoThresholdLimits, StrictlyMoreThanTheLimit) {
    struct Case {
        std::vector<std::pair<float, int>> counts;
        float limit, lower, upper;
    };
    const std::vector<Case> cases = {
        {{{100.0f, 30}}, 30.0f, 0.0f, 256.0f},  // 30 pixels do not pass 30
        {{{100.0f, 31}}, 30.0f, 101.0f, 99.0f},  // 31 do
        // Levels 3 (10), 7 (20), 9 (1), 200 (5): from below 10, 30, 31 -> passed at 9;
        // from above 5, 6, 26, 36 -> passed at 3.
        {{{3.0f, 10}, {7.0f, 20}, {9.0f, 1}, {200.0f, 5}}, 30.0f, 10.0f, 2.0f},
        {{{0.0f, 31}}, 30.0f, 1.0f, -1.0f},  // the end levels
        {{{255.0f, 31}}, 30.0f, 256.0f, 254.0f},
        {{}, 30.0f, 0.0f, 256.0f},           // nothing counted
        {{{40.0f, 5}}, 5.0f, 0.0f, 256.0f},  // other limits, as NbhSpHist uses them
        {{{40.0f, 6}}, 5.0f, 41.0f, 39.0f},
        {{}, -1.0f, 1.0f, 254.0f},  // a negative limit is passed by the empty end levels
    };
    for (const Case& c : cases) {
        const Thresholds t = FindThresholds(WithCounts(c.counts), c.limit);
        EXPECT_EQ(t.lower, c.lower) << "limit " << c.limit << ", " << c.counts.size() << " levels";
        EXPECT_EQ(t.upper, c.upper) << "limit " << c.limit << ", " << c.counts.size() << " levels";
    }
}

TEST(AutoThresholdLimits, CountersBehaveAsSinglePrecision) {
    // A float counter stops at 2^24: 2^24 + 5 pixels on one level do not exceed a
    // limit of 2^24 + 2, although the exact count would.
    LevelHistogram h;
    const int64_t n = (int64_t{1} << 24) + 5;
    for (int64_t i = 0; i < n; ++i) h.Add(17.0f);
    EXPECT_EQ(h.Count(17), static_cast<uint64_t>(n));
    EXPECT_EQ(h.Counter(17), 16777216.0f);
    const Thresholds t = FindThresholds(h, 16777218.0f);
    EXPECT_EQ(t.lower, 0.0f);
    EXPECT_EQ(t.upper, 256.0f);
}

// ----------------------------------------------------------------- levels and sets

TEST(AutoThresholdLevels, TruncationAndSaturation) {
    LevelHistogram h;
    for (float g : {0.0f, 0.999f, 3.0f, 3.7f, 255.0f, 255.99f}) h.Add(g);
    EXPECT_EQ(h.Count(0), 2u);
    EXPECT_EQ(h.Count(3), 2u);
    EXPECT_EQ(h.Count(255), 2u);
    // Out of range: saturated to the end levels; NaN is not counted at all.
    const float inf = std::numeric_limits<float>::infinity();
    for (float g : {-0.5f, -3.0f, -inf, 256.0f, 1e30f, inf, std::nanf("")}) h.Add(g);
    EXPECT_EQ(h.Count(0), 5u);
    EXPECT_EQ(h.Count(255), 5u);
    uint64_t total = 0;
    for (int k = 0; k < kLevels; ++k) total += h.Count(k);
    EXPECT_EQ(total, 12u);
}

TEST(AutoThresholdLevels, SetMembershipIsStrict) {
    const Thresholds t{4.0f, 7.0f};
    EXPECT_TRUE(InDarkSet(3.9f, t));
    EXPECT_FALSE(InDarkSet(4.0f, t));
    EXPECT_FALSE(InBrightSet(7.0f, t));
    EXPECT_TRUE(InBrightSet(7.5f, t));  // level 7 itself holds bright values
    EXPECT_FALSE(InDarkSet(std::nanf(""), t));
    EXPECT_FALSE(InBrightSet(std::nanf(""), t));
    // Saturated values compare as 0 and 255.
    EXPECT_FALSE(InDarkSet(-1.0f, Thresholds{0.0f, 256.0f}));
    EXPECT_TRUE(InDarkSet(-1.0f, t));
    EXPECT_FALSE(InBrightSet(300.0f, Thresholds{0.0f, 256.0f}));
    EXPECT_TRUE(InBrightSet(300.0f, Thresholds{0.0f, 254.0f}));
    EXPECT_FALSE(InBrightSet(300.0f, Thresholds{0.0f, 255.0f}));
}

TEST(AutoThresholdBox, CountsAndCollectsOnlyTheBox) {
    // A 6 x 4 image; the box is x 1..4, y 1..2 (stride 6). Values outside the box are 0.
    // clang-format off
    const std::vector<float> image = {
        0,  0,  0,  0,  0, 0,
        0, 10, 50, 10, 90, 0,
        0, 90, 10, 50, 10, 0,
        0,  0,  0,  0,  0, 0,
    };
    const std::vector<float> mask = {
        1, 1, 1, 0,
        0, 1, 1, 1,
    };
    // clang-format on
    const GreyBox box{image.data() + 6 + 1, 6, 4, 2};
    LevelHistogram all;
    CountBox(box, nullptr, all);
    EXPECT_EQ(all.Count(0), 0u);
    EXPECT_EQ(all.Count(10), 4u);
    EXPECT_EQ(all.Count(50), 2u);
    EXPECT_EQ(all.Count(90), 2u);

    LevelHistogram masked;
    CountBox(box, mask.data(), masked);
    EXPECT_EQ(masked.Count(10), 4u);
    EXPECT_EQ(masked.Count(50), 2u);
    EXPECT_EQ(masked.Count(90), 0u);

    const Thresholds t{11.0f, 49.0f};
    std::vector<Position> set{{99, 99}};  // replaced, not appended to
    ASSERT_TRUE(CollectSet(box, nullptr, t, Side::Dark, set));
    EXPECT_EQ(Coordinates(set), (std::vector<int>{0, 0, 2, 0, 1, 1, 3, 1}));
    // The 50s at (1, 0) and (2, 1); the 90s are masked out.
    ASSERT_TRUE(CollectSet(box, mask.data(), t, Side::Bright, set));
    EXPECT_EQ(Coordinates(set), (std::vector<int>{1, 0, 2, 1}));
}

// ----------------------------------------------------------------- pair measure

TEST(AutoThresholdPairMeasure, EmptyAndSinglePixel) {
    EXPECT_EQ(PairMeasure({}), 0.0f);
    EXPECT_EQ(PairMeasure({{5, 7}}), 1.0f);
    // Several pixels on one spot are a single position too.
    EXPECT_EQ(PairMeasure({{2, 2}, {2, 2}, {2, 2}}), 1.0f);
}

TEST(AutoThresholdPairMeasure, TwoPixels) {
    // (2 + 2 exp(-0.1 d^2)) / 4, for distances inside and far beyond the kernel, and
    // around the distance at which a term stops changing a sum of at least 1
    // (d^2 = 164 and 162 still add a unit in the last place, 169 no longer does).
    const std::vector<std::pair<Position, Position>> pairs = {
        {{0, 0}, {1, 0}},  {{0, 0}, {0, 3}},  {{4, 1}, {1, 5}},  {{0, 0}, {12, 4}}, {{0, 0}, {9, 9}},
        {{0, 0}, {10, 8}}, {{0, 0}, {12, 5}}, {{0, 0}, {40, 0}}, {{0, 0}, {0, 1000}}};
    for (const auto& [a, b] : pairs) {
        const double d2 = double(a.x - b.x) * (a.x - b.x) + double(a.y - b.y) * (a.y - b.y);
        const double expected = (2.0 + 2.0 * std::exp(-0.1 * d2)) / 4.0;
        const float got = PairMeasure({a, b});
        EXPECT_NEAR(got, expected, 1e-7) << "d^2 = " << d2;
        EXPECT_EQ(got, PlainMeasure({a, b})) << "d^2 = " << d2;
    }
    // Distance 5: exp(-2.5) = 0.0820850; (2 + 0.164170) / 4 = 0.5410425.
    EXPECT_NEAR(PairMeasure({{0, 0}, {3, 4}}), 0.5410425, 1e-6);
    // Positions at the ends of the 32-bit range: no overflow, the cross pairs add nothing.
    const int32_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(PairMeasure({{lo, lo}, {hi, hi}}), 0.5f);
}

TEST(AutoThresholdPairMeasure, MatchesThePlainSumBitForBit) {
    std::mt19937 rng(7);
    auto randomSet = [&](int n, int w, int h) {
        std::vector<Position> s;
        for (int i = 0; i < n; ++i)
            s.push_back({static_cast<int32_t>(rng() % w), static_cast<int32_t>(rng() % h)});
        return s;
    };
    auto scanOrder = [](std::vector<Position> s) {
        std::stable_sort(s.begin(), s.end(), [](const Position& a, const Position& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
        return s;
    };
    // Sets in scan order, small and spread over many rows, and sets in any order.
    for (int round = 0; round < 6; ++round) {
        const auto sparse = scanOrder(randomSet(300, 60, 80));
        EXPECT_EQ(PairMeasure(sparse), PlainMeasure(sparse));
        const auto dense = scanOrder(randomSet(700, 12, 120));
        EXPECT_EQ(PairMeasure(dense), PlainMeasure(dense));
        const auto unordered = randomSet(250, 30, 90);
        EXPECT_EQ(PairMeasure(unordered), PlainMeasure(unordered));
    }
    // A full 40 x 40 block: a set far larger than the kernel's reach.
    std::vector<Position> block;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) block.push_back({x, y});
    EXPECT_EQ(PairMeasure(block), PlainMeasure(block));
}
