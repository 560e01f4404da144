#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "PThreePartsRelNbhHist.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
constexpr int kCodes = 27, W = 17, H = 12;

// The 27 shares of one label by the digit table (2 when n - v >= 2, 1 when
// |v - n| < 2, else 0), over every pixel of the label's box but its last column
// and row, whatever its label.
F Reference(const F& g, const F& labels, float label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, label);
    auto digit = [&](int i, int j) { return g[j] - g[i] >= 2.0f ? 2 : std::fabs(g[i] - g[j]) < 2.0f ? 1 : 0; };
    std::vector<double> count(kCodes, 0.0);
    double n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x, ++n) {
            const int i = y * W + x;
            ++count[digit(i, i + 1) + 3 * digit(i, i + W) + 9 * digit(i, i + W + 1)];
        }
    F f(kCodes, 0.0f);
    for (int c = 0; c < kCodes && n > 0; ++c) f[c] = static_cast<float>(count[c] / n);
    return f;
}
}  // namespace

// Labels painted in order: 1 with a hole of 2 in it, 2 overlapping 1's box, 3 at
// the right and bottom image edges, 4 absent, 5 one pixel high, 6 two single
// pixels (a 4 x 4 box of others), 7 one pixel wide. Grey values in steps of 0.5
// and 1, so that differences of exactly 2 are common; 8-bit gives the matrix of
// the float image of the same values.
TEST(PThreePartsRelNbhHist, RegionsAgainstPlainReference) {
    const F labels = test::PaintBoxes(W, H, {{1, 0, 0, 6, 4}, {2, 3, 2, 9, 8}, {2, 2, 1, 2, 2}, {3, 12, 7, 16, 11},
                                             {5, 1, 10, 8, 10}, {6, 11, 0, 11, 0}, {6, 14, 3, 14, 3},
                                             {7, 10, 4, 10, 9}});
    for (const auto& [step, levels] : {std::pair{0.5f, 9u}, std::pair{1.0f, 5u}}) {
        F g = test::RandomLevels(W * H, levels, 2024);
        for (float& v : g) v *= step;
        auto h = test::RunNode(new CPThreePartsRelNbhHist(), test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
        ASSERT_EQ(h.Matrix().Size(), CSize(kCodes, 7, 1));
        for (int l = 1; l <= 7; ++l) {
            const F want = Reference(g, labels, static_cast<float>(l));
            for (int c = 0; c < kCodes; ++c) EXPECT_EQ(h.At(c, l - 1), want[c]) << "label " << l << " code " << c;
        }
        if (step == 1.0f) test::ExpectByteGreyLikeFloat([] { return new CPThreePartsRelNbhHist(); }, W, g, labels);
    }
}

// Four 2 x 2 regions, each coding its top-left pixel only: neighbours exactly 2
// brighter (2), exactly 2 darker (0) and 1.9 off either way (1); NaN (0) and a
// huge value (2); infinities, whose differences are NaN or infinite (all 0); a
// flat block (13).
TEST(PThreePartsRelNbhHist, DigitBoundariesAndNonFiniteValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto h = test::RunNode(new CPThreePartsRelNbhHist(),
                           test::FloatImage(8, 2, {10, 12, 10, 8.1f, inf, inf, 7, 7, 8, 11.9f, nan, 1e30f, -inf, 5, 7, 7}),
                           test::FloatImage(8, 2, {1, 1, 2, 2, 3, 3, 4, 4, 1, 1, 2, 2, 3, 3, 4, 4}));
    const int code[4] = {2 + 3 * 0 + 9 * 1, 1 + 3 * 0 + 9 * 2, 0, 13};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < kCodes; ++c) EXPECT_EQ(h.At(c, r), c == code[r] ? 1.0f : 0.0f) << r << " " << c;
}

// ComputeRegion reads the whole grey image at the box's place: a box reaching
// past it is refused, one ending at its far corner is read; other types are refused.
TEST(PThreePartsRelNbhHist, ComputeRegionStaysInsideTheGreyImage) {
    CPThreePartsRelNbhHist node;
    CImage mask(IMAGE_GREY_F, CSize(3, 3, 1)), grey(IMAGE_GREY_8, CSize(4, 4, 1)), grey16(IMAGE_GREY_16, CSize(4, 4, 1));
    std::vector<double> f(kCodes, -1.0);
    for (const auto& [x0, y0] : {std::pair{2, 0}, std::pair{0, 2}, std::pair{-1, 0}, std::pair{0, -1}})
        EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey, mask, x0, y0, f); }).Location(),
                  "(feature plugins) ThreePartsRelNbhHist::ComputeRegion");
    EXPECT_THROW(node.ComputeRegion(grey16, mask, 0, 0, f), CException);
    node.ComputeRegion(grey, mask, 1, 1, f);  // 4 flat pixels
    EXPECT_EQ(f[13], 1.0);
    EXPECT_EQ(std::count(f.begin(), f.end(), 0.0), kCodes - 1);
}

// The label image's type is checked only when one is connected; a missing one is
// refused at that place. The empty table has a location of its own.
TEST(PThreePartsRelNbhHist, ChecksInTheirOrder) {
    test::ExpectUsualInputChecks([] { return new CPThreePartsRelNbhHist(); }, "ThreePartsRelNbhHist");
    const CException e = test::CatchException([] {
        test::RunNode(new CPThreePartsRelNbhHist(), test::ByteImage(3, 3, F(9, 1.0f)), test::FilledImage(3, 3, 0.0f));
    });
    EXPECT_EQ(e.Location(), "feature plugins) ThreePartsRelNbhHist::Run");
}
