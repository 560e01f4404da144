#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "PLBPHist.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
const float kWeight[9] = {9, 72, 252, 504, 630, 504, 252, 72, 9};  // 9 * C(8, k) for a code with k set bits

test::NodeHarness RunOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    return test::RunNode(new CPLBPHist(), std::move(grey), std::move(labels));
}
}  // namespace

TEST(PLBPHist, TiesNaNAndUnboundedGreyValues) {
    // Four 3x3 regions side by side, each with its centre as the one counted pixel: a constant
    // block (ties set every bit), a NaN centre (no bit), a NaN neighbour above (no bit), and grey
    // values far outside 0..255, of which above, right, lower right and below are >= the centre.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto h = RunOn(FloatImage(12, 3, {7, 7, 7, 60, 60,  60, 60, nan, 60, -1e6f, 1e9f,  -2000,
                                      7, 7, 7, 60, nan, 60, 60, 50,  60, -inf,  -1000, 300,
                                      7, 7, 7, 60, 60,  60, 60, 60,  60, -2000, -1000, inf}),
                   FloatImage(12, 3, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4,
                                      1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}));
    const unsigned code[4] = {255, 0, 255 - 2, 2 + 8 + 16 + 32};
    for (int r = 0; r < 4; ++r)
        for (unsigned c = 0; c < 256; ++c)
            EXPECT_EQ(h.At(c, r), c == code[r] ? kWeight[std::popcount(c)] : 0.0f) << r << " " << c;
}

TEST(PLBPHist, AgainstPlainReference) {
    // Label 4 is absent, label 5 two pixels wide (no centre: NaN), label 3 rings a pixel of label 1.
    constexpr int W = 10, H = 8;
    const std::vector<float> lab = {1, 1, 1, 1, 0, 0, 2, 2, 2, 0,  1, 1, 1, 1, 1, 0, 2, 2, 2, 2,
                                    0, 1, 2, 1, 1, 0, 2, 1, 2, 0,  1, 1, 1, 1, 0, 0, 2, 2, 2, 0,
                                    0, 5, 5, 0, 0, 3, 3, 3, 0, 0,  0, 5, 5, 0, 0, 3, 1, 3, 3, 0,
                                    0, 5, 5, 0, 0, 3, 3, 3, 3, 3,  0, 0, 5, 0, 0, 0, 0, 3, 0, 3};
    std::vector<float> g(W * H);  // few grey levels, so that ties are common
    unsigned s = 12345;
    for (float& v : g) v = static_cast<float>((s = s * 1103515245u + 12345u) >> 16 & 3u);
    auto h = RunOn(FloatImage(W, H, g), FloatImage(W, H, lab));
    ASSERT_EQ(h.Matrix().Size(), CSize(256, 5, 1));
    const int dx[8] = {-1, 0, 1, 1, 1, 0, -1, -1}, dy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    for (int l = 1; l <= 5; ++l) {
        int x0 = W, x1 = -1, y0 = H, y1 = -1;
        for (int i = 0; i < W * H; ++i)
            if (lab[i] == l) x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = i / W;
        float n = 0, count[256] = {};
        for (int y = y0 + 1; y < y1; ++y)
            for (int x = x0 + 1; x < x1; ++x) {
                int code = 0;
                for (int b = 0; b < 8; ++b) code |= (g[(y + dy[b]) * W + x + dx[b]] >= g[y * W + x]) << b;
                if (lab[y * W + x] == l) ++count[code], ++n;
            }
        for (unsigned c = 0; c < 256; ++c) {
            const float want = x1 < 0 ? 0.0f : count[c] / n * kWeight[std::popcount(c)];
            const float got = h.At(c, l - 1);
            EXPECT_TRUE(got == want || (std::isnan(want) && std::isnan(got))) << l << " " << c << ": " << got;
        }
    }
    EXPECT_TRUE(std::isnan(h.At(0, 4)));
}

TEST(PLBPHist, ComputeRegionStaysInsideTheGreyImage) {
    CPLBPHist node;
    CImage grey(IMAGE_GREY_F, CSize(4, 4, 1)), mask(IMAGE_GREY_F, CSize(3, 3, 1));
    std::vector<double> f(256);
    for (const auto& [x0, y0] : std::vector<std::pair<int, int>>{{2, 0}, {0, 2}, {-1, 0}, {0, -1}})
        EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey, mask, x0, y0, f); }).Location(),
                  "(feature plugins) LBPHist::ComputeRegion");
    std::fill_n(mask.Pixels<float>(), 9, 1.0f);
    node.ComputeRegion(grey, mask, 1, 1, f);  // a box ending at the far corner is inside: centre (2, 2) ties
    EXPECT_EQ(f[255], 9.0);
}

TEST(PLBPHist, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPLBPHist(); }, "(feature plugins) LBPHist::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}
