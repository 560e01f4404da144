#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "PLBPHist.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

NodeHarness LbpOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPLBPHist());
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    return h;
}

// The 256 features of a single 3x3 region (its centre is the only counted pixel).
std::vector<float> Features3x3(const std::vector<float>& grey) {
    auto h = LbpOn(FloatImage(3, 3, grey), test::FilledImage(3, 3, 1.0f));
    h.Run();
    std::vector<float> f(256);
    for (int c = 0; c < 256; ++c) f[c] = h.At(c, 0);
    return f;
}

// Expects exactly one non-zero column.
void ExpectOnly(const std::vector<float>& f, int code, float value) {
    for (int c = 0; c < 256; ++c) EXPECT_EQ(f[c], c == code ? value : 0.0f) << "column " << c;
}

}  // namespace

// ---------------------------------------------------------------- pattern codes

TEST(PLBPHistCodes, EachNeighbourHasItsBitClockwiseFromUpperLeft) {
    // Centre 50, one neighbour 60, the rest 10: a single bit, weight 9 * C(8, 1) = 72.
    struct Case {
        std::vector<float> grey;
        int code;
    };
    // clang-format off
    const Case cases[] = {
        {{60, 10, 10,  10, 50, 10,  10, 10, 10}, 1},    // upper left
        {{10, 60, 10,  10, 50, 10,  10, 10, 10}, 2},    // above
        {{10, 10, 60,  10, 50, 10,  10, 10, 10}, 4},    // upper right
        {{10, 10, 10,  10, 50, 60,  10, 10, 10}, 8},    // right
        {{10, 10, 10,  10, 50, 10,  10, 10, 60}, 16},   // lower right
        {{10, 10, 10,  10, 50, 10,  10, 60, 10}, 32},   // below
        {{10, 10, 10,  10, 50, 10,  60, 10, 10}, 64},   // lower left
        {{10, 10, 10,  60, 50, 10,  10, 10, 10}, 128},  // left
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ExpectOnly(Features3x3(c.grey), c.code, 72.0f);
    }
    // Upper left, right and below together: 1 + 8 + 32, three bits, 9 * 56.
    ExpectOnly(Features3x3({60, 10, 10, 10, 50, 60, 10, 60, 10}), 41, 504.0f);
}

TEST(PLBPHistCodes, WeightDependsOnlyOnNumberOfSetBits) {
    // The first k neighbours clockwise from the upper left are brighter.
    const int pos[8] = {0, 1, 2, 5, 8, 7, 6, 3};  // pixel index in the 3x3 block
    const float weight[9] = {9, 72, 252, 504, 630, 504, 252, 72, 9};
    for (int k = 0; k <= 8; ++k) {
        SCOPED_TRACE(k);
        std::vector<float> grey(9, 10.0f);
        grey[4] = 50.0f;
        for (int b = 0; b < k; ++b) grey[pos[b]] = 90.0f;
        ExpectOnly(Features3x3(grey), (1 << k) - 1, weight[k]);
    }
}

TEST(PLBPHistCodes, EqualNeighboursSetTheirBit) {
    // All equal: code 255, weight 9.
    ExpectOnly(Features3x3(std::vector<float>(9, 7.0f)), 255, 9.0f);
    // Ties at upper left and lower right only: 1 + 16.
    ExpectOnly(Features3x3({50, 10, 10, 10, 50, 10, 10, 10, 50}), 17, 252.0f);
    // Just below the centre does not count: only "above" is set.
    ExpectOnly(Features3x3({49.99f, 50, 10, 10, 50, 10, 10, 10, 10}), 2, 72.0f);

    // A constant part of the image: every counted pixel has code 255.
    auto labels = test::FilledImage(8, 7, 0.0f);
    for (int y = 1; y <= 5; ++y)
        for (int x = 2; x <= 6; ++x) labels->Pixels<float>()[y * 8 + x] = 1.0f;
    auto h = LbpOn(test::FilledImage(8, 7, 33.0f), std::move(labels));
    h.Run();
    for (int c = 0; c < 256; ++c) EXPECT_EQ(h.At(c, 0), c == 255 ? 9.0f : 0.0f) << c;
}

TEST(PLBPHistCodes, GreyValuesOfAnyRangeAndNaN) {
    // Centre NaN: every comparison is false, code 0.
    ExpectOnly(Features3x3({60, 60, 60, 60, kNaN, 60, 60, 60, 60}), 0, 9.0f);
    // A NaN neighbour (above) leaves its bit clear: 255 - 2, seven bits.
    ExpectOnly(Features3x3({60, kNaN, 60, 60, 50, 60, 60, 60, 60}), 253, 72.0f);
    // Far outside 0..255: centre -1000; set are above (1e9), right (300), lower
    // right (+inf) and below (tie): 2 + 8 + 16 + 32, four bits.
    ExpectOnly(Features3x3({-1e6f, 1e9f, -2000, -kInf, -1000, 300, -2000, -1000, kInf}), 58, 630.0f);
}

// ---------------------------------------------------------------- regions

TEST(PLBPHistRegion, SharesOfCountedPixelsTimesWeight) {
    // A 4x3 region has two counted pixels, (1, 1) = 6 and (2, 1) = 3.
    // (1, 1): brighter are lower right 11, below 10, lower left 9 -> 16 + 32 + 64 = 112.
    // (2, 1): above 3 (tie) and every other neighbour but the upper left 2 -> 254.
    auto h = LbpOn(FloatImage(4, 3, {1, 2, 3, 4, 5, 6, 3, 8, 9, 10, 11, 12}), test::FilledImage(4, 3, 1.0f));
    h.Run();
    for (int c = 0; c < 256; ++c) {
        const float expected = c == 112 ? 0.5f * 504 : c == 254 ? 0.5f * 72 : 0.0f;
        EXPECT_EQ(h.At(c, 0), expected) << c;
    }
}

TEST(PLBPHistRegion, AgainstPlainReference) {
    constexpr int W = 13, H = 11;
    // clang-format off
    const std::vector<float> labels = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 1, 1, 1, 0, 0, 0, 0, 0, 3, 3, 3, 3,
        0, 1, 1, 1, 1, 0, 2, 2, 0, 3, 3, 3, 3,
        0, 1, 1, 2, 1, 1, 2, 2, 0, 0, 3, 3, 3,
        0, 0, 1, 1, 1, 1, 2, 2, 0, 0, 3, 3, 3,
        0, 0, 1, 1, 1, 0, 2, 2, 2, 0, 0, 3, 3,
        0, 0, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0,
        0, 5, 5, 0, 0, 0, 0, 0, 0, 0, 5, 5, 5,
        0, 5, 5, 5, 0, 6, 6, 6, 0, 5, 5, 5, 5,
        0, 0, 5, 5, 5, 6, 1, 6, 5, 5, 5, 5, 5,
        0, 0, 0, 5, 5, 6, 6, 6, 5, 5, 5, 0, 5,
    };
    // clang-format on
    // Few grey levels, so that ties are common.
    std::vector<float> grey(W * H);
    uint32_t s = 12345;
    for (float& g : grey) {
        s = s * 1103515245u + 12345u;
        g = static_cast<float>((s >> 16) % 5u);
    }
    auto h = LbpOn(FloatImage(W, H, grey), FloatImage(W, H, labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(256, 6, 1));

    auto at = [&](int x, int y) { return grey[y * W + x]; };
    const int dx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
    const int dy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    for (int label = 1; label <= 6; ++label) {
        SCOPED_TRACE(label);
        int x0 = W, x1 = -1, y0 = H, y1 = -1;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                if (labels[y * W + x] == label) {
                    x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
                }
        if (x1 < 0) {  // label 4 does not occur
            for (int c = 0; c < 256; ++c) EXPECT_EQ(h.At(c, label - 1), 0.0f);
            continue;
        }
        int counts[256] = {};
        int n = 0;
        for (int y = y0 + 1; y < y1; ++y)
            for (int x = x0 + 1; x < x1; ++x) {
                if (labels[y * W + x] != label) continue;
                int code = 0;
                for (int b = 0; b < 8; ++b)
                    if (at(x + dx[b], y + dy[b]) >= at(x, y)) code += 1 << b;
                ++counts[code];
                ++n;
            }
        for (int c = 0; c < 256; ++c) {
            int bits = 0;
            for (int b = 0; b < 8; ++b) bits += (c >> b) & 1;
            double binom = 1;
            for (int i = 1; i <= bits; ++i) binom = binom * (8 - bits + i) / i;
            const float weight = static_cast<float>(9 * binom);
            if (n == 0) {
                EXPECT_TRUE(std::isnan(h.At(c, label - 1))) << c;
            } else {
                const float share = static_cast<float>(counts[c]) / static_cast<float>(n);
                EXPECT_EQ(h.At(c, label - 1), share * weight) << c;
            }
        }
    }
    // Label 6 is a ring whose centre has label 1: no counted pixel, NaN (checked above).
    EXPECT_TRUE(std::isnan(h.At(0, 5)));
}

TEST(PLBPHistRegion, NoCentrePixelGivesNaN) {
    // Label 1: a box two pixels wide; label 2: a single row; label 3: a 3x3 box.
    // clang-format off
    auto labels = FloatImage(6, 5, {
        1, 1, 0, 3, 3, 3,
        1, 1, 0, 3, 3, 3,
        1, 1, 0, 3, 3, 3,
        0, 0, 0, 0, 0, 0,
        2, 2, 2, 2, 2, 2,
    });
    // clang-format on
    auto h = LbpOn(test::FilledImage(6, 5, 4.0f), std::move(labels));
    h.Run();
    for (int c = 0; c < 256; ++c) {
        EXPECT_TRUE(std::isnan(h.At(c, 0))) << c;
        EXPECT_TRUE(std::isnan(h.At(c, 1))) << c;
        EXPECT_EQ(h.At(c, 2), c == 255 ? 9.0f : 0.0f) << c;
    }
}

TEST(PLBPHistRegion, ComputeRegionRefusesMisuse) {
    CPLBPHist node;
    CImage grey(IMAGE_GREY_F, CSize(4, 4, 1));
    CImage mask(IMAGE_GREY_F, CSize(3, 3, 1));
    std::vector<double> features(256);
    // Reaching past the right edge, and a negative origin.
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey, mask, 2, 0, features); }).Location(),
              "(feature plugins) LBPHist::ComputeRegion");
    test::CatchException([&] { node.ComputeRegion(grey, mask, 0, -1, features); });
    CImage grey8(IMAGE_GREY_8, CSize(4, 4, 1));
    test::CatchException([&] { node.ComputeRegion(grey8, mask, 0, 0, features); });
    std::vector<double> shortVector(255);
    EXPECT_THROW(node.ComputeRegion(grey, mask, 0, 0, shortVector), std::out_of_range);
    // A box that ends exactly at the far corner is inside: its centre (2, 2) ties
    // with all its neighbours.
    std::fill_n(mask.Pixels<float>(), 9, 1.0f);
    node.ComputeRegion(grey, mask, 1, 1, features);
    EXPECT_EQ(features[255], 9.0);
    EXPECT_EQ(features[0], 0.0);
}

// ---------------------------------------------------------------- run, outputs, setup

TEST(PLBPHistRun, FailuresInCheckOrder) {
    auto grey = [] { return test::FilledImage(3, 3, 1.0f); };
    auto expectFailure = [](NodeHarness& h, const char* message) {
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), "(feature plugins) LBPHist::Run");
        EXPECT_EQ(e.Message(), message);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
    };
    {
        NodeHarness h(new CPLBPHist());
        expectFailure(h, "First input image is NULL");
    }
    {
        // The grey type is checked before the label input is looked at.
        NodeHarness h(new CPLBPHist());
        h.Connect(0, std::make_unique<CImage>(IMAGE_GREY_8, CSize(3, 3, 1)));
        expectFailure(h, "The first input image is not of type IMAGE_GREY_F");
    }
    {
        NodeHarness h(new CPLBPHist());
        h.Connect(0, grey());
        expectFailure(h, "Second input image is NULL");
    }
    {
        NodeHarness h(new CPLBPHist());
        h.Connect(0, grey());
        h.Connect(1, std::make_unique<CImage>(IMAGE_GREY_8, CSize(3, 3, 1)));
        expectFailure(h, "The label image is not of type IMAGE_GREY_F");
    }
    {
        auto h = LbpOn(grey(), test::FilledImage(3, 3, 0.0f));
        expectFailure(h, "The number of regions is zero!!");
    }
}

TEST(PLBPHistRun, ValueVectorAndVerboseReport) {
    // Labels 1 and 3; label 2 is empty.
    auto h = LbpOn(FloatImage(4, 3, {1, 2, 3, 4, 5, 6, 3, 8, 9, 10, 11, 12}),
                   FloatImage(4, 3, {1, 1, 1, 3, 1, 1, 1, 3, 1, 1, 1, 3}));
    h.SetParameter("verbose", new CValueBool(true));
    const std::string out = h.RunCapturingStdout();
    EXPECT_EQ(out,
              "The number of regions is: 3\n"
              "There are 2 non-empty regions. \n"
              "Warning: There are 1 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");

    const CValueVector& values = h.Values();
    ASSERT_EQ(values.Size(), 256u);
    for (int c = 0; c < 256; ++c) {
        const auto* inner = dynamic_cast<const CValueVector*>(values.Vector()[c].get());
        ASSERT_NE(inner, nullptr);
        ASSERT_EQ(inner->Size(), 3u);
        EXPECT_TRUE(!inner->MetaIfAny() || !inner->MetaIfAny()->HasEntry("FeatureName")) << c;
        // Label 1 fills a 3x3 box with one centre, (1, 1) = 6, whose brighter
        // neighbours are lower right 11, below 10 and lower left 9: code 112.
        EXPECT_EQ(inner->Vector()[0]->Double(), c == 112 ? 504.0 : 0.0) << c;
        EXPECT_EQ(inner->Vector()[1]->Double(), 0.0) << c;
        // Label 3 is one pixel wide: NaN.
        EXPECT_TRUE(std::isnan(inner->Vector()[2]->Double())) << c;
    }

    // Without verbose nothing is printed.
    auto quiet = LbpOn(test::FilledImage(3, 3, 1.0f), test::FilledImage(3, 3, 1.0f));
    EXPECT_EQ(quiet.RunCapturingStdout(), "");
}

TEST(PLBPHistSetup, Description) {
    CPLBPHist node;
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.ReadParameters();
    auto setup = test::Setup(node);

    std::vector<std::string> keys;
    for (const auto& [key, value] : setup->Entries()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"pluginType", "parameters", "inputs", "outputs", "PluginSubType",
                                              "Description", "FeatureNames", "description",
                                              "__zorvatDocumentation"}));
    EXPECT_EQ(test::Text(*setup, "pluginType"), "image");
    EXPECT_EQ(test::Text(*setup, "PluginSubType"), "LBPHistFeaturePlugin");
    EXPECT_EQ(test::Text(*setup, "Description"), "linear binary pattern histogram");
    EXPECT_EQ(test::Text(*setup, "__zorvatDocumentation"), "%KELODIR%/doc/zorvat/html/features/PLBPHist/index.html");
    EXPECT_FALSE(setup->HasEntry("keywords"));

    const auto* params = dynamic_cast<const CValueMap*>(setup->Entry("parameters"));
    ASSERT_NE(params, nullptr);
    ASSERT_EQ(params->Size(), 1u);
    EXPECT_TRUE(params->Entry("verbose")->Bool());
    EXPECT_EQ(test::MetaText(*setup, "parameters/verbose", "desc"),
              "The type of this parameter is of type bool. Prints function feedback to log area. By default it is "
              "set to \\a false.\n");

    EXPECT_EQ(test::MetaText(*setup, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(test::MetaText(*setup, "inputs/1", "label"), "Label Image");
    EXPECT_EQ(test::MetaText(*setup, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(test::MetaText(*setup, "outputs/1", "label"), "Calculated features as CValueVector");
    for (const char* in : {"inputs/0", "inputs/1"}) {
        const CValue* optional = setup->Entry(in)->MetaIfAny()->Entry("optional");
        ASSERT_NE(optional, nullptr);
        EXPECT_FALSE(optional->Bool());
    }

    const auto* names = dynamic_cast<const CValueVector*>(setup->Entry("FeatureNames"));
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(names->Size(), 256u);
    for (const auto& name : names->Vector()) {
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(name->String(), "feature");
    }

    const std::string d = test::Text(*setup, "description");
    EXPECT_EQ(d.rfind("BRIEF\nNode to compute the Local Binary Pattern (LBP) histogram.\n", 0), 0u);
    EXPECT_NE(d.find("(1 if it is lower, 0 if it is bigger)"), std::string::npos);
    EXPECT_NE(d.find("can be useful to\ncharacterize texture data."), std::string::npos);
    EXPECT_NE(d.find("1994"), std::string::npos);
    const std::string sections =
        "INPUT 0\nFirst input image, must be of type IMAGE_GREY_F.\n\n\n"
        "INPUT 1\nSecond input label image.\n\n\n"
        "OUTPUT 0\nOutput image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe "
        "number of labels (=number of rows) and \\f$m\\f$ is the number of features (=number of columns).\n\n\n"
        "OUTPUT 1\nValue vector with the same information.\n\n\n"
        "PARAMETER verbose\nThe type of this parameter is of type bool. Prints function feedback to log area. By "
        "default it is set to \\a false.\n\n\n\n";
    ASSERT_GE(d.size(), sections.size());
    EXPECT_EQ(d.substr(d.size() - sections.size()), sections);
}

TEST(PLBPHistSetup, RegistryRow) {
    std::unique_ptr<CPNode> node(registry::Create("LBPHist"));
    EXPECT_NE(dynamic_cast<CPLBPHist*>(node.get()), nullptr);
    EXPECT_EQ(registry::Create("lbphist"), nullptr);
    std::unique_ptr<CValueVector> list(registry::List());
    ASSERT_GT(list->Size(), 3u);
    ASSERT_NE(list->Vector()[3], nullptr);
    EXPECT_EQ(list->Vector()[3]->String(), "LBPHist");
}
