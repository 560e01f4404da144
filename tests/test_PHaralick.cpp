#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "PHaralick.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<double>;

namespace {
constexpr int kF = 13;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Scene {
    int W, H;
    std::vector<float> grey, labels;
};

// The features of one label from their definitions: pairs over the label's box
// (first pixel in the label, partner anywhere in the box), then every sum over
// the whole G x G matrix. Levels: trunc(|v / q|), q = 256 div G, clamped to G - 1.
F Reference(const Scene& s, int label, int dx, int dy, int G) {
    auto level = [G](float v) {
        const double f = std::fabs(static_cast<double>(v) / (256 / G));
        return std::isnan(v) ? -1 : f >= G ? G - 1 : static_cast<int>(f);
    };
    auto in = [&](int x, int y) { return static_cast<int>(s.labels[y * s.W + x]) == label; };
    int x0 = s.W, x1 = -1, y0 = s.H, y1 = -1;
    for (int y = 0; y < s.H; ++y)
        for (int x = 0; x < s.W; ++x)
            if (in(x, y)) x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    const bool eight = dx == 0 && dy == 0;  // only pixels whose whole neighbourhood is in the box
    F p(G * G), px(G), py(G), ps(2 * G - 1), pd(G);
    double N = 0, S = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            for (int t = 0; t < (eight ? 9 : 1) && in(x, y); ++t) {
                const int u = x + (eight ? t % 3 - 1 : dx), v = y + (eight ? t / 3 - 1 : dy);
                const bool rim = x == x0 || x == x1 || y == y0 || y == y1;
                if ((eight && (t == 4 || rim)) || u < x0 || u > x1 || v < y0 || v > y1) continue;
                const int a = level(s.grey[y * s.W + x]), b = level(s.grey[v * s.W + u]);
                if (a < 0 || b < 0) continue;
                p[a * G + b] += 1, px[a] += 1, py[b] += 1, ps[a + b] += 1, pd[std::abs(a - b)] += 1, N += 1, S += a;
            }
    if (N == 0) return F(kF, 0.0);
    for (F* v : {&p, &px, &py, &ps, &pd})
        for (double& t : *v) t /= N;
    auto H = [](const F& v) {
        double h = 0;
        for (double t : v) h -= t > 0 ? t * std::log(t) : 0;
        return h;
    };
    double mx = 0, my = 0, md = 0, vx = 0, vy = 0, mu = S / N;
    for (int i = 0; i < G; ++i) mx += i * px[i], my += i * py[i], md += i * pd[i];
    for (int i = 0; i < G; ++i) vx += (i - mx) * (i - mx) * px[i], vy += (i - my) * (i - my) * py[i];
    double asm2 = 0, ab = 0, var = 0, idm = 0, hxy = 0, hxy1 = 0, hxy2 = 0;
    for (int a = 0; a < G; ++a)
        for (int b = 0; b < G; ++b) {
            const double q = p[a * G + b], m = px[a] * py[b];
            asm2 += q * q, ab += a * b * q, var += (b - mu) * (b - mu) * q, idm += q / (1.0 + (b - a) * (b - a));
            if (q > 0) hxy -= q * std::log(q);
            if (m > 0) hxy1 -= q * std::log(m), hxy2 -= m * std::log(m);
        }
    double contrast = 0, dvar = 0, sa = 0, svar = 0;
    for (int k = 0; k < G; ++k) contrast += k * k * pd[k], dvar += (k - md) * (k - md) * pd[k];
    for (int k = 0; k <= 2 * G - 2; ++k) sa += (k + 2) * ps[k];
    for (int k = 0; k <= 2 * G - 2; ++k) svar += (k - sa) * (k - sa) * ps[k];
    return {asm2, contrast, (ab - mx * my) / std::sqrt(vx * vy), var, idm, sa, svar, H(ps), hxy, dvar, H(pd),
            (hxy - hxy1) / std::max(H(px), H(py)), std::sqrt(1 - std::exp(-2 * std::fabs(hxy2 - hxy)))};
}

// NaN where a NaN is wanted, else within relTol (absolute below 1).
void ExpectFeatures(const F& got, const F& want, double relTol) {
    for (int i = 0; i < kF; ++i)
        EXPECT_TRUE(std::isnan(want[i]) ? std::isnan(got[i])
                                        : std::fabs(got[i] - want[i]) <= relTol * std::max(1.0, std::fabs(want[i])))
            << "feature " << i << ": " << got[i] << ", want " << want[i];
}

test::NodeHarness Node(const Scene& s, int dx = 0, int dy = 0, int G = 64, bool verbose = false) {
    test::NodeHarness h(new CPHaralick());
    h.Connect(0, test::FloatImage(s.W, s.H, s.grey));
    h.Connect(1, test::FloatImage(s.W, s.H, s.labels));
    for (auto [key, v] : {std::pair{"m_dx", dx}, {"m_dy", dy}, {"m_glcm_size", G}})
        h.SetParameter(key, new CValueLong(v));
    h.SetParameter("verbose", new CValueBool(verbose));
    return h;
}

// Runs the node on a scene; the features of region row r.
F Features(const Scene& s, int r = 0, int dx = 1, int dy = 0, int G = 64) {
    auto h = Node(s, dx, dy, G);
    h.Run();
    F f;
    for (int i = 0; i < kF; ++i) f.push_back(h.At(i, r));
    return f;
}

// 14 x 11 random grey values -50 .. 309; an irregular label 1, a label 2 touching
// it and the image corner, no label 3, a one-pixel label 4.
Scene RandomScene() {
    Scene s{14, 11, {}, std::vector<float>(14 * 11, 0.0f)};
    std::mt19937 rng(7u);
    for (int i = 0; i < s.W * s.H; ++i) s.grey.push_back(static_cast<float>(static_cast<int>(rng() % 360) - 50));
    for (int i = s.W; i < s.W * s.H; ++i) {  // row 0 holds only label 4
        const int x = i % s.W, y = i / s.W;
        s.labels[i] = (x - 5) * (x - 5) * 4 + (y - 4) * (y - 4) * 5 <= 90 ? 1 : x >= 7 && y >= 6 && (x + y) % 5 ? 2 : 0;
    }
    s.labels[12] = 4;
    return s;
}
}  // namespace

TEST(PHaralick, RegionsAgainstReference) {
    const Scene s = RandomScene();
    for (auto [dx, dy, G] : std::vector<std::array<int, 3>>{
             {0, 0, 64}, {0, 0, 100}, {0, 0, 3}, {1, 0, 64}, {-1, 2, 32}, {2, -1, 256}, {-3, -3, 8}, {20, 0, 64}}) {
        SCOPED_TRACE(testing::Message() << "dx " << dx << " dy " << dy << " G " << G);
        for (int label : {1, 2, 3, 4}) {  // label 3 does not occur
            F want = label == 3 ? F(kF, 0.0) : Reference(s, label, dx, dy, G);
            for (double& v : want) v = static_cast<float>(v);
            // Both rounded once from double to float: a float computation would not come this close.
            ExpectFeatures(Features(s, label - 1, dx, dy, G), want, 3e-7);
        }
    }
}

TEST(PHaralick, HandComputedAndDegenerateRegions) {
    // Pairs (0, 1) and (1, 0): px = py = (1/2, 1/2).
    ExpectFeatures(Features({3, 1, {0, 4, 0}, {1, 1, 1}}),
                   {0.5, 1, -1, 0.25, 0.5, 3, 4, 0, std::log(2.0), 0, 0, -1, std::sqrt(0.75)}, 1e-6);
    // No pairs: in a 2 x 2 region no pixel has its whole neighbourhood in the box.
    ExpectFeatures(Features({2, 2, {10, 20, 30, 40}, {1, 1, 1, 1}}, 0, 0), F(kF, 0.0), 0);
    // Uniform regions: one cell of probability 1 (level 12). With 9 x 9, N = 392 and
    // N * (1.0 / N) is not 1; the correlations must be 0/0 all the same.
    for (int side : {5, 9}) {
        const std::vector<float> grey(side * side, 50.f), labels(side * side, 1.f);
        ExpectFeatures(Features({side, side, grey, labels}, 0, 0), {1, 0, kNaN, 0, 1, 26, 4, 0, 0, 0, 0, kNaN, 0},
                       1e-6);
    }
    // Levels by magnitude, clamped to the top level; NaN takes part in no pair.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Features({2, 1, {-8, 8}, {1, 1}})[1], 0.0);
    for (float v : {300.f, 1e30f, inf, -inf, 255.f}) EXPECT_EQ(Features({2, 1, {v, 0}, {1, 1}})[1], 63.0 * 63.0) << v;
    ExpectFeatures(Features({4, 1, {0, nan, 4, 8}, {1, 1, 1, 1}}), {1, 1, kNaN, 1, 0.5, 5, 4, 0, 0, 0, 0, kNaN, 0},
                   1e-6);
}

TEST(PHaralick, RunChecksAndRegionReports) {
    using frame::Check;
    const std::string at = "(feature plugins) Haralick::Run";
    test::ExpectInputChecks([] { return new CPHaralick(); }, at,
                            {{Check::GreyNull, at + ". First input image is NULL"},
                             {Check::GreyType, at + " The first input image is not of type IMAGE_GREY_F "},
                             {Check::LabelNull, at + ": Second input image is NULL"},
                             {Check::LabelType, at + " The second input image is not of type IMAGE_GREY_F "}},
                            "");
    // No regions: empty outputs without verbose, an error with it.
    const Scene empty{4, 3, std::vector<float>(12, 5.f), std::vector<float>(12, 0.f)};
    auto quiet = Node(empty);
    quiet.Run();
    EXPECT_EQ(quiet.Matrix().Size(), CSize(kF, 0, 1));
    ASSERT_EQ(quiet.Values().Size(), static_cast<std::size_t>(kF));
    EXPECT_EQ(dynamic_cast<const CValueVector&>(*quiet.Values().Entry(12)).Size(), 0u);
    // Failures of Run carry the source location (an input check; no regions with verbose).
    test::NodeHarness none(new CPHaralick());
    auto loud = Node(empty, 0, 0, 64, true);
    for (test::NodeHarness* n : {&none, &loud}) {
        const CException e = test::CatchException([&] { n->RunCapturingStdout(); });
        EXPECT_EQ(e.Message(), at + (n == &loud ? " The number of regions is zero!!" : ". First input image is NULL"));
        ASSERT_NE(e.SourceLocation(), nullptr);
        EXPECT_STREQ(e.SourceLocation()->function, "void __cdecl KELO::CPHaralick::Run(void)");
    }
    // Verbose reports the regions but not their number.
    auto h = Node(RandomScene(), 0, 0, 64, true);
    EXPECT_TRUE(h.RunCapturingStdout().starts_with("There are 3 non-empty regions. \n"));
}

TEST(PHaralick, ReadParametersRefusesSizesOutside1To256) {
    for (int bad : {0, -5, 257}) {
        CPHaralick node;
        node.Parameters().SetEntry("verbose", new CValueBool(true));
        node.Parameters().SetEntry("m_glcm_size", new CValueLong(bad));
        node.Parameters().SetEntry("m_dx", new CValueLong(3));
        const CException e = test::CatchException([&] { node.ReadParameters(); });
        EXPECT_EQ(e.Location() + ": " + e.Message(), "(feature plugins) Haralick::Run: m_glcm_size has to be " +
                                                         std::string(bad > 0 ? "<= 256" : "> 0"));
        // verbose is read before the size, m_dx after it; a refused size is not kept.
        const auto p = test::Setup(node);
        EXPECT_TRUE(p->Entry("parameters/verbose")->Bool());
        EXPECT_EQ(p->Entry("parameters/m_dx")->Long(), 0);
        EXPECT_EQ(p->Entry("parameters/m_glcm_size")->Long(), 64);
    }
}
