#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "MaskedRunningMean.h"
#include "PBinNbhHist.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
F Row(const F& grey, const F& labels, int64_t W, int r) {
    const F m = test::RunMatrix(new CPBinNbhHist(), W, grey, labels);
    return F(m.begin() + 16 * r, m.begin() + 16 * (r + 1));
}

// The node on a whole-image copy, from the description: along each row, then column
// of the box, a region pixel x gets the mean of the region pixels within 10 of it,
// less the first when x - 11 is a box pixel outside the region (none left: kept).
F Reference(const F& g, const F& labels, int64_t W, float label) {
    auto in = [&](int64_t i) { return labels[std::size_t(i)] == label; };
    int64_t x0 = W, x1 = 0, y0 = int64_t(g.size()), y1 = 0;
    for (int64_t i = 0; i < int64_t(g.size()); ++i)
        if (in(i)) x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = i / W;
    F s = g;
    for (const bool cols : {false, true})
        for (int64_t a = cols ? x0 : y0; a <= (cols ? x1 : y1); ++a) {
            std::vector<int64_t> line, pos;  // image index of each line pixel; line positions of region pixels
            for (int64_t t = cols ? y0 : x0; t <= (cols ? y1 : x1); ++t) line.push_back(cols ? t * W + a : a * W + t);
            F upTo;  // running sum up to the k-th region pixel
            for (int64_t t = 0; t < int64_t(line.size()); ++t)
                if (in(line[t])) pos.push_back(t), upTo.push_back((upTo.empty() ? 0.0f : upTo.back()) + s[line[t]]);
            for (std::size_t k = 0; k < pos.size(); ++k) {
                std::size_t first = k, last = k;
                while (first > 0 && pos[first - 1] >= pos[k] - 10) --first;
                while (last + 1 < pos.size() && pos[last + 1] <= pos[k] + 10) ++last;
                if (pos[k] >= 11 && !in(line[pos[k] - 11])) ++first;
                if (first <= last)
                    s[line[pos[k]]] = (upTo[last] - (first ? upTo[first - 1] : 0.0f)) / float(last - first + 1);
            }
        }
    auto bit = [&](int64_t x, int64_t y) { return in(y * W + x) && std::fabs(g[y * W + x] - s[y * W + x]) > 5.0f; };
    F f(16, 0.0f);
    float n = 0;
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = x0; x < x1; ++x)
            if (in(y * W + x)) f[bit(x, y) + 2 * bit(x + 1, y) + 4 * bit(x, y + 1) + 8 * bit(x + 1, y + 1)]++, ++n;
    for (float& c : f) c = n > 0 ? c / n : 0.0f;
    return f;
}
}  // namespace

// Only the box is copied and smoothed, with the whole-image result: a region with
// a hole, one cut by the image edge, a label in two parts, a scattered region, a
// line one pixel high (all 0) and a region inside another's box.
TEST(PBinNbhHist, BoxComputationMatchesWholeImageReference) {
    constexpr int64_t W = 44;
    F g(W * 34), labels(W * 34, 0.0f);
    auto disc = [](int64_t dx, int64_t dy, int64_t r) { return dx * dx + dy * dy <= r * r; };
    for (int64_t i = 0; i < int64_t(g.size()); ++i) {
        const int64_t x = i % W, y = i / W;
        const uint32_t hash = uint32_t(i) * 2654435761u;  // pseudo-random bits
        g[i] = 0.8f * float(x) + 0.5f * float(y) + float(hash >> 8 & 2047) / 85.0f - 12.0f;
        float& l = labels[i];
        if (disc(x - 13, y - 12, 11) && !disc(x - 13, y - 12, 3)) l = 1;
        if (disc(x - 39, y - 29, 9)) l = 2;
        if ((x <= 4 && y >= 20 && y <= 32) || disc(x - 22, y - 29, 4)) l = 3;
        if (x >= 28 && x <= 42 && y <= 14 && hash >> 31) l = 4;
        if (y == 33 && x >= 8 && x <= 20) l = 5;
        if (disc(x - 11, y - 29, 2)) l = 6;
    }
    for (int r = 0; r < 6; ++r)
        EXPECT_EQ(Row(g, labels, W, r), Reference(g, labels, W, float(r + 1))) << "label " << r + 1;
}

// Hand-computed lines, each smoothed as a row and as a column of a box at (1, 1) in
// an image of -7s, which stay -7 off the box.
TEST(PBinNbhHist, RunningMeanWindowRule) {
    struct Case { F values, mask; int radius, passes; F expected; };
    const Case cases[] = {
        // 99s outside. x - r - 1 outside leaves out the next region pixel: 3 (itself), 3, none.
        {{10, 99, 99, 2, 4, 6, 99, 8}, {1, 0, 0, 1, 1, 1, 0, 1}, 1, 1, {10, 99, 99, 4, 5, 5, 99, 8}},
        {{99, 99, 3, 6, 9}, {0, 0, 1, 1, 1}, 2, 1, {99, 99, 6, 7.5f, 7.5f}},  // x - r - 1 < 0: nothing left out
        // Pixel 3: count 0 (x - r - 1 outside, none up to x + r), keeps 7. Pixel 6: 100 alone.
        {{-1, -1, -1, 7, -1, -1, 100}, {0, 0, 0, 1, 0, 0, 1}, 2, 1, {-1, -1, -1, 7, -1, -1, 100}},
        {{1, 2, 3, 4, 5}, F(5, 1.0f), 1, 2, {1.75f, 6.5f / 3, 3, 11.5f / 3, 4.25f}},  // 2nd pass over 1.5 2 3 4 4.5
        {{1, 2, 3, 4}, {1, 0, 1, 1}, -3, 1, {1, 2, 3, 4}},  // a negative radius counts as 0
    };
    for (const Case& c : cases)
        for (const bool rows : {true, false}) {
            const auto n = static_cast<int64_t>(c.values.size()), W = rows ? n + 1 : 2;
            F image(std::size_t(2 * n + 2), -7.0f), expected = image;
            for (int64_t i = 0; i < n; ++i) {
                const auto at = std::size_t(rows ? W + 1 + i : (1 + i) * W + 1);
                image[at] = c.values[std::size_t(i)], expected[at] = c.expected[std::size_t(i)];
            }
            const float* m = c.mask.data();
            EXPECT_EQ(rows ? MaskedRunningMeanRows(image.data(), W, c.passes, c.radius, m, n, 1, 1, 1)
                           : MaskedRunningMeanColumns(image.data(), W, c.passes, c.radius, m, 1, n, 1, 1),
                      kRunningMeanOk);
            EXPECT_EQ(image, expected) << (rows ? "row " : "column ") << testing::PrintToString(c.values);
        }
}

// One 2 x 2 region, every pixel's mean ((a + b) / 2 + (c + d) / 2) / 2: flat (all off),
// means 55 (the 50s differ by exactly 5: off) and 55.25 (all on), bit 2 alone, NaN
// (every mean NaN: no bit), inf (mean inf: inf - inf is NaN, off; the rest on).
TEST(PBinNbhHist, BitsOfOneBlock) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::pair<F, int> cases[] = {{{-500, -500, -500, -500}, 0}, {{70, 50, 50, 50}, 1}, {{71, 50, 50, 50}, 15},
                                       {{50, 50, 70, 50}, 4}, {{nan, 100, 100, 100}, 0}, {{inf, 100, 100, 100}, 14}};
    for (const auto& [grey, k] : cases) {
        F expected(16, 0.0f);
        expected[std::size_t(k)] = 1.0f;
        EXPECT_EQ(Row(grey, F(4, 1.0f), 2, 0), expected) << testing::PrintToString(grey);
    }
}

TEST(PBinNbhHist, ANonFiniteGreyValueCarriesAlongTheRunningSums) {
    // A 40 x 30 region: a NaN at (20, 12) reaches the running sums of the rest of
    // its row and then of the rest of every column it reached, so every pixel from
    // 10 before it to the right and bottom edges has a NaN mean.
    const int64_t W = 40, H = 30;
    F grey(W * H), mask(W * H, 1.0f), box(W * H);
    for (int64_t i = 0; i < W * H; ++i) grey[i] = float(i % 7 * 30);
    auto smoothed = [&](int64_t at, float value) {
        F g = grey;
        g[at] = value;
        EXPECT_EQ(SmoothRegionBox(g.data(), W, mask.data(), W, H, 0, 0, 1, 10, box.data()), kRunningMeanOk);
    };
    smoothed(12 * W + 20, std::numeric_limits<float>::quiet_NaN());
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x) ASSERT_EQ(std::isnan(box[y * W + x]), x >= 10 && y >= 2) << x << ", " << y;
    // An infinity at (5, 5): an infinite mean where the window holds it, inf - inf
    // = NaN past it.
    smoothed(5 * W + 5, std::numeric_limits<float>::infinity());
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x) {
            const bool holds = x <= 15 && y <= 15;
            ASSERT_EQ(std::isinf(box[y * W + x]), holds) << x << ", " << y;
            ASSERT_EQ(std::isnan(box[y * W + x]), !holds) << x << ", " << y;
        }
    // Through the node: a checkerboard of 0 and 100 has every bit on, until one
    // NaN at the top left corner switches every bit of the region off.
    F board(12 * 12), labels(12 * 12, 1.0f);
    for (int64_t i = 0; i < 144; ++i) board[i] = float((i % 12 + i / 12) % 2 * 100);
    EXPECT_EQ(Row(board, labels, 12, 0)[15], 1.0f);
    board[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Row(board, labels, 12, 0)[0], 1.0f);
}

TEST(PBinNbhHist, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPBinNbhHist(); }, "(feature plugins) BinNbhHist::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "First input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelType, "Second input image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}
