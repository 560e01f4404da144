#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "PXYEntropy.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

const char* const kLocation = "(feature plugins) XYEntropy::Run";
const char* const kBelow = "entropy for pixels below automatic threshold";
const char* const kAbove = "entropy for pixels above automatic threshold";

NodeHarness Node(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPXYEntropy());
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    return h;
}

// ---- An independent reference: the features of one label, written out plainly.
struct Reference {
    float dark = 0.0f;
    float bright = 0.0f;
};

float PlainPairs(const std::vector<std::pair<int, int>>& set) {
    if (set.empty()) return 0.0f;
    float sum = 0.0f;
    for (const auto& a : set)
        for (const auto& b : set) {
            const float dx = static_cast<float>(a.first - b.first);
            const float dy = static_cast<float>(a.second - b.second);
            sum += static_cast<float>(std::exp(-0.1 * static_cast<double>(dx * dx + dy * dy)));
        }
    const long long n = static_cast<long long>(set.size());
    return sum / static_cast<float>(n * n);
}

// Grey values in [0, 256) only.
Reference PlainFeatures(int W, int H, const std::vector<float>& grey, const std::vector<float>& labels, int label) {
    int x0 = W, x1 = -1, y0 = H, y1 = -1;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (static_cast<int>(labels[y * W + x]) == label) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
    Reference r;
    if (x1 < 0) return r;
    int counts[256] = {};
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) ++counts[static_cast<int>(grey[y * W + x])];
    float lower = 0.0f, upper = 256.0f, sum = 0.0f;
    for (int k = 0; k < 256; ++k)
        if ((sum += static_cast<float>(counts[k])) > 30.0f) {
            lower = static_cast<float>(k + 1);
            break;
        }
    sum = 0.0f;
    for (int k = 255; k >= 0; --k)
        if ((sum += static_cast<float>(counts[k])) > 30.0f) {
            upper = static_cast<float>(k - 1);
            break;
        }
    std::vector<std::pair<int, int>> dark, bright;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const float g = grey[y * W + x];
            if (g < lower) dark.emplace_back(x - x0, y - y0);
            if (g > upper) bright.emplace_back(x - x0, y - y0);
        }
    r.dark = PlainPairs(dark);
    r.bright = PlainPairs(bright);
    return r;
}

// A label image of W x H with rectangles of labels (later ones drawn over earlier ones).
struct Rect {
    int label, x, y, w, h;
};
std::vector<float> Labels(int W, int H, const std::vector<Rect>& rects) {
    std::vector<float> l(static_cast<std::size_t>(W * H), 0.0f);
    for (const Rect& r : rects)
        for (int y = r.y; y < r.y + r.h; ++y)
            for (int x = r.x; x < r.x + r.w; ++x) l[y * W + x] = static_cast<float>(r.label);
    return l;
}

float RunOne(int W, int H, const std::vector<float>& grey, const std::vector<float>& labels, int feature) {
    auto h = Node(FloatImage(W, H, grey), FloatImage(W, H, labels));
    h.Run();
    return h.At(feature, 0);
}

}  // namespace

// ----------------------------------------------------------------- features

TEST(PXYEntropyFeatures, ThirtyPixelBoxGivesZeros) {
    // A 6 x 5 box holds 30 pixels: no level exceeds 30, both sets are empty.
    std::vector<float> grey(30);
    for (int i = 0; i < 30; ++i) grey[i] = static_cast<float>(i * 7 % 256);
    auto h = Node(FloatImage(6, 5, grey), test::FilledImage(6, 5, 1.0f));
    h.Run();
    EXPECT_EQ(h.At(0, 0), 0.0f);
    EXPECT_EQ(h.At(1, 0), 0.0f);
}

TEST(PXYEntropyFeatures, ThirtyOneFlatPixelsFormBothSets) {
    // A 31 x 1 box of value 9: lower threshold 10, upper 8, both sets are the whole box.
    auto h = Node(test::FilledImage(31, 1, 9.0f), test::FilledImage(31, 1, 1.0f));
    h.Run();
    std::vector<std::pair<int, int>> row;
    for (int x = 0; x < 31; ++x) row.emplace_back(x, 0);
    const float expected = PlainPairs(row);
    EXPECT_EQ(h.At(0, 0), expected);
    EXPECT_EQ(h.At(1, 0), expected);
    // (31 + 2 * sum over d of (31 - d) exp(-0.1 d^2)) / 31^2, by hand: 163.92 / 961.
    EXPECT_NEAR(h.At(0, 0), 0.17058, 1e-4);
}

TEST(PXYEntropyFeatures, RegionsAgainstPlainReference) {
    // Overlapping rectangles, a label that does not occur (4, 5), a region of at
    // most 30 box pixels (3), grey values with ties and fractions.
    const int W = 23, H = 17;
    const auto labels = Labels(W, H,
                               {{1, 0, 0, 11, 9},
                                {2, 6, 4, 14, 12},
                                {3, 18, 0, 5, 4},
                                {6, 2, 10, 5, 7},
                                {6, 20, 16, 3, 1}});
    std::mt19937 rng(11);
    std::vector<float> grey(W * H);
    for (float& g : grey) {
        const unsigned r = rng();
        g = (r % 3 == 0) ? static_cast<float>(r % 12) : static_cast<float>(r % 25600) / 100.0f;
    }
    auto h = Node(FloatImage(W, H, grey), FloatImage(W, H, labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(2, 6, 1));
    for (int label = 1; label <= 6; ++label) {
        const Reference r = PlainFeatures(W, H, grey, labels, label);
        EXPECT_EQ(h.At(0, label - 1), r.dark) << "label " << label;
        EXPECT_EQ(h.At(1, label - 1), r.bright) << "label " << label;
    }
    EXPECT_GT(h.At(0, 0), 0.0f);
    EXPECT_GT(h.At(1, 1), 0.0f);
    EXPECT_EQ(h.At(0, 2), 0.0f);  // 20 box pixels
    EXPECT_EQ(h.At(1, 2), 0.0f);
    EXPECT_EQ(h.At(0, 3), 0.0f);  // labels 4 and 5 do not occur
    EXPECT_EQ(h.At(1, 4), 0.0f);
}

TEST(PXYEntropyFeatures, OtherLabelsInTheBoxCount) {
    // Label 1 is an L whose box also holds background and label 2. Changing only
    // the pixels of label 2 inside that box changes label 1's features.
    const int W = 12, H = 12;
    std::vector<float> labels(W * H, 0.0f);
    for (int y = 0; y < 10; ++y) labels[y * W] = 1.0f;
    for (int x = 0; x < 10; ++x) labels[9 * W + x] = 1.0f;
    for (int y = 2; y < 6; ++y)
        for (int x = 3; x < 7; ++x) labels[y * W + x] = 2.0f;
    std::vector<float> grey(W * H);
    for (int i = 0; i < W * H; ++i) grey[i] = static_cast<float>(i % 50);
    const float before = RunOne(W, H, grey, labels, 0);
    for (int i = 0; i < W * H; ++i)
        if (labels[i] == 2.0f) grey[i] = 0.0f;
    const float after = RunOne(W, H, grey, labels, 0);
    EXPECT_NE(before, after);
    EXPECT_EQ(after, PlainFeatures(W, H, grey, labels, 1).dark);
}

TEST(PXYEntropyFeatures, OutOfRangeValuesActAsClipped) {
    // Values below 0 behave as 0, values of 256 and above as 255.
    const int W = 9, H = 7;
    std::mt19937 rng(3);
    std::vector<float> wild(W * H), clipped(W * H);
    const float inf = std::numeric_limits<float>::infinity();
    const float extremes[] = {-7.0f, -0.25f, -inf, 256.0f, 300.5f, 1e30f, inf};
    for (int i = 0; i < W * H; ++i) {
        const unsigned r = rng();
        wild[i] = (r % 4 == 0) ? extremes[r % 7] : static_cast<float>(r % 256);
        clipped[i] = std::clamp(wild[i], 0.0f, 255.0f);
    }
    const auto labels = Labels(W, H, {{1, 0, 0, W, H}});
    for (int f = 0; f < 2; ++f) {
        const float got = RunOne(W, H, wild, labels, f);
        EXPECT_EQ(got, RunOne(W, H, clipped, labels, f)) << "feature " << f;
        EXPECT_GT(got, 0.0f);
    }
}

TEST(PXYEntropyFeatures, NaNBelongsToNoSet) {
    // 40 pixels: 31 of value 10 and 9 NaN. The NaNs are not counted and are in
    // neither set, so both sets are the 31 pixels of 10.
    std::vector<float> grey(40, 10.0f);
    std::vector<std::pair<int, int>> tens;
    for (int i = 0; i < 40; ++i) {
        if (i % 4 == 1 && i < 36) grey[i] = std::nanf("");
        else tens.emplace_back(i % 8, i / 8);
    }
    ASSERT_EQ(tens.size(), 31u);
    const auto labels = Labels(8, 5, {{1, 0, 0, 8, 5}});
    EXPECT_EQ(RunOne(8, 5, grey, labels, 0), PlainPairs(tens));
    EXPECT_EQ(RunOne(8, 5, grey, labels, 1), PlainPairs(tens));
    // With one NaN fewer only 30 pixels count: no threshold, no set.
    grey.back() = std::nanf("");
    EXPECT_EQ(RunOne(8, 5, grey, labels, 0), 0.0f);
}

TEST(PXYEntropyFeatures, ComputeRegionDirectly) {
    CPXYEntropy node;
    auto grey = test::FilledImage(10, 10, 4.0f);
    auto mask = test::FilledImage(8, 4, 1.0f);
    std::vector<double> features{7.0, 7.0};
    node.ComputeRegion(grey.get(), nullptr, 0, 0, features);
    EXPECT_EQ(features, (std::vector<double>{0.0, 0.0}));
    features = {7.0, 7.0};
    node.ComputeRegion(nullptr, mask.get(), 0, 0, features);
    EXPECT_EQ(features, (std::vector<double>{0.0, 0.0}));
    node.ComputeRegion(grey.get(), mask.get(), 2, 6, features);
    EXPECT_GT(features[0], 0.0);
    EXPECT_EQ(features[0], features[1]);
    // Boxes reaching past the image and short feature vectors are refused.
    const CException e = test::CatchException([&] { node.ComputeRegion(grey.get(), mask.get(), 3, 0, features); });
    EXPECT_EQ(e.Location(), kLocation);
    test::CatchException([&] { node.ComputeRegion(grey.get(), mask.get(), 0, 7, features); });
    test::CatchException([&] { node.ComputeRegion(grey.get(), mask.get(), -1, 0, features); });
    std::vector<double> shortVector(1);
    EXPECT_THROW(node.ComputeRegion(grey.get(), mask.get(), 0, 0, shortVector), std::out_of_range);
}

// ----------------------------------------------------------------- outputs

TEST(PXYEntropyOutputs, ValueVectorMirrorsMatrixWithNames) {
    const int W = 14, H = 9;
    const auto labels = Labels(W, H, {{1, 0, 0, 7, 9}, {3, 7, 0, 7, 9}});
    std::vector<float> grey(W * H);
    for (int i = 0; i < W * H; ++i) grey[i] = static_cast<float>((i * 37) % 200);
    auto h = Node(FloatImage(W, H, grey), FloatImage(W, H, labels));
    h.Run();
    const CValueVector& v = h.Values();
    ASSERT_EQ(v.Size(), 2u);
    for (int f = 0; f < 2; ++f) {
        const auto* inner = dynamic_cast<const CValueVector*>(v.Entry(f));
        ASSERT_NE(inner, nullptr);
        ASSERT_EQ(inner->Size(), 3u);
        for (int r = 0; r < 3; ++r) EXPECT_EQ(inner->Entry(r)->Double(), static_cast<double>(h.At(f, r)));
        EXPECT_EQ(test::MetaText(v, std::to_string(f), "FeatureName"), f == 0 ? kBelow : kAbove);
    }
    EXPECT_EQ(h.At(0, 1), 0.0f);
    EXPECT_GT(h.At(0, 2), 0.0f);
}

TEST(PXYEntropyOutputs, VerboseReport) {
    const auto labels = Labels(10, 4, {{1, 0, 0, 4, 4}, {3, 5, 0, 5, 4}});
    auto h = Node(test::FilledImage(10, 4, 1.0f), FloatImage(10, 4, labels));
    h.SetParameter("verbose", new CValueBool(true));
    EXPECT_EQ(h.RunCapturingStdout(),
              "The number of regions is: 3\n"
              "There are 2 non-empty regions. \n"
              "Warning: There are 1 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");
    auto quiet = Node(test::FilledImage(10, 4, 1.0f), FloatImage(10, 4, labels));
    EXPECT_EQ(quiet.RunCapturingStdout(), "");
}

// ----------------------------------------------------------------- failures

TEST(PXYEntropyFailures, MessagesInCheckOrder) {
    auto grey = [] { return test::FilledImage(4, 4, 1.0f); };
    auto labels = [] { return test::FilledImage(4, 4, 1.0f); };
    auto grey8 = [] { return std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)); };
    struct Case {
        const char* what;
        std::function<void(NodeHarness&)> connect;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"nothing connected", [](NodeHarness&) {}, "First input image is NULL"},
        {"label only", [&](NodeHarness& h) { h.Connect(1, labels()); }, "First input image is NULL"},
        {"grey without image, no label",
         [&](NodeHarness& h) { h.ConnectEmpty(0); }, "Second input image is NULL"},
        {"8-bit grey, no label", [&](NodeHarness& h) { h.Connect(0, grey8()); }, "Second input image is NULL"},
        {"both without image",
         [&](NodeHarness& h) {
             h.ConnectEmpty(0);
             h.ConnectEmpty(1);
         },
         "First input is not an image"},
        {"8-bit grey, label without image",
         [&](NodeHarness& h) {
             h.Connect(0, grey8());
             h.ConnectEmpty(1);
         },
         "The first input image is not of type IMAGE_GREY_F"},
        {"label without image",
         [&](NodeHarness& h) {
             h.Connect(0, grey());
             h.ConnectEmpty(1);
         },
         "Second input is not an image"},
        {"8-bit label",
         [&](NodeHarness& h) {
             h.Connect(0, grey());
             h.Connect(1, std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)));
         },
         "The label image is not of type IMAGE_GREY_F"},
        {"no region",
         [&](NodeHarness& h) {
             h.Connect(0, grey());
             h.Connect(1, test::FilledImage(4, 4, 0.0f));
         },
         "The number of regions is zero!!"},
    };
    for (const Case& c : cases) {
        NodeHarness h(new CPXYEntropy());
        c.connect(h);
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), kLocation) << c.what;
        EXPECT_EQ(e.Message(), c.message) << c.what;
        EXPECT_EQ(h.Node().StackOutput(0), nullptr) << c.what;
        EXPECT_EQ(h.Node().StackOutput(1), nullptr) << c.what;
    }
}

// ----------------------------------------------------------------- setup description and registry

TEST(PXYEntropySetup, Entries) {
    CPXYEntropy node;
    EXPECT_FALSE(test::Setup(node)->Entry("parameters/verbose")->Bool());
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.ReadParameters();
    auto s = test::Setup(node);
    EXPECT_TRUE(s->Entry("parameters/verbose")->Bool());  // the current value
    EXPECT_EQ(test::Text(*s, "pluginType"), "image");
    EXPECT_EQ(test::Text(*s, "PluginSubType"), "XYEntropyFeaturePlugin");
    EXPECT_EQ(test::Text(*s, "Description"), "2d Reney's entropy of pixels above and below automatic thresholds");
    const auto* names = dynamic_cast<const CValueVector*>(s->Entry("FeatureNames"));
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(names->Size(), 2u);
    EXPECT_EQ(test::Text(*names, "0"), kBelow);
    EXPECT_EQ(test::Text(*names, "1"), kAbove);
    EXPECT_EQ(test::Text(*s, "__zorvatDocumentation"), "%KELODIR%/doc/zorvat/html/features/PXYEntropy/index.html");
    EXPECT_FALSE(s->HasEntry("keywords"));
    EXPECT_FALSE(s->HasEntry("parameters/data"));

    const auto* params = dynamic_cast<const CValueMap*>(s->Entry("parameters"));
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->Size(), 1u);
    EXPECT_EQ(test::MetaText(*s, "parameters/verbose", "desc"),
              "The type of this parameter is of type bool. Prints function feedback to log area. By default it is "
              "set to \\a false.\n");

    EXPECT_EQ(test::MetaText(*s, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(test::MetaText(*s, "inputs/1", "label"), "Label Image");
    EXPECT_EQ(test::MetaText(*s, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(test::MetaText(*s, "outputs/1", "label"), "Calculated features as CValueVector");
    EXPECT_FALSE(s->Entry("inputs/0")->MetaIfAny()->Entry("optional")->Bool());
    EXPECT_FALSE(s->Entry("inputs/1")->MetaIfAny()->Entry("optional")->Bool());

    std::vector<std::string> keys;
    for (const auto& [key, value] : s->Entries()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"pluginType", "parameters", "inputs", "outputs", "PluginSubType",
                                               "Description", "FeatureNames", "description",
                                               "__zorvatDocumentation"}));
}

TEST(PXYEntropySetup, LongDescription) {
    CPXYEntropy node;
    const std::string d = test::Text(*test::Setup(node), "description");
    const std::string brief = "BRIEF\nComputes a measure of the entropy of the 2d positions\nof the pixels for each label.";
    EXPECT_EQ(d.substr(0, brief.size()), brief);
    EXPECT_NE(d.find("The entropy within of the positions of these highest and lowest pixels is then calculated."),
              std::string::npos);
    EXPECT_NE(d.find("The plugin can be useful in characterizing random point distributions."), std::string::npos);
    EXPECT_NE(d.find("30 pixels"), std::string::npos);
    EXPECT_NE(d.find("XYEntropyFeature"), std::string::npos);
    EXPECT_NE(d.find("%KELODIR%"), std::string::npos);
    // The item texts, in section order.
    const std::vector<std::string> sections = {
        "INPUT 0\nFirst input image, must be of type IMAGE_GREY_F.\n",
        "INPUT 1\nSecond input label image.\n",
        "OUTPUT 0\nOutput image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of "
        "labels (=number of rows) and \\f$m\\f$ is the number of\nfeatures (=number of columns).\n",
        "OUTPUT 1\nValue vector with the same information.\n",
        "PARAMETER verbose\nThe type of this parameter is of type bool. Prints function feedback to log area. By "
        "default it is set to \\a false.\n",
        "PARAMETER data\npointer to the data of the feature image\n"};
    std::size_t at = 0;
    for (const std::string& sec : sections) {
        const std::size_t found = d.find(sec, at);
        ASSERT_NE(found, std::string::npos) << sec;
        at = found + sec.size();
    }
}

TEST(PXYEntropySetup, RegistryRow) {
    std::unique_ptr<CPNode> node(registry::Create("XYEntropy"));
    EXPECT_NE(dynamic_cast<CPXYEntropy*>(node.get()), nullptr);
    EXPECT_EQ(registry::Create("xyentropy"), nullptr);
    EXPECT_EQ(registry::Create("XYEntropy "), nullptr);
    std::unique_ptr<CValueVector> list(registry::List());
    EXPECT_EQ(test::Text(*list, "9"), "XYEntropy");
}
