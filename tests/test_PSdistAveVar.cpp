#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "PSdistAveVar.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
const char* const kLocation = "(feature plugins) SdistAveVar::Run";

test::NodeHarness RunOn(int64_t W, int64_t H, const std::vector<float>& grey, const std::vector<float>& labels,
                        int nFeatures = 20) {
    test::NodeHarness h(new CPSdistAveVar());
    h.Connect(0, FloatImage(W, H, grey)), h.Connect(1, FloatImage(W, H, labels));
    h.SetParameter("number_of_features", new CValueLong(nFeatures));
    h.Run();
    return h;
}

// The columns of one label from plain loops over the whole image, in single
// precision as the node defines them: moments of the pixels equal to the label,
// normal of the main axis, then every pixel of the label's box (whose pixels
// are those that truncate to the label) binned by half its distance.
std::vector<float> Reference(int64_t W, const std::vector<float>& grey, const std::vector<float>& lab, int label,
                             int nFeatures) {
    const auto [x0, y0, x1, y1] = test::LabelBox(lab, W, float(label));
    std::vector<float> out(nFeatures, 0.0f);
    if (x1 < 0) return out;
    int64_t n = 0;
    float sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x)
            if (lab[y * W + x] == float(label)) {
                const int64_t i = x - x0, j = y - y0;
                ++n, sx += float(i), sy += float(j), sxx += float(i * i), syy += float(j * j), sxy += float(i * j);
            }
    float mx = 0, my = 0, a = 0, b = 0, c = 0;
    if (n > 0) {
        mx = sx / float(n), my = sy / float(n);
        a = sxx / float(n) - mx * mx, b = sxy / float(n) - my * mx, c = syy / float(n) - my * my;
    }
    const float d = a - c;
    const float D = float(std::sqrt(double(d) * 0.25 * double(d) + double(b * b)));
    float ex = b != 0 ? b / D : a >= c ? 0.0f : 1.0f;
    float ey = b != 0 ? float(double(c - a) * 0.5 / double(D) - 1.0) : a >= c ? 1.0f : 0.0f;
    const float r = std::sqrt(ey * ey + ex * ex);
    ex /= r, ey /= r;
    const int bins = nFeatures / 2;
    std::vector<float> sum(bins), sq(bins), cnt(bins);
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x) {
            const float dist = std::abs((float(x - x0) - mx) * ex + (float(y - y0) - my) * ey);
            const int64_t k = int64_t(dist * 0.5f);
            if (k >= bins) continue;
            const float g = grey[y * W + x];
            sum[k] += g, sq[k] += g * g, cnt[k] += 1;
        }
    for (int k = 0; k < bins; ++k)
        if (cnt[k] > 0) out[2 * k] = sum[k] / cnt[k], out[2 * k + 1] = sq[k] / cnt[k] - out[2 * k] * out[2 * k];
    return out;
}
}  // namespace

TEST(PSdistAveVar, BranchPointsOfTheAxisOnHandWorkedRegions) {
    // Grey = 10 * row + column, so binning by rows and by columns differ.
    constexpr int64_t W = 24, H = 8;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    for (int64_t i = 0; i < W * H; ++i) grey[i] = float(10 * (i / W) + i % W);
    auto set = [&](int64_t x, int64_t y, float l) { lab[y * W + x] = l; };
    for (int64_t y = 0; y < 6; ++y)  // label 1: a 6 x 6 square, a = c and b = 0: the axis is horizontal
        for (int64_t x = 0; x < 6; ++x) set(x, y, 1);
    for (int64_t y = 0; y < 7; ++y) set(7, y, 2);      // label 2: a vertical line, a < c: the axis is vertical
    for (int64_t i = 0; i < 5; ++i) set(9 + i, i, 3);  // label 3: a diagonal, b != 0
    set(15, 3, 4);                                     // label 4: one pixel
    set(17, 0, 5.5f), set(17, 4, 5.5f);                // label 5: no pixel equals 5.0, box of 5 rows
    auto h = RunOn(W, H, grey, lab);
    auto col = [&](int label, int f) { return h.At(f, label - 1); };

    // Square: rows 1..4 lie within 2 of the axis (row 2.5), rows 0 and 5 at 2.5.
    float s = 0, q = 0;
    for (int y = 1; y <= 4; ++y)
        for (int x = 0; x < 6; ++x) s += float(10 * y + x), q += float(10 * y + x) * float(10 * y + x);
    EXPECT_EQ(col(1, 0), s / 24);
    EXPECT_EQ(col(1, 1), q / 24 - (s / 24) * (s / 24));
    EXPECT_EQ(col(1, 2), (0 + 1 + 2 + 3 + 4 + 5 + 50 + 51 + 52 + 53 + 54 + 55) / 12.0f);
    // Vertical line: every pixel on the axis, one bin of the whole column.
    EXPECT_EQ(col(2, 0), 37.0f);
    EXPECT_EQ(col(2, 2), 0.0f);
    // Diagonal: the axis is the diagonal itself; |x - y| <= 2 lies within 2 (bin 0),
    // |x - y| = 3 and 4 at 2.1 and 2.8 (bin 1).
    float near = 0, far = 0;
    int nn = 0, nf = 0;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) (std::abs(x - y) <= 2 ? (near += grey[y * W + 9 + x], ++nn) : (far += grey[y * W + 9 + x], ++nf));
    EXPECT_EQ(col(3, 0), near / float(nn));
    EXPECT_EQ(col(3, 2), far / float(nf));
    // One pixel: its value in bin 0 with variance 0, nothing else.
    EXPECT_EQ(col(4, 0), 45.0f);
    for (int f = 1; f < 20; ++f) EXPECT_EQ(col(4, f), 0.0f) << f;
    // No foreground: centre (0, 0), horizontal axis: the distance is the row in the box.
    EXPECT_EQ(col(5, 0), 17 + 10 / 2.0f);  // rows 0 and 1
    EXPECT_EQ(col(5, 2), 37 + 10 / 2.0f);  // rows 2 and 3
    EXPECT_EQ(col(5, 4), 57.0f);           // row 4
    EXPECT_EQ(col(5, 5), 0.0f);
    EXPECT_EQ(col(5, 6), 0.0f);
}

TEST(PSdistAveVar, RunMatchesPlainReferenceForEveryCount) {
    // A turned ellipse, a disc, a horizontal bar, scattered pixels over other boxes and
    // the image edge, an absent label, grey values far apart (variance rounding).
    constexpr int64_t W = 48, H = 36;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(11);
    for (float& g : grey) g = float(rng() % 100000) / 7.0f;
    for (int64_t i = 0; i < W * H; ++i) {
        const double x = double(i % W), y = double(i / W);
        const double u = (x - 14) * 0.8 + (y - 12) * 0.6, v = (y - 12) * 0.8 - (x - 14) * 0.6;
        if (u * u / 120 + v * v / 12 <= 1) lab[i] = 1;
        if ((x - 36) * (x - 36) + (y - 10) * (y - 10) <= 30) lab[i] = 2;
        if (y == 30 && x >= 4 && x < 40) lab[i] = 3;
        if (lab[i] == 0 && rng() % 9 == 0) lab[i] = 6;
    }
    for (int nf : {20, 21, 30, 1, 0}) {
        auto h = RunOn(W, H, grey, lab, nf);
        ASSERT_EQ(h.Matrix().Size(), CSize(nf, 6, 1));
        for (int l = 1; l <= 6; ++l) {
            EXPECT_EQ(test::MatrixRow(h, l - 1), Reference(W, grey, lab, l, nf)) << nf << " label " << l;
        }
        if (nf % 2 == 1) {  // the odd last column: no name in either place
            EXPECT_EQ(test::MetaText(h.Values(), std::to_string(nf - 1), "FeatureName"), "<missing>");
        }
        if (nf >= 2) {
            EXPECT_EQ(test::MetaText(h.Values(), "0", "FeatureName"), "Average");
            EXPECT_EQ(test::MetaText(h.Values(), std::to_string(nf / 2 * 2 - 1), "FeatureName"), "Variance");
        }
    }
}

TEST(PSdistAveVar, SinglePrecisionMomentsOfALongBand) {
    // A long, slightly tilted band: its float moment sums round (x^2 sums reach 10^10),
    // and with many pixels near the bin edges the float axis bins differently from
    // an exact one. The result must be that of the float recipe.
    constexpr int64_t W = 3000, H = 14;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(17);
    for (float& g : grey) g = float(rng() % 1000);
    for (int64_t i = 0; i < W * H; ++i)
        if (std::abs(double(i / W) - 3.0 - double(i % W) * 0.0023) < 3.2) lab[i] = 1;
    EXPECT_EQ(test::MatrixRow(RunOn(W, H, grey, lab, 12), 0), Reference(W, grey, lab, 1, 12));
}

TEST(PSdistAveVar, TiltedEllipsesWhoseBinsHangOnTheAxisSteps) {
    // Two ellipses on lattice directions (p, q), (p x + q y)^2 rb2 + (p y - q x)^2 ra2 <=
    // (p^2 + q^2) ra2 rb2 around their centre pixel. In each, a box pixel lies so near a
    // bin edge that it changes bins when the root D is taken in float instead of double
    // (the first) or when ey = (c - a) 0.5 / D - 1 is formed in float (the second).
    constexpr int64_t W = 50, H = 26;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(29);
    for (float& g : grey) g = float(rng() % 1000);
    struct Ellipse {
        int64_t cx, cy, p, q, ra2, rb2;
    };
    const Ellipse shapes[] = {{12, 12, 2, 3, 89, 21}, {36, 12, 3, 4, 100, 98}};
    for (int e = 0; e < 2; ++e) {
        const Ellipse& s = shapes[e];
        for (int64_t y = 0; y < H; ++y)
            for (int64_t x = 0; x < W; ++x) {
                const int64_t u = s.p * (x - s.cx) + s.q * (y - s.cy), v = s.p * (y - s.cy) - s.q * (x - s.cx);
                if (u * u * s.rb2 + v * v * s.ra2 <= (s.p * s.p + s.q * s.q) * s.ra2 * s.rb2)
                    lab[y * W + x] = float(e + 1);
            }
    }
    auto h = RunOn(W, H, grey, lab);
    for (int l = 1; l <= 2; ++l) EXPECT_EQ(test::MatrixRow(h, l - 1), Reference(W, grey, lab, l, 20)) << l;
}

TEST(PSdistAveVar, CountParameterChecksAndSetup) {
    CPSdistAveVar node;
    for (int bad : {-1, 65537, std::numeric_limits<int32_t>::min()}) {
        node.Parameters().SetEntry("number_of_features", new CValueLong(bad));
        const CException e = test::CatchException([&] { node.ReadParameters(); });
        EXPECT_EQ(e.Location(), kLocation);
        EXPECT_EQ(e.Message(), bad < 0 ? "number_of_features has to be >= 0" : "number_of_features has to be <= 65536");
    }
    auto s = test::Setup(node);  // refused values leave the default
    EXPECT_EQ(s->EntryLong("parameters/number_of_features", 0), 20);

    node.Parameters().SetEntry("number_of_features", new CValueLong(7));
    node.ReadParameters();
    s = test::Setup(node);
    EXPECT_EQ(s->EntryLong("parameters/number_of_features", 0), 7);
    EXPECT_EQ(dynamic_cast<const CValueVector&>(*s->Entry("FeatureNames")).Size(), 7u);
    test::ExpectTexts(*s,
                      {{"FeatureNames/0", "Average"}, {"FeatureNames/5", "Variance"}, {"FeatureNames/6", "<missing>"}});

    node.Parameters().SetEntry("number_of_features", new CValueLong(65536));  // the largest accepted
    node.ReadParameters();
    EXPECT_EQ(test::Setup(node)->EntryLong("parameters/number_of_features", 0), 65536);
}

TEST(PSdistAveVar, InputChecksInOrderAndComputeRegionContract) {
    using frame::Check;
    // 8-bit grey values cannot be read as floats: refused like any other type.
    test::ExpectInputChecks([] { return new CPSdistAveVar(); }, kLocation,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyImage, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelImage, "The label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!", IMAGE_GREY_8);

    // ComputeRegion from outside Run: null images change nothing, a mask beyond
    // the grey image and a short vector are refused.
    CPSdistAveVar node;
    CImage grey(IMAGE_GREY_F, CSize(4, 4, 1)), mask(IMAGE_GREY_F, CSize(3, 3, 1));
    std::vector<double> f(20, 3.0), shortVec(19);
    node.ComputeRegion(nullptr, &mask, 0, 0, f);
    node.ComputeRegion(&grey, nullptr, 0, 0, f);
    EXPECT_EQ(f, std::vector<double>(20, 3.0));
    for (const auto& [x0, y0] : std::vector<std::pair<int, int>>{{2, 0}, {0, 2}, {-1, 0}})
        EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey, &mask, x0, y0, f); }).Location(), kLocation);
    EXPECT_THROW(node.ComputeRegion(&grey, &mask, 1, 1, shortVec), std::out_of_range);
}
