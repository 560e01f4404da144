#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "PStatistics.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using features::CPStatistics;
using test::FloatImage;
using test::NodeHarness;

namespace {

const char* const kWhere = "(feature plugins) Statistics::Run";
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// An image of the given type from values (x fastest), each cast to the pixel type.
std::unique_ptr<CImage> Image(CPixelType type, int64_t W, int64_t H, int64_t D, const std::vector<double>& v) {
    auto img = std::make_unique<CImage>(type, CSize(W, H, D));
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (type == IMAGE_GREY_F)
            img->Pixels<float>()[i] = static_cast<float>(v[i]);
        else if (type == IMAGE_GREY_32)
            img->Pixels<uint32_t>()[i] = static_cast<uint32_t>(v[i]);
        else if (type == IMAGE_GREY_16)
            img->Pixels<uint16_t>()[i] = static_cast<uint16_t>(v[i]);
        else
            img->Pixels<uint8_t>()[i] = static_cast<uint8_t>(v[i]);
    }
    return img;
}

NodeHarness Statistics(std::unique_ptr<CImage> data, std::unique_ptr<CImage> labels, bool extended = false,
                       bool verbose = false) {
    NodeHarness h(new CPStatistics());
    h.Connect(0, std::move(data));
    if (labels) h.Connect(1, std::move(labels));
    h.SetParameter("extended", new CValueBool(extended));
    h.SetParameter("verbose", new CValueBool(verbose));
    return h;
}

std::vector<float> Row(const NodeHarness& h, int64_t r) {
    std::vector<float> row;
    for (int64_t f = 0; f < h.Matrix().Size().x; ++f) row.push_back(h.At(f, r));
    return row;
}

using Floats = std::vector<float>;

}  // namespace

// ----------------------------------------------------------------- numbers

TEST(PStatisticsNumbers, SmallRegionsAllColumnsAndValueVector) {
    // Label 1: {2, 4, 9}; label 2: {1.5, -2.5}; label 3: the single pixel 7.
    // Background pixels hold 100 and must not count anywhere.
    auto data = FloatImage(4, 3, {2, 4, 100, 1.5f, 9, 100, 7, -2.5f, 100, 100, 100, 100});
    auto labels = FloatImage(4, 3, {1, 1, 0, 2, 1, 0, 3, 2, 0, 0, 0, 0});
    auto h = Statistics(std::move(data), std::move(labels), true);
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(7, 3, 1));
    // mean 5, variance (4 + 16 + 81) / 3 - 25
    EXPECT_EQ(Row(h, 0), (Floats{5.0f, static_cast<float>(101.0 / 3 - 25), 9, 2, 15, 101, 3}));
    EXPECT_EQ(Row(h, 1), (Floats{-0.5f, 4.0f, 1.5f, -2.5f, -1, 8.5f, 2}));
    EXPECT_EQ(Row(h, 2), (Floats{7, 0, 7, 7, 7, 49, 1}));

    const CValueVector& values = h.Values();
    ASSERT_EQ(values.Size(), 7u);
    const char* names[] = {"Mean grey level over foreground pixels", "Variance over foreground pixels",
                           "Max gray level over foreground pixels",  "Min gray level over foreground pixels",
                           "Sum over foreground pixels",             "Sum over squared foreground pixels",
                           "Count of foreground pixels"};
    for (int f = 0; f < 7; ++f) {
        const auto* inner = dynamic_cast<const CValueVector*>(values.Vector()[f].get());
        ASSERT_NE(inner, nullptr);
        ASSERT_EQ(inner->Size(), 3u);
        EXPECT_EQ(test::MetaText(values, std::to_string(f), "FeatureName"), names[f]);
        for (int r = 0; r < 3; ++r) EXPECT_EQ(inner->Vector()[r]->Double(), static_cast<double>(h.At(f, r)));
    }
}

TEST(PStatisticsNumbers, NaNPixelSpoilsSumsButNotExtremes) {
    auto h = Statistics(FloatImage(3, 1, {1, kNaN, 3}), FloatImage(3, 1, {1, 1, 1}), true);
    h.Run();
    const Floats row = Row(h, 0);
    EXPECT_TRUE(std::isnan(row[0]));
    EXPECT_TRUE(std::isnan(row[1]));
    EXPECT_EQ(row[2], 3.0f);
    EXPECT_EQ(row[3], 1.0f);
    EXPECT_TRUE(std::isnan(row[4]));
    EXPECT_TRUE(std::isnan(row[5]));
    EXPECT_EQ(row[6], 3.0f);
}

TEST(PStatisticsNumbers, MissingLabelsGiveZeroRows) {
    // Labels 1, 2 and 5: rows 2 and 3 stay 0 in every column, also max and min.
    auto h = Statistics(FloatImage(4, 1, {-3, 6, 8, 250}), FloatImage(4, 1, {1, 2, 5, 0}), true, true);
    const std::string out = h.RunCapturingStdout();
    ASSERT_EQ(h.Matrix().Size(), CSize(7, 5, 1));
    EXPECT_EQ(Row(h, 0), (Floats{-3, 0, -3, -3, -3, 9, 1}));
    EXPECT_EQ(Row(h, 2), Floats(7, 0.0f));
    EXPECT_EQ(Row(h, 3), Floats(7, 0.0f));
    EXPECT_EQ(Row(h, 4), (Floats{8, 0, 8, 8, 8, 64, 1}));
    EXPECT_EQ(out, std::string(kWhere) + ": The number of regions is: 5\n" + kWhere +
                       ": There are 3 non-empty regions.\n" + kWhere +
                       " Warning: There are 2 empty regions!!!\n"
                       "By (re-)labeling the second input image before using this plugin, empty region labels are "
                       "removed.\n");
}

TEST(PStatisticsNumbers, EightBitLabelsZeroAnd255) {
    auto h = Statistics(Image(IMAGE_GREY_8, 3, 1, 1, {10, 20, 30}), Image(IMAGE_GREY_8, 3, 1, 1, {0, 255, 255}));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(4, 255, 1));
    for (int r = 0; r < 254; ++r) ASSERT_EQ(Row(h, r), Floats(4, 0.0f)) << "row " << r;
    EXPECT_EQ(Row(h, 254), (Floats{25, 25, 30, 20}));
}

TEST(PStatisticsNumbers, BoxReachesLastPixelAndPlaneOnly) {
    // 3 x 3 x 2: label 1 only at the very last voxel; the data elsewhere is huge.
    std::vector<float> data(18, 1e6f), labels(18, 0.0f);
    data[17] = 4;
    labels[17] = 1;
    auto h = Statistics(FloatImage(3, 3, data, 2), FloatImage(3, 3, labels, 2), true);
    h.Run();
    EXPECT_EQ(Row(h, 0), (Floats{4, 0, 4, 4, 4, 16, 1}));
}

TEST(PStatisticsNumbers, FloatLabelsWithoutRowAreSkipped) {
    // Row y = 0 holds the table's labels 1 and 2.9 (-> 2 records) and labels without
    // a row: negative, NaN, infinite, beyond 2^32. 0.5 lies in (0, 1) and counts for
    // row 0 inside the scanned box; the 0.5 pixels of row y = 1 lie outside it.
    auto data = FloatImage(8, 2, {10, 20, 30, 40, 50, 60, 70, 80, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000});
    auto labels = FloatImage(8, 2, {1, -1.5f, kNaN, kInf, 5e9f, 0.5f, 2.9f, -0.5f,  //
                                    0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f});
    auto h = Statistics(std::move(data), std::move(labels), true);
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(7, 2, 1));
    EXPECT_EQ(Row(h, 0), (Floats{35, 625, 60, 10, 70, 3700, 2}));
    EXPECT_EQ(Row(h, 1), (Floats{70, 0, 70, 70, 70, 4900, 1}));
}

// ----------------------------------------------------------------- whole image and empty labels

TEST(PStatisticsWholeImage, NoLabelImageUsesEveryPixelOfEveryPlane) {
    auto h = Statistics(FloatImage(2, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 2), nullptr, true, true);
    const std::string out = h.RunCapturingStdout();
    ASSERT_EQ(h.Matrix().Size(), CSize(7, 1, 1));
    EXPECT_EQ(Row(h, 0), (Floats{4.5f, 5.25f, 8, 1, 36, 204, 8}));
    for (int f = 0; f < 7; ++f) EXPECT_EQ(dynamic_cast<const CValueVector&>(*h.Values().Vector()[f]).Size(), 1u);
    EXPECT_EQ(out, std::string(kWhere) + ": The number of regions is: 0\n" + kWhere +
                       ": There are 0 non-empty regions.\n");
}

TEST(PStatisticsWholeImage, ZeroPixelInput) {
    auto h = Statistics(std::make_unique<CImage>(IMAGE_GREY_F, CSize(0, 3, 1)), nullptr);
    h.Run();
    EXPECT_EQ(Row(h, 0), (Floats{0, 0, -kInf, kInf}));
}

TEST(PStatisticsWholeImage, AllZeroLabelImageGivesEmptyOutputs) {
    auto h = Statistics(FloatImage(2, 1, {3, 4}), FloatImage(2, 1, {0, 0.5f}), true, true);
    const std::string out = h.RunCapturingStdout();
    EXPECT_EQ(h.Matrix().Size(), CSize(7, 0, 1));
    EXPECT_EQ(h.Matrix().Attributes().Size(), 0u);
    ASSERT_EQ(h.Values().Size(), 7u);
    for (const auto& slot : h.Values().Vector()) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(out, std::string(kWhere) + ": The number of regions is: 0\n" + kWhere +
                       ": the number of regions is zero!\n");
}

// ----------------------------------------------------------------- pixel types

namespace {
struct TypeCase {
    CPixelType type;
    std::vector<double> values;  // cycled over the image
};

// Values of each type, including the ends of its range; 16777217 as 32-bit data
// is rounded to 16777216 when read.
TypeCase DataCase(CPixelType t) {
    if (t == IMAGE_GREY_F) return {t, {-3.5, 0.25, 100.75, 1e6, -0.0, 42}};
    if (t == IMAGE_GREY_32) return {t, {4000000000.0, 16777217, 0, 7, 123456, 3}};
    if (t == IMAGE_GREY_16) return {t, {65535, 0, 300, 17, 4096, 2}};
    if (t == IMAGE_GREY_8) return {t, {255, 0, 128, 1, 77, 3}};
    return {t, {1, 0, 1, 1, 0, 1}};
}
// Labels of each type, with a high label that only that width can hold.
TypeCase LabelCase(CPixelType t) {
    if (t == IMAGE_GREY_F) return {t, {1, 2, 0, 4, 6.5, 1}};
    if (t == IMAGE_GREY_32) return {t, {1, 2, 0, 4, 70000, 1}};
    if (t == IMAGE_GREY_16) return {t, {1, 2, 0, 4, 1000, 1}};
    if (t == IMAGE_GREY_8) return {t, {1, 2, 0, 4, 200, 1}};
    return {t, {1, 0, 1, 1, 0, 0}};
}

double PixelAt(const CImage& img, std::size_t i) {
    const CPixelType t = img.Type();
    if (t == IMAGE_GREY_F) return img.Pixels<float>()[i];
    if (t == IMAGE_GREY_32) return img.Pixels<uint32_t>()[i];
    if (t == IMAGE_GREY_16) return img.Pixels<uint16_t>()[i];
    return img.Pixels<uint8_t>()[i];
}
}  // namespace

TEST(PStatisticsPixelTypes, SixteenPairsAgreeWithReference) {
    const CPixelType types[] = {IMAGE_GREY_F, IMAGE_GREY_32, IMAGE_GREY_16, IMAGE_GREY_8, IMAGE_BINARY_FG};
    constexpr int64_t W = 7, H = 5, D = 2;
    for (CPixelType dt : types)
        for (CPixelType lt : types) {
            SCOPED_TRACE(std::string(dt.Name()) + " data, " + lt.Name() + " labels");
            const TypeCase dc = DataCase(dt), lc = LabelCase(lt);
            std::vector<double> dv, lv;
            for (int64_t z = 0; z < D; ++z)
                for (int64_t y = 0; y < H; ++y)
                    for (int64_t x = 0; x < W; ++x) {
                        const auto k = static_cast<std::size_t>(x + 2 * y + 3 * z);
                        dv.push_back(dc.values[k % dc.values.size()]);
                        // A background frame at x = 0 and y = 0 around the labelled pixels.
                        lv.push_back(x == 0 || y == 0 ? 0.0 : lc.values[(k + 1) % lc.values.size()]);
                    }
            auto data = Image(dt, W, H, D, dv);
            auto labels = Image(lt, W, H, D, lv);

            // Reference: per label, the values as floats; two-pass variance.
            std::map<uint64_t, std::vector<float>> byLabel;
            uint64_t maxLabel = 0;
            for (std::size_t i = 0; i < dv.size(); ++i) {
                const auto l = static_cast<uint64_t>(PixelAt(*labels, i));
                if (l == 0) continue;
                byLabel[l].push_back(static_cast<float>(PixelAt(*data, i)));
                maxLabel = std::max(maxLabel, l);
            }

            auto h = Statistics(std::move(data), std::move(labels), true);
            h.Run();
            ASSERT_EQ(h.Matrix().Size(), CSize(7, static_cast<int64_t>(maxLabel), 1));
            for (uint64_t l = 1; l <= maxLabel; ++l) {
                const Floats got = Row(h, static_cast<int64_t>(l - 1));
                auto it = byLabel.find(l);
                if (it == byLabel.end()) {
                    ASSERT_EQ(got, Floats(7, 0.0f)) << "label " << l;
                    continue;
                }
                const std::vector<float>& px = it->second;
                double sum = 0, squares = 0;
                for (float v : px) sum += v, squares += double(v) * v;
                const double mean = sum / px.size();
                double var = 0;
                for (float v : px) var += (v - mean) * (v - mean);
                var /= px.size();
                EXPECT_EQ(got[0], static_cast<float>(mean)) << "label " << l;
                EXPECT_NEAR(got[1], var, 1e-6 * (1 + mean * mean)) << "label " << l;
                EXPECT_EQ(got[2], *std::max_element(px.begin(), px.end())) << "label " << l;
                EXPECT_EQ(got[3], *std::min_element(px.begin(), px.end())) << "label " << l;
                EXPECT_EQ(got[4], static_cast<float>(sum)) << "label " << l;
                EXPECT_EQ(got[5], static_cast<float>(squares)) << "label " << l;
                EXPECT_EQ(got[6], static_cast<float>(px.size())) << "label " << l;
            }
        }
}

// ----------------------------------------------------------------- failures and messages

TEST(PStatisticsMessages, ChecksInOrder) {
    const CPixelType other{99, 8, "IMAGE_GREY_D"};
    auto failure = [](NodeHarness& h) {
        CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), kWhere);
        EXPECT_EQ(e.SourceLocation(), nullptr);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
        return e.Message();
    };
    const std::string typeList = "IMAGE_GREY_F, IMAGE_GREY_8, IMAGE_GREY_16, IMAGE_GREY_32, or IMAGE_MONO_BINARY.";
    {
        NodeHarness h(new CPStatistics());
        h.Connect(1, std::make_unique<CImage>(other, CSize(1, 1, 1)));
        EXPECT_EQ(failure(h), "First input image is NULL");
    }
    {
        auto h = Statistics(std::make_unique<CImage>(other, CSize(2, 1, 1)),
                            std::make_unique<CImage>(other, CSize(1, 1, 1)));
        EXPECT_EQ(failure(h), "The first input image is not of type " + typeList);
    }
    {
        auto h = Statistics(FloatImage(2, 1, {1, 1}), std::make_unique<CImage>(other, CSize(1, 1, 1)));
        EXPECT_EQ(failure(h), "The label image is not of type " + typeList);
    }
    {
        auto h = Statistics(Image(IMAGE_GREY_16, 3, 2, 1, {}), Image(IMAGE_GREY_8, 2, 2, 1, {}));
        EXPECT_EQ(failure(h), "Input and label image have differing sizes: (3, 2, 1) vs (2, 2, 1)");
    }
    {
        auto h = Statistics(test::FilledImage(3, 2, 1.0f), test::FilledImage(3, 2, 1.0f, 2));
        EXPECT_EQ(failure(h), "Input and label image have differing sizes: (3, 2, 1) vs (3, 2, 2)");
    }
}

TEST(PStatisticsMessages, LargeLabelWarningAlwaysAndStrict) {
    testing::internal::CaptureStdout();
    CPStatistics::ReportRegionCount(16777216, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::string warning = std::string(kWhere) +
                                ": WARNING! label values greater 16777216 occure, those values are inexact due to "
                                "floating point precision.\n";
    testing::internal::CaptureStdout();
    CPStatistics::ReportRegionCount(16777217, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), warning);

    testing::internal::CaptureStdout();
    CPStatistics::ReportRegionCount(16777217, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string(kWhere) + ": The number of regions is: 16777217\n" + warning);
}

TEST(PStatisticsMessages, QuietWithoutVerbose) {
    auto h = Statistics(FloatImage(2, 1, {1, 2}), FloatImage(2, 1, {2, 0}));
    EXPECT_EQ(h.RunCapturingStdout(), "");
}

// ----------------------------------------------------------------- attributes, setup, registry

TEST(PStatisticsDescription, TableAttributesOnOutputImage) {
    for (bool extended : {false, true}) {
        auto h = Statistics(FloatImage(1, 1, {1}), FloatImage(1, 1, {1}), extended);
        h.Run();
        const CValueMap& attributes = h.Matrix().Attributes();
        ASSERT_EQ(attributes.Size(), 1u);
        EXPECT_EQ(attributes.Entries()[0].first, "Image");
        const auto& image = dynamic_cast<const CValueMap&>(*attributes.Entry("Image"));
        std::vector<std::string> keys;
        for (const auto& e : image.Entries()) keys.push_back(e.first);
        EXPECT_EQ(keys, (std::vector<std::string>{"ContentType", "featurename", "y-name", "x-name", "f-name",
                                                  "x-keys", "x-types"}));
        EXPECT_EQ(test::Text(attributes, "Image/ContentType"), "table");
        EXPECT_EQ(test::Text(attributes, "Image/featurename"), "statistics");
        EXPECT_EQ(test::Text(attributes, "Image/y-name"), "label");
        EXPECT_EQ(test::Text(attributes, "Image/x-name"), "statistics");
        EXPECT_EQ(test::Text(attributes, "Image/f-name"), "value");
        const std::size_t nF = extended ? 7 : 4;
        ASSERT_EQ(dynamic_cast<const CValueVector&>(*attributes.Entry("Image/x-keys")).Size(), nF);
        ASSERT_EQ(dynamic_cast<const CValueVector&>(*attributes.Entry("Image/x-types")).Size(), nF);
        EXPECT_EQ(test::Text(attributes, "Image/x-keys/1"), "Variance over foreground pixels");
        EXPECT_EQ(test::Text(attributes, "Image/x-keys/" + std::to_string(nF - 1)),
                  extended ? "Count of foreground pixels" : "Min gray level over foreground pixels");
        for (std::size_t i = 0; i < nF; ++i)
            EXPECT_EQ(test::Text(attributes, "Image/x-types/" + std::to_string(i)), "numeric");
    }
}

TEST(PStatisticsDescription, SetupTexts) {
    CPStatistics node;
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.Parameters().SetEntry("extended", new CValueBool(true));
    node.ReadParameters();
    auto setup = test::Setup(node);

    std::vector<std::string> keys;
    for (const auto& e : setup->Entries()) keys.push_back(e.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"pluginType", "namespace", "parameters", "inputs", "outputs",
                                              "PluginSubType", "FeatureNames", "description", "keywords",
                                              "__zorvatDocumentation"}));
    EXPECT_EQ(test::Text(*setup, "pluginType"), "image");
    EXPECT_EQ(test::Text(*setup, "namespace"), "KELO::features");
    EXPECT_EQ(test::Text(*setup, "PluginSubType"), "Statistics FeaturePlugin");
    EXPECT_EQ(test::Text(*setup, "__zorvatDocumentation"),
              "%KELODIR%/doc/zorvat/html/features/PStatistics/index.html");

    // Parameters: verbose as set, extended always offered as false.
    EXPECT_TRUE(setup->Entry("parameters/verbose")->Bool());
    EXPECT_FALSE(setup->Entry("parameters/extended")->Bool());
    EXPECT_EQ(test::MetaText(*setup, "parameters/verbose", "gui/boolean"), "togglebutton");
    EXPECT_EQ(test::MetaText(*setup, "parameters/extended", "gui/boolean"), "togglebutton");
    EXPECT_EQ(test::MetaText(*setup, "parameters/verbose", "desc"),
              "The type of this parameter is of type bool.  Prints function feedback to log area. By default it is "
              "set to \\a false.\n");
    EXPECT_EQ(test::MetaText(*setup, "parameters/extended", "desc"),
              "The type of this parameter is of type bool. If set to TRUE, result contains more features, see above. "
              "By default it is set to \\a false.");

    EXPECT_EQ(test::MetaText(*setup, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(test::MetaText(*setup, "inputs/1", "label"), "Label Image");
    EXPECT_FALSE(setup->Entry("inputs/0")->MetaIfAny()->Entry("optional")->Bool());
    EXPECT_TRUE(setup->Entry("inputs/1")->MetaIfAny()->Entry("optional")->Bool());
    EXPECT_EQ(test::MetaText(*setup, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(test::MetaText(*setup, "outputs/1", "label"), "Calculated features as CValueVector");

    const auto& keywords = dynamic_cast<const CValueVector&>(*setup->Entry("keywords"));
    std::vector<std::string> words;
    for (const auto& k : keywords.Vector()) words.push_back(k->String());
    EXPECT_EQ(words, (std::vector<std::string>{"grayvalue statistics", "pixel statistics", "features", "average",
                                               "mean", "variance", "standard deviation", "sdev", "minimum",
                                               "maximum", "sum", "foreground", "count"}));

    const std::string d = test::Text(*setup, "description");
    EXPECT_EQ(d.rfind("BRIEF\nCompute pixel statistics: average, variance, maximum, and minimum of gray value over "
                      "image pixels.\n",
                      0),
              0u);
    EXPECT_NE(d.find("INPUT 1\nOptional second input label image. must be of type IMAGE_GREY_F, IMAGE_GREY_8, "
                     "IMAGE_GREY_16, IMAGE_GREY_32, or IMAGE_MONO_BINARY."),
              std::string::npos);
    EXPECT_NE(d.find("OUTPUT 1\nValue vector with four entries with vectors of the same information. subvectors are "
                     "empty if no region was found."),
              std::string::npos);

    // FeatureNames: seven slots, all filled only while extended is set.
    auto countNames = [](const CValueMap& s) {
        const auto& names = dynamic_cast<const CValueVector&>(*s.Entry("FeatureNames"));
        EXPECT_EQ(names.Size(), 7u);
        std::size_t n = 0;
        for (const auto& v : names.Vector()) n += v != nullptr;
        return n;
    };
    EXPECT_EQ(countNames(*setup), 7u);
    EXPECT_EQ(test::Text(*setup, "FeatureNames/6"), "Count of foreground pixels");
    node.Parameters().SetEntry("extended", new CValueBool(false));
    node.ReadParameters();
    auto plain = test::Setup(node);
    EXPECT_EQ(countNames(*plain), 4u);
    EXPECT_EQ(test::Text(*plain, "FeatureNames/3"), "Min gray level over foreground pixels");
    EXPECT_FALSE(plain->HasEntry("Description"));
}

TEST(PStatisticsDescription, RegistryCreatesTheNode) {
    std::unique_ptr<CPNode> node(registry::Create("Statistics"));
    EXPECT_NE(dynamic_cast<CPStatistics*>(node.get()), nullptr);
    std::unique_ptr<CValueVector> listed(registry::List());
    EXPECT_EQ(test::Text(*listed, "20"), "Statistics");
}
