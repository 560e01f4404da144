#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "PRough.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
const char* const kName =
    "roughness , number of pixels for which the difference between smoothed and original image exeeds some "
    "threshold";

test::NodeHarness RunOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    test::NodeHarness h(new CPRough());
    h.Connect(0, std::move(grey)), h.Connect(1, std::move(labels)), h.Run();
    return h;
}

// The feature of an image that is one region.
float Roughness(int W, int H, const F& grey) {
    return RunOn(test::FloatImage(W, H, grey), test::FilledImage(W, H, 1.0f)).At(0, 0);
}

// One label's roughness written out plainly (integer grey values, so every sum is
// exact): over the label's box, each non-zero pixel's window of 5 x 5 clipped to
// the box, the mean of its non-zero values; count where mean - value > 11.
float Reference(const F& g, const F& labels, int W, int H, float label) {
    int x0 = W, x1 = -1, y0 = H, y1 = -1;
    for (int i = 0; i < W * H; ++i)
        if (labels[i] == label) x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = i / W;
    int count = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const float v = g[y * W + x];
            if (v == 0.0f) continue;
            double s = 0, n = 0;
            for (int wy = std::max(y - 2, y0); wy <= std::min(y + 2, y1); ++wy)
                for (int wx = std::max(x - 2, x0); wx <= std::min(x + 2, x1); ++wx)
                    if (g[wy * W + wx] != 0.0f) s += g[wy * W + wx], ++n;
            if (static_cast<float>(s) / static_cast<float>(n) - v > 11.0f) ++count;
        }
    return static_cast<float>(count);
}
}  // namespace

// Labels painted as rectangles in order (overlapping boxes, a box at the right and
// bottom image edges, one pixel high, label 4 absent, two single pixels far
// apart) on grey values 0 .. 40, a quarter of them 0; in float and in 8-bit.
TEST(PRough, RegionsAgainstPlainReference) {
    constexpr int W = 23, H = 16;
    F labels(W * H, 0.0f), g(W * H);
    for (const auto& [label, x0, y0, x1, y1] :
         {std::array{1, 0, 0, 9, 7}, std::array{2, 5, 4, 14, 12}, std::array{3, 16, 9, 22, 15},
          std::array{5, 1, 14, 12, 14}, std::array{6, 17, 0, 17, 0}, std::array{6, 21, 6, 21, 6}})
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) labels[y * W + x] = static_cast<float>(label);
    unsigned s = 99;
    for (float& v : g) {
        const unsigned r = (s = s * 1103515245u + 12345u) >> 16;
        v = r % 4 == 0 ? 0.0f : static_cast<float>(r / 4 % 41);
    }
    auto h = RunOn(test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 6, 1));
    float total = 0;
    for (int l = 1; l <= 6; ++l) {
        const float want = Reference(g, labels, W, H, static_cast<float>(l));
        EXPECT_EQ(h.At(0, l - 1), want) << "label " << l;
        total += want;
    }
    EXPECT_GT(total, 20.0f);  // the scene does have rough pixels
    auto h8 = RunOn(test::ByteImage(W, H, g), test::FloatImage(W, H, labels));
    for (int l = 1; l <= 6; ++l) EXPECT_EQ(h8.At(0, l - 1), h.At(0, l - 1)) << "8-bit, label " << l;
    EXPECT_EQ(test::MetaText(h.Values(), "0", "FeatureName"), kName);
}

TEST(PRough, ThresholdBackgroundAndWindow) {
    F block(25, 100.0f);
    EXPECT_EQ(Roughness(5, 5, block), 0.0f);  // uniform
    block[12] = 0.0f;
    EXPECT_EQ(Roughness(5, 5, block), 0.0f);  // a 0 is background: not smoothed
    block[12] = 1.0f;
    EXPECT_EQ(Roughness(5, 5, block), 1.0f);
    // A bright pixel raises its neighbours' means, so all 24 count; it lies far above
    // its own mean and does not.
    block[12] = 1000.0f;
    EXPECT_EQ(Roughness(5, 5, block), 24.0f);
    // Mean 12 over [1, 17.5, 17.5]: exactly 11 above the 1, not counted; 37 / 3 is.
    EXPECT_EQ(Roughness(3, 1, {1, 17.5f, 17.5f}), 0.0f);
    EXPECT_EQ(Roughness(3, 1, {1, 18, 18}), 1.0f);
    // The 0s take no part in the mean: 41 / 3 - 1 counts, 41 / 5 - 1 would not.
    EXPECT_EQ(Roughness(5, 1, {0, 0, 1, 20, 20}), 1.0f);
    // The window reaches 2 pixels each way: the 5s see the 100, the 1 does not.
    EXPECT_EQ(Roughness(4, 1, {1, 5, 5, 100}), 2.0f);
    // A NaN spoils the tables right of it: the 1's window [1, 5] does not hold it,
    // yet its mean is NaN - NaN and the 1 does not count (40.2 - 1 would).
    EXPECT_EQ(Roughness(7, 1, {std::numeric_limits<float>::quiet_NaN(), 50, 50, 1, 50, 50, 50}), 0.0f);
}

// The window is clipped at the crop, not at the image: bright pixels next to the
// box do not take part, other labels inside it do.
TEST(PRough, WindowStopsAtTheBoundingBox) {
    F grey(49, 200.0f), labels(49, 0.0f);
    for (int y = 2; y <= 4; ++y)
        for (int x = 2; x <= 4; ++x) grey[y * 7 + x] = 50.0f, labels[y * 7 + x] = 1.0f;
    EXPECT_EQ(RunOn(test::FloatImage(7, 7, grey), test::FloatImage(7, 7, labels)).At(0, 0), 0.0f);
    labels[3 * 7 + 3] = 2.0f, grey[3 * 7 + 4] = 20.0f;  // the box's centre is another label; a dark pixel beside it
    auto h = RunOn(test::FloatImage(7, 7, grey), test::FloatImage(7, 7, labels));
    EXPECT_EQ(h.At(0, 0), 1.0f);
    EXPECT_EQ(h.At(0, 1), 0.0f);  // label 2 alone: a 1 x 1 box
}

TEST(PRough, ComputeRegionOnItsOwn) {
    CPRough node;
    std::vector<double> f{-1.0};
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f[0], 0.0);
    CImage grey8(IMAGE_GREY_8, CSize(3, 3, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey8, f); }).Location(),
              "(feature plugins) Rough::ComputeRegion");
    std::vector<double> none;
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(3, 3, 1.0f).get(), none), std::out_of_range);
}

TEST(PRough, ChecksInTheirOrderAndRegistryRow) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPRough(); }, "(feature plugins) Rough::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    EXPECT_NE(dynamic_cast<CPRough*>(std::unique_ptr<CPNode>(registry::Create("Rough")).get()), nullptr);
    EXPECT_EQ(test::Text(*std::unique_ptr<CValueVector>(registry::List()), "23"), "Rough");
}
