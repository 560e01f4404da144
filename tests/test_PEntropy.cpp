#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "PEntropy.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
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

TEST(PEntropy, WholeBoxOfPlaneZeroCountsWhateverTheLabel) {
    // Label 1's box (x 0..1, y 0..1) holds a pixel of label 3 and background:
    // levels 10, 20 (label 3's) and 10 (background) are counted, the 0 (label
    // 1's own) is not. Label 3's box x 1..2, y 0..1: 20, 30, 40 and a 0 left out.
    // Label 2 is absent. Both labels reach into plane 1 within their boxes, but
    // the crop is of plane 0: the 99s there count nowhere.
    // An 8-bit copy of the grey image gives the same row values.
    const std::vector<float> grey = {10, 20, 30, 10, 0, 40, 99, 99, 99, 99, 99, 99};
    auto bytes = std::make_unique<CImage>(IMAGE_GREY_8, CSize(3, 2, 2));
    std::copy(grey.begin(), grey.end(), bytes->Pixels<uint8_t>());
    const std::vector<float> labels = {1, 3, 3, 0, 1, 3, 1, 0, 0, 0, 0, 3};
    auto h = test::RunNode(new CPEntropy(), FloatImage(3, 2, grey, 2), FloatImage(3, 2, labels, 2));
    auto eight = test::RunNode(new CPEntropy(), std::move(bytes), FloatImage(3, 2, labels, 2));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 3, 1));
    const double third = 1.0 / 3.0;
    EXPECT_FLOAT_EQ(h.At(0, 0), static_cast<float>(-2 * third * std::log(2 * third) - third * std::log(third)));
    EXPECT_EQ(h.At(0, 1), 0.0f);
    EXPECT_FLOAT_EQ(h.At(0, 2), static_cast<float>(std::log(3.0)));
    EXPECT_EQ(test::MatrixValues(eight), test::MatrixValues(h));
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

TEST(PEntropy, ChecksInTheirOrder) { test::ExpectUsualInputChecks([] { return new CPEntropy(); }, "Entropy"); }
