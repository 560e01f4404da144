#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "PRelnbhHist.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
constexpr int W = 17, H = 12;

// The 8 shares of one label: every pixel of the label's box but its last column
// and row, whatever its label, gets 1 for a right, 2 for a lower and 4 for a
// lower-right neighbour more than 5 away in grey value.
F Reference(const F& g, const F& labels, float label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, label);
    auto big = [&](int i, int j) { return std::fabs(g[i] - g[j]) > 5.0f ? 1 : 0; };
    std::vector<double> count(8, 0.0);
    double n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x, ++n) {
            const int i = y * W + x;
            ++count[big(i, i + 1) + 2 * big(i, i + W) + 4 * big(i, i + W + 1)];
        }
    F f(8, 0.0f);
    for (int c = 0; c < 8 && n > 0; ++c) f[c] = static_cast<float>(count[c] / n);
    return f;
}
}  // namespace

// Labels painted in order: 1 with a hole of 2 in it, 2 overlapping 1's box, 3 at
// the right and bottom image edges, 4 absent, 5 one pixel high, 6 two single
// pixels (a 4 x 4 box of others), 7 one pixel wide. Grey values in steps of 0.5
// and 1, so that differences of exactly 5 are common; 8-bit gives the matrix of
// the float image of the same values.
TEST(PRelnbhHist, RegionsAgainstPlainReference) {
    const F labels = test::PaintBoxes(W, H, {{1, 0, 0, 6, 4}, {2, 3, 2, 9, 8}, {2, 2, 1, 2, 2}, {3, 12, 7, 16, 11},
                                             {5, 1, 10, 8, 10}, {6, 11, 0, 11, 0}, {6, 14, 3, 14, 3},
                                             {7, 10, 4, 10, 9}});
    for (const auto& [step, levels] : {std::pair{0.5f, 21u}, std::pair{1.0f, 11u}}) {
        F g = test::RandomLevels(W * H, levels, 77);
        for (float& v : g) v *= step;
        auto h = test::RunNode(new CPRelnbhHist(), test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
        ASSERT_EQ(h.Matrix().Size(), CSize(8, 7, 1));
        for (int l = 1; l <= 7; ++l) {
            const F want = Reference(g, labels, static_cast<float>(l));
            for (int c = 0; c < 8; ++c) EXPECT_EQ(h.At(c, l - 1), want[c]) << "label " << l << " code " << c;
        }
        if (step == 1.0f) test::ExpectByteGreyLikeFloat([] { return new CPRelnbhHist(); }, W, g, labels);
    }
}

// Three 2 x 2 regions, each coding its top-left pixel only: a difference of
// exactly 5 (not different), 5.5 either way (different), NaN (not different),
// an infinity (different); a flat block (code 0).
TEST(PRelnbhHist, ThresholdIsStrictAndNaNIsNoDifference) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto h = test::RunNode(new CPRelnbhHist(), test::FloatImage(6, 2, {10, 15, 0, -5.5f, 3, 3, 4.5f, nan, 5, inf, 3, 3}),
                           test::FloatImage(6, 2, {1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3}));
    const int code[3] = {2, 1 + 4, 0};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 8; ++c) EXPECT_EQ(h.At(c, r), c == code[r] ? 1.0f : 0.0f) << r << " " << c;
}

// Also ComputeRegion on its own: no image gives zeros, a crop of another type
// is refused rather than read as floats, too short a vector is not written past.
TEST(PRelnbhHist, ChecksInTheirOrder) {
    test::ExpectUsualInputChecks([] { return new CPRelnbhHist(); }, "RelnbhHist");
    CPRelnbhHist node;
    std::vector<double> f(8, -1.0), few(7);
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f, std::vector<double>(8, 0.0));
    CImage grey16(IMAGE_GREY_16, CSize(3, 3, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey16, f); }).Location(),
              "(feature plugins) RelnbhHist::ComputeRegion");
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(3, 3, 1.0f).get(), few), std::out_of_range);
}
