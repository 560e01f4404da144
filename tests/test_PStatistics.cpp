#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "PStatistics.h"
#include "TestSupport.h"
#include "kelo/Memory.h"

using namespace KELO;
using features::CPStatistics;
using test::FloatImage;

namespace {
const std::string kWhere = "(feature plugins) Statistics::Run";
const std::string kTypes = "IMAGE_GREY_F, IMAGE_GREY_8, IMAGE_GREY_16, IMAGE_GREY_32, or IMAGE_MONO_BINARY.";
constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();
using Floats = std::vector<float>;

std::size_t SizeOf(const CValue* v) { return dynamic_cast<const CValueContainerBase&>(*v).Size(); }

// An image of any accepted type from values (x fastest), each cast to the pixel type.
std::unique_ptr<CImage> Image(CPixelType type, int64_t W, int64_t H, int64_t D, const std::vector<double>& v) {
    auto img = std::make_unique<CImage>(type, CSize(W, H, D));
    auto fill = [&](auto* p) { for (double x : v) *p++ = static_cast<std::remove_reference_t<decltype(*p)>>(x); };
    if (type == IMAGE_GREY_F) fill(img->Pixels<float>());
    else if (type == IMAGE_GREY_32) fill(img->Pixels<uint32_t>());
    else if (type == IMAGE_GREY_16) fill(img->Pixels<uint16_t>());
    else fill(img->Pixels<uint8_t>());
    return img;
}

test::NodeHarness Statistics(std::unique_ptr<CImage> data, std::unique_ptr<CImage> labels, bool extended = false,
                             bool verbose = false) {
    test::NodeHarness h(new CPStatistics());
    h.Connect(0, std::move(data));
    if (labels) h.Connect(1, std::move(labels));
    h.SetParameter("extended", new CValueBool(extended));
    h.SetParameter("verbose", new CValueBool(verbose));
    return h;
}

Floats Row(const test::NodeHarness& h, int64_t r) { return test::MatrixRow(h, r); }
}  // namespace

TEST(PStatistics, MissingLabelsNaNFloatLabelsVerboseLinesAndTableAttributes) {
    // Labels 1, 2 and 5 in y = 0, the scanned box. A NaN pixel spoils sums, not extremes. Float labels without a
    // row (negative, NaN, infinite, beyond 2^32) count nowhere; 0.5 counts for row 0 inside the box, not at y = 1.
    std::vector<float> data = {-3, 1, kNaN, 3, -3, 50, 50, 50, 50, 50, 100, 7};
    std::vector<float> labels = {1, 2, 2, 2, 0.5f, -1.5f, kNaN, kInf, 5e9f, -0.5f, 0, 5};
    data.resize(24, 1000.0f);
    labels.resize(24, 0.5f);
    auto h = Statistics(FloatImage(12, 2, data), FloatImage(12, 2, labels), true, true);
    const std::string out = h.RunCapturingStdout();
    ASSERT_EQ(h.Matrix().Size(), CSize(7, 5, 1));
    EXPECT_EQ(Row(h, 0), (Floats{-3, 0, -3, -3, -6, 18, 2}));
    const Floats nan = Row(h, 1);
    EXPECT_TRUE(std::isnan(nan[0]) && std::isnan(nan[1]) && std::isnan(nan[4]) && std::isnan(nan[5]));
    EXPECT_EQ((Floats{nan[2], nan[3], nan[6]}), (Floats{3, 1, 3}));
    EXPECT_EQ(Row(h, 2), Floats(7, 0.0f));  // maximum and minimum too
    EXPECT_EQ(Row(h, 3), Floats(7, 0.0f));
    EXPECT_EQ(Row(h, 4), (Floats{7, 0, 7, 7, 7, 49, 1}));
    EXPECT_EQ(test::MetaText(h.Values(), "6", "FeatureName"), "Count of foreground pixels");
    EXPECT_EQ(out, kWhere + ": The number of regions is: 5\n" + kWhere + ": There are 3 non-empty regions.\n" +
                       kWhere + " Warning: There are 2 empty regions!!!\nBy (re-)labeling the second input image " +
                       "before using this plugin, empty region labels are removed.\n");

    // The table attributes name the extended columns too.
    const auto& image = dynamic_cast<const CValueMap&>(*h.Matrix().Attributes().Entry("Image"));
    test::ExpectTexts(image, {{"x-keys/6", "Count of foreground pixels"}, {"x-types/6", "numeric"}});
    EXPECT_EQ(SizeOf(image.Entry("x-keys")) + SizeOf(image.Entry("x-types")), 14u);
}

TEST(PStatistics, WithoutOrWithEmptyLabelImage) {
    // No label image: one row over every pixel of every plane.
    auto h = Statistics(FloatImage(2, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 2), nullptr, true);
    h.Run();
    EXPECT_EQ(Row(h, 0), (Floats{4.5f, 5.25f, 8, 1, 36, 204, 8}));
    // Input of 0 pixels: the start values of maximum and minimum remain.
    auto z = Statistics(std::make_unique<CImage>(IMAGE_GREY_F, CSize(0, 3, 1)), nullptr);
    z.Run();
    EXPECT_EQ(Row(z, 0), (Floats{0, 0, -kInf, kInf}));
    // 49 pixels of 3.3f: sum of squares / n - mean^2 rounds to about -1.8e-15 and is kept.
    auto c = Statistics(test::FilledImage(7, 7, 3.3f), nullptr);
    EXPECT_EQ(c.RunCapturingStdout(), "");  // nothing printed without verbose
    EXPECT_TRUE(c.At(1, 0) < 0.0f && c.At(1, 0) > -1e-13f) << c.At(1, 0);
    // A label image without labels: nF x 0 matrix, value vector of nF empty slots, no exception.
    auto e = Statistics(FloatImage(2, 1, {3, 4}), FloatImage(2, 1, {0, 0.5f}), true, true);
    const std::string out = e.RunCapturingStdout();
    EXPECT_EQ(e.Matrix().Size(), CSize(7, 0, 1));
    EXPECT_EQ(e.Matrix().Attributes().Size(), 0u);
    ASSERT_EQ(e.Values().Size(), 7u);
    for (const auto& slot : e.Values().Vector()) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(out, kWhere + ": The number of regions is: 0\n" + kWhere + ": the number of regions is zero!\n");
}

TEST(PStatistics, AllTypePairsAgreeWithReference) {
    // Per type: data values with the ends of its range (16777217 as 32-bit data reads as
    // 16777216), and labels with a high label only that width holds. All fit their type.
    const std::tuple<CPixelType, std::vector<double>, std::vector<double>> cases[] = {
        {IMAGE_GREY_F, {-3.5, 0.25, 100.75, 1e6, -0.0, 42}, {1, 2, 0, 4, 6.5, 1}},
        {IMAGE_GREY_32, {4000000000.0, 16777217, 0, 7, 123456, 3}, {1, 2, 0, 4, 70000, 1}},
        {IMAGE_GREY_16, {65535, 0, 300, 17, 4096, 2}, {1, 2, 0, 4, 1000, 1}},
        {IMAGE_GREY_8, {255, 0, 128, 1, 77, 3}, {1, 2, 0, 4, 255, 1}},
        {IMAGE_BINARY_FG, {1, 0, 1, 1, 0, 1}, {1, 0, 1, 1, 0, 0}}};
    constexpr int64_t W = 7, H = 5, D = 2;
    for (const auto& [dataType, data, ignoredLabels] : cases)
        for (const auto& [labelType, ignoredData, labelValues] : cases) {
            SCOPED_TRACE(std::string(dataType.Name()) + " data, " + labelType.Name() + " labels");
            // Reference: per label, the pixels read as float in scan order; the one-pass formulas.
            std::vector<double> dv, lv;
            std::map<uint64_t, Floats> byLabel;
            for (int64_t i = 0; i < W * H * D; ++i) {
                const int64_t x = i % W, y = i / W % H, k = x + 2 * y + 3 * (i / (W * H));
                dv.push_back(data[k % data.size()]);
                // A background frame at x = 0 and y = 0; the last pixel is labelled.
                lv.push_back(x == 0 || y == 0 ? 0.0 : labelValues[(k + 1) % labelValues.size()]);
                if (lv.back() >= 1) byLabel[static_cast<uint64_t>(lv.back())].push_back(float(dv.back()));
            }
            auto h = Statistics(Image(dataType, W, H, D, dv), Image(labelType, W, H, D, lv), true);
            h.Run();
            const uint64_t maxLabel = byLabel.rbegin()->first;
            ASSERT_EQ(h.Matrix().Size(), CSize(7, static_cast<int64_t>(maxLabel), 1));
            for (uint64_t l = 1; l <= maxLabel; ++l) {
                const Floats& px = byLabel[l];  // empty for a label that does not occur: a row of zeros
                double sum = 0, squares = 0;
                for (float v : px) sum += v, squares += double(v) * v;
                const double n = static_cast<double>(px.size()), mean = sum / n;
                const Floats want = px.empty() ? Floats(7, 0.0f) : Floats{float(mean), float(squares / n - mean * mean),
                    *std::max_element(px.begin(), px.end()), *std::min_element(px.begin(), px.end()), float(sum),
                    float(squares), float(n)};
                ASSERT_EQ(Row(h, static_cast<int64_t>(l - 1)), want) << "label " << l;
            }
        }
}

TEST(PStatistics, ChecksAndWarnings) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPStatistics(); }, kWhere,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type " + kTypes},
                             {Check::LabelType, "The label image is not of type " + kTypes}},
                            "", CPixelType{99, 8, "IMAGE_GREY_D"});
    // Sizes that differ in z alone.
    auto h = Statistics(Image(IMAGE_GREY_16, 3, 2, 1, {}), Image(IMAGE_GREY_8, 3, 2, 2, {}));
    const CException e = test::CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Location() + ": " + e.Message(),
              kWhere + ": Input and label image have differing sizes: (3, 2, 1) vs (3, 2, 2)");

    // More than 2^24 regions (strictly) are warned of, also without verbose: one warning of two.
    testing::internal::CaptureStdout();
    CPStatistics::ReportRegionCount(16777216, false);
    CPStatistics::ReportRegionCount(16777217, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kWhere + ": WARNING! label values greater 16777216 " +
                                                          "occure, those values are inexact due to floating point "
                                                          "precision.\n");
}

TEST(PStatistics, LabelsWhoseTableDoesNotFitAreRefusedBeforeItIsMade) {
    // A 32-bit label of 3e9: 3e9 x (40 table + 32 accumulators + 7 x 44 outputs) bytes.
    auto h = Statistics(Image(IMAGE_GREY_8, 2, 1, 1, {1, 2}), Image(IMAGE_GREY_32, 2, 1, 1, {3e9, 1}), true);
    const CException e = test::CatchException([&] { h.Run(); });
    EXPECT_EQ(e.Location(), kWhere);
    EXPECT_EQ(e.Message().rfind("Largest label 3000000000 needs 1.0 TB for the region table and outputs, more "
                                "than the ",
                                0),
              0u)
        << e.Message();
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);
    // With a host limit, also 8-bit labels: 255 x (40 table + 32 accumulators + 4 x 44 outputs) bytes.
    SetMemoryLimit(60000);
    auto small = Statistics(Image(IMAGE_GREY_8, 2, 1, 1, {1, 2}), Image(IMAGE_GREY_8, 2, 1, 1, {255, 1}));
    const std::string m = test::CatchException([&] { small.Run(); }).Message();
    SetMemoryLimit(0);
    EXPECT_EQ(m, "Largest label 255 needs 61.8 KB for the region table and outputs, more than the 58.6 KB of memory available");
    small.Run();
    EXPECT_EQ(small.Matrix().Size(), CSize(4, 255, 1));
}

TEST(PStatistics, SetupFollowsExtendedButOffersItOff) {
    CPStatistics node;
    node.Parameters().SetEntry("extended", new CValueBool(true));
    node.ReadParameters();
    auto setup = test::Setup(node);
    EXPECT_FALSE(setup->EntryBool("parameters/extended", true));  // offered off whatever the member holds
    EXPECT_EQ(test::Text(*setup, "FeatureNames/6"), "Count of foreground pixels");
    // FeatureNames keeps seven slots; the last three are filled only while extended is set.
    node.Parameters().SetEntry("extended", new CValueBool(false));
    node.ReadParameters();
    auto plain = test::Setup(node);
    EXPECT_EQ(SizeOf(plain->Entry("FeatureNames")), 7u);
    EXPECT_TRUE(plain->Entry("FeatureNames/3") && !plain->Entry("FeatureNames/4"));
}
