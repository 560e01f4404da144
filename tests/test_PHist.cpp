#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "PHist.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {
// The histogram of each label first .. first + n - 1 as a mask of the label's
// box gives it, written plainly: the box holds every voxel whose value
// truncates to the label; a voxel of the box counts when its value equals the
// label converted to float; bins add 1.0f and are divided by the count as float.
std::vector<float> PerRegionReference(const std::vector<float>& grey, const std::vector<float>& labels, int64_t W,
                                      int64_t H, int64_t D, uint32_t first, uint32_t n) {
    std::vector<float> rows(static_cast<std::size_t>(n) * 256, 0.0f);
    auto truncated = [](float v) -> uint64_t { return v >= 1.0f && v < 4294967296.0f ? uint64_t(v) : 0; };
    for (uint32_t r = 0; r < n; ++r) {
        const uint32_t label = first + r;
        int64_t x0 = W, x1 = -1, y0 = H, y1 = -1, z0 = D, z1 = -1;
        for (int64_t z = 0; z < D; ++z)
            for (int64_t y = 0; y < H; ++y)
                for (int64_t x = 0; x < W; ++x)
                    if (truncated(labels[(z * H + y) * W + x]) == label) {
                        x0 = std::min(x0, x), x1 = std::max(x1, x);
                        y0 = std::min(y0, y), y1 = std::max(y1, y);
                        z0 = std::min(z0, z), z1 = std::max(z1, z);
                    }
        float bins[256] = {};
        int64_t count = 0;
        for (int64_t z = z0; z <= z1; ++z)
            for (int64_t y = y0; y <= y1; ++y)
                for (int64_t x = x0; x <= x1; ++x) {
                    const int64_t i = (z * H + y) * W + x;
                    if (labels[i] != static_cast<float>(label)) continue;
                    ++count;
                    if (grey[i] >= 0.0f && grey[i] < 256.0f) bins[static_cast<int>(grey[i])] += 1.0f;
                }
        for (int b = 0; b < 256; ++b) rows[r * 256 + b] = count > 0 ? bins[b] / static_cast<float>(count) : 0.0f;
    }
    return rows;
}

// A random scene whose label values come from pool (and background), grey
// values mostly in 0 .. 255 with fractions, some out of range and NaN.
struct RandomScene {
    int64_t W, H, D;
    std::vector<float> grey, labels;
};
RandomScene MakeScene(std::mt19937& rng, const std::vector<float>& pool) {
    RandomScene s{1 + int64_t(rng() % 24), 1 + int64_t(rng() % 16), 1 + int64_t(rng() % 3), {}, {}};
    const std::size_t n = static_cast<std::size_t>(s.W * s.H * s.D);
    const float odd[] = {-1.0f, -0.0f, 255.999f, 256.0f, 1e9f, std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity()};
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t pick = rng() % 20;
        s.grey.push_back(pick == 0 ? odd[rng() % 7] : static_cast<float>(rng() % 25600) / 100.0f);
        // Runs of one value now and then, as in real label images.
        if (i > 0 && rng() % 3 == 0)
            s.labels.push_back(s.labels.back());
        else
            s.labels.push_back(rng() % 4 == 0 ? 0.0f : pool[rng() % pool.size()]);
    }
    return s;
}

}  // namespace

TEST(PHist, NormalisedBinsOfTheRegionsOwnPixels) {
    // Label 1: 10, 10, 10.9, 200 -> bin 10 = 0.75, bin 200 = 0.25. Label 2 sits
    // inside label 1's box and is not counted there.
    auto h =
        test::RunNode(new CPHist(), FloatImage(3, 2, {10, 10, 7, 10.9f, 200, 3}), FloatImage(3, 2, {1, 1, 2, 1, 1, 0}));
    ASSERT_EQ(h.Matrix().Size(), CSize(256, 2, 1));
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(h.At(b, 0), b == 10 ? 0.75f : b == 200 ? 0.25f : 0.0f) << "bin " << b;
        EXPECT_EQ(h.At(b, 1), b == 7 ? 1.0f : 0.0f) << "bin " << b;
    }
    // No feature names anywhere.
    EXPECT_FALSE(h.Values().Entry(0)->HasMeta());
    EXPECT_EQ(h.Values().Entry("10/0")->Double(), 0.75);
}

TEST(PHist, CountsEveryPlaneOfTheRegionAndLeavesMissingLabelsZero) {
    // Label 1 in planes 0..2, label 3 only in plane 2, label 2 absent.
    auto h =
        test::RunNode(new CPHist(), FloatImage(2, 1, {1, 99, 2, 99, 3, 4}, 3), FloatImage(2, 1, {1, 0, 1, 0, 1, 3}, 3));
    EXPECT_FLOAT_EQ(h.At(1, 0), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(h.At(2, 0), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(h.At(3, 0), 1.0f / 3.0f);
    EXPECT_EQ(h.At(99, 0), 0.0f);
    EXPECT_EQ(h.At(4, 2), 1.0f);
    float row1 = 0;
    for (int b = 0; b < 256; ++b) row1 += h.At(b, 1);
    EXPECT_EQ(row1, 0.0f);
}

TEST(PHist, OnePassEqualsThePerRegionMasksOnRandomScenes) {
    std::mt19937 rng(7);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Small labels, fractions (which truncate to a label but never equal it),
    // and values that are no label at all.
    const std::vector<float> small = {1, 2, 3, 5, 6, 6, 9, 2.5f, 3.75f, 0.5f, -2, nan, 4294967296.0f};
    for (int round = 0; round < 40; ++round) {
        const RandomScene s = MakeScene(rng, small);
        SCOPED_TRACE(round);
        // Through Run: the matrix against the masks of every label of the table.
        auto h = test::RunNode(new CPHist(), FloatImage(s.W, s.H, s.grey, s.D), FloatImage(s.W, s.H, s.labels, s.D));
        const auto n = static_cast<uint32_t>(h.Matrix().Size().y);
        const std::vector<float> expected = PerRegionReference(s.grey, s.labels, s.W, s.H, s.D, 1, n);
        const float* m = h.Matrix().Pixels<float>();
        for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(m[i]), std::bit_cast<uint32_t>(expected[i])) << "row " << i / 256;
    }
    // Labels about 2^24, where whole numbers stop being floats: 16777217 and
    // 16777219 round to 16777216 and 16777220, which are labels of their own.
    // The table such labels need does not fit a test, so the window of labels
    // around them is compared directly.
    const uint32_t first = 16777200;
    std::vector<float> large;
    for (uint32_t l = first - 3; l < first + 40; ++l) large.push_back(static_cast<float>(l));
    for (float v : {16777215.5f, 16777214.25f, 33554436.0f, 7.0f}) large.push_back(v);
    for (int round = 0; round < 40; ++round) {
        const RandomScene s = MakeScene(rng, large);
        SCOPED_TRACE(round);
        const uint32_t n = 36;
        std::vector<float> rows(n * 256, 0.0f);
        CPHist::AllRegionHistograms(s.grey.data(), s.labels.data(), s.W * s.H * s.D, first, n, rows.data());
        const std::vector<float> expected = PerRegionReference(s.grey, s.labels, s.W, s.H, s.D, first, n);
        for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(rows[i]), std::bit_cast<uint32_t>(expected[i])) << "row " << i / 256;
    }
}

TEST(PHist, OutOfRangeGreyValuesHaveNoBinButStillCount) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto h = test::RunNode(new CPHist(), FloatImage(5, 1, {-1.0f, 256.0f, nan, 255.9f, 0.0f}),
                           test::FilledImage(5, 1, 1.0f));
    EXPECT_EQ(h.At(255, 0), 0.2f);
    EXPECT_EQ(h.At(0, 0), 0.2f);
    float sum = 0;
    for (int b = 0; b < 256; ++b) sum += h.At(b, 0);
    EXPECT_FLOAT_EQ(sum, 0.4f);
}

TEST(PHist, NoRegionsIsNotAnError) {
    auto h = test::Connected(new CPHist(), test::FilledImage(3, 3, 1.0f), test::FilledImage(3, 3, 0.0f));
    h.SetParameter("verbose", new CValueBool(true));
    EXPECT_EQ(h.RunCapturingStdout(),
              "The number of regions is: 0\nCPHist::Run(): the number of regions is zero!\n");
    EXPECT_EQ(h.Matrix().Size(), CSize(256, 0, 1));
    EXPECT_EQ(h.Values().Size(), 256u);
    EXPECT_EQ(h.Values().Entry(0), nullptr);
}

TEST(PHist, ChecksUseTheSourceLocationForm) {
    NodeHarness h(new CPHist());
    std::set<int> lines;
    auto check = [&](const char* message) {
        auto e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Message(), message);
        ASSERT_NE(e.SourceLocation(), nullptr);
        lines.insert(e.SourceLocation()->line);
        EXPECT_STREQ(e.SourceLocation()->function, "CPHist::Run");
        EXPECT_NE(std::string(e.SourceLocation()->file).find("src/alg/plugalg_features/src/PHist"),
                  std::string::npos);
    };
    check("First input image is NULL.");
    h.Connect(0, std::make_unique<CImage>(IMAGE_GREY_8, CSize(1, 1, 1)));
    check("First input image is not of type IMAGE_GREY_F.");
    h.Connect(0, test::FilledImage(1, 1, 0.0f));
    check("Second input image is NULL.");
    h.Connect(1, std::make_unique<CImage>(IMAGE_GREY_8, CSize(1, 1, 1)));
    check("Second input image is not of type IMAGE_GREY_F.");
    EXPECT_EQ(lines.size(), 4u) << "each check carries its own line";
}

TEST(PHist, LabelsWhoseTableAndOutputsDoNotFitAreRefusedInTheSourceLocationForm) {
    // 256 bins a region, and each region's pixel count.
    auto h = test::Connected(new CPHist(), test::FilledImage(2, 1, 1.0f), FloatImage(2, 1, {2e9f, 1}));
    const CException e = test::CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Message().rfind("Largest label 2000000000 needs 20.6 TB for the region table and outputs, more than "
                                "the ",
                                0),
              0u)
        << e.Message();
    ASSERT_NE(e.SourceLocation(), nullptr);
    EXPECT_STREQ(e.SourceLocation()->function, "CPHist::Run");
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);
}

TEST(PHist, RegionHistogramRefusesMisuse) {
    CPHist node;
    CImage grey(IMAGE_GREY_F, CSize(2, 2, 2));
    CImage mask(IMAGE_GREY_F, CSize(1, 1, 1));
    std::vector<double> tooShort(255), bins(256);
    EXPECT_THROW(node.RegionHistogram(grey, mask, 0, 0, 0, tooShort), std::out_of_range);
    // A mask box that does not lie inside the grey image, in any of the three directions.
    for (auto [x0, y0, z0] : {std::array<int64_t, 3>{2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {-1, 0, 0}})
        EXPECT_THROW(node.RegionHistogram(grey, mask, x0, y0, z0, bins), CException) << x0 << y0 << z0;
    // The far corner is still inside: voxel (1, 1, 1) of the grey image is read.
    mask.Pixels<float>()[0] = 1.0f;
    grey.Pixels<float>()[(1 * 2 + 1) * 2 + 1] = 42.0f;
    node.RegionHistogram(grey, mask, 1, 1, 1, bins);
    EXPECT_EQ(bins[42], 1.0);
    EXPECT_THROW(node.RegionHistogram(CImage(IMAGE_GREY_8, CSize(2, 2, 2)), mask, 0, 0, 0, bins), CException);
}
