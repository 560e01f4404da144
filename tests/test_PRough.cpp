#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "PRough.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
// The feature of an image that is one region.
float Roughness(int W, int H, const F& grey) {
    return test::RunNode(new CPRough(), test::FloatImage(W, H, grey), test::FilledImage(W, H, 1.0f)).At(0, 0);
}

// One label's roughness written out plainly (integer grey values, so every sum is
// exact): over the label's box, each non-zero pixel's window of 5 x 5 clipped to
// the box, the mean of its non-zero values; count where mean - value > 11.
float Reference(const F& g, const F& labels, int W, float label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, label);
    int count = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const float v = g[y * W + x];
            double s = 0, n = 0;
            for (int wy = std::max(y - 2, y0); wy <= std::min(y + 2, y1); ++wy)
                for (int wx = std::max(x - 2, x0); wx <= std::min(x + 2, x1); ++wx)
                    if (g[wy * W + wx] != 0.0f) s += g[wy * W + wx], ++n;
            if (v != 0.0f && static_cast<float>(s) / static_cast<float>(n) - v > 11.0f) ++count;
        }
    return static_cast<float>(count);
}
}  // namespace

// Labels painted in order (overlapping boxes, so other labels take part and the
// window stops at the box, not at the image; a box at the right and bottom image
// edges, one pixel high, label 4 absent, two single pixels far apart) on grey
// values 0 .. 40, a quarter of them 0; in float and in 8-bit.
TEST(PRough, RegionsAgainstPlainReference) {
    constexpr int W = 23, H = 16;
    const F labels = test::PaintBoxes(W, H, {{1, 0, 0, 9, 7}, {2, 5, 4, 14, 12}, {3, 16, 9, 22, 15},
                                             {5, 1, 14, 12, 14}, {6, 17, 0, 17, 0}, {6, 21, 6, 21, 6}});
    F g = test::RandomLevels(W * H, 164, 99);
    for (float& v : g) v = static_cast<int>(v) % 4 == 0 ? 0.0f : static_cast<float>(static_cast<int>(v) / 4);
    auto h = test::RunNode(new CPRough(), test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 6, 1));
    float total = 0;
    for (int l = 1; l <= 6; ++l) {
        const float want = Reference(g, labels, W, static_cast<float>(l));
        EXPECT_EQ(h.At(0, l - 1), want) << "label " << l;
        total += want;
    }
    EXPECT_GT(total, 20.0f);  // the scene does have rough pixels
    test::ExpectByteGreyLikeFloat([] { return new CPRough(); }, W, g, labels);
}

TEST(PRough, ThresholdBackgroundAndWindow) {
    F block(25, 100.0f);
    EXPECT_EQ(Roughness(5, 5, block), 0.0f);  // uniform
    block[12] = 0.0f;
    EXPECT_EQ(Roughness(5, 5, block), 0.0f);  // a 0 is background: not smoothed
    block[12] = 1.0f;
    EXPECT_EQ(Roughness(5, 5, block), 1.0f);
    block[12] = 1000.0f;  // raises its neighbours' means (all 24 count), not its own
    EXPECT_EQ(Roughness(5, 5, block), 24.0f);
    // Mean 12 over [1, 17.5, 17.5]: exactly 11 above the 1, not counted; 37 / 3 is.
    EXPECT_EQ(Roughness(3, 1, {1, 17.5f, 17.5f}), 0.0f);
    EXPECT_EQ(Roughness(3, 1, {1, 18, 18}), 1.0f);
    // A NaN spoils the tables right of it: the 1's window [1, 5] does not hold it,
    // yet its mean is NaN - NaN and the 1 does not count (40.2 - 1 would).
    EXPECT_EQ(Roughness(7, 1, {std::numeric_limits<float>::quiet_NaN(), 50, 50, 1, 50, 50, 50}), 0.0f);
}

// Also ComputeRegion on its own: no image gives 0, a crop of another type is
// refused rather than read as floats, an empty vector is not written to.
TEST(PRough, ChecksInTheirOrder) {
    test::ExpectUsualInputChecks([] { return new CPRough(); }, "Rough");
    CPRough node;
    std::vector<double> f{-1.0}, none;
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f[0], 0.0);
    CImage grey8(IMAGE_GREY_8, CSize(3, 3, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey8, f); }).Location(),
              "(feature plugins) Rough::ComputeRegion");
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(3, 3, 1.0f).get(), none), std::out_of_range);
}
