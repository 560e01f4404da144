#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "PRedrik.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
// One label's two features written out plainly over its box (every pixel of it,
// whatever its label): per row the first largest value above 0 (else 0 at the
// start), the smallest value left of it and right of it, each at most the
// maximum; sums over the rows in single precision.
std::array<float, 2> Reference(const F& g, const F& labels, int W, float label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, label);
    if (x1 < 0) return {0, 0};
    float sm = 0, sl = 0, sr = 0;
    for (int y = y0; y <= y1; ++y) {
        const float* row = &g[y * W];
        int at = x0;
        for (int x = x0; x <= x1; ++x)
            if (row[x] > row[at]) at = x;
        const float m = std::max(row[at], 0.0f);
        if (row[at] <= 0.0f) at = x0;
        float l = m, r = m;
        for (int x = x0; x < at; ++x) l = std::min(l, row[x]);
        for (int x = at + 1; x <= x1; ++x) r = std::min(r, row[x]);
        sm += m, sl += l, sr += r;
    }
    const auto rows = static_cast<float>(y1 - y0 + 1);
    return {sm / rows - sl / rows, sm / rows - sr / rows};
}
}  // namespace

// One-row regions: the maximum first (l = m), last (r = m), twice (the first
// counts), a flat row (both 0), a row of negative values (m = 0 at the start, so
// the right difference is positive), one of zeros, and one with NaN, which is
// never the maximum and never the minimum.
TEST(PRedrik, RowExamples) {
    constexpr int W = 6, H = 7;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const F grey = {9, 3, 1, 4, 0, 0, 2, 4, 6, 8, 0, 0, 2, 5, 0, 5, 3, 0, 7, 7, 7, 0, 0, 0,
                    -3, -1, -7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, nan, 6, nan, 1, 0};
    const F labels = test::PaintBoxes(W, H, {{1, 0, 0, 3, 0}, {2, 0, 1, 3, 1}, {3, 0, 2, 4, 2}, {4, 0, 3, 2, 3},
                                             {5, 0, 4, 2, 4}, {6, 0, 5, 1, 5}, {7, 0, 6, 4, 6}});
    auto h = test::RunNode(new CPRedrik(), test::FloatImage(W, H, grey), test::FloatImage(W, H, labels));
    const float want[H][2] = {{0, 8}, {6, 0}, {3, 5}, {0, 0}, {0, 7}, {0, 0}, {4, 5}};
    for (int r = 0; r < H; ++r) {
        EXPECT_EQ(h.At(0, r), want[r][0]) << "row " << r;
        EXPECT_EQ(h.At(1, r), want[r][1]) << "row " << r;
    }
}

// Labels painted in order (overlapping boxes whose background and other labels
// take part, a box at the right and bottom edges, label 4 absent, two single
// pixels far apart) on grey values with ties and negative values in float, and
// on values 0 .. 255 in float and in 8-bit.
TEST(PRedrik, RegionsAgainstPlainReference) {
    constexpr int W = 19, H = 14;
    const F labels = test::PaintBoxes(W, H, {{1, 0, 0, 8, 6}, {2, 4, 3, 12, 10}, {0, 1, 1, 2, 2}, {3, 14, 8, 18, 13},
                                             {5, 15, 0, 15, 0}, {5, 18, 5, 18, 5}});
    F g = test::RandomLevels(W * H, 13, 31);
    for (float& v : g) v = v * 0.75f - 3.0f;
    const F bytes = test::RandomLevels(W * H, 256, 31);
    for (int run = 0; run < 3; ++run) {
        const F& grey = run == 0 ? g : bytes;
        auto h = test::RunNode(new CPRedrik(), run == 2 ? test::ByteImage(W, H, bytes) : test::FloatImage(W, H, grey),
                               test::FloatImage(W, H, labels));
        ASSERT_EQ(h.Matrix().Size(), CSize(2, 5, 1));
        for (int l = 1; l <= 5; ++l) {
            const auto want = Reference(grey, labels, W, static_cast<float>(l));
            for (int f = 0; f < 2; ++f) EXPECT_EQ(h.At(f, l - 1), want[f]) << "label " << l << " feature " << f;
        }
    }
}

// Also ComputeRegion on its own: no image gives zeros, a crop of another type is
// refused rather than read as floats, too short a vector is not written past.
TEST(PRedrik, ChecksInTheirOrder) {
    test::ExpectUsualInputChecks([] { return new CPRedrik(); }, "Redrik");

    CPRedrik node;
    std::vector<double> f{-1.0, -1.0}, one(1);
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f, std::vector<double>(2, 0.0));
    CImage grey8(IMAGE_GREY_8, CSize(3, 3, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey8, f); }).Location(),
              "(feature plugins) Redrik::ComputeRegion");
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(3, 3, 1.0f).get(), one), std::out_of_range);
}
