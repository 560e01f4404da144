#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "PXYInteractionHist.h"
#include "TestSupport.h"

using namespace KELO;
using autothreshold::Position;
using Bins = std::array<uint64_t, 5>;

namespace {
// The bin of a pair as written out: d^2 in float, exp in double, 5 k truncated, at most 4.
int PlainBin(int64_t dx, int64_t dy) {
    const float fx = static_cast<float>(dx), fy = static_cast<float>(dy);
    const double k = std::exp(static_cast<double>(fx * fx + fy * fy) * -0.05);
    return static_cast<int>(std::min<int64_t>(static_cast<int64_t>(5.0 * k), 4));
}

// Every ordered pair visited.
Bins DirectCount(const std::vector<Position>& set) {
    Bins b{};
    for (const Position& p : set)
        for (const Position& q : set) ++b[static_cast<std::size_t>(PlainBin(q.x - p.x, q.y - p.y))];
    return b;
}

Bins Counted(const std::vector<Position>& set, int64_t w, int64_t h) {
    Bins b;
    CPXYInteractionHist::CountPairsByBin(set, w, h, b.data());
    return b;
}

// One label's 10 features written out plainly (grey values in [0, 256)): the whole
// box counts for the thresholds, all ordered pairs visited, bins divided by float(n)^2.
std::vector<float> Reference(int W, const std::vector<float>& grey, const std::vector<float>& labels, int label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, static_cast<float>(label));
    std::vector<float> result(10, 0.0f);
    if (x1 < 0) return result;
    float counts[256] = {}, lower = 0.0f, upper = 256.0f, below = 0.0f, above = 0.0f;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) counts[static_cast<int>(grey[y * W + x])] += 1.0f;
    for (int k = 0; k < 256 && lower == 0.0f; ++k)
        if ((below += counts[k]) > 30.0f) lower = static_cast<float>(k + 1);
    for (int k = 255; k >= 0 && upper == 256.0f; --k)
        if ((above += counts[k]) > 30.0f) upper = static_cast<float>(k - 1);
    for (const int side : {0, 1}) {
        std::vector<Position> set;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if (side == 0 ? grey[y * W + x] < lower : grey[y * W + x] > upper) set.push_back({x - x0, y - y0});
        if (set.empty()) continue;
        double bins[5] = {};
        for (const Position& p : set)
            for (const Position& q : set) bins[PlainBin(q.x - p.x, q.y - p.y)] += 1.0;
        const float n = static_cast<float>(set.size());
        for (int b = 0; b < 5; ++b) result[static_cast<std::size_t>(5 * side + b)] = bins[b] / double(n * n);
    }
    return result;
}
}  // namespace

// Random sets of every density, in boxes narrower and wider than a 64-bit word
// and across word edges, against all n^2 pairs visited one by one.
TEST(PXYInteractionHist, PairCountsEqualTheDirectCount) {
    std::mt19937 rng(7);
    const int64_t widths[] = {1, 2, 5, 31, 63, 64, 65, 127, 130};
    for (const int64_t w : widths)
        for (const int64_t h : {1, 3, 9, 17})
            for (const unsigned percent : {1u, 10u, 50u, 100u}) {
                std::vector<Position> set;
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x)
                        if (rng() % 100 < percent) set.push_back({x, y});
                std::shuffle(set.begin(), set.end(), rng);  // any order will do
                EXPECT_EQ(Counted(set, w, h), DirectCount(set)) << w << " x " << h << ", " << percent << "%";
            }
}

// Two pixels at offsets on both sides of each bin's end (d^2 = 4 | 5, 10 | 13,
// 18 | 20, 32 | 34) and beyond a 64-bit word, and a single pixel, whose only
// pair (i, i) lies in bin 4; the bins written out by hand.
TEST(PXYInteractionHist, BinEdgesOfTwoPixelSets) {
    const std::pair<Position, int> cases[] = {{{2, 0}, 4}, {{2, 1}, 3}, {{3, 1}, 3}, {{2, 3}, 2}, {{3, 3}, 2},
                                              {{4, 2}, 1}, {{4, 4}, 1}, {{5, 3}, 0}, {{70, 0}, 0}};
    for (const auto& [d, bin] : cases)
        for (const bool mirrored : {false, true}) {
            // The second pixel below and to the right, or below and to the left.
            const Position a{mirrored ? d.x : 0, 0}, b{mirrored ? 0 : d.x, d.y};
            Bins want{};
            want[4] = 2, want[static_cast<std::size_t>(bin)] += 2;
            EXPECT_EQ(Counted({a, b}, d.x + 1, d.y + 1), want) << d.x << ", " << d.y;
        }
    EXPECT_EQ(Counted({{3, 2}}, 4, 3), (Bins{0, 0, 0, 0, 1}));
    EXPECT_EQ(Counted({}, 4, 3), (Bins{}));
    // A position outside the box is refused rather than written past the bit rows.
    Bins b;
    EXPECT_THROW(CPXYInteractionHist::CountPairsByBin({{4, 0}}, 4, 3, b.data()), std::out_of_range);
}

TEST(PXYInteractionHist, RegionsAgainstPlainReference) {
    // Overlapping boxes (pixels of other labels count), label 4 absent, label 3
    // with a box of 20 pixels (no sets), label 5 flat (both sets the whole box),
    // label 6 on the bottom edge; grey values with few levels (large sets),
    // many levels with fractions (sets of a little more than 30), or ties.
    const int W = 90, H = 40;
    std::vector<float> labels(W * H, 0.0f), grey(W * H);
    for (const auto& [label, x0, y0, w, h] : {std::array{1, 0, 0, 70, 25}, std::array{2, 40, 10, 48, 28},
                                              std::array{3, 85, 0, 5, 4}, std::array{5, 2, 27, 20, 9},
                                              std::array{6, 30, 30, 7, 10}})
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) labels[y * W + x] = static_cast<float>(label);
    std::mt19937 rng(3);
    for (int i = 0; i < W * H; ++i) {
        const unsigned r = rng();
        const int x = i % W;
        grey[i] = x < 30 ? static_cast<float>(r % 4) : x < 60 ? static_cast<float>(r % 25600) / 100.0f
                                                               : static_cast<float>(100 + r % 3);
        if (labels[i] == 5.0f) grey[i] = 17.0f;
    }
    const std::vector<float> got = test::RunMatrix(new CPXYInteractionHist(), W, grey, labels);
    std::vector<float> want;
    for (int label = 1; label <= 6; ++label) {
        const auto row = Reference(W, grey, labels, label);
        want.insert(want.end(), row.begin(), row.end());
    }
    EXPECT_EQ(got, want);
    // The scene holds what it is meant to: equal halves for the flat region, no sets in the small box.
    EXPECT_TRUE(std::equal(got.begin() + 40, got.begin() + 45, got.begin() + 45));
    EXPECT_TRUE(std::all_of(got.begin() + 20, got.begin() + 40, [](float v) { return v == 0.0f; }));
}

// A flat 300 x 200 region: both sets hold all 60,000 pixels, 3.6e9 ordered
// pairs. The pairs at offset (dx, dy) number (w - |dx|) (h - |dy|), which gives
// the bins without visiting any pair.
TEST(PXYInteractionHist, LargeFlatRegionFromOffsetCounts) {
    const int64_t w = 300, h = 200;
    double bins[5] = {};
    for (int64_t dy = 1 - h; dy < h; ++dy)
        for (int64_t dx = 1 - w; dx < w; ++dx)
            bins[PlainBin(dx, dy)] += static_cast<double>((w - std::abs(dx)) * (h - std::abs(dy)));
    const auto n = static_cast<float>(w * h);
    const std::vector<float> flat(w * h, 80.0f), one(w * h, 1.0f);
    const std::vector<float> got = test::RunMatrix(new CPXYInteractionHist(), w, flat, one);
    for (int b = 0; b < 5; ++b) {
        EXPECT_EQ(got[static_cast<std::size_t>(b)], static_cast<float>(bins[b] / double(n * n))) << b;
        EXPECT_EQ(got[static_cast<std::size_t>(5 + b)], got[static_cast<std::size_t>(b)]) << b;
    }
}

TEST(PXYInteractionHist, ChecksLocationsAndVerboseLines) {
    using frame::Check;
    const auto make = [] { return new CPXYInteractionHist(); };
    const std::string at = "(feature plugins) XYInteractionHist::Run";
    test::ExpectInputChecks(make, at,
                            {{Check::GreyNull, "First image is NULL"},
                             {Check::GreyType, " The first input image is not of type IMAGE_GREY_F", 0,
                              "(Feature plugins) XYInteractionHist::Run"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    test::NodeHarness none(make());
    none.Connect(0, test::FilledImage(3, 3, 1.0f));
    none.Connect(1, test::FilledImage(3, 3, 0.0f));
    EXPECT_EQ(test::CatchException([&] { none.Run(); }).Location(), "(feature plugins) CFXYInteractionHist::Run");

    // Labels 1 and 3: the count line in the node's own words, then the frame's.
    test::NodeHarness h(make());
    h.SetParameter("verbose", new CValueBool(true));
    h.Connect(0, test::FilledImage(3, 2, 9.0f));
    h.Connect(1, test::FloatImage(3, 2, {1, 1, 0, 0, 3, 3}));
    EXPECT_EQ(h.RunCapturingStdout(),
              "The number of regions are: 3\nThere are 2 non-empty regions. \nWarning: There are 1 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");

    // Called from outside a run: no grey image gives zeros, a box past the image is refused.
    auto grey = test::FilledImage(10, 10, 4.0f), mask = test::FilledImage(8, 4, 1.0f);
    std::vector<double> features(10, 7.0);
    CPXYInteractionHist().ComputeRegion(nullptr, mask.get(), 0, 0, features);
    EXPECT_EQ(features, std::vector<double>(10, 0.0));
    for (const int x0 : {3, -1})
        test::CatchException([&] { CPXYInteractionHist().ComputeRegion(grey.get(), mask.get(), x0, 0, features); });
}
