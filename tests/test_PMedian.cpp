#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "PMedian.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Plain reference: every pixel of plane 0 with the label, fully sorted, the
// element at n / 2; 0 for no pixel.
float Reference(const std::vector<float>& grey, const std::vector<float>& labels, std::size_t planePixels,
                float label) {
    std::vector<float> v;
    for (std::size_t p = 0; p < planePixels; ++p)
        if (labels[p] == label) v.push_back(grey[p]);
    if (v.empty()) return 0.0f;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
}  // namespace

TEST(PMedian, MiddleOrUpperMiddleValueWithNaNRankedLast) {
    // Label 1: {5, 1, 3} -> 3. Label 2: {4, 1, 3, 2} -> 3, not 2.5. Label 3 is
    // absent. Label 4: a single pixel. NaN ranks above every number (+inf too):
    // label 5 {NaN, 1, 2} -> 2, label 6 {NaN, 1} -> NaN, label 7 {3, NaN, inf,
    // -inf} -> inf.
    const float inf = std::numeric_limits<float>::infinity();
    auto h = test::RunNode(new CPMedian(),
                           FloatImage(17, 1, {5, 1, 3, 4, 1, 3, 2, 42, kNaN, 1, 2, kNaN, 1, 3, kNaN, inf, -inf}),
                           FloatImage(17, 1, {1, 1, 1, 2, 2, 2, 2, 4, 5, 5, 5, 6, 6, 7, 7, 7, 7}));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 7, 1));
    const std::vector<float> m = test::MatrixValues(h);
    EXPECT_EQ(std::vector<float>(m.begin(), m.begin() + 5), (std::vector<float>{3, 3, 0, 42, 2}));
    EXPECT_TRUE(std::isnan(m[5]));
    EXPECT_EQ(m[6], inf);
}

TEST(PMedian, RandomRegionsMatchAFullSortOfPlaneZero) {
    // Interleaved labels on a 3-D image: each region's box holds many pixels of
    // other labels, and plane 1 must be ignored. Label 9 occurs only in plane 1:
    // it has no pixel in plane 0 and gets 0 (as a label that does not occur).
    const int W = 37, H = 23, D = 2;
    std::mt19937 rng(7);
    std::vector<float> grey(W * H * D), labels(W * H * D);
    for (auto& g : grey) g = static_cast<float>(rng() % 1000) / 8.0f - 20.0f;
    for (int p = 0; p < W * H; ++p) labels[p] = static_cast<float>(rng() % 9);  // 0 .. 8
    for (int p = W * H; p < W * H * D; ++p) labels[p] = rng() % 3 == 0 ? 9.0f : 1.0f;
    auto h = test::RunNode(new CPMedian(), FloatImage(W, H, grey, D), FloatImage(W, H, labels, D));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 9, 1));
    for (int r = 0; r < 8; ++r)
        EXPECT_EQ(h.At(0, r), Reference(grey, labels, W * H, static_cast<float>(r + 1))) << "label " << r + 1;
    EXPECT_EQ(h.At(0, 8), 0.0f);
}

TEST(PMedian, ChecksInTheirOrderAndNoRegions) {
    using frame::Check;
    const std::string location = "(feature plugins) Median::Run";
    test::ExpectInputChecks([] { return new CPMedian(); }, location,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "second input image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    // Input 0 of 8 bits is refused as well.
    NodeHarness bytes(new CPMedian());
    bytes.Connect(0, std::make_unique<CImage>(IMAGE_GREY_8, CSize(2, 2, 1)));
    bytes.Connect(1, test::FilledImage(2, 2, 1.0f));
    EXPECT_EQ(test::CatchException([&] { bytes.Run(); }).Message(),
              "The first input image is not of type IMAGE_GREY_F");

    // "empty_image_exception" false: a warning and outputs of no rows.
    auto h = test::Connected(new CPMedian(), test::FilledImage(3, 2, 1.0f), test::FilledImage(3, 2, 0.0f));
    h.SetParameter("empty_image_exception", new CValueBool(false));
    EXPECT_EQ(h.RunCapturingStdout(), "WARNING! : feature::Median::Run The number of regions is zero!\n");
    EXPECT_EQ(h.Matrix().Size(), CSize(1, 0, 1));
    ASSERT_EQ(h.Values().Size(), 1u);
    const auto* inner = dynamic_cast<const CValueVector*>(h.Values().Entry(0));
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->Size(), 0u);
}
