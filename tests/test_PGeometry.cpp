#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

#include "PGeometry.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

constexpr double kPi = std::numbers::pi;
const char* const kLocation = "(feature plugins) Geometry::Run";

enum Col { Area, Major, Minor, Orient, Ecc, Border, Frag, Regr };

// A mask given as rows of text: '#' foreground, '.' background.
struct Shape {
    int64_t w = 0, h = 0;
    std::vector<float> px;
};
Shape FromRows(const std::vector<std::string>& rows) {
    Shape s;
    s.h = static_cast<int64_t>(rows.size());
    s.w = static_cast<int64_t>(rows[0].size());
    for (const auto& r : rows)
        for (char c : r) s.px.push_back(c == '#' ? 1.0f : 0.0f);
    return s;
}
bool Fg(const Shape& s, int64_t x, int64_t y) {
    return x >= 0 && y >= 0 && x < s.w && y < s.h && s.px[y * s.w + x] != 0.0f;
}

// The eight values straight from ComputeRegion, in double precision.
std::vector<double> Compute(const Shape& s) {
    CPGeometry node;
    auto mask = FloatImage(s.w, s.h, s.px);
    std::vector<double> f(8, 0.0);
    node.ComputeRegion(mask.get(), f);
    return f;
}

// Reference values computed another way: centred moments from exact integer
// sums, eigenvalues in closed form, orientation as half the angle of
// (a - c, 2b), slope as centred covariance over centred variance, and the
// border as the number of pixel edges between foreground and background (the
// outside counts as background).
std::vector<double> Reference(const Shape& s) {
    int64_t n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, edges = 0;
    for (int64_t y = 0; y < s.h; ++y)
        for (int64_t x = 0; x < s.w; ++x) {
            if (!Fg(s, x, y)) continue;
            ++n;
            sx += x;
            sy += y;
            sxx += x * x;
            syy += y * y;
            sxy += x * y;
            edges += !Fg(s, x - 1, y) + !Fg(s, x + 1, y) + !Fg(s, x, y - 1) + !Fg(s, x, y + 1);
        }
    // n^2 times the variances and covariance, exactly.
    const int64_t A = n * sxx - sx * sx, C = n * syy - sy * sy, B = n * sxy - sx * sy;
    const double nn = double(n) * double(n);
    const double a = A / nn, c = C / nn, b = B / nn;
    const double root = std::sqrt((a - c) * (a - c) / 4 + b * b);
    const double l1 = std::sqrt((a + c) / 2 + root);
    const double l2 = std::sqrt(std::max(0.0, (a + c) / 2 - root));
    const double orient = (A == C) ? kPi / 4 : 0.5 * std::atan2(2 * b, a - c);
    const double slope = (A == 0) ? NAN : double(B) / double(A);
    return {double(n), l1, l2, orient, (l1 - l2) / (l1 + l2 + 0.1), double(edges), l1 * l2 / double(n), slope};
}

void ExpectNear(const std::vector<double>& got, const std::vector<double>& want, double tol, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << what << " column " << i << " = " << got[i];
        } else {
            EXPECT_NEAR(got[i], want[i], tol * std::max(1.0, std::abs(want[i]))) << what << " column " << i;
        }
    }
}

Shape Disc(int r) {
    Shape s{2 * r + 1, 2 * r + 1, {}};
    for (int y = -r; y <= r; ++y)
        for (int x = -r; x <= r; ++x) s.px.push_back(x * x + y * y <= r * r ? 1.0f : 0.0f);
    return s;
}
// An ellipse with semi-axes p, q turned by angle t (radians).
Shape Ellipse(double p, double q, double t, int half) {
    Shape s{2 * half + 1, 2 * half + 1, {}};
    for (int y = -half; y <= half; ++y)
        for (int x = -half; x <= half; ++x) {
            const double u = x * std::cos(t) + y * std::sin(t), v = -x * std::sin(t) + y * std::cos(t);
            s.px.push_back(u * u / (p * p) + v * v / (q * q) <= 1.0 ? 1.0f : 0.0f);
        }
    return s;
}
Shape RandomBlob(int64_t w, int64_t h, unsigned seed) {
    std::mt19937 rng(seed);
    Shape s{w, h, {}};
    for (int64_t i = 0; i < w * h; ++i) s.px.push_back(rng() % 2 ? 1.0f : 0.0f);
    return s;
}

NodeHarness GeometryOn(std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPGeometry());
    const CSize s = labels->Size();
    h.Connect(0, test::FilledImage(s.x, s.y, 7.0f, s.z));
    h.Connect(1, std::move(labels));
    return h;
}

std::unique_ptr<CImage> Typed(CPixelType type, int64_t w, int64_t h) {
    return std::make_unique<CImage>(type, CSize(w, h, 1), CSize(0, 0, 0));
}

}  // namespace

// ------------------------------------------------------------ values of small regions

TEST(PGeometryValues, OnePixel) {
    const auto f = Compute(FromRows({"#"}));
    EXPECT_EQ(f[Area], 1.0);
    EXPECT_EQ(f[Major], 0.0);
    EXPECT_EQ(f[Minor], 0.0);
    EXPECT_DOUBLE_EQ(f[Orient], kPi / 4);
    EXPECT_EQ(f[Ecc], 0.0);
    EXPECT_EQ(f[Border], 4.0);
    EXPECT_EQ(f[Frag], 0.0);
    EXPECT_TRUE(std::isnan(f[Regr]));
}

TEST(PGeometryValues, Lines) {
    for (int L : {2, 3, 7}) {
        const auto hor = Compute(FromRows({std::string(L, '#')}));
        EXPECT_EQ(hor[Area], L);
        EXPECT_EQ(hor[Orient], 0.0) << L;
        EXPECT_EQ(hor[Regr], 0.0) << L;
        EXPECT_EQ(hor[Border], 2.0 * (L + 1)) << L;
        EXPECT_EQ(hor[Minor], 0.0) << L;
        // Variance of 0 .. L-1 is (L^2 - 1) / 12.
        EXPECT_DOUBLE_EQ(hor[Major], std::sqrt((L * L - 1) / 12.0)) << L;
        EXPECT_DOUBLE_EQ(hor[Ecc], hor[Major] / (hor[Major] + 0.1)) << L;

        const auto ver = Compute(FromRows(std::vector<std::string>(L, "#")));
        EXPECT_DOUBLE_EQ(ver[Orient], kPi / 2) << L;
        EXPECT_TRUE(std::isnan(ver[Regr])) << L;
        EXPECT_EQ(ver[Border], 2.0 * (L + 1)) << L;
        EXPECT_DOUBLE_EQ(ver[Major], hor[Major]) << L;
    }
}

TEST(PGeometryValues, Rectangles) {
    const auto r = Compute(FromRows({"####", "####", "####"}));
    EXPECT_EQ(r[Area], 12.0);
    EXPECT_EQ(r[Border], 14.0);
    EXPECT_EQ(r[Regr], 0.0);
    EXPECT_EQ(r[Orient], 0.0);  // wider than tall
    // Variances (16-1)/12 along x and (9-1)/12 along y.
    EXPECT_DOUBLE_EQ(r[Major], std::sqrt(15.0 / 12));
    EXPECT_DOUBLE_EQ(r[Minor], std::sqrt(8.0 / 12));
    EXPECT_DOUBLE_EQ(r[Frag], std::sqrt(15.0 / 12) * std::sqrt(8.0 / 12) / 12);

    const auto col = Compute(FromRows({"#", "#", "#", "#"}));
    EXPECT_EQ(col[Border], 10.0);
    EXPECT_TRUE(std::isnan(col[Regr]));

    const auto square = Compute(FromRows({"###", "###", "###"}));
    EXPECT_DOUBLE_EQ(square[Orient], kPi / 4);
    EXPECT_EQ(square[Ecc], 0.0);
}

TEST(PGeometryValues, DiagonalsAndCorners) {
    // Equal variances give pi/4 whatever the sign of the covariance.
    const auto down = Compute(FromRows({"#...", ".#..", "..#.", "...#"}));
    const auto up = Compute(FromRows({"...#", "..#.", ".#..", "#..."}));
    EXPECT_DOUBLE_EQ(down[Orient], kPi / 4);
    EXPECT_DOUBLE_EQ(up[Orient], kPi / 4);
    EXPECT_DOUBLE_EQ(down[Regr], 1.0);
    EXPECT_DOUBLE_EQ(up[Regr], -1.0);
    // Four pixels meeting only at corners: four separate borders.
    EXPECT_EQ(down[Border], 16.0);
    EXPECT_EQ(up[Border], 16.0);
    // Variance 1.25 along both axes, covariance 1.25: eigenvalues 2.5 and 0.
    EXPECT_DOUBLE_EQ(down[Major], std::sqrt(2.5));
    EXPECT_EQ(down[Minor], 0.0);

    EXPECT_EQ(Compute(FromRows({"#.", ".#"}))[Border], 8.0);
    EXPECT_EQ(Compute(FromRows({".#", "#."}))[Border], 8.0);
    EXPECT_EQ(Compute(FromRows({"##", "#."}))[Border], 8.0);
}

TEST(PGeometryValues, NoForeground) {
    // A mask without foreground: columns 1 to 5 keep 0, the two ratios are 0/0.
    const auto f = Compute(FromRows({"...", "..."}));
    for (int c : {Area, Major, Minor, Orient, Ecc, Border}) EXPECT_EQ(f[c], 0.0) << c;
    EXPECT_TRUE(std::isnan(f[Frag]));
    EXPECT_TRUE(std::isnan(f[Regr]));
}

TEST(PGeometryValues, NaNPixelIsForeground) {
    Shape s = FromRows({"#.", ".."});
    s.px[3] = NAN;
    const auto f = Compute(s);
    EXPECT_EQ(f[Area], 2.0);
    EXPECT_EQ(f[Border], 8.0);
    EXPECT_DOUBLE_EQ(f[Regr], 1.0);
}

TEST(PGeometryValues, WideBoxKeepsExactMoments) {
    // Two pixels 46341 apart: the squared coordinate no longer fits 32 bits.
    Shape s{46342, 1, std::vector<float>(46342, 0.0f)};
    s.px.front() = s.px.back() = 1.0f;
    const auto f = Compute(s);
    EXPECT_EQ(f[Major], 23170.5);
    EXPECT_EQ(f[Minor], 0.0);
    EXPECT_EQ(f[Regr], 0.0);
    EXPECT_EQ(f[Border], 8.0);
}

// ------------------------------------------------------------ against the reference

TEST(PGeometryReference, ShapesMatchIndependentComputation) {
    const std::vector<std::pair<const char*, Shape>> shapes = {
        {"disc", Disc(6)},
        {"ellipse 30deg", Ellipse(9, 3, kPi / 6, 10)},
        {"ellipse -65deg", Ellipse(8, 2.5, -65 * kPi / 180, 9)},
        {"ellipse 100deg", Ellipse(7, 4, 100 * kPi / 180, 8)},
        {"L", FromRows({"#...", "#...", "#...", "####"})},
        {"ring", FromRows({"#####", "#...#", "#.#.#", "#...#", "#####"})},
        {"checker", FromRows({"#.#.#", ".#.#.", "#.#.#"})},
        {"random 12x9", RandomBlob(12, 9, 7u)},
        {"random 31x17", RandomBlob(31, 17, 123u)},
        {"random 1x9", RandomBlob(1, 9, 5u)},
    };
    for (const auto& [name, shape] : shapes) ExpectNear(Compute(shape), Reference(shape), 1e-9, name);
}

TEST(PGeometryReference, RunMatchesReferencePerLabel) {
    // Three labels with interleaved boxes: pixels of other labels inside a box
    // are background of that region's mask. Label 3 touches the right and
    // bottom edges.
    // clang-format off
    auto labels = FloatImage(9, 7, {
        1, 1, 1, 0, 0, 0, 0, 0, 0,
        1, 2, 2, 2, 2, 0, 0, 0, 0,
        1, 2, 1, 1, 2, 0, 0, 0, 0,
        0, 2, 0, 1, 2, 0, 0, 3, 0,
        0, 2, 2, 2, 0, 0, 3, 3, 3,
        0, 0, 0, 0, 0, 0, 3, 3, 3,
        0, 0, 0, 0, 0, 0, 0, 3, 3,
    });
    // clang-format on
    const std::vector<Shape> masks = {
        FromRows({"###.", "#...", "#.##", "...#"}),
        FromRows({"####", "#..#", "#..#", "###."}),
        FromRows({".#.", "###", "###", ".##"}),
    };
    auto h = GeometryOn(std::move(labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(8, 3, 1));
    for (int r = 0; r < 3; ++r) {
        const auto want = Reference(masks[r]);
        for (int c = 0; c < 8; ++c) {
            const float got = h.At(c, r);
            if (std::isnan(want[c])) {
                EXPECT_TRUE(std::isnan(got)) << r << "," << c;
            } else {
                EXPECT_NEAR(got, want[c], 1e-5 * std::max(1.0, std::abs(want[c]))) << r << "," << c;
            }
        }
    }
}

// ------------------------------------------------------------ runs

TEST(PGeometryRun, SpecialLabels) {
    // Label 1 a single pixel, label 2 only as 2.5 (never equals 2.0), label 3
    // missing, label 4 a 3x2 rectangle.
    // clang-format off
    auto labels = FloatImage(5, 3, {
        1,   0,   4, 4, 4,
        0, 2.5f,  4, 4, 4,
        0, 2.5f,  0, 0, 0,
    });
    // clang-format on
    auto h = GeometryOn(std::move(labels));
    h.SetParameter("verbose", new CValueBool(true));
    const std::string out = h.RunCapturingStdout();
    EXPECT_EQ(out,
              "The number of regions is: 4\nThere are 3 non-empty regions. \nWarning: There are 1 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");
    ASSERT_EQ(h.Matrix().Size(), CSize(8, 4, 1));
    EXPECT_EQ(h.At(Area, 0), 1.0f);
    EXPECT_EQ(h.At(Border, 0), 4.0f);
    EXPECT_TRUE(std::isnan(h.At(Regr, 0)));
    for (int c : {Area, Major, Minor, Orient, Ecc, Border}) EXPECT_EQ(h.At(c, 1), 0.0f) << c;
    EXPECT_TRUE(std::isnan(h.At(Frag, 1)));
    EXPECT_TRUE(std::isnan(h.At(Regr, 1)));
    for (int c = 0; c < 8; ++c) EXPECT_EQ(h.At(c, 2), 0.0f) << c;
    EXPECT_EQ(h.At(Area, 3), 6.0f);
    EXPECT_EQ(h.At(Border, 3), 10.0f);
    EXPECT_EQ(h.At(Regr, 3), 0.0f);
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(test::MetaText(h.Values(), std::to_string(c), "FeatureName"),
                  test::Text(*test::Setup(h.Node()), "FeatureNames/" + std::to_string(c)));
}

TEST(PGeometryRun, RegionOnlyInUpperPlaneAndEightBitInput) {
    // Label 1 in plane 0; label 2 only in plane 1: its mask (plane 0 of its box) is empty.
    auto labels = FloatImage(3, 2, {1, 1, 0, 0, 0, 0, /* z = 1 */ 0, 0, 0, 0, 2, 2}, 2);
    NodeHarness h(new CPGeometry());
    auto grey = std::make_unique<CImage>(IMAGE_GREY_8, CSize(3, 2, 2), CSize(0, 0, 0));
    for (int i = 0; i < 12; ++i) grey->Pixels<uint8_t>()[i] = static_cast<uint8_t>(20 * i + 3);
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(8, 2, 1));
    EXPECT_EQ(h.At(Area, 0), 2.0f);
    EXPECT_EQ(h.At(Border, 0), 6.0f);
    EXPECT_EQ(h.At(Area, 1), 0.0f);
    EXPECT_EQ(h.At(Border, 1), 0.0f);
    EXPECT_TRUE(std::isnan(h.At(Frag, 1)));

    // Grey values have no influence: a float input with other values gives the same matrix.
    auto h2 = GeometryOn(FloatImage(3, 2, {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2}, 2));
    h2.Run();
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 8; ++c) {
            const float a = h.At(c, r), b = h2.At(c, r);
            EXPECT_TRUE(a == b || (std::isnan(a) && std::isnan(b))) << r << "," << c;
        }
}

TEST(PGeometryRun, ComputeRegionContract) {
    CPGeometry node;
    std::vector<double> f(8, 3.0);
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f, std::vector<double>(8, 3.0));

    auto mask = FloatImage(2, 1, {1, 1});
    std::vector<double> shortVec(3, 0.0);
    try {
        node.ComputeRegion(mask.get(), shortVec);
        ADD_FAILURE() << "no exception for a short vector";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
    }
    EXPECT_EQ(shortVec[0], 2.0);

    auto bytes = Typed(IMAGE_GREY_8, 4, 4);
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(bytes.get(), f); }).Message(),
              "The mask image is not of type IMAGE_GREY_F");
}

// ------------------------------------------------------------ failures

TEST(PGeometryFailures, MessagesInCheckOrder) {
    auto expectThrow = [](NodeHarness& h, const std::string& location, const std::string& message) {
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), location);
        EXPECT_EQ(e.Message(), message);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
    };
    {
        NodeHarness h(new CPGeometry());
        h.Connect(1, test::FilledImage(2, 2, 1.0f));
        expectThrow(h, kLocation, "First input image is NULL");
    }
    {   // Input 1 is looked for before the type of input 0.
        NodeHarness h(new CPGeometry());
        h.Connect(0, Typed(IMAGE_GREY_16, 2, 2));
        expectThrow(h, kLocation, "Second input image is NULL");
    }
    {   // Both are unwrapped before the type of input 0 is checked.
        NodeHarness h(new CPGeometry());
        h.Connect(0, Typed(IMAGE_GREY_16, 2, 2));
        h.ConnectEmpty(1);
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_NE(e.Location(), kLocation);
        EXPECT_EQ(e.Message(), "the value holds no image");
    }
    {
        NodeHarness h(new CPGeometry());
        h.ConnectEmpty(0);
        h.Connect(1, test::FilledImage(2, 2, 1.0f));
        EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(), "the value holds no image");
    }
    for (CPixelType t : {IMAGE_GREY_16, IMAGE_GREY_32, IMAGE_BINARY_FG}) {
        NodeHarness h(new CPGeometry());
        h.Connect(0, Typed(t, 2, 2));
        h.Connect(1, Typed(IMAGE_GREY_8, 2, 2));
        expectThrow(h, kLocation, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8");
    }
    {
        NodeHarness h(new CPGeometry());
        h.Connect(0, Typed(IMAGE_GREY_8, 2, 2));
        h.Connect(1, Typed(IMAGE_GREY_8, 2, 2));
        expectThrow(h, kLocation, "The label image is not of type IMAGE_GREY_F");
    }
    {
        auto h = GeometryOn(test::FilledImage(3, 3, 0.5f));
        expectThrow(h, kLocation, "The number of regions is zero!!");
    }
}

TEST(PGeometryFailures, EmptyImageException) {
    {   // Explicitly true: the same failure as by default, nothing printed.
        auto h = GeometryOn(test::FilledImage(3, 2, 0.0f));
        h.SetParameter("empty_image_exception", new CValueBool(true));
        testing::internal::CaptureStdout();
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(e.Message(), "The number of regions is zero!!");
    }
    for (bool verbose : {false, true}) {
        auto h = GeometryOn(test::FilledImage(3, 2, 0.0f));
        h.SetParameter("verbose", new CValueBool(verbose));
        // Read by Run from the map, not by ReadParameters: set after reading.
        h.Node().ReadParameters();
        h.SetParameter("empty_image_exception", new CValueBool(false));
        testing::internal::CaptureStdout();
        h.Node().Run();
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string(verbose ? "The number of regions is: 0\n" : "") +
                      "WARNING! : feature::Geometry::Run The number of regions is zero!\n");
        EXPECT_EQ(h.Matrix().Size(), CSize(8, 0, 1));
        const CValueVector& values = h.Values();
        ASSERT_EQ(values.Size(), 8u);
        for (int c = 0; c < 8; ++c) {
            const auto* inner = dynamic_cast<const CValueVector*>(values.Entry(c));
            ASSERT_NE(inner, nullptr);
            EXPECT_EQ(inner->Size(), 0u);
            EXPECT_EQ(test::MetaText(values, std::to_string(c), "FeatureName"),
                      test::Text(*test::Setup(h.Node()), "FeatureNames/" + std::to_string(c)));
        }
    }
}

// ------------------------------------------------------------ setup description and registry

TEST(PGeometrySetup, Texts) {
    CPGeometry node;
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.ReadParameters();
    const auto setup = test::Setup(node);
    using test::MetaText;
    using test::Text;

    std::vector<std::string> keys;
    for (const auto& e : setup->Entries()) keys.push_back(e.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"pluginType", "parameters", "inputs", "outputs", "PluginSubType",
                                              "Description", "FeatureNames", "description",
                                              "__zorvatDocumentation"}));
    EXPECT_EQ(Text(*setup, "pluginType"), "image");
    EXPECT_EQ(Text(*setup, "PluginSubType"), "GeometryFeaturePlugin");
    EXPECT_EQ(Text(*setup, "Description"), "some geometric features computed on the mask image");
    EXPECT_EQ(Text(*setup, "__zorvatDocumentation"), "%KELODIR%/doc/zorvat/html/features/PGeometry/index.html");

    const auto* params = dynamic_cast<const CValueMap*>(setup->Entry("parameters"));
    ASSERT_NE(params, nullptr);
    ASSERT_EQ(params->Size(), 2u);
    EXPECT_EQ(params->Entries()[0].first, "verbose");
    EXPECT_EQ(params->Entries()[1].first, "empty_image_exception");
    EXPECT_EQ(params->Entry("verbose")->Type(), EValueType::Bool);
    EXPECT_TRUE(params->Entry("verbose")->Bool());
    EXPECT_EQ(params->Entry("empty_image_exception")->Type(), EValueType::Bool);
    EXPECT_TRUE(params->Entry("empty_image_exception")->Bool());
    const std::string verboseDoc =
        "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set to "
        "\\a false.\n";
    EXPECT_EQ(MetaText(*setup, "parameters/verbose", "desc"), verboseDoc);
    EXPECT_EQ(MetaText(*setup, "parameters/empty_image_exception", "desc"), "<missing>");

    EXPECT_EQ(MetaText(*setup, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(MetaText(*setup, "inputs/1", "label"), "Label Image");
    EXPECT_EQ(MetaText(*setup, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(MetaText(*setup, "outputs/1", "label"), "Calculated features as CValueVector");
    for (const char* in : {"inputs/0", "inputs/1"}) {
        const CValue* opt = setup->Entry(in)->MetaIfAny()->Entry("optional");
        ASSERT_NE(opt, nullptr);
        EXPECT_EQ(opt->Type(), EValueType::Bool);
        EXPECT_FALSE(opt->Bool());
    }

    const std::vector<std::string> names = {"Area (number of pixels)", "Major Axis Length", "Minor Axis Length",
                                            "Orientation (angle in rad)", "Eccentricity", "Border Length",
                                            "Fragility", "Regression"};
    const auto* fn = dynamic_cast<const CValueVector*>(setup->Entry("FeatureNames"));
    ASSERT_NE(fn, nullptr);
    ASSERT_EQ(fn->Size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Text(*fn, std::to_string(i)), names[i]);

    const std::string description = Text(*setup, "description");
    const std::string head =
        "BRIEF\nProvides some features characterizing the geometry of regions in an image.\n\nThis node provides "
        "some features characterizing the geometry of\nthe binary input image. These features are:\n- Area (number "
        "of pixels)\n- Major axis length\n- Minor axis length\n- Orientation (angle in rad)\n- Eccentricity\n- "
        "Border Length\n- Fragility\n- Regression\n";
    EXPECT_EQ(description.substr(0, head.size()), head);
    EXPECT_NE(description.find("GeometryFeature"), std::string::npos);
    const std::string sections =
        "INPUT 0\nFirst input image, must be of type IMAGE_GREY_F\n\n\n"
        "INPUT 1\nSecond input label image.\n\n\n"
        "OUTPUT 0\nOutput image of type IMAGE_GREY_F with \\f$n \\times 8\\f$ pixel, where \\f$n\\f$ is\nthe number "
        "of labels (= number of rows)\n\n\n"
        "OUTPUT 1\nValue vector with the same information.\n\n\n"
        "PARAMETER verbose\n" +
        verboseDoc + "\n\n\nPARAMETER data\npointer to the data of the feature image\n\n\n";
    ASSERT_GE(description.size(), sections.size());
    EXPECT_EQ(description.substr(description.size() - sections.size()), sections);
    EXPECT_FALSE(setup->HasEntry("parameters/data"));
    EXPECT_FALSE(setup->HasEntry("keywords"));

    // A fresh node reports its default.
    CPGeometry fresh;
    EXPECT_FALSE(test::Setup(fresh)->Entry("parameters/verbose")->Bool());
}

TEST(PGeometrySetup, Registry) {
    std::unique_ptr<CPNode> node(registry::Create("Geometry"));
    EXPECT_NE(dynamic_cast<CPGeometry*>(node.get()), nullptr);
    EXPECT_EQ(registry::Create("geometry"), nullptr);
    std::unique_ptr<CValueVector> list(registry::List());
    EXPECT_EQ(test::Text(*list, "0"), "Geometry");
}
