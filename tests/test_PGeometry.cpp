#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <tuple>

#include "PGeometry.h"
#include "TestSupport.h"

using namespace KELO;
using V = std::vector<double>;

namespace {
constexpr double kPi = std::numbers::pi;
const char* const kLocation = "(feature plugins) Geometry::Run";

// Each column within a relative tol of want; NaN exactly where want is NaN.
void Expect(const V& got, const V& want, double tol = 1e-12) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t c = 0; c < got.size(); ++c)
        if (std::isnan(want[c])) EXPECT_TRUE(std::isnan(got[c])) << "column " << c << " = " << got[c];
        else EXPECT_NEAR(got[c], want[c], tol * std::max(1.0, std::abs(want[c]))) << "column " << c;
}
// ComputeRegion on a mask given as rows of text: '#' 1.0, 'n' NaN, else 0.0.
V Compute(const std::vector<std::string>& rows) {
    std::vector<float> px;
    for (const auto& r : rows)
        for (char c : r) px.push_back(c == '#' ? 1.0f : c == 'n' ? NAN : 0.0f);
    V f(8, 0.0);
    CPGeometry().ComputeRegion(test::FloatImage(int64_t(rows[0].size()), int64_t(rows.size()), px).get(), f);
    return f;
}
// Independent reference: centred moments from exact integer sums, eigenvalues in
// closed form, orientation as half the angle of (a - c, 2b), slope as covariance
// over variance, border as the number of pixel edges between region and rest.
V Reference(const std::function<bool(int64_t, int64_t)>& in, int64_t W, int64_t H) {
    int64_t n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, edges = 0;
    for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x)
            if (in(x, y)) {
                n++, sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y;
                edges += !in(x - 1, y) + !in(x + 1, y) + !in(x, y - 1) + !in(x, y + 1);
            }
    if (n == 0) return {0, 0, 0, 0, 0, 0, NAN, NAN};
    const int64_t A = n * sxx - sx * sx, C = n * syy - sy * sy, B = n * sxy - sx * sy;
    const double nn = double(n) * double(n), a = A / nn, c = C / nn, b = B / nn;
    const double root = std::sqrt((a - c) * (a - c) / 4 + b * b);
    const double l1 = std::sqrt((a + c) / 2 + root), l2 = std::sqrt(std::max(0.0, (a + c) / 2 - root));
    return {double(n), l1, l2, A == C ? kPi / 4 : 0.5 * std::atan2(2 * b, a - c), (l1 - l2) / (l1 + l2 + 0.1),
            double(edges), l1 * l2 / n, A == 0 ? NAN : double(B) / double(A)};
}
}  // namespace

TEST(PGeometry, RunMatchesReferencePerLabel) {
    // Plane 0: two turned ellipses, label 3 scattered over both boxes, label 4 in
    // the last pixel, label 5 only as 5.5 (never equal to 5.0). Label 6 only in
    // plane 1. The 8-bit grey image is accepted and not read.
    const int64_t W = 40, H = 21;
    std::vector<float> lab(2 * W * H, 0.0f);
    std::mt19937 rng(7);
    for (int64_t i = 0; i < W * H; ++i) {
        const double x = double(i % W), y = double(i / W - 10);
        for (auto [l, cx, t] : {std::tuple{1, 10, kPi / 6}, std::tuple{2, 30, -1.13}}) {
            const double u = (x - cx) * std::cos(t) + y * std::sin(t), v = y * std::cos(t) - (x - cx) * std::sin(t);
            if (u * u / 64 + v * v / 7 <= 1) lab[i] = float(l);
        }
        if (lab[i] == 0 && rng() % 6 == 0) lab[i] = 3;
    }
    lab[W * H - 1] = 4, lab[0] = lab[W] = 5.5f, lab[W * H + 3] = 6;
    auto grey = std::make_unique<CImage>(IMAGE_GREY_8, CSize(W, H, 2));
    for (int64_t i = 0; i < 2 * W * H; ++i) grey->Pixels<uint8_t>()[i] = uint8_t(rng());
    test::NodeHarness h(new CPGeometry());
    h.Connect(0, std::move(grey));
    h.Connect(1, test::FloatImage(W, H, lab, 2));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(8, 6, 1));
    for (int r = 0; r < 6; ++r) {
        const std::vector<float> row = test::MatrixRow(h, r);
        Expect(V(row.begin(), row.end()), Reference([&](int64_t x, int64_t y) {
            return x >= 0 && y >= 0 && x < W && y < H && lab[y * W + x] == float(r + 1); }, W, H), 1e-5);
    }
}

TEST(PGeometry, ComputeRegionOnHandComputedMasks) {
    Expect(Compute({"#"}), {1, 0, 0, kPi / 4, 0, 4, 0, NAN});
    for (int L : {2, 7}) {  // lines: variance (L^2 - 1) / 12 along them
        const double s = std::sqrt((L * L - 1) / 12.0), e = s / (s + 0.1);
        Expect(Compute({std::string(L, '#')}), {double(L), s, 0, 0, e, 2.0 * (L + 1), 0, 0});
        Expect(Compute(std::vector<std::string>(L, "#")), {double(L), s, 0, kPi / 2, e, 2.0 * (L + 1), 0, NAN});
    }
    const double l1 = std::sqrt(15.0 / 12), l2 = std::sqrt(8.0 / 12), d = std::sqrt(2.5), h = std::sqrt(0.5);
    Expect(Compute({"####", "####", "####"}), {12, l1, l2, 0, (l1 - l2) / (l1 + l2 + 0.1), 14, l1 * l2 / 12, 0});
    // Equal variances give pi/4 whatever the covariance; corner contacts count as separate pixels.
    Expect(Compute({"...#", "..#.", ".#..", "#..."}), {4, d, 0, kPi / 4, d / (d + 0.1), 16, 0, -1});
    Expect(Compute({"#.", ".n"}), {2, h, 0, kPi / 4, h / (h + 0.1), 8, 0, 1});  // a NaN pixel is foreground
    std::string wide(46342, '.');  // squared coordinates beyond 32 bits stay exact
    wide.front() = wide.back() = '#';
    Expect(Compute({wide}), {2, 23170.5, 0, 0, 23170.5 / 23170.6, 8, 0, 0});

    // Contract: a null mask changes nothing, a short vector and a non-float mask throw.
    V f(8, 3.0), shortVec(3, 0.0);
    CPGeometry().ComputeRegion(nullptr, f);
    EXPECT_EQ(f, V(8, 3.0));
    EXPECT_THROW(CPGeometry().ComputeRegion(test::FilledImage(2, 1, 1.0f).get(), shortVec), std::out_of_range);
    const CImage bytes(IMAGE_GREY_8, CSize(4, 4, 1));
    const CException e = test::CatchException([&] { CPGeometry().ComputeRegion(&bytes, f); });
    EXPECT_EQ(e.Location(), kLocation);
    EXPECT_EQ(e.Message(), "The mask image is not of type IMAGE_GREY_F");
}

TEST(PGeometry, ChecksInTheirOrderAndNoRegions) {
    using frame::Check;
    const std::string greyType = "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8";
    test::ExpectInputChecks([] { return new CPGeometry(); }, kLocation,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::LabelNull, "Second input image is NULL"}, {Check::GreyType, greyType},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    // Input 0 of a wrong type; input 1 missing, holding no image (the host's failure), or of a wrong type too.
    const std::string want[] = {"Second input image is NULL", "the value holds no image", greyType};
    for (int k = 0; k < 3; ++k) {
        test::NodeHarness h(new CPGeometry());
        h.Connect(0, std::make_unique<CImage>(IMAGE_GREY_16, CSize(2, 2, 1)));
        if (k == 1) h.ConnectEmpty(1);
        if (k == 2) h.Connect(1, std::make_unique<CImage>(IMAGE_GREY_16, CSize(2, 2, 1)));
        EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(), want[k]);
    }
    // "empty_image_exception" false: a warning, an 8 x 0 matrix and eight empty named vectors.
    test::NodeHarness h(new CPGeometry());
    h.Connect(0, test::FilledImage(3, 2, 1.0f));
    h.Connect(1, test::FilledImage(3, 2, 0.5f));
    h.SetParameter("empty_image_exception", new CValueBool(false));
    h.SetParameter("verbose", new CValueBool(true));
    // The run goes on through the frame's summary, with no region.
    EXPECT_EQ(h.RunCapturingStdout(), "The number of regions is: 0\nWARNING! : feature::Geometry::Run The number of "
                                      "regions is zero!\nThere are 0 non-empty regions. \n");
    EXPECT_EQ(h.Matrix().Size(), CSize(8, 0, 1));
    EXPECT_EQ(h.Values().Size(), 8u);
    const auto* last = dynamic_cast<const CValueVector*>(h.Values().Entry(7));
    EXPECT_TRUE(last && last->Size() == 0);
}
