#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "PVSlope.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
test::NodeHarness RunOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    test::NodeHarness h(new CPVSlope());
    h.Connect(0, std::move(grey)), h.Connect(1, std::move(labels)), h.Run();
    return h;
}

// One label's slope written out plainly: pairs of the label's pixels five rows
// apart, +1 when the lower one is brighter, else -1, averaged in single precision.
float Reference(const F& g, const F& labels, int W, int H, float label) {
    float sum = 0, count = 0;
    for (int y = 0; y + 5 < H; ++y)
        for (int x = 0; x < W; ++x)
            if (labels[y * W + x] == label && labels[(y + 5) * W + x] == label)
                sum += g[(y + 5) * W + x] > g[y * W + x] ? 1.0f : -1.0f, ++count;
    return count > 0 ? sum / count : 0.0f;
}

// Single-column regions from the top of a W x H image: column x holds label x + 1
// over its first heights[x] rows.
F Columns(int W, int H, const std::vector<int>& heights) {
    F labels(W * H, 0.0f);
    for (int x = 0; x < W; ++x)
        for (int y = 0; y < heights[x]; ++y) labels[y * W + x] = static_cast<float>(x + 1);
    return labels;
}
}  // namespace

// Overlapping boxes, a hole, a region at the bottom and right image edges, one 6
// rows high (one row of pairs), one 5 rows high (none), label 4 absent; grey
// values of few levels so that ties are common; in float and in 8-bit.
TEST(PVSlope, RegionsAgainstPlainReference) {
    constexpr int W = 13, H = 20;
    F labels(W * H, 0.0f), g(W * H);
    for (const auto& [label, x0, y0, x1, y1] :
         {std::array{1, 0, 0, 7, 11}, std::array{2, 4, 6, 10, 16}, std::array{0, 2, 3, 3, 4},
          std::array{3, 9, 13, 12, 19}, std::array{5, 0, 13, 2, 18}, std::array{6, 11, 0, 12, 4}})
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) labels[y * W + x] = static_cast<float>(label);
    unsigned s = 5;
    for (float& v : g) v = static_cast<float>(((s = s * 1103515245u + 12345u) >> 16) % 4);
    auto h = RunOn(test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
    auto h8 = RunOn(test::ByteImage(W, H, g), test::FloatImage(W, H, labels));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 6, 1));
    for (int l = 1; l <= 6; ++l) {
        const float want = Reference(g, labels, W, H, static_cast<float>(l));
        EXPECT_EQ(h.At(0, l - 1), want) << "label " << l;
        EXPECT_EQ(h8.At(0, l - 1), want) << "8-bit, label " << l;
    }
    EXPECT_EQ(h.At(0, 5), 0.0f);  // 5 rows high
    EXPECT_TRUE(h.At(0, 0) > -1.0f && h.At(0, 0) < 1.0f && h.At(0, 0) != 0.0f);  // a mixed vote
    EXPECT_EQ(test::MetaText(h.Values(), "0", "FeatureName"), "measure of slope of image data in vertical direction");
}

// Columns of grey values rising downwards: +1 from 6 rows on, 0 below that; flat
// columns: -1 (ties count as decreases); NaN compares false: -1.
TEST(PVSlope, HeightsTiesAndRises) {
    constexpr int W = 6, H = 9;
    F rising(W * H), flat(W * H, 4.0f), nan(W * H, std::numeric_limits<float>::quiet_NaN());
    for (int i = 0; i < W * H; ++i) rising[i] = static_cast<float>(i / W);
    const F labels = Columns(W, H, {5, 6, 7, 9, 1, 2});
    const std::pair<F, std::array<float, W>> cases[] = {{rising, {0, 1, 1, 1, 0, 0}},
                                                        {flat, {0, -1, -1, -1, 0, 0}},
                                                        {nan, {0, -1, -1, -1, 0, 0}}};
    for (const auto& [grey, want] : cases) {
        auto h = RunOn(test::FloatImage(W, H, grey), test::FloatImage(W, H, labels));
        for (int x = 0; x < W; ++x) EXPECT_EQ(h.At(0, x), want[x]) << "column " << x;
    }
}

// A pair whose lower pixel carries another label (or none) is left out; other
// labels' pixels in the box are no upper pixels either.
TEST(PVSlope, PairsOfOtherLabelsAreLeftOut) {
    // Column of 9: rows 0 and 5 fall (5 is label 2), rows 1 and 6 rise, rows 3 and 8
    // fall but 3 is background; 2 and 7 rise.
    const F grey = {10, 0, 0, 9, 0, 0, 10, 5, 0};
    const F labels = {1, 1, 1, 0, 1, 2, 1, 1, 1};
    auto h = RunOn(test::FloatImage(1, 9, grey), test::FloatImage(1, 9, labels));
    EXPECT_EQ(h.At(0, 0), 1.0f);
    EXPECT_EQ(h.At(0, 1), 0.0f);
}

TEST(PVSlope, ComputeRegionOnItsOwn) {
    CPVSlope node;
    std::vector<double> f{-1.0};
    auto grey = test::FloatImage(1, 6, {0, 0, 0, 0, 0, 1}), mask = test::FilledImage(1, 6, 1.0f);
    const auto taller = test::FilledImage(1, 7, 1.0f);
    for (const auto& [g, m] : std::vector<std::pair<const CImage*, const CImage*>>{
             {nullptr, mask.get()}, {grey.get(), nullptr}, {grey.get(), taller.get()}}) {
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

TEST(PVSlope, ChecksInTheirOrderAndRegistryRow) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPVSlope(); }, "(feature plugins) VSlope::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    EXPECT_NE(dynamic_cast<CPVSlope*>(std::unique_ptr<CPNode>(registry::Create("VSlope")).get()), nullptr);
    EXPECT_EQ(test::Text(*std::unique_ptr<CValueVector>(registry::List()), "26"), "VSlope");
}
