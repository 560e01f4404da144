#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <random>

#include "PHaralick.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

constexpr int kF = 13;
using Features = std::array<double, kF>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ----------------------------------------------------------------- reference

// The level the node documents: trunc(|v / q|) with q = 256 div G, clamped to
// G - 1; NaN has none.
int RefLevel(float v, int G) {
    if (std::isnan(v)) return -1;
    const double f = std::fabs(static_cast<double>(v) / static_cast<double>(256 / G));
    return f >= G ? G - 1 : static_cast<int>(f);
}

struct Scene {
    int W, H;
    std::vector<float> grey, labels;
};

// Pairs (first level, partner level) of one label, straight from the definition:
// box of the label, first pixel in the label, partner inside the box.
std::vector<std::pair<int, int>> RefPairs(const Scene& s, int label, int dx, int dy, int G) {
    int x0 = s.W, x1 = -1, y0 = s.H, y1 = -1;
    for (int y = 0; y < s.H; ++y)
        for (int x = 0; x < s.W; ++x)
            if (static_cast<int>(s.labels[y * s.W + x]) == label) {
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
    std::vector<std::pair<int, int>> shifts;
    if (dx == 0 && dy == 0)
        shifts = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
    else
        shifts = {{dx, dy}};
    std::vector<std::pair<int, int>> pairs;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            if (static_cast<int>(s.labels[y * s.W + x]) != label) continue;
            // Eight-neighbour mode takes only pixels whose whole neighbourhood is in the box.
            if (dx == 0 && dy == 0 && (x == x0 || x == x1 || y == y0 || y == y1)) continue;
            for (auto [sx, sy] : shifts) {
                const int px = x + sx, py = y + sy;
                if (px < x0 || px > x1 || py < y0 || py > y1) continue;
                const int a = RefLevel(s.grey[y * s.W + x], G), b = RefLevel(s.grey[py * s.W + px], G);
                if (a >= 0 && b >= 0) pairs.emplace_back(a, b);
            }
        }
    return pairs;
}

// The thirteen features computed cell by cell, as the textbook writes them.
Features RefFeatures(const std::vector<std::pair<int, int>>& pairs, int G) {
    Features f{};
    if (pairs.empty()) return f;
    const double N = static_cast<double>(pairs.size());
    std::vector<std::vector<double>> p(G, std::vector<double>(G, 0.0));
    double S = 0;
    for (auto [a, b] : pairs) p[a][b] += 1.0, S += a;
    std::vector<double> px(G), py(G), ps(2 * G - 1), pd(G);
    for (int a = 0; a < G; ++a)
        for (int b = 0; b < G; ++b) {
            p[a][b] /= N;
            px[a] += p[a][b], py[b] += p[a][b], ps[a + b] += p[a][b], pd[std::abs(a - b)] += p[a][b];
        }
    auto H = [](const std::vector<double>& v) {
        double h = 0;
        for (double t : v)
            if (t > 0) h -= t * std::log(t);
        return h;
    };
    double mx = 0, my = 0, md = 0, sx = 0, sy = 0;
    for (int i = 0; i < G; ++i) mx += i * px[i], my += i * py[i], md += i * pd[i];
    for (int i = 0; i < G; ++i) sx += (i - mx) * (i - mx) * px[i], sy += (i - my) * (i - my) * py[i];
    const double mu = S / N;
    double asm2 = 0, ab = 0, var = 0, idm = 0, hxy = 0, hxy1 = 0, hxy2 = 0;
    for (int a = 0; a < G; ++a)
        for (int b = 0; b < G; ++b) {
            const double q = p[a][b], m = px[a] * py[b];
            asm2 += q * q, ab += a * b * q, var += (b - mu) * (b - mu) * q, idm += q / (1.0 + (b - a) * (b - a));
            if (q > 0) hxy -= q * std::log(q);
            if (m > 0) hxy1 -= q * std::log(m), hxy2 -= m * std::log(m);
        }
    double contrast = 0, dvar = 0, sa = 0, svar = 0;
    for (int k = 0; k < G; ++k) contrast += k * k * pd[k], dvar += (k - md) * (k - md) * pd[k];
    for (int k = 0; k <= 2 * G - 2; ++k) sa += (k + 2) * ps[k];
    for (int k = 0; k <= 2 * G - 2; ++k) svar += (k - sa) * (k - sa) * ps[k];
    f = {asm2,     contrast, (ab - mx * my) / std::sqrt(sx * sy), var, idm, sa, svar, H(ps), hxy, dvar, H(pd),
         (hxy - hxy1) / std::max(H(px), H(py)), std::sqrt(1 - std::exp(-2 * std::fabs(hxy2 - hxy)))};
    return f;
}

void ExpectClose(double got, double want, double relTol, const std::string& what) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << what << ": want NaN, got " << got;
        return;
    }
    EXPECT_NEAR(got, want, relTol * std::max(1.0, std::fabs(want))) << what;
}

// ----------------------------------------------------------------- running the node

NodeHarness Node(const Scene& s, int dx = 0, int dy = 0, int G = 64, bool verbose = false) {
    NodeHarness h(new CPHaralick());
    h.Connect(0, FloatImage(s.W, s.H, s.grey));
    h.Connect(1, FloatImage(s.W, s.H, s.labels));
    h.SetParameter("m_dx", new CValueLong(dx));
    h.SetParameter("m_dy", new CValueLong(dy));
    h.SetParameter("m_glcm_size", new CValueLong(G));
    h.SetParameter("verbose", new CValueBool(verbose));
    return h;
}

// Features of region row r of a run.
Features Row(const NodeHarness& h, int r) {
    Features f{};
    for (int i = 0; i < kF; ++i) f[i] = h.At(i, r);
    return f;
}

// One region given as a grey row and a label row (1 x W image).
Features RunRow(const std::vector<float>& grey, const std::vector<float>& labels, int dx, int dy, int G = 64) {
    auto h = Node({static_cast<int>(grey.size()), 1, grey, labels}, dx, dy, G);
    h.Run();
    return Row(h, 0);
}

void ExpectFeatures(const Features& got, const Features& want, double relTol) {
    for (int i = 0; i < kF; ++i) ExpectClose(got[i], want[i], relTol, "feature " + std::to_string(i));
}

// A 14 x 11 scene of random grey values (some outside 0 .. 255 when wide) with an
// irregular label 1, a label 2 that touches it and the image's bottom-right
// corner, no label 3 and a one-pixel label 4.
Scene RandomScene(unsigned seed, bool wide) {
    Scene s{14, 11, {}, {}};
    std::mt19937 rng(seed);
    for (int i = 0; i < s.W * s.H; ++i) {
        const int v = wide ? static_cast<int>(rng() % 700) - 200 : static_cast<int>(rng() % 256);
        s.grey.push_back(static_cast<float>(v));
    }
    s.labels.assign(s.W * s.H, 0.0f);
    for (int y = 1; y <= 8; ++y)
        for (int x = 1; x <= 9; ++x)
            if ((x - 5) * (x - 5) * 4 + (y - 4) * (y - 4) * 5 <= 90) s.labels[y * s.W + x] = 1;
    for (int y = 6; y < s.H; ++y)
        for (int x = 7; x < s.W; ++x)
            if (s.labels[y * s.W + x] == 0 && (x + y) % 5 != 0) s.labels[y * s.W + x] = 2;
    s.labels[0 * s.W + 12] = 4;
    return s;
}

}  // namespace

// ----------------------------------------------------------------- features

TEST(PHaralickFeatures, HandComputedPairs) {
    // One pair of levels (0, 1): every distribution is a point, so both
    // correlations are 0/0.
    ExpectFeatures(RunRow({0, 4}, {1, 1}, 1, 0), {1, 1, kNaN, 1, 0.5, 3, 4, 0, 0, 0, 0, kNaN, 0}, 1e-6);
    // Pairs (0, 1) and (1, 0): p = 1/2 each, px = py = (1/2, 1/2).
    const double ln2 = std::log(2.0);
    ExpectFeatures(RunRow({0, 4, 0}, {1, 1, 1}, 1, 0),
                   {0.5, 1, -1, 0.25, 0.5, 3, 4, 0, ln2, 0, 0, -1, std::sqrt(0.75)}, 1e-6);
    // The partner may be background (x = 0 pairs with x = 1) but must lie in the
    // box: x = 2 has no partner although the image goes on with label 2.
    ExpectFeatures(RunRow({0, 4, 8, 12}, {1, 0, 1, 2}, 1, 0), {1, 1, kNaN, 1, 0.5, 3, 4, 0, 0, 0, 0, kNaN, 0}, 1e-6);
    // The direction matters for the variance, taken around the first pixels' mean:
    // m_dx = 1 pairs (0, 1), (1, 3), mu = 0.5; m_dx = -1 pairs (1, 0), (3, 1), mu = 2.
    EXPECT_EQ(RunRow({0, 4, 12}, {1, 1, 1}, 1, 0)[3], 3.25);
    EXPECT_EQ(RunRow({0, 4, 12}, {1, 1, 1}, -1, 0)[3], 2.5);
}

TEST(PHaralickFeatures, RandomRegionsAgainstReference) {
    const Scene s = RandomScene(7u, false);
    const std::vector<std::array<int, 3>> settings = {{0, 0, 64}, {0, 0, 16}, {0, 0, 256}, {1, 0, 64},  {0, 1, 32},
                                                      {-1, 2, 64}, {2, -1, 8}, {-3, -3, 4}, {20, 0, 64}};
    for (auto [dx, dy, G] : settings) {
        SCOPED_TRACE("dx " + std::to_string(dx) + " dy " + std::to_string(dy) + " G " + std::to_string(G));
        auto h = Node(s, dx, dy, G);
        h.Run();
        ASSERT_EQ(h.Matrix().Size(), CSize(kF, 4, 1));
        for (int label : {1, 2, 4}) {
            SCOPED_TRACE("label " + std::to_string(label));
            Features want = RefFeatures(RefPairs(s, label, dx, dy, G), G);
            for (double& v : want) v = static_cast<float>(v);
            ExpectFeatures(Row(h, label - 1), want, 1e-5);
        }
        for (int i = 0; i < kF; ++i) EXPECT_EQ(h.At(i, 2), 0.0f);  // label 3 does not occur
        // Output 1 holds the same numbers.
        for (int i = 0; i < kF; ++i) {
            const auto& inner = *dynamic_cast<const CValueVector*>(h.Values().Vector()[i].get());
            for (int r = 0; r < 4; ++r) {
                const float m = h.At(i, r);
                const double v = inner.Vector()[r]->Double();
                EXPECT_TRUE(std::isnan(m) ? std::isnan(v) : v == m);
            }
        }
    }
}

TEST(PHaralickFeatures, ComputeRegionInDoublePrecision) {
    const Scene s = RandomScene(11u, false);
    // Label 1's box is x 1..9, y 1..8 (see RandomScene).
    CImage data(IMAGE_GREY_F, CSize(s.W, s.H, 1));
    std::copy(s.grey.begin(), s.grey.end(), data.Pixels<float>());
    CImage mask(IMAGE_GREY_F, CSize(9, 8, 1));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 9; ++x) mask.Pixels<float>()[y * 9 + x] = s.labels[(y + 1) * s.W + x + 1] == 1 ? 1.f : 0.f;
    for (int dx : {0, 1}) {
        CPHaralick node;
        node.Parameters().SetEntry("m_dx", new CValueLong(dx));
        node.ReadParameters();
        std::vector<double> f(kF, 0.0);
        node.ComputeRegion(&data, &mask, 1, 1, f);
        const Features want = RefFeatures(RefPairs(s, 1, dx, 0, 64), 64);
        ExpectFeatures({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12]}, want, 1e-11);
    }
    // A mask that does not lie inside the data is refused, not read.
    CPHaralick node;
    std::vector<double> f(kF, 0.0);
    EXPECT_THROW(node.ComputeRegion(&data, &mask, 6, 1, f), CException);
    EXPECT_THROW(node.ComputeRegion(&data, &mask, -1, 0, f), CException);
}

TEST(PHaralickFeatures, DegenerateRegions) {
    // 2 x 2 region in eight-neighbour mode: no pixel has a full neighbourhood.
    {
        auto h = Node({2, 2, {10, 20, 30, 40}, {1, 1, 1, 1}});
        h.Run();
        for (int i = 0; i < kF; ++i) EXPECT_EQ(h.At(i, 0), 0.0f);
    }
    // A region one pixel wide with m_dx = 1 has no pairs.
    ExpectFeatures(RunRow({10}, {1}, 1, 0), Features{}, 0);
    // Uniform regions: one cell of probability 1. 9 x 9 gives N = 392, for which
    // N * (1.0 / N) is not 1; the correlations must still be 0/0.
    for (int side : {5, 9}) {
        SCOPED_TRACE(side);
        auto h = Node({side, side, std::vector<float>(side * side, 50.f), std::vector<float>(side * side, 1.f)});
        h.Run();
        const double level = 12;  // 50 / 4
        // Sum variance: psum sits at k = 2 * level, two below the sum average.
        ExpectFeatures(Row(h, 0), {1, 0, kNaN, 0, 1, 2 * (level + 1), 4, 0, 0, 0, 0, kNaN, 0}, 1e-6);
    }
}

// ----------------------------------------------------------------- levels outside the matrix

TEST(PHaralickLevels, OutOfRangeValuesSaturateAndNaNIsLeftOut) {
    const float inf = std::numeric_limits<float>::infinity();
    // G = 64: 300, 1e30, inf and their negatives land in level 63, as 255 does.
    for (float v : {300.f, 1e30f, inf, -300.f, -inf, 255.f}) {
        SCOPED_TRACE(v);
        const Features f = RunRow({v, 0}, {1, 1}, 1, 0);
        EXPECT_EQ(f[1], 63.0 * 63.0);  // contrast of the pair (63, 0)
        EXPECT_EQ(f[5], 65.0);         // sum average (63 + 0 + 2)
    }
    // Negative values count by magnitude: -8 and 8 share a level.
    EXPECT_EQ(RunRow({-8, 8}, {1, 1}, 1, 0)[1], 0.0);
    // G = 100 (q = 2): 196 -> 98, 198 and 254 -> 99 (clamped from 127).
    EXPECT_EQ(RunRow({254, 196}, {1, 1}, 1, 0, 100)[1], 1.0);
    EXPECT_EQ(RunRow({254, 198}, {1, 1}, 1, 0, 100)[1], 0.0);
    // G = 256 (q = 1): 256 -> 255.  G = 1: every value is level 0.
    EXPECT_EQ(RunRow({0, 256}, {1, 1}, 1, 0, 256)[1], 255.0 * 255.0);
    EXPECT_EQ(RunRow({0, 255, 1000}, {1, 1, 1}, 1, 0, 1)[5], 2.0);
    // NaN takes no part: of (0, NaN), (NaN, 4), (4, 8) only the last pair counts.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    ExpectFeatures(RunRow({0, nan, 4, 8}, {1, 1, 1, 1}, 1, 0), {1, 1, kNaN, 1, 0.5, 5, 4, 0, 0, 0, 0, kNaN, 0}, 1e-6);
}

TEST(PHaralickLevels, WideGreyRangeAgainstReference) {
    const Scene s = RandomScene(3u, true);
    for (int G : {64, 100, 3}) {
        SCOPED_TRACE(G);
        auto h = Node(s, 0, 0, G);
        h.Run();
        for (int label : {1, 2}) {
            Features want = RefFeatures(RefPairs(s, label, 0, 0, G), G);
            for (double& v : want) v = static_cast<float>(v);
            ExpectFeatures(Row(h, label - 1), want, 1e-5);
        }
    }
}

// ----------------------------------------------------------------- run messages

TEST(PHaralickRun, InputChecksInOrderWithSourceLocation) {
    auto grey = [] { return test::FilledImage(3, 3, 1.f); };
    auto byte = [] { return std::make_unique<CImage>(IMAGE_GREY_8, CSize(3, 3, 1)); };
    struct Case {
        std::function<std::unique_ptr<CImage>()> in0, in1;
        const char* message;
    };
    const std::vector<Case> cases = {
        {nullptr, nullptr, "(feature plugins) Haralick::Run. First input image is NULL"},
        {nullptr, byte, "(feature plugins) Haralick::Run. First input image is NULL"},
        {byte, nullptr, "(feature plugins) Haralick::Run The first input image is not of type IMAGE_GREY_F "},
        {grey, nullptr, "(feature plugins) Haralick::Run: Second input image is NULL"},
        {grey, byte, "(feature plugins) Haralick::Run The second input image is not of type IMAGE_GREY_F "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        NodeHarness h(new CPHaralick());
        if (c.in0) h.Connect(0, c.in0());
        if (c.in1) h.Connect(1, c.in1());
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Message(), c.message);
        ASSERT_NE(e.SourceLocation(), nullptr);
        EXPECT_STREQ(e.SourceLocation()->function, "void __cdecl KELO::CPHaralick::Run(void)");
        EXPECT_TRUE(std::string(e.SourceLocation()->file).ends_with("PHaralick.cpp"));
        EXPECT_EQ(e.SourceLocation()->object, nullptr);
        EXPECT_GT(e.SourceLocation()->line, 0);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
    }
}

TEST(PHaralickRun, EmptyLabelImageDependsOnVerbose) {
    const Scene empty{4, 3, std::vector<float>(12, 5.f), std::vector<float>(12, 0.f)};
    auto quiet = Node(empty);
    EXPECT_EQ(quiet.RunCapturingStdout(), "");
    EXPECT_EQ(quiet.Matrix().Size(), CSize(kF, 0, 1));
    ASSERT_EQ(quiet.Values().Size(), static_cast<std::size_t>(kF));
    for (const auto& inner : quiet.Values().Vector()) EXPECT_EQ(dynamic_cast<const CValueVector&>(*inner).Size(), 0u);

    auto loud = Node(empty, 0, 0, 64, true);
    // A run that succeeded before keeps its outputs when the next one fails.
    loud.SetParameter("verbose", new CValueBool(false));
    loud.Run();
    const CValue* before = loud.Node().StackOutput(0);
    loud.SetParameter("verbose", new CValueBool(true));
    const CException e = test::CatchException([&] { loud.RunCapturingStdout(); });
    EXPECT_EQ(e.Message(), "(feature plugins) Haralick::Run The number of regions is zero!!");
    ASSERT_NE(e.SourceLocation(), nullptr);
    EXPECT_STREQ(e.SourceLocation()->function, "void __cdecl KELO::CPHaralick::Run(void)");
    EXPECT_EQ(loud.Node().StackOutput(0), before);
}

TEST(PHaralickRun, VerboseReportsRegionsButNotTheirNumber) {
    Scene s = RandomScene(5u, false);
    auto h = Node(s, 0, 0, 64, true);
    EXPECT_EQ(h.RunCapturingStdout(),
              "There are 3 non-empty regions. \n"
              "Warning: There are 1 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");
}

// ----------------------------------------------------------------- parameters

TEST(PHaralickParameters, ReadOrderAndValidation) {
    auto param = [](CPHaralick& n, const char* key) {
        return test::Setup(n)->Entry(std::string("parameters/") + key)->Long();
    };
    for (int bad : {0, -5, 257}) {
        SCOPED_TRACE(bad);
        CPHaralick node;
        node.Parameters().SetEntry("verbose", new CValueBool(true));
        node.Parameters().SetEntry("m_dx", new CValueLong(3));
        node.Parameters().SetEntry("m_glcm_size", new CValueLong(bad));
        const CException e = test::CatchException([&] { node.ReadParameters(); });
        EXPECT_EQ(e.Location(), "(feature plugins) Haralick::Run");
        EXPECT_EQ(e.Message(), bad > 0 ? "m_glcm_size has to be <= 256" : "m_glcm_size has to be > 0");
        EXPECT_EQ(e.SourceLocation(), nullptr);
        // verbose was read before, m_dx after the check; the refused size is not kept.
        EXPECT_TRUE(test::Setup(node)->Entry("parameters/verbose")->Bool());
        EXPECT_EQ(param(node, "m_dx"), 0);
        EXPECT_EQ(param(node, "m_glcm_size"), 64);
    }
    CPHaralick node;
    node.Parameters().SetEntry("m_glcm_size", new CValueLong(16));
    node.Parameters().SetEntry("m_dx", new CValueLong(2));
    node.Parameters().SetEntry("m_dy", new CValueLong(-1));
    node.ReadParameters();
    EXPECT_EQ(param(node, "m_glcm_size"), 16);
    EXPECT_EQ(param(node, "m_dx"), 2);
    EXPECT_EQ(param(node, "m_dy"), -1);
    // Values of another type are ignored, also a size that would be refused.
    node.Parameters().SetEntry("m_glcm_size", new CValueDouble(0.0));
    node.Parameters().SetEntry("m_dx", new CValueDouble(5.0));
    node.Parameters().SetEntry("m_dy", new CValueString("7"));
    node.ReadParameters();
    EXPECT_EQ(param(node, "m_glcm_size"), 16);
    EXPECT_EQ(param(node, "m_dx"), 2);
    EXPECT_EQ(param(node, "m_dy"), -1);
    // The size reaches the quantiser: grey 0 and 16 are levels 0 and 1 with G = 16.
    EXPECT_EQ(RunRow({0, 16}, {1, 1}, 1, 0, 16)[1], 1.0);
    EXPECT_EQ(RunRow({0, 16}, {1, 1}, 1, 0)[1], 16.0);
}

// ----------------------------------------------------------------- setup description

TEST(PHaralickSetup, DescriptionTexts) {
    CPHaralick node;
    auto s = test::Setup(node);
    std::vector<std::string> keys;
    for (const auto& [k, v] : s->Entries()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"pluginType", "parameters", "inputs", "outputs", "PluginSubType",
                                              "FeatureNames", "description", "__zorvatDocumentation"}));
    EXPECT_EQ(test::Text(*s, "pluginType"), "image");
    EXPECT_EQ(test::Text(*s, "PluginSubType"), "HaralickFeaturePlugin");
    EXPECT_EQ(test::Text(*s, "__zorvatDocumentation"), "%KELODIR%/doc/zorvat/html/features/PHaralick/index.html");

    const auto& params = dynamic_cast<const CValueMap&>(*s->Entry("parameters"));
    ASSERT_EQ(params.Size(), 4u);
    const char* names[] = {"verbose", "m_dx", "m_dy", "m_glcm_size"};
    const EValueType types[] = {EValueType::Bool, EValueType::Long, EValueType::Long, EValueType::Long};
    const long values[] = {0, 0, 0, 64};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(params.Entries()[i].first, names[i]);
        EXPECT_EQ(params.Entries()[i].second->Type(), types[i]);
        EXPECT_EQ(params.Entries()[i].second->Long(), values[i]);
    }
    EXPECT_EQ(test::MetaText(*s, "parameters/m_dx", "desc"),
              "The type of this parameter is of type long. Horizontal component of the displacement operator.");
    EXPECT_EQ(test::MetaText(*s, "parameters/m_dy", "desc"),
              "The type of this parameter is of type long. Vertical component of the displacement operator.");
    EXPECT_EQ(test::MetaText(*s, "parameters/verbose", "desc"),
              "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set "
              "to \\a false.");
    EXPECT_EQ(test::MetaText(*s, "parameters/m_glcm_size", "desc"),
              "The type of this parameter is of type long. Resolution of the gray level co-occurence matrix,\ne.g. 16 "
              "<= \\a m_glcm_size <= 256\n");

    EXPECT_EQ(test::MetaText(*s, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(test::MetaText(*s, "inputs/1", "label"), "Label Image");
    for (const char* in : {"inputs/0", "inputs/1"}) EXPECT_FALSE(s->Entry(in)->MetaIfAny()->Entry("optional")->Bool());
    EXPECT_EQ(test::MetaText(*s, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(test::MetaText(*s, "outputs/1", "label"), "Calculated features as CValueVector");

    const std::string d = test::Text(*s, "description");
    EXPECT_TRUE(d.starts_with(
        "Computes the gray level co-occurence matrix and the resulting 2nd order statistics of an image.\n"));
    for (const char* part :
         {"INPUT 0\nFirst input image, must be of type IMAGE_GREY_F\n", "INPUT 1\nSecond input label image.\n",
          "OUTPUT 1\nValue vector with the same information.\n",
          "PARAMETER m_dx\nThe type of this parameter is of type long. Horizontal",
          "PARAMETER m_glcm_size\nThe type of this parameter is of type long. Resolution"})
        EXPECT_NE(d.find(part), std::string::npos) << part;

    const char* featureNames[kF] = {"Angular second moment", "Contrast", "Correlation", "Variance",
                                    "Inverse Difference Moment", "Sum average", "Sum Variance", "Sum entropy",
                                    "Entropy", "Difference variance", "Difference Entropy",
                                    "Information measure of correlation 1", "Information measure of correlation 2"};
    const auto& fn = dynamic_cast<const CValueVector&>(*s->Entry("FeatureNames"));
    ASSERT_EQ(fn.Size(), static_cast<std::size_t>(kF));
    // Output 1 names its features the same way, but with "Angular second Moment".
    auto h = Node(RandomScene(1u, false));
    h.Run();
    for (int i = 0; i < kF; ++i) {
        EXPECT_EQ(fn.Vector()[i]->String(), featureNames[i]);
        EXPECT_EQ(test::MetaText(h.Values(), std::to_string(i), "FeatureName"),
                  i == 0 ? "Angular second Moment" : featureNames[i]);
    }
    // The registry creates the node under its name and lists it under key 1.
    std::unique_ptr<CPNode> made(registry::Create("Haralick"));
    EXPECT_NE(dynamic_cast<CPHaralick*>(made.get()), nullptr);
    std::unique_ptr<CValueVector> list(registry::List());
    ASSERT_NE(list->Entry(1), nullptr);
    EXPECT_EQ(list->Entry(1)->String(), "Haralick");
}
