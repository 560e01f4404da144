#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "PEntropy.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {
NodeHarness EntropyOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPEntropy());
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    return h;
}

// Plain reference over a list of grey values: integer levels 1 .. 255 counted,
// entropy of their shares.
double Reference(const std::vector<float>& values) {
    int counts[256] = {};
    int n = 0;
    for (float v : values)
        if (v >= 1.0f && v <= 255.0f) {
            ++counts[static_cast<int>(std::floor(v))];
            ++n;
        }
    double H = 0.0;
    for (int k = 1; k < 256; ++k)
        if (counts[k] > 0) {
            const double p = static_cast<double>(counts[k]) / n;
            H -= p * std::log(p);
        }
    return H;
}

double EntropyOf(const std::vector<float>& values) {
    CPEntropy node;
    std::vector<double> f(1);
    node.ComputeRegion(FloatImage(static_cast<int64_t>(values.size()), 1, values).get(), f);
    return f[0];
}
}  // namespace

TEST(PEntropy, WorkedExamplesAndTheCountedRange) {
    EXPECT_EQ(EntropyOf({7, 7, 7, 7}), 0.0);
    EXPECT_DOUBLE_EQ(EntropyOf({10, 20, 20, 10}), std::log(2.0));
    EXPECT_DOUBLE_EQ(EntropyOf({1, 2, 3, 4, 4, 3, 2, 1}), std::log(4.0));
    // 0, 0.5, 256 and NaN are left out; 1.0 and 255.0 count; 254.9 is level 254.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_DOUBLE_EQ(EntropyOf({0, 0.5f, 256, nan, 1, 255}), std::log(2.0));
    EXPECT_DOUBLE_EQ(EntropyOf({254.9f, 254, 255, 255}), std::log(2.0));
    // Nothing in range: 0, no division.
    EXPECT_EQ(EntropyOf({0, 0, 300, -4}), 0.0);
}

TEST(PEntropy, WholeBoxCountsWhateverTheLabel) {
    // Label 1's box (x 0..1, y 0..1) holds a pixel of label 3 and background:
    // levels 10, 20 (label 3's) and 10 (background) are counted, the 0 (label
    // 1's own) is not. Label 3's box x 1..2, y 0..1: 20, 30, 40 and a 0 left out.
    // Label 2 is absent.
    auto h = EntropyOn(FloatImage(3, 2, {10, 20, 30, 10, 0, 40}), FloatImage(3, 2, {1, 3, 3, 0, 1, 3}));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 3, 1));
    const double third = 1.0 / 3.0;
    EXPECT_FLOAT_EQ(h.At(0, 0), static_cast<float>(-2 * third * std::log(2 * third) - third * std::log(third)));
    EXPECT_EQ(h.At(0, 1), 0.0f);
    EXPECT_FLOAT_EQ(h.At(0, 2), static_cast<float>(std::log(3.0)));
    EXPECT_EQ(test::MetaText(h.Values(), "0", "FeatureName"), "entropy of the normalized histogram");
}

TEST(PEntropy, RandomRegionsMatchAReferenceAndEightBitInputGivesTheSame) {
    // Whole-number grey values 0 .. 255 (so the same image fits 8 bits), random
    // labels 0 .. 6 with label 4 left out, and plane 1 ignored by the crop.
    const int W = 41, H = 29, D = 2;
    std::mt19937 rng(11);
    std::vector<float> grey(W * H * D), labels(W * H * D, 0.0f);
    auto bytes = std::make_unique<CImage>(IMAGE_GREY_8, CSize(W, H, D));
    for (int p = 0; p < W * H * D; ++p) {
        const auto v = static_cast<uint8_t>(rng() % 40 == 0 ? 0 : rng() % 256);
        grey[p] = v;
        bytes->Pixels<uint8_t>()[p] = v;
    }
    const float kLabels[6] = {1, 2, 3, 5, 6, 1};
    for (int p = 0; p < W * H; ++p) {
        const auto l = rng() % 50;
        labels[p] = l < 6 ? kLabels[l] : 0.0f;
    }
    labels[W * H + 5] = 6;  // label 6 reaches into plane 1; only plane 0 of its box counts
    auto floats = EntropyOn(FloatImage(W, H, grey, D), FloatImage(W, H, labels, D));
    auto eight = EntropyOn(std::move(bytes), FloatImage(W, H, labels, D));
    floats.Run();
    eight.Run();
    ASSERT_EQ(floats.Matrix().Size(), CSize(1, 6, 1));
    for (int r = 0; r < 6; ++r) {
        const float label = static_cast<float>(r + 1);
        int x0 = W, x1 = -1, y0 = H, y1 = -1;
        for (int z = 0; z < D; ++z)
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x)
                    if (labels[(z * H + y) * W + x] == label)
                        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        std::vector<float> box;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) box.push_back(grey[y * W + x]);
        EXPECT_EQ(floats.At(0, r), static_cast<float>(Reference(box))) << "label " << r + 1;
        EXPECT_EQ(eight.At(0, r), floats.At(0, r)) << "label " << r + 1;
    }
    EXPECT_EQ(floats.At(0, 3), 0.0f);  // label 4 does not occur
    EXPECT_GT(floats.At(0, 0), 4.0f);  // a spread of levels, not a degenerate case
}

TEST(PEntropy, ComputeRegionRefusesMisuse) {
    CPEntropy node;
    std::vector<double> none, f{5.0};
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(2, 2, 3.0f).get(), none), std::out_of_range);
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f[0], 0.0);
    const CImage bytes(IMAGE_GREY_8, CSize(2, 2, 1));
    const CException e = test::CatchException([&] { node.ComputeRegion(&bytes, f); });
    EXPECT_EQ(e.Location(), "(feature plugins) Entropy::Run");
    EXPECT_EQ(e.Message(), "The region image is not of type IMAGE_GREY_F");
}

TEST(PEntropy, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPEntropy(); }, "(feature plugins) Entropy::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}
