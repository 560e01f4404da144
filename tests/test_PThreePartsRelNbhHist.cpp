#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "PThreePartsRelNbhHist.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
constexpr int kCodes = 27;

test::NodeHarness RunOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    test::NodeHarness h(new CPThreePartsRelNbhHist());
    h.Connect(0, std::move(grey)), h.Connect(1, std::move(labels)), h.Run();
    return h;
}

F AllValues(const test::NodeHarness& h) {
    const CImage& m = h.Matrix();
    return F(m.Pixels<float>(), m.Pixels<float>() + m.Size().Count());
}

// The 27 shares of one label written out plainly: every pixel of the label's box
// but its last column and row, whatever its label; with d = neighbour - pixel,
// digit 2 for d >= 2, 1 for -2 < d < 2, 0 otherwise; right + 3 lower + 9 lower-right.
F Reference(const F& g, const F& labels, int W, int H, float label) {
    int x0 = W, x1 = -1, y0 = H, y1 = -1;
    for (int i = 0; i < W * H; ++i)
        if (labels[i] == label) x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = i / W;
    F f(kCodes, 0.0f);
    if (x1 < 0) return f;
    auto digit = [&](int x, int y, int nx, int ny) {
        const float d = g[ny * W + nx] - g[y * W + x];
        return d >= 2.0f ? 2 : d > -2.0f ? 1 : 0;
    };
    std::vector<double> count(kCodes, 0.0);
    double n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            ++count[digit(x, y, x + 1, y) + 3 * digit(x, y, x, y + 1) + 9 * digit(x, y, x + 1, y + 1)], ++n;
    for (int c = 0; c < kCodes; ++c) f[c] = n > 0 ? static_cast<float>(count[c] / n) : 0.0f;
    return f;
}

// Labels painted as rectangles in order: 1 with a hole of 2 in it, 2 overlapping
// 1's box, 3 at the right and bottom image edges, 4 absent, 5 one pixel high, 6
// two single pixels (a 4 x 4 box of others), 7 one pixel wide.
constexpr int W = 17, H = 12;
F Labels() {
    F l(W * H, 0.0f);
    for (const auto& [label, x0, y0, x1, y1] :
         {std::array{1, 0, 0, 6, 4}, std::array{2, 3, 2, 9, 8}, std::array{2, 2, 1, 2, 2}, std::array{3, 12, 7, 16, 11},
          std::array{5, 1, 10, 8, 10}, std::array{6, 11, 0, 11, 0}, std::array{6, 14, 3, 14, 3},
          std::array{7, 10, 4, 10, 9}})
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) l[y * W + x] = static_cast<float>(label);
    return l;
}

// Grey values in steps of `step` over a few levels, so that differences of
// exactly 2 are common.
F Grey(float step, unsigned levels) {
    F g(W * H);
    unsigned s = 2024;
    for (float& v : g) v = step * static_cast<float>(((s = s * 1103515245u + 12345u) >> 16) % levels);
    return g;
}
}  // namespace

// Boxes clipped at the image edges, overlapping boxes, a box with a hole, thin
// boxes (all 0) and an absent label, in float and in 8-bit (values converted one
// by one: the same matrix as the float image of the same values).
TEST(PThreePartsRelNbhHist, RegionsAgainstPlainReference) {
    const F labels = Labels();
    for (const auto& [step, levels] : {std::pair{0.5f, 9u}, std::pair{1.0f, 5u}}) {
        const F g = Grey(step, levels);
        auto h = RunOn(test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
        ASSERT_EQ(h.Matrix().Size(), CSize(kCodes, 7, 1));
        for (int l = 1; l <= 7; ++l) {
            const F want = Reference(g, labels, W, H, static_cast<float>(l));
            for (int c = 0; c < kCodes; ++c) EXPECT_EQ(h.At(c, l - 1), want[c]) << "label " << l << " code " << c;
        }
        if (step == 1.0f) {
            EXPECT_EQ(AllValues(RunOn(test::ByteImage(W, H, g), test::FloatImage(W, H, labels))), AllValues(h));
        }
    }
    // Output 1 names every column under "feature", not under "FeatureName".
    auto h = RunOn(test::FloatImage(W, H, Grey(1.0f, 5)), test::FloatImage(W, H, labels));
    for (const char* column : {"0", "26"}) {
        EXPECT_EQ(test::MetaText(h.Values(), column, "feature"), "feature");
        EXPECT_EQ(test::MetaText(h.Values(), column, "FeatureName"), "<missing>");
    }
}

// Four 2 x 2 regions, each coding its top-left pixel only: neighbours exactly 2
// brighter (2), exactly 2 darker (0) and 1.9 off either way (1); NaN (0) and a
// huge value (2); infinities, whose differences are NaN or infinite (all 0); a
// flat block (13).
TEST(PThreePartsRelNbhHist, DigitBoundariesAndNonFiniteValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto h = RunOn(test::FloatImage(8, 2, {10, 12, 10, 8.1f, inf, inf, 7, 7,  //
                                           8, 11.9f, nan, 1e30f, -inf, 5, 7, 7}),
                   test::FloatImage(8, 2, {1, 1, 2, 2, 3, 3, 4, 4, 1, 1, 2, 2, 3, 3, 4, 4}));
    const int code[4] = {2 + 3 * 0 + 9 * 1, 1 + 3 * 0 + 9 * 2, 0, 13};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < kCodes; ++c) EXPECT_EQ(h.At(c, r), c == code[r] ? 1.0f : 0.0f) << r << " " << c;
}

TEST(PThreePartsRelNbhHist, ComputeRegionStaysInsideTheGreyImage) {
    CPThreePartsRelNbhHist node;
    CImage mask(IMAGE_GREY_F, CSize(3, 3, 1));
    std::vector<double> f(kCodes, -1.0);
    for (const CPixelType type : {IMAGE_GREY_F, IMAGE_GREY_8}) {
        CImage grey(type, CSize(4, 4, 1));
        for (const auto& [x0, y0] : std::vector<std::pair<int, int>>{{2, 0}, {0, 2}, {-1, 0}, {0, -1}})
            EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey, mask, x0, y0, f); }).Location(),
                      "(feature plugins) ThreePartsRelNbhHist::ComputeRegion");
        node.ComputeRegion(grey, mask, 1, 1, f);  // a box ending at the far corner: 4 flat pixels
        EXPECT_EQ(f[13], 1.0);
        EXPECT_EQ(std::count(f.begin(), f.end(), 0.0), kCodes - 1);
    }
    CImage grey16(IMAGE_GREY_16, CSize(4, 4, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey16, mask, 0, 0, f); }).Location(),
              "(feature plugins) ThreePartsRelNbhHist::ComputeRegion");
}

// The label image's type is checked only when one is connected; a missing one is
// refused at that place. The empty table has a location of its own.
TEST(PThreePartsRelNbhHist, ChecksInTheirOrderAndRegistryRow) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPThreePartsRelNbhHist(); }, "(feature plugins) ThreePartsRelNbhHist::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    test::NodeHarness h(new CPThreePartsRelNbhHist());
    h.Connect(0, test::ByteImage(3, 3, F(9, 1.0f)));
    h.Connect(1, test::FilledImage(3, 3, 0.0f));
    const CException e = test::CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Location(), "feature plugins) ThreePartsRelNbhHist::Run");
    EXPECT_EQ(e.Message(), "The number of regions is zero!!");

    EXPECT_NE(dynamic_cast<CPThreePartsRelNbhHist*>(
                  std::unique_ptr<CPNode>(registry::Create("ThreePartsRelNbhHist")).get()),
              nullptr);
    EXPECT_EQ(test::Text(*std::unique_ptr<CValueVector>(registry::List()), "8"), "ThreePartsRelNbhHist");
}
