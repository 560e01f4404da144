#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "PBinNbhHist.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;
using Features = std::vector<float>;

namespace {

Features Row(const NodeHarness& h, int region) {
    Features f;
    for (int k = 0; k < 16; ++k) f.push_back(h.At(k, region));
    return f;
}

// One pass of the mean over a line (v: its pixels, in: region or not), written
// from the window's description: the region pixels within r of x, less the first
// of them when x - r - 1 is a line pixel outside the region; sums are
// differences of running sums over the line's region pixels in order.
void MeanLine(const std::vector<float*>& v, const std::vector<bool>& in, int64_t r) {
    std::vector<int64_t> pos;
    std::vector<float> upTo;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (in[i]) pos.push_back(int64_t(i)), upTo.push_back((upTo.empty() ? 0.0f : upTo.back()) + *v[i]);
    for (std::size_t k = 0; k < pos.size(); ++k) {
        const int64_t x = pos[k];
        std::size_t first = k, last = k;
        while (first > 0 && pos[first - 1] >= x - r) --first;
        while (last + 1 < pos.size() && pos[last + 1] <= x + r) ++last;
        if (x - r - 1 >= 0 && !in[std::size_t(x - r - 1)]) ++first;
        if (first <= last) *v[std::size_t(x)] = (upTo[last] - (first ? upTo[first - 1] : 0.0f)) / float(last - first + 1);
    }
}

// The node on a copy of the whole grey image: its box smoothed along rows, then
// columns (radius 10), bits |g - s| > 5 at region pixels, every block whose
// top-left pixel is in the region counted, normalised in single precision.
Features WholeImageReference(const std::vector<float>& grey, const std::vector<float>& labels, int64_t W, float label) {
    auto in = [&](int64_t x, int64_t y) { return labels[std::size_t(y * W + x)] == label; };
    int64_t x0 = W, x1 = -1, y0 = int64_t(labels.size()) / W, y1 = -1;
    for (int64_t i = 0; i < int64_t(labels.size()); ++i)
        if (labels[std::size_t(i)] == label)
            x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = std::max(y1, i / W);
    std::vector<float> s = grey;
    for (int cols = 0; cols < 2; ++cols)
        for (int64_t a = cols ? x0 : y0; a <= (cols ? x1 : y1); ++a) {
            std::vector<float*> v;
            std::vector<bool> m;
            for (int64_t t = cols ? y0 : x0; t <= (cols ? y1 : x1); ++t) {
                const int64_t x = cols ? a : t, y = cols ? t : a;
                v.push_back(&s[std::size_t(y * W + x)]), m.push_back(in(x, y));
            }
            MeanLine(v, m, 10);
        }
    auto bit = [&](int64_t x, int64_t y) {
        return in(x, y) && std::fabs(grey[std::size_t(y * W + x)] - s[std::size_t(y * W + x)]) > 5.0f ? 1 : 0;
    };
    Features f(16, 0.0f);
    float n = 0;
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = x0; x < x1; ++x)
            if (in(x, y)) f[bit(x, y) + 2 * bit(x + 1, y) + 4 * bit(x, y + 1) + 8 * bit(x + 1, y + 1)] += 1.0f, ++n;
    for (float& c : f) c = n > 0 ? c / n : c;
    return f;
}

}  // namespace

// Only the box is copied and smoothed; the rows equal the whole-image computation
// for a region with a hole, one cut by the image edge, a label in two parts, a
// scattered region, a line one pixel high and a region inside another's box.
TEST(PBinNbhHist, BoxComputationMatchesWholeImageReference) {
    constexpr int64_t W = 44, H = 34;
    std::mt19937 rng(11u);
    std::uniform_real_distribution<float> noise(-12.0f, 12.0f);
    std::bernoulli_distribution half(0.5);
    std::vector<float> grey(W * H), labels(W * H, 0.0f);
    auto disc = [](int64_t x, int64_t y, int64_t cx, int64_t cy, int64_t r) {
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
    };
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x) {
            float& l = labels[std::size_t(y * W + x)];
            grey[std::size_t(y * W + x)] = 0.8f * float(x) + 0.5f * float(y) + noise(rng);
            if (disc(x, y, 13, 12, 11) && !disc(x, y, 13, 12, 3)) l = 1;
            if (disc(x, y, 39, 29, 9)) l = 2;
            if ((x <= 4 && y >= 20 && y <= 32) || disc(x, y, 22, 29, 4)) l = 3;
            if (x >= 28 && x <= 42 && y <= 14 && half(rng)) l = 4;
            if (y == 33 && x >= 8 && x <= 20) l = 5;
            if (disc(x, y, 11, 29, 2)) l = 6;
        }
    NodeHarness h(new CPBinNbhHist());
    h.Connect(0, FloatImage(W, H, grey));
    h.Connect(1, FloatImage(W, H, labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(16, 6, 1));
    for (int r = 0; r < 6; ++r) {
        EXPECT_EQ(Row(h, r), WholeImageReference(grey, labels, W, float(r + 1))) << "label " << r + 1;
        const Features f = Row(h, r);
        EXPECT_NEAR(std::accumulate(f.begin(), f.end(), 0.0f), r == 4 ? 0.0f : 1.0f, 1e-5f) << "label " << r + 1;
    }
    EXPECT_EQ(test::MetaText(h.Values(), "15", "FeatureName"), "feature");
}

// One 2 x 2 region: every pixel's mean is s = ((a + b) / 2 + (c + d) / 2) / 2, and
// the one block's configuration is known by hand.
TEST(PBinNbhHist, BitsOfOneBlock) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::pair<std::vector<float>, int> cases[] = {
        {{-500, -500, -500, -500}, 0},  // flat: all off
        {{1000, -1000, -1000, 1000}, 15},
        {{70, 50, 50, 50}, 1},  // s = 55: the 50s differ by exactly 5 and stay off
        {{71, 50, 50, 50}, 15},  // s = 55.25: now they are on
        {{50, 70, 50, 50}, 2},
        {{50, 50, 70, 50}, 4},
        {{50, 50, 50, 70}, 8},
        {{nan, 100, 100, 100}, 0},   // every mean NaN: no comparison holds
        {{inf, 100, 100, 100}, 14},  // s = inf: inf - inf is NaN (off), the finite pixels are on
        {{-inf, 100, 100, 100}, 14},
    };
    for (const auto& [grey, k] : cases) {
        NodeHarness h(new CPBinNbhHist());
        h.Connect(0, FloatImage(2, 2, grey));
        h.Connect(1, test::FilledImage(2, 2, 1.0f));
        h.Run();
        Features expected(16, 0.0f);
        expected[std::size_t(k)] = 1.0f;
        EXPECT_EQ(Row(h, 0), expected) << testing::PrintToString(grey);
    }
}

TEST(PBinNbhHist, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPBinNbhHist(); }, "(feature plugins) BinNbhHist::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "First input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelType, "Second input image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}

TEST(PBinNbhHist, SetupDescriptionAndRegistryRow) {
    CPBinNbhHist node;
    CValueMap setup;
    auto* earlier = new CValueVector();  // keywords go after what the vector holds
    earlier->SetEntry(0, new CValueString("earlier"));
    setup.SetEntry("keywords", earlier);
    node.GetPluginSetup(setup);
    EXPECT_EQ(test::Keys(setup), (std::vector<std::string>{"keywords", "pluginType", "parameters", "inputs", "outputs",
                                                           "PluginSubType", "Description", "FeatureNames",
                                                           "description", "__zorvatDocumentation"}));
    const std::string verboseDoc =
        "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set to "
        "\\a false.\n";
    test::ExpectTexts(
        setup,
        {{"pluginType", "image"},
         {"PluginSubType", "BinNbhHistFeaturePlugin"},
         {"Description", "binary neighbourhood histogram (ala Orlent)"},
         {"FeatureNames/0", "feature"},
         {"FeatureNames/15", "feature"},
         {"FeatureNames/16", "<missing>"},
         {"keywords/0", "earlier"},
         {"keywords/1", "binnbhhist"},
         {"keywords/2", "binary pattern"},
         {"keywords/3", "histogram"},
         {"parameters/verbose@desc", verboseDoc},
         {"outputs/1@label", "Calculated features as CValueVector"},
         {"__zorvatDocumentation", "%KELODIR%/doc/zorvat/html/features/PBinNbhHist/index.html"},
         {"description",
          "BRIEF\nNode to compute the binary 2x2 configuration histogram.\n\nThis plugin computes the binary 2x2 "
          "configuration histogram. It can be useful\nto characterize binary texture data.\n\n\n"
          "INPUT 0\nFirst input image, must be of type IMAGE_GREY_F.\n\n\nINPUT 1\nSecond input label image.\n\n\n"
          "OUTPUT 0\nOutput image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixels, where \\f$n\\f$ is\nthe "
          "number of labels (= number of rows) and \\f$m\\f$ is the number of pieces\n(= number of columns).\n\n\n"
          "OUTPUT 1\nValue vector with the same information.\n\n\nPARAMETER verbose\n" +
              verboseDoc + "\n\n\nKEYWORDS\nbinnbhhist, binary pattern, histogram\n\n\n"}});
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.ReadParameters();
    EXPECT_TRUE(test::Setup(node)->EntryBool("parameters/verbose", false));

    std::unique_ptr<CPNode> created(registry::Create("BinNbhHist"));
    EXPECT_NE(dynamic_cast<CPBinNbhHist*>(created.get()), nullptr);
    EXPECT_EQ(test::Text(*std::unique_ptr<CValueVector>(registry::List()), "4"), "BinNbhHist");
}
