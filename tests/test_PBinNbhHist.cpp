#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "PBinNbhHist.h"
#include "Registry.h"
#include "RunningMeanReference.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

using Features = std::array<float, 16>;

NodeHarness NodeOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPBinNbhHist());
    if (grey) h.Connect(0, std::move(grey));
    if (labels) h.Connect(1, std::move(labels));
    return h;
}

Features Row(const NodeHarness& h, int region) {
    Features f{};
    for (int k = 0; k < 16; ++k) f[static_cast<std::size_t>(k)] = h.At(k, region);
    return f;
}

// Features of a region whose configurations are given as counts, normalised as
// the node does it (single precision).
Features FromCounts(const std::array<int, 16>& counts) {
    int n = 0;
    for (int c : counts) n += c;
    Features f{};
    for (int k = 0; k < 16; ++k)
        f[static_cast<std::size_t>(k)] =
            static_cast<float>(counts[static_cast<std::size_t>(k)]) / static_cast<float>(n);
    return f;
}

Features Only(int k) {
    Features f{};
    f[static_cast<std::size_t>(k)] = 1.0f;
    return f;
}

// Configuration counts of a fully labelled W x H image from a known bit map.
std::array<int, 16> CountsFromBits(const std::vector<int>& bits, int W, int H) {
    std::array<int, 16> counts{};
    auto b = [&](int x, int y) { return bits[static_cast<std::size_t>(y * W + x)]; };
    for (int y = 0; y + 1 < H; ++y)
        for (int x = 0; x + 1 < W; ++x)
            ++counts[static_cast<std::size_t>(b(x, y) + 2 * b(x + 1, y) + 4 * b(x, y + 1) + 8 * b(x + 1, y + 1))];
    return counts;
}

// The node as the requirements put it, on a copy of the whole grey image: the
// region's box smoothed by the plain reference mean, bits read at full-image
// positions, neighbours outside the region off.
Features WholeImageReference(const std::vector<float>& grey, const std::vector<float>& labels, int64_t W, int64_t H,
                             float label) {
    int64_t xmin = W, xmax = -1, ymin = H, ymax = -1;
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x)
            if (labels[static_cast<std::size_t>(y * W + x)] == label) {
                xmin = std::min(xmin, x), xmax = std::max(xmax, x);
                ymin = std::min(ymin, y), ymax = std::max(ymax, y);
            }
    auto in = [&](int64_t x, int64_t y) { return labels[static_cast<std::size_t>(y * W + x)] == label; };
    std::vector<float> s = grey;
    test::ReferenceSmooth(s, W, xmin, ymin, xmax - xmin + 1, ymax - ymin + 1, 10, in);
    auto bit = [&](int64_t x, int64_t y) {
        if (!in(x, y)) return 0;
        const auto i = static_cast<std::size_t>(y * W + x);
        return std::fabs(grey[i] - s[i]) > 5.0f ? 1 : 0;
    };
    Features counters{};
    int n = 0;
    for (int64_t y = ymin; y < ymax; ++y)
        for (int64_t x = xmin; x < xmax; ++x) {
            if (!in(x, y)) continue;
            counters[static_cast<std::size_t>(bit(x, y) + 2 * bit(x + 1, y) + 4 * bit(x, y + 1) +
                                              8 * bit(x + 1, y + 1))] += 1.0f;
            ++n;
        }
    if (n > 0)
        for (float& c : counters) c /= static_cast<float>(n);
    return counters;
}

}  // namespace

// ------------------------------------------------------------ configurations

TEST(PBinNbhHistConfigurations, SingleBrightPixelGivesItsFourNeighbourBlocks) {
    // 30 x 30, all one region, grey 100 with one pixel of 200 at (15, 15). Only
    // that pixel differs from its local mean by more than 5. It is the pixel of
    // block (15, 15) -> 1, the right neighbour of (14, 15) -> 2, the lower of
    // (15, 14) -> 4, the lower-right of (14, 14) -> 8; the other 837 of the
    // 29 x 29 blocks are 0.
    std::vector<float> grey(900, 100.0f);
    grey[15 * 30 + 15] = 200.0f;
    auto h = NodeOn(FloatImage(30, 30, grey), test::FilledImage(30, 30, 1.0f));
    h.Run();
    EXPECT_EQ(Row(h, 0), FromCounts({837, 1, 1, 0, 1, 0, 0, 0, 1}));
}

TEST(PBinNbhHistConfigurations, EveryConfigurationLandsInItsColumn) {
    // 60 x 60, all one region, grey 100. Configuration k = 1 .. 15 is drawn with
    // pixels of 200 as a 2 x 2 block on a grid 12 apart, so that no window of the
    // mean holds enough bright pixels to lift a pixel of 100 over the threshold.
    constexpr int N = 60;
    std::vector<int> bits(N * N, 0);
    for (int k = 1; k < 16; ++k) {
        const int px = 8 + 12 * (k % 4), py = 8 + 12 * (k / 4);
        if (k & 1) bits[py * N + px] = 1;
        if (k & 2) bits[py * N + px + 1] = 1;
        if (k & 4) bits[(py + 1) * N + px] = 1;
        if (k & 8) bits[(py + 1) * N + px + 1] = 1;
    }
    std::vector<float> grey(N * N);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = bits[i] ? 200.0f : 100.0f;
    const std::array<int, 16> counts = CountsFromBits(bits, N, N);
    for (int k = 0; k < 16; ++k) EXPECT_GT(counts[static_cast<std::size_t>(k)], 0) << "configuration " << k;

    auto h = NodeOn(FloatImage(N, N, grey), test::FilledImage(N, N, 1.0f));
    h.Run();
    EXPECT_EQ(Row(h, 0), FromCounts(counts));
}

TEST(PBinNbhHistConfigurations, NeighboursOutsideTheRegionAreOff) {
    // 20 x 20: label 1 everywhere but column 10, which is label 2 with grey 1000.
    // Label 1 is grey 100 with one pixel of 200 at (9, 5), next to column 10. The
    // bright column is neither part of label 1's means nor a neighbour bit: block
    // (9, 5) counts as 1 (its right neighbour is outside), (8, 5) as 2, (9, 4) as
    // 4, (8, 4) as 8. Blocks start only at label-1 pixels with x, y <= 18, x != 10:
    // 18 x 19 = 342 of them.
    std::vector<float> grey(400, 100.0f), labels(400, 1.0f);
    for (int y = 0; y < 20; ++y) {
        grey[static_cast<std::size_t>(y * 20 + 10)] = 1000.0f;
        labels[static_cast<std::size_t>(y * 20 + 10)] = 2.0f;
    }
    grey[5 * 20 + 9] = 200.0f;
    auto h = NodeOn(FloatImage(20, 20, grey), FloatImage(20, 20, labels));
    h.Run();
    EXPECT_EQ(Row(h, 0), FromCounts({338, 1, 1, 0, 1, 0, 0, 0, 1}));
    // Label 2 is one pixel wide: no block at all.
    EXPECT_EQ(Row(h, 1), Features{});
}

TEST(PBinNbhHistConfigurations, ThresholdIsStrict) {
    // A 3 x 2 region lies within every window: each pixel's mean is the box mean.
    // {56, 50, 50 / 50, 50, 50}: mean 51, so 56 differs by exactly 5 and is off.
    // With 57 it is on: blocks (0, 0) -> 1 and (1, 0) -> 0.
    auto run = [](float first) {
        auto h = NodeOn(FloatImage(3, 2, {first, 50, 50, 50, 50, 50}), test::FilledImage(3, 2, 1.0f));
        h.Run();
        return Row(h, 0);
    };
    EXPECT_EQ(run(56.0f), Only(0));
    EXPECT_EQ(run(57.0f), FromCounts({1, 1}));
}

// Only the box is copied and smoothed; the features equal those of the whole-
// image computation for irregular regions, regions sharing boxes, a label in two
// parts and regions cut by the image edge.
TEST(PBinNbhHistConfigurations, BoxComputationMatchesWholeImageReference) {
    constexpr int64_t W = 64, H = 48;
    std::mt19937 rng(11u);
    std::uniform_real_distribution<float> noise(-12.0f, 12.0f);
    std::vector<float> grey(W * H), labels(W * H, 0.0f);
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x)
            grey[static_cast<std::size_t>(y * W + x)] =
                0.8f * static_cast<float>(x) + 0.5f * static_cast<float>(y) + noise(rng);
    auto paint = [&](float label, auto inside) {
        for (int64_t y = 0; y < H; ++y)
            for (int64_t x = 0; x < W; ++x)
                if (inside(x, y)) labels[static_cast<std::size_t>(y * W + x)] = label;
    };
    auto disc = [](int64_t cx, int64_t cy, int64_t r) {
        return [=](int64_t x, int64_t y) { return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r; };
    };
    paint(1.0f, disc(20, 15, 12));
    paint(0.0f, disc(20, 15, 3));                                                // a hole
    paint(2.0f, disc(58, 42, 10));                                               // cut by right and bottom edge
    paint(3.0f, [](int64_t x, int64_t y) { return x >= 2 && x <= 6 && y >= 30 && y <= 44; });
    paint(3.0f, disc(30, 40, 5));                                                // second part of label 3
    std::bernoulli_distribution half(0.5);
    paint(4.0f, [&](int64_t x, int64_t y) { return x >= 40 && x <= 55 && y >= 2 && y <= 20 && half(rng); });
    paint(5.0f, [](int64_t x, int64_t y) { return y == 46 && x >= 10 && x <= 25; });
    paint(6.0f, disc(12, 36, 4));                                                // inside label 3's box

    auto h = NodeOn(FloatImage(W, H, grey), FloatImage(W, H, labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(16, 6, 1));
    for (int r = 0; r < 6; ++r) {
        const Features expected = WholeImageReference(grey, labels, W, H, static_cast<float>(r + 1));
        EXPECT_EQ(Row(h, r), expected) << "region " << r;
        float sum = 0.0f;
        for (float v : expected) sum += v;
        if (r != 4) {  // label 5 is a line
            EXPECT_NEAR(sum, 1.0f, 1e-5f) << "region " << r;
        }
    }
}

// ------------------------------------------------------------ grey values out of the usual range

TEST(PBinNbhHistGreyValues, AnyFiniteValueIsUsedAsItIs) {
    // Negative and large constant regions are flat; a checkerboard of +-1000
    // is on everywhere.
    for (const float v : {-500.0f, 1.0e6f}) {
        auto h = NodeOn(test::FilledImage(12, 12, v), test::FilledImage(12, 12, 1.0f));
        h.Run();
        EXPECT_EQ(Row(h, 0), Only(0)) << v;
    }
    std::vector<float> board(144);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x) board[static_cast<std::size_t>(y * 12 + x)] = ((x + y) % 2) ? 1000.0f : -1000.0f;
    auto h = NodeOn(FloatImage(12, 12, board), test::FilledImage(12, 12, 1.0f));
    h.Run();
    EXPECT_EQ(Row(h, 0), Only(15));
}

TEST(PBinNbhHistGreyValues, NonFiniteValuesSwitchNoBitOnByThemselves) {
    // 2 x 2 regions with one block. A NaN spoils every mean, so every comparison
    // is false: configuration 0. An infinity makes every mean infinite: its own
    // pixel gives inf - inf (off), the three finite ones are on: 2 + 4 + 8.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<float, int> cases[] = {{nan, 0}, {inf, 14}, {-inf, 14}};
    for (const auto& [special, k] : cases) {
        auto h = NodeOn(FloatImage(2, 2, {special, 100, 100, 100}), test::FilledImage(2, 2, 1.0f));
        h.Run();
        EXPECT_EQ(Row(h, 0), Only(k)) << special;
    }
}

// ------------------------------------------------------------ run frame: messages, outputs

TEST(PBinNbhHistRun, MessagesInCheckOrder) {
    auto grey8 = [] { return std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)); };
    auto flt = [] { return test::FilledImage(4, 4, 1.0f); };
    struct Case {
        std::unique_ptr<CImage> grey, labels;
        const char* message;
    };
    Case cases[5];
    cases[0] = {nullptr, nullptr, "First input image is NULL"};
    cases[1] = {grey8(), nullptr, "First input image is not of type IMAGE_GREY_F"};
    cases[2] = {flt(), nullptr, "Second input image is NULL"};
    cases[3] = {flt(), grey8(), "Second input image is not of type IMAGE_GREY_F"};
    cases[4] = {flt(), test::FilledImage(4, 4, 0.0f), "The number of regions is zero!!"};
    for (Case& c : cases) {
        auto h = NodeOn(std::move(c.grey), std::move(c.labels));
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), "(feature plugins) BinNbhHist::Run");
        EXPECT_EQ(e.Message(), c.message);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
    }
}

TEST(PBinNbhHistRun, EmptyLabelsVerboseLinesAndValueVector) {
    // Labels 1, 2 and 5 occur: 5 rows, rows 2 and 3 zero.
    // clang-format off
    auto labels = FloatImage(6, 4, {
        1, 1, 1, 0, 2, 2,
        1, 1, 1, 0, 2, 2,
        1, 1, 1, 0, 0, 0,
        0, 0, 0, 0, 5, 5,
    });
    // clang-format on
    std::vector<float> grey(24, 50.0f);
    grey[4] = 58.0f;  // label 2: only the top-left pixel of its 2 x 2 box is on
    auto h = NodeOn(FloatImage(6, 4, grey), std::move(labels));
    h.SetParameter("verbose", new CValueBool(true));
    const std::string out = h.RunCapturingStdout();
    EXPECT_EQ(out,
              "The number of regions is: 5\n"
              "There are 3 non-empty regions. \n"
              "Warning: There are 2 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");

    ASSERT_EQ(h.Matrix().Size(), CSize(16, 5, 1));
    EXPECT_EQ(Row(h, 0), Only(0));
    // Label 2's box is smaller than the window: every pixel's mean is the box
    // mean, rows {54, 54}, {50, 50}, then 52. 58 is on, the 50s are off.
    EXPECT_EQ(Row(h, 1), Only(1));
    EXPECT_EQ(Row(h, 2), Features{});
    EXPECT_EQ(Row(h, 3), Features{});
    EXPECT_EQ(Row(h, 4), Features{});  // one pixel high

    const CValueVector& values = h.Values();
    ASSERT_EQ(values.Size(), 16u);
    for (int f = 0; f < 16; ++f) {
        const auto* inner = dynamic_cast<const CValueVector*>(values.Entry(f));
        ASSERT_NE(inner, nullptr);
        ASSERT_EQ(inner->Size(), 5u);
        EXPECT_EQ(test::Text(*inner->MetaIfAny(), "FeatureName"), "feature");
        for (int r = 0; r < 5; ++r) EXPECT_EQ(inner->Entry(r)->Double(), static_cast<double>(h.At(f, r)));
    }
}

// ------------------------------------------------------------ setup, parameters, registry

TEST(PBinNbhHistSetup, DescriptionEntries) {
    CPBinNbhHist node;
    CValueMap setup;
    auto* existing = new CValueVector();
    existing->SetEntry(0, new CValueString("earlier"));
    setup.SetEntry("keywords", existing);
    node.GetPluginSetup(setup);

    std::vector<std::string> keys;
    for (const auto& [key, value] : setup.Entries()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"keywords", "pluginType", "parameters", "inputs", "outputs",
                                              "PluginSubType", "Description", "FeatureNames", "description",
                                              "__zorvatDocumentation"}));

    EXPECT_EQ(test::Text(setup, "pluginType"), "image");
    EXPECT_EQ(test::Text(setup, "PluginSubType"), "BinNbhHistFeaturePlugin");
    EXPECT_EQ(test::Text(setup, "Description"), "binary neighbourhood histogram (ala Orlent)");
    EXPECT_EQ(test::Text(setup, "__zorvatDocumentation"),
              "%KELODIR%/doc/zorvat/html/features/PBinNbhHist/index.html");

    const auto* params = dynamic_cast<const CValueMap*>(setup.Entry("parameters"));
    ASSERT_NE(params, nullptr);
    ASSERT_EQ(params->Size(), 1u);
    EXPECT_FALSE(params->Entry("verbose")->Bool());
    const std::string verboseDoc =
        "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set to "
        "\\a false.\n";
    EXPECT_EQ(test::MetaText(setup, "parameters/verbose", "desc"), verboseDoc);

    EXPECT_EQ(test::MetaText(setup, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(test::MetaText(setup, "inputs/1", "label"), "Label Image");
    EXPECT_FALSE(setup.Entry("inputs/0")->MetaIfAny()->Entry("optional")->Bool());
    EXPECT_FALSE(setup.Entry("inputs/1")->MetaIfAny()->Entry("optional")->Bool());
    EXPECT_EQ(test::MetaText(setup, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(test::MetaText(setup, "outputs/1", "label"), "Calculated features as CValueVector");

    const auto* names = dynamic_cast<const CValueVector*>(setup.Entry("FeatureNames"));
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(names->Size(), 16u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(test::Text(*names, std::to_string(i)), "feature");

    const auto* keywords = dynamic_cast<const CValueVector*>(setup.Entry("keywords"));
    ASSERT_NE(keywords, nullptr);
    ASSERT_EQ(keywords->Size(), 4u);
    const char* expectedKeywords[] = {"earlier", "binnbhhist", "binary pattern", "histogram"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(test::Text(*keywords, std::to_string(i)), expectedKeywords[i]);

    EXPECT_EQ(test::Text(setup, "description"),
              "BRIEF\nNode to compute the binary 2x2 configuration histogram.\n\n"
              "This plugin computes the binary 2x2 configuration histogram. It can be useful\n"
              "to characterize binary texture data.\n\n\n"
              "INPUT 0\nFirst input image, must be of type IMAGE_GREY_F.\n\n\n"
              "INPUT 1\nSecond input label image.\n\n\n"
              "OUTPUT 0\nOutput image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixels, where \\f$n\\f$ is\n"
              "the number of labels (= number of rows) and \\f$m\\f$ is the number of pieces\n"
              "(= number of columns).\n\n\n"
              "OUTPUT 1\nValue vector with the same information.\n\n\n"
              "PARAMETER verbose\n" +
                  verboseDoc +
                  "\n\n\n"
                  "KEYWORDS\nbinnbhhist, binary pattern, histogram\n\n\n");
}

TEST(PBinNbhHistSetup, KeywordsVectorCreatedWhenAbsent) {
    CPBinNbhHist node;
    auto setup = test::Setup(node);
    const auto* keywords = dynamic_cast<const CValueVector*>(setup->Entry("keywords"));
    ASSERT_NE(keywords, nullptr);
    ASSERT_EQ(keywords->Size(), 3u);
    EXPECT_EQ(test::Text(*keywords, "0"), "binnbhhist");
}

TEST(PBinNbhHistSetup, VerboseParameter) {
    CPBinNbhHist node;
    node.ReadParameters();  // absent: the default stays
    EXPECT_FALSE(test::Setup(node)->Entry("parameters/verbose")->Bool());
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.ReadParameters();
    EXPECT_TRUE(test::Setup(node)->Entry("parameters/verbose")->Bool());
    node.Parameters().SetEntry("verbose", new CValueBool(false));
    node.ReadParameters();
    EXPECT_FALSE(test::Setup(node)->Entry("parameters/verbose")->Bool());
}

TEST(PBinNbhHistSetup, RegistryRow) {
    std::unique_ptr<CPNode> node(registry::Create("BinNbhHist"));
    EXPECT_NE(dynamic_cast<CPBinNbhHist*>(node.get()), nullptr);
    EXPECT_EQ(registry::Create("binnbhhist"), nullptr);
    EXPECT_EQ(registry::Create("BinNbhHist "), nullptr);
    std::unique_ptr<CValueVector> listed(registry::List());
    EXPECT_EQ(test::Text(*listed, "4"), "BinNbhHist");
}
