#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <set>

#include "PHist.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {
NodeHarness HistOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPHist());
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    return h;
}
}  // namespace

TEST(PHist, NormalisedBinsOfTheRegionsOwnPixels) {
    // Label 1: 10, 10, 10.9, 200 -> bin 10 = 0.75, bin 200 = 0.25. Label 2 sits
    // inside label 1's box and is not counted there.
    auto h = HistOn(FloatImage(3, 2, {10, 10, 7, 10.9f, 200, 3}), FloatImage(3, 2, {1, 1, 2, 1, 1, 0}));
    h.Run();
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
    auto h = HistOn(FloatImage(2, 1, {1, 99, 2, 99, 3, 4}, 3), FloatImage(2, 1, {1, 0, 1, 0, 1, 3}, 3));
    h.Run();
    EXPECT_FLOAT_EQ(h.At(1, 0), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(h.At(2, 0), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(h.At(3, 0), 1.0f / 3.0f);
    EXPECT_EQ(h.At(99, 0), 0.0f);
    EXPECT_EQ(h.At(4, 2), 1.0f);
    float row1 = 0;
    for (int b = 0; b < 256; ++b) row1 += h.At(b, 1);
    EXPECT_EQ(row1, 0.0f);
}

TEST(PHist, OutOfRangeGreyValuesHaveNoBinButStillCount) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto h = HistOn(FloatImage(5, 1, {-1.0f, 256.0f, nan, 255.9f, 0.0f}), test::FilledImage(5, 1, 1.0f));
    h.Run();
    EXPECT_EQ(h.At(255, 0), 0.2f);
    EXPECT_EQ(h.At(0, 0), 0.2f);
    float sum = 0;
    for (int b = 0; b < 256; ++b) sum += h.At(b, 0);
    EXPECT_FLOAT_EQ(sum, 0.4f);
}

TEST(PHist, NoRegionsIsNotAnError) {
    auto h = HistOn(test::FilledImage(3, 3, 1.0f), test::FilledImage(3, 3, 0.0f));
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

TEST(PHist, SetupDescription) {
    CPHist node;
    auto s = test::Setup(node);
    EXPECT_EQ(test::Keys(*s), (std::vector<std::string>{"pluginType", "subType", "name", "parameters", "inputs",
                                                        "outputs", "description", "__zorvatDocumentation"}));
    test::ExpectTexts(*s, {{"pluginType", "Image"}, {"subType", "LabelImage"}, {"name", "Hist"},
                           {"inputs/1@label", "Label Image"}});
    const std::string d = test::Text(*s, "description");
    EXPECT_EQ(d.rfind("BRIEF\nComputes the gray level histogram.\n\nThis plugin computes", 0), 0u);
    EXPECT_NE(d.find("NOTE\nThe gray values in the first input image must be inbetween 0 and 255.\n\n\nINPUT 0\n"
                     "First input image, must be of type IMAGE_GREY_F."),
              std::string::npos);
}
