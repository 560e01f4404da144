#include <gtest/gtest.h>

#include <limits>

#include "PVSlope.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
test::NodeHarness RunOn(int W, int H, const F& grey, const F& labels) {
    return test::RunNode(new CPVSlope(), test::FloatImage(W, H, grey), test::FloatImage(W, H, labels));
}

// One label's slope written out plainly: pairs of the label's pixels five rows
// apart, +1 when the lower one is brighter, else -1, averaged in single precision.
float Reference(const F& g, const F& labels, int W, int H, float label) {
    float sum = 0, count = 0;
    for (int i = 0; i + 5 * W < W * H; ++i)
        if (labels[i] == label && labels[i + 5 * W] == label) sum += g[i + 5 * W] > g[i] ? 1.0f : -1.0f, ++count;
    return count > 0 ? sum / count : 0.0f;
}
}  // namespace

// Overlapping boxes (pairs whose lower pixel carries another label are left
// out), a hole, a region at the bottom and right image edges, one 6 rows high
// (one row of pairs), one 5 rows high (none), label 4 absent; grey values of few
// levels so that ties are common; in float and in 8-bit.
TEST(PVSlope, RegionsAgainstPlainReference) {
    constexpr int W = 13, H = 20;
    const F labels = test::PaintBoxes(W, H, {{1, 0, 0, 7, 11}, {2, 4, 6, 10, 16}, {0, 2, 3, 3, 4}, {3, 9, 13, 12, 19},
                                             {5, 0, 13, 2, 18}, {6, 11, 0, 12, 4}});
    const F g = test::RandomLevels(W * H, 4, 5);
    auto h = RunOn(W, H, g, labels);
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 6, 1));
    for (int l = 1; l <= 6; ++l)
        EXPECT_EQ(h.At(0, l - 1), Reference(g, labels, W, H, static_cast<float>(l))) << "label " << l;
    EXPECT_EQ(h.At(0, 5), 0.0f);  // 5 rows high
    EXPECT_TRUE(h.At(0, 0) > -1.0f && h.At(0, 0) < 1.0f && h.At(0, 0) != 0.0f);  // a mixed vote
    test::ExpectByteGreyLikeFloat([] { return new CPVSlope(); }, W, g, labels);
}

// Columns of 6 rows, one pair each: rising downwards +1; flat -1 (ties count as
// decreases, not 0); NaN compares false: -1.
TEST(PVSlope, RisesTiesAndNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    F grey(18, 4.0f);
    grey[15] = 5.0f, grey[2] = nan;
    auto h = RunOn(3, 6, grey, {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3});
    EXPECT_EQ(h.At(0, 0), 1.0f);
    EXPECT_EQ(h.At(0, 1), -1.0f);
    EXPECT_EQ(h.At(0, 2), -1.0f);
}

// Also ComputeRegion on its own: 0 without either image or for crops of other
// sizes; a crop of another type is refused rather than read as floats.
TEST(PVSlope, ChecksInTheirOrder) {
    test::ExpectUsualInputChecks([] { return new CPVSlope(); }, "VSlope");

    CPVSlope node;
    std::vector<double> f{-1.0};
    const auto grey = test::FloatImage(1, 6, {0, 0, 0, 0, 0, 1}), mask = test::FilledImage(1, 6, 1.0f),
               taller = test::FilledImage(1, 7, 1.0f);
    for (const auto& [g, m] : std::vector<std::pair<const CImage*, const CImage*>>{
             {grey.get(), nullptr}, {nullptr, mask.get()}, {grey.get(), taller.get()}}) {
        f[0] = -1.0;
        node.ComputeRegion(g, m, f);
        EXPECT_EQ(f[0], 0.0);
    }
    node.ComputeRegion(grey.get(), mask.get(), f);
    EXPECT_EQ(f[0], 1.0);
    CImage grey8(IMAGE_GREY_8, CSize(1, 6, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey8, mask.get(), f); }).Location(),
              "(feature plugins) VSlope::ComputeRegion");
}
