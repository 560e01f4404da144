#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "PRelnbhHist.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
test::NodeHarness RunOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    test::NodeHarness h(new CPRelnbhHist());
    h.Connect(0, std::move(grey)), h.Connect(1, std::move(labels)), h.Run();
    return h;
}

F AllValues(const test::NodeHarness& h) {
    const CImage& m = h.Matrix();
    return F(m.Pixels<float>(), m.Pixels<float>() + m.Size().Count());
}

// The 8 shares of one label written out plainly: every pixel of the label's box
// but its last column and row, whatever its label, gets 1 for a right, 2 for a
// lower and 4 for a lower-right neighbour more than 5 away in grey value.
F Reference(const F& g, const F& labels, int W, int H, float label) {
    int x0 = W, x1 = -1, y0 = H, y1 = -1;
    for (int i = 0; i < W * H; ++i)
        if (labels[i] == label) x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = i / W;
    F f(8, 0.0f);
    if (x1 < 0) return f;
    auto big = [&](int x, int y, int nx, int ny) { return std::fabs(g[y * W + x] - g[ny * W + nx]) > 5.0f; };
    std::vector<double> count(8, 0.0);
    double n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            ++count[big(x, y, x + 1, y) + 2 * big(x, y, x, y + 1) + 4 * big(x, y, x + 1, y + 1)], ++n;
    for (int c = 0; c < 8; ++c) f[c] = n > 0 ? static_cast<float>(count[c] / n) : 0.0f;
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
// exactly 5 are common.
F Grey(float step, unsigned levels) {
    F g(W * H);
    unsigned s = 77;
    for (float& v : g) v = step * static_cast<float>(((s = s * 1103515245u + 12345u) >> 16) % levels);
    return g;
}
}  // namespace

// Boxes clipped at the image edges, overlapping boxes, a box with a hole, thin
// boxes (all 0) and an absent label, in float and in 8-bit (values converted one
// by one: the same matrix as the float image of the same values).
TEST(PRelnbhHist, RegionsAgainstPlainReference) {
    const F labels = Labels();
    for (const auto& [step, levels] : {std::pair{0.5f, 21u}, std::pair{1.0f, 11u}}) {
        const F g = Grey(step, levels);
        auto h = RunOn(test::FloatImage(W, H, g), test::FloatImage(W, H, labels));
        ASSERT_EQ(h.Matrix().Size(), CSize(8, 7, 1));
        for (int l = 1; l <= 7; ++l) {
            const F want = Reference(g, labels, W, H, static_cast<float>(l));
            for (int c = 0; c < 8; ++c) EXPECT_EQ(h.At(c, l - 1), want[c]) << "label " << l << " code " << c;
        }
        if (step == 1.0f) {
            EXPECT_EQ(AllValues(RunOn(test::ByteImage(W, H, g), test::FloatImage(W, H, labels))), AllValues(h));
        }
        for (const char* column : {"0", "7"})
            EXPECT_EQ(test::MetaText(h.Values(), column, "FeatureName"), "neighbourhood relation histogram");
    }
}

// Three 2 x 2 regions, each coding its top-left pixel only: a difference of
// exactly 5 (not different), 5.5 either way (different), NaN (not different),
// an infinity (different); a flat block (code 0).
TEST(PRelnbhHist, ThresholdIsStrictAndNaNIsNoDifference) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto h = RunOn(test::FloatImage(6, 2, {10, 15, 0, -5.5f, 3, 3,  //
                                           4.5f, nan, 5, inf, 3, 3}),
                   test::FloatImage(6, 2, {1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3}));
    const int code[3] = {2, 1 + 4, 0};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 8; ++c) EXPECT_EQ(h.At(c, r), c == code[r] ? 1.0f : 0.0f) << r << " " << c;
}

TEST(PRelnbhHist, ComputeRegionOnItsOwn) {
    CPRelnbhHist node;
    std::vector<double> f(8, -1.0);
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f, std::vector<double>(8, 0.0));
    CImage grey16(IMAGE_GREY_16, CSize(3, 3, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey16, f); }).Location(),
              "(feature plugins) RelnbhHist::ComputeRegion");
    std::vector<double> few(7);
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(3, 3, 1.0f).get(), few), std::out_of_range);
}

TEST(PRelnbhHist, ChecksInTheirOrderAndRegistryRow) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPRelnbhHist(); }, "(feature plugins) RelnbhHist::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    EXPECT_NE(dynamic_cast<CPRelnbhHist*>(std::unique_ptr<CPNode>(registry::Create("RelnbhHist")).get()), nullptr);
    EXPECT_EQ(test::Text(*std::unique_ptr<CValueVector>(registry::List()), "21"), "RelnbhHist");
}
