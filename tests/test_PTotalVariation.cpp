#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "PTotalVariation.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
const char* const kLocation = "(feature plugins) TotalVariation::Run";

// ComputeRegion on a whole grey image with a mask of its size at the origin.
double OnWholeImage(const std::unique_ptr<CImage>& grey, const std::unique_ptr<CImage>& mask) {
    std::vector<double> f(1);
    CPTotalVariation().ComputeRegion(grey.get(), mask.get(), 0, 0, 0, f);
    return f[0];
}
}  // namespace

TEST(PTotalVariation, WorkedExamples) {
    // Label 1: 2 x 1 with 0, 3 -> 3. Label 2: 2 x 2 with 0, 1 / 2, 3 -> sqrt(5) + 3.
    // Label 5 on a constant patch -> 0. Labels 3 and 4 are absent.
    // clang-format off
    auto grey = FloatImage(5, 3, {
        0, 3, 9, 0, 1,
        7, 7, 9, 2, 3,
        7, 7, 9, 9, 9,
    });
    auto labels = FloatImage(5, 3, {
        1, 1, 0, 2, 2,
        5, 5, 0, 2, 2,
        5, 5, 0, 0, 0,
    });
    // clang-format on
    auto h = test::RunNode(new CPTotalVariation(), std::move(grey), std::move(labels));
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 5, 1));
    EXPECT_EQ(h.At(0, 0), 3.0f);
    EXPECT_EQ(h.At(0, 1), static_cast<float>(std::sqrt(5.0) + 3.0));
    for (int r : {2, 3, 4}) EXPECT_EQ(h.At(0, r), 0.0f);
}

TEST(PTotalVariation, NeighboursInsideTheBoxCountWhateverTheirLabel) {
    // Label 1 is an L in a 2 x 2 box; (1, 1) is background with grey 10, a
    // neighbour of (1, 0) below and of (0, 1) to the right, with no term of its
    // own. Grey 100 right of the box is never read. (0, 0): sqrt(1 + 4);
    // (1, 0): last column, sqrt((10 - 1)^2) = 9; (0, 1): last row, sqrt(8^2) = 8.
    auto h = test::RunNode(new CPTotalVariation(), FloatImage(3, 2, {0, 1, 100, 2, 10, 100}),
                           FloatImage(3, 2, {1, 1, 0, 1, 0, 0}));
    EXPECT_EQ(h.At(0, 0), static_cast<float>(std::sqrt(5.0) + 17.0));
}

TEST(PTotalVariation, ThreeDimensionalRegionsUseTheirWholeBox) {
    // Label 1 two planes deep on one pixel: z difference in plane 0 only -> |5 - 2| = 3.
    // Label 2 only in plane 1, 2 x 1: its box starts at z = 1, x difference 4 -> 4.
    auto h = test::RunNode(new CPTotalVariation(), FloatImage(3, 1, {2, 0, 0, 5, 1, 5}, 2),
                           FloatImage(3, 1, {1, 0, 0, 1, 2, 2}, 2));
    EXPECT_EQ(h.At(0, 0), 3.0f);
    EXPECT_EQ(h.At(0, 1), 4.0f);

    // Random labels and grey values in a 3-D volume against a plain reference.
    const int W = 13, H = 11, D = 4;
    std::mt19937 rng(3);
    std::vector<float> grey(W * H * D), labels(W * H * D);
    for (auto& g : grey) g = static_cast<float>(rng() % 2000) / 7.0f;
    for (auto& l : labels) l = static_cast<float>(rng() % 4);
    auto random = test::RunNode(new CPTotalVariation(), FloatImage(W, H, grey, D), FloatImage(W, H, labels, D));
    ASSERT_EQ(random.Matrix().Size(), CSize(1, 3, 1));
    for (int r = 0; r < 3; ++r) {
        const float label = static_cast<float>(r + 1);
        int lo[3] = {W, H, D}, hi[3] = {-1, -1, -1};
        for (int z = 0; z < D; ++z)
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x)
                    if (labels[(z * H + y) * W + x] == label) {
                        const int c[3] = {x, y, z};
                        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], c[a]), hi[a] = std::max(hi[a], c[a]);
                    }
        auto at = [&](int x, int y, int z) { return grey[(z * H + y) * W + x]; };
        double sum = 0.0;
        for (int z = lo[2]; z <= hi[2]; ++z)
            for (int y = lo[1]; y <= hi[1]; ++y)
                for (int x = lo[0]; x <= hi[0]; ++x) {
                    if (labels[(z * H + y) * W + x] != label) continue;
                    double q = 0.0;
                    const float c = at(x, y, z);
                    if (x < hi[0]) q += static_cast<double>((at(x + 1, y, z) - c) * (at(x + 1, y, z) - c));
                    if (y < hi[1]) q += static_cast<double>((at(x, y + 1, z) - c) * (at(x, y + 1, z) - c));
                    if (z < hi[2]) q += static_cast<double>((at(x, y, z + 1) - c) * (at(x, y, z + 1) - c));
                    sum += std::sqrt(q);
                }
        EXPECT_EQ(random.At(0, r), static_cast<float>(sum)) << "label " << r + 1;
    }
}

TEST(PTotalVariation, DifferencesAndSquaresInSinglePrecision) {
    auto mask = test::FilledImage(2, 1, 1.0f);
    // 2^-30 - 1 rounds to -1 in single precision: the total is exactly 1.
    EXPECT_EQ(OnWholeImage(FloatImage(2, 1, {1.0f, std::ldexp(1.0f, -30)}), mask), 1.0);
    // (1 + 2^-23)^2 rounds to 1 + 2^-22 in single precision; its root is not 1 + 2^-23.
    const float d = 1.0f + std::ldexp(1.0f, -23);
    EXPECT_EQ(OnWholeImage(FloatImage(2, 1, {0.0f, d}), mask), std::sqrt(static_cast<double>(d * d)));
    EXPECT_NE(OnWholeImage(FloatImage(2, 1, {0.0f, d}), mask), static_cast<double>(d));
}

TEST(PTotalVariation, ComputeRegionRefusesMisuse) {
    CPTotalVariation node;
    auto grey = test::FilledImage(2, 2, 1.0f, 2);
    auto mask = test::FilledImage(1, 1, 1.0f);
    std::vector<double> none, f{7.0};
    EXPECT_THROW(node.ComputeRegion(grey.get(), mask.get(), 0, 0, 0, none), std::out_of_range);
    node.ComputeRegion(nullptr, mask.get(), 0, 0, 0, f);
    EXPECT_EQ(f[0], 0.0);
    // A mask box beyond the grey image is refused; its far corner is still inside.
    for (int64_t z0 : {2, -1})
        EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey.get(), mask.get(), 1, 1, z0, f); }).Location(),
                  kLocation);
    node.ComputeRegion(grey.get(), mask.get(), 1, 1, 1, f);
    EXPECT_EQ(f[0], 0.0);
}

TEST(PTotalVariation, ChecksInTheirOrder) {
    using frame::Check;
    const std::vector<frame::InputCheck> checks = {
        {Check::GreyNull, "First input image is NULL"},
        {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
        {Check::LabelNull, "Second input image is NULL"},
        {Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}};
    test::ExpectInputChecks([] { return new CPTotalVariation(); }, kLocation, checks, "The number of regions is zero!!");
    test::ExpectInputChecks([] { return new CPTotalVariation(); }, kLocation, checks, "", IMAGE_GREY_8);
}
