#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "MaskedRunningMean.h"
#include "PBinNbhHistPlusXYEntropy.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
constexpr int kF = 18;

// One label's features written out plainly (grey values in [0, 256)). The local
// mean is the running mean of BinNbhHist (checked on its own there); what is new
// here is written as loops: only blocks wholly in the region, thresholds at more
// than 30 of the region's own pixels, sets of region pixels, all ordered pairs.
F Reference(const F& g, const F& labels, int64_t W, float label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, label);
    F f(kF, 0.0f);
    if (x1 < 0) return f;
    const int64_t w = x1 - x0 + 1, h = y1 - y0 + 1;
    F mask(w * h), s(w * h);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) mask[y * w + x] = labels[(y0 + y) * W + x0 + x] == label ? 1.0f : 0.0f;
    EXPECT_EQ(SmoothRegionBox(g.data(), W, mask.data(), w, h, x0, y0, 1, 10, s.data()), kRunningMeanOk);
    auto in = [&](int64_t x, int64_t y) { return mask[y * w + x] != 0.0f; };
    auto grey = [&](int64_t x, int64_t y) { return g[(y0 + y) * W + x0 + x]; };
    auto bit = [&](int64_t x, int64_t y) { return std::fabs(grey(x, y) - s[y * w + x]) > 5.0f ? 1 : 0; };

    float blocks = 0.0f;
    for (int64_t y = 0; y + 1 < h; ++y)
        for (int64_t x = 0; x + 1 < w; ++x)
            if (in(x, y) && in(x + 1, y) && in(x, y + 1) && in(x + 1, y + 1))
                f[bit(x, y) + 2 * bit(x + 1, y) + 4 * bit(x, y + 1) + 8 * bit(x + 1, y + 1)] += 1.0f, ++blocks;
    for (int k = 0; k < 16 && blocks > 0.0f; ++k) f[k] /= blocks;

    float counts[256] = {}, lower = 0.0f, upper = 256.0f, below = 0.0f, above = 0.0f;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            if (in(x, y)) counts[static_cast<int>(grey(x, y))] += 1.0f;
    for (int k = 0; k < 256 && lower == 0.0f; ++k)
        if ((below += counts[k]) > 30.0f) lower = static_cast<float>(k + 1);
    for (int k = 255; k >= 0 && upper == 256.0f; --k)
        if ((above += counts[k]) > 30.0f) upper = static_cast<float>(k - 1);
    for (const int side : {0, 1}) {
        std::vector<std::pair<int64_t, int64_t>> set;
        for (int64_t y = 0; y < h; ++y)
            for (int64_t x = 0; x < w; ++x)
                if (in(x, y) && (side == 0 ? grey(x, y) < lower : grey(x, y) > upper)) set.emplace_back(x, y);
        float sum = 0.0f;
        for (const auto& [ax, ay] : set)
            for (const auto& [bx, by] : set) {
                const float dx = static_cast<float>(ax - bx), dy = static_cast<float>(ay - by);
                sum += static_cast<float>(std::exp(-0.1 * static_cast<double>(dx * dx + dy * dy)));
            }
        if (!set.empty()) f[16 + side] = sum / static_cast<float>(set.size() * set.size());
    }
    return f;
}

// A 48 x 36 scene: a ring (1), a disc whose box holds the ring's pixels (2), a
// one-pixel-wide line of 40 pixels (3: no block, but sets), 20 scattered
// pixels (4: 30 or fewer, no sets), a flat square (5), a region on the image
// edge (6), label 7 absent, a staircase three pixels wide (8: blocks only where
// its steps overlap).
struct Scene {
    static constexpr int64_t W = 48, H = 36;
    F grey = F(W * H), labels = F(W * H, 0.0f);
    Scene() {
        std::mt19937 rng(5);
        auto disc = [](int64_t dx, int64_t dy, int64_t r) { return dx * dx + dy * dy <= r * r; };
        for (int64_t i = 0; i < W * H; ++i) {
            const int64_t x = i % W, y = i / W;
            const unsigned r = rng();
            grey[i] = (r % 5 == 0) ? static_cast<float>(r % 256) : static_cast<float>(80 + r % 40) + 0.25f * (r % 4);
            float& l = labels[i];
            if (disc(x - 12, y - 12, 10) && !disc(x - 12, y - 12, 4)) l = 1;
            if (disc(x - 20, y - 14, 5)) l = 2;
            if (y == 30 && x >= 2 && x < 42) l = 3;
            if (x >= 30 && x < 46 && y >= 2 && y < 22 && r % 16 == 0) l = 4;
            if (x >= 26 && x < 34 && y >= 23 && y < 29) l = 5, grey[i] = 140.0f;
            if (x >= 44 && y >= 24 && y < 35) l = 6;
            if (y >= 31 && y < 35 && x - (y - 31) >= 3 && x - (y - 31) <= 5) l = 8;
        }
    }
};
}  // namespace

TEST(PBinNbhHistPlusXYEntropy, RegionsAgainstPlainReference) {
    const Scene sc;
    const F got = test::RunMatrix(new CPBinNbhHistPlusXYEntropy(), Scene::W, sc.grey, sc.labels);
    ASSERT_EQ(got.size(), 8u * kF);
    for (int r = 0; r < 8; ++r) {
        const F row(got.begin() + r * kF, got.begin() + (r + 1) * kF);
        EXPECT_EQ(row, Reference(sc.grey, sc.labels, Scene::W, static_cast<float>(r + 1))) << "label " << r + 1;
    }
    auto at = [&](int label, int f) { return got[static_cast<std::size_t>((label - 1) * kF + f)]; };
    // The scene holds what it is meant to: the line has no block but both sets,
    // the scattered label no sets, the flat square only blocks of configuration 0.
    EXPECT_TRUE(std::all_of(got.begin() + 2 * kF, got.begin() + 2 * kF + 16, [](float v) { return v == 0.0f; }));
    EXPECT_TRUE(at(3, 16) > 0.0f && at(3, 17) > 0.0f && at(4, 16) == 0.0f && at(4, 17) == 0.0f);
    EXPECT_EQ(at(5, 0), 1.0f);
}

TEST(PBinNbhHistPlusXYEntropy, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPBinNbhHistPlusXYEntropy(); },
                            "(feature plugins) BinNbhHistPlusXYEntropy::Run",
                            {{Check::GreyNull, "First input image is NULL", 0,
                              "(feature plugins) PBinNbhHistPlusXYEntropy::Run"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    // Misuse of the computation from outside a run: a box past the image.
    CPBinNbhHistPlusXYEntropy node;
    auto grey = test::FilledImage(10, 10, 4.0f), mask = test::FilledImage(8, 4, 1.0f);
    std::vector<double> features(kF);
    test::CatchException([&] { node.ComputeRegion(*grey, *mask, 3, 0, features); });
}
