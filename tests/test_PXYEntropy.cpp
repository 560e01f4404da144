#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "PXYEntropy.h"
#include "TestSupport.h"

using namespace KELO;

namespace {
// Both features of every region (row by row) from a run of the node (labels:
// one region by default).
std::vector<float> Features(int W, const std::vector<float>& grey, std::vector<float> labels = {}) {
    if (labels.empty()) labels.assign(grey.size(), 1.0f);
    return test::RunMatrix(new CPXYEntropy(), W, grey, labels);
}

// The features of one label written out plainly (grey values in [0, 256)): every
// pixel of the box counts, thresholds at more than 30 pixels, all ordered pairs.
std::vector<float> Reference(int W, const std::vector<float>& grey, const std::vector<float>& labels, int label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, static_cast<float>(label));
    if (x1 < 0) return {0.0f, 0.0f};
    float counts[256] = {}, lower = 0.0f, upper = 256.0f, below = 0.0f, above = 0.0f;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) counts[static_cast<int>(grey[y * W + x])] += 1.0f;
    for (int k = 0; k < 256 && lower == 0.0f; ++k)
        if ((below += counts[k]) > 30.0f) lower = static_cast<float>(k + 1);
    for (int k = 255; k >= 0 && upper == 256.0f; --k)
        if ((above += counts[k]) > 30.0f) upper = static_cast<float>(k - 1);
    std::vector<float> result;
    for (const bool dark : {true, false}) {
        std::vector<std::pair<int, int>> set;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if (dark ? grey[y * W + x] < lower : grey[y * W + x] > upper) set.emplace_back(x, y);
        float sum = 0.0f;
        for (const auto& [ax, ay] : set)
            for (const auto& [bx, by] : set) {
                const float dx = static_cast<float>(ax - bx), dy = static_cast<float>(ay - by);
                sum += static_cast<float>(std::exp(-0.1 * static_cast<double>(dx * dx + dy * dy)));
            }
        result.push_back(set.empty() ? 0.0f : sum / static_cast<float>(set.size() * set.size()));
    }
    return result;
}
}  // namespace

TEST(PXYEntropy, RegionsAgainstPlainReference) {
    // Overlapping boxes (pixels of other labels count), labels 4 and 5 absent,
    // label 3 with 20 box pixels, grey values with ties and fractions. Values out
    // of [0, 256) act as clipped to [0, 255], so the reference sees them clipped.
    const int W = 23, H = 17;
    std::vector<float> labels(W * H, 0.0f), grey(W * H), clipped(W * H);
    for (const auto& [label, x0, y0, w, h] : {std::array{1, 0, 0, 11, 9}, std::array{2, 6, 4, 14, 12},
                                              std::array{3, 18, 0, 5, 4}, std::array{6, 2, 10, 5, 7},
                                              std::array{6, 20, 16, 3, 1}})
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) labels[y * W + x] = static_cast<float>(label);
    const float inf = std::numeric_limits<float>::infinity();
    const float extremes[] = {-7.0f, -0.25f, -inf, 256.0f, 300.5f, 1e30f, inf};
    std::mt19937 rng(11);
    for (int i = 0; i < W * H; ++i) {
        const unsigned r = rng();
        grey[i] = (r % 3 == 0) ? static_cast<float>(r % 12) : static_cast<float>(r % 25600) / 100.0f;
        if (r % 7 == 0) grey[i] = extremes[r % 49 / 7];
        clipped[i] = std::clamp(grey[i], 0.0f, 255.0f);
    }
    const std::vector<float> got = Features(W, grey, labels);
    std::vector<float> want;
    for (int label = 1; label <= 6; ++label) {
        const auto row = Reference(W, clipped, labels, label);
        want.insert(want.end(), row.begin(), row.end());
    }
    EXPECT_EQ(got, want);
    EXPECT_TRUE(got[0] > 0.0f && got[3] > 0.0f && got[4] == 0.0f && got[5] == 0.0f);
}

TEST(PXYEntropy, NaNIsInNoSetAndThirtyPixelsDoNotPass) {
    // A row of 31 tens over a row of NaN: NaN is neither counted nor in a set, so
    // both sets are the row, (31 + 2 sum_d (31 - d) exp(-0.1 d^2)) / 31^2 = 0.17058.
    std::vector<float> grey(62, std::nanf(""));
    std::fill_n(grey.begin(), 31, 10.0f);
    const auto row = Features(31, grey);
    EXPECT_NEAR(row[0], 0.17058, 1e-4);
    EXPECT_EQ(row[0], row[1]);
    grey[30] = std::nanf("");  // 30 tens: the limit is not passed, no set
    EXPECT_EQ(Features(31, grey), (std::vector<float>{0.0f, 0.0f}));
}

TEST(PXYEntropy, ComputeRegionRefusesBoxesPastTheImage) {
    CPXYEntropy node;
    auto grey = test::FilledImage(10, 10, 4.0f), mask = test::FilledImage(8, 4, 1.0f);
    std::vector<double> features(2);
    for (const auto& [x0, y0] : {std::pair{3, 0}, std::pair{0, 7}, std::pair{-1, 0}})
        test::CatchException([&, x = x0, y = y0] { node.ComputeRegion(grey.get(), mask.get(), x, y, features); });
}

TEST(PXYEntropy, ChecksInTheirOrder) {
    using frame::Check;
    const auto make = [] { return new CPXYEntropy(); };
    test::ExpectInputChecks(make, "(feature plugins) XYEntropy::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::GreyImage, "First input is not an image"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelImage, "Second input is not an image"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    test::NodeHarness h(make());  // input 0 is checked completely before input 1 is unwrapped
    h.Connect(0, std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)));
    h.ConnectEmpty(1);
    EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(), "The first input image is not of type IMAGE_GREY_F");
}
