#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "AutoThreshold.h"

using namespace KELO::autothreshold;

// The node's tests cover thresholds inside the level range; these are the ends.
TEST(AutoThreshold, ThresholdsAtTheEndLevelsAndFloatCounters) {
    LevelHistogram dark, bright;
    for (int i = 0; i < 31; ++i) dark.Add(0.0f);
    for (int i = 0; i < 6; ++i) bright.Add(255.5f);
    const Thresholds d = FindThresholds(dark, 30.0f);
    const Thresholds b = FindThresholds(bright, 5.0f);  // another limit, as NbhSpHist sets it
    EXPECT_TRUE(d.lower == 1.0f && d.upper == -1.0f) << d.lower << " " << d.upper;
    EXPECT_TRUE(b.lower == 256.0f && b.upper == 254.0f) << b.lower << " " << b.upper;
    // A float counter stops at 2^24, so 2^24 + 5 pixels do not pass 2^24 + 2.
    LevelHistogram h;
    for (int64_t i = 0; i < (int64_t{1} << 24) + 5; ++i) h.Add(17.0f);
    EXPECT_EQ(FindThresholds(h, 16777218.0f).lower, 0.0f);
}

TEST(AutoThreshold, MaskedBox) {
    // A 6 x 4 image, the box x 1..4, y 1..2: only box pixels whose mask is not 0
    // count and can belong to a set (the node's tests cover the box without mask).
    const std::vector<float> image = {0, 0,  0,  0,  0,  0, 0, 10, 50, 10, 90, 0,
                                      0, 90, 10, 50, 10, 0, 0, 0,  0,  0,  0,  0};
    const std::vector<float> mask = {1, 1, 1, 0, 0, 1, 1, 1};
    const GreyBox box{image.data() + 7, 6, 4, 2};
    LevelHistogram h;
    CountBox(box, mask.data(), h);
    EXPECT_EQ((std::vector<uint64_t>{h.Count(0), h.Count(10), h.Count(50), h.Count(90)}),
              (std::vector<uint64_t>{0, 4, 2, 0}));
    std::vector<Position> set{{99, 99}};  // replaced, not appended to
    ASSERT_TRUE(CollectSet(box, mask.data(), Thresholds{11.0f, 49.0f}, Side::Bright, set));
    ASSERT_EQ(set.size(), 2u);  // the 50s at (1, 0) and (2, 1); the 90s are masked out
    EXPECT_TRUE(set[0].x == 1 && set[0].y == 0 && set[1].x == 2 && set[1].y == 1);
}

TEST(AutoThreshold, PairMeasureByHandAndAgainstThePlainSum) {
    EXPECT_EQ(PairMeasure({}), 0.0f);
    EXPECT_EQ(PairMeasure({{2, 2}, {2, 2}, {2, 2}}), 1.0f);
    EXPECT_NEAR(PairMeasure({{0, 0}, {3, 4}}), 0.5410425, 1e-6);  // (2 + 2 exp(-2.5)) / 4
    const int32_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(PairMeasure({{lo, lo}, {hi, hi}}), 0.5f);

    const auto plain = [](const std::vector<Position>& set) {
        float sum = 0.0f;
        for (const Position& a : set)
            for (const Position& b : set) {
                const float dx = static_cast<float>(a.x) - static_cast<float>(b.x);
                const float dy = static_cast<float>(a.y) - static_cast<float>(b.y);
                sum += static_cast<float>(std::exp(-0.1 * static_cast<double>(dx * dx + dy * dy)));
            }
        return sum / static_cast<float>(set.size() * set.size());
    };
    // Pairs around the distance at which a term stops changing a sum of at least 1.
    for (const Position far : {Position{12, 4}, Position{9, 9}, Position{10, 8}, Position{12, 5}, Position{13, 0}})
        EXPECT_EQ(PairMeasure({{0, 0}, far}), plain({{0, 0}, far})) << far.x << "," << far.y;
    std::mt19937 rng(7);
    const auto randomSet = [&](int n, int w, int h, bool scanOrder) {
        std::vector<Position> s(static_cast<std::size_t>(n));
        for (Position& p : s) p = {static_cast<int32_t>(rng() % w) - 5, static_cast<int32_t>(rng() % h)};
        if (scanOrder)
            std::sort(s.begin(), s.end(), [](Position a, Position b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
        return s;
    };
    // Scan order with gaps between rows, dense with repeated positions, rows far
    // wider than the kernel; any order.
    for (int round = 0; round < 4; ++round)
        for (const auto& set : {randomSet(300, 60, 80, true), randomSet(700, 12, 120, true),
                                randomSet(1200, 40, 40, true), randomSet(500, 400, 30, true),
                                randomSet(250, 30, 90, false)})
            EXPECT_EQ(PairMeasure(set), plain(set)) << "round " << round << ", " << set.size();
}
