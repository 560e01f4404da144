#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "PShadow.h"
#include "TestSupport.h"

using namespace KELO;
using V = std::vector<double>;

namespace {
const char* const kLocation = "(feature plugins) Shadow::Run";

void Expect(const V& got, const V& want, double tol = 1e-5) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t c = 0; c < got.size(); ++c)
        if (std::isnan(want[c])) EXPECT_TRUE(std::isnan(got[c])) << "column " << c;
        else EXPECT_NEAR(got[c], want[c], tol * std::max(1.0, std::abs(want[c]))) << "column " << c;
}

// The smaller eigenvalue of the scatter matrix of the points (p, g[p + 4]) about
// their means, from its trace and determinant; 0 when a value is 0.
double Straightness(const double* g) {
    double m = 0, S = 0, T = 0;
    for (int k = 0; k < 9; ++k) {
        if (g[k] == 0) return 0;
        m += g[k] / 9;
    }
    for (int k = 0; k < 9; ++k) S += (g[k] - m) * (g[k] - m), T += (k - 4) * (g[k] - m);
    const double tr = 60 + S, det = 60 * S - T * T;
    return tr / 2 - std::sqrt(std::max(0.0, tr * tr / 4 - det));
}

// Independent reference over the box of `label`: side means in double per
// distance, filled outwards from the nearer distance, then the two windows.
V Reference(const std::vector<float>& lab, const std::vector<float>& grey, int64_t W, float label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(lab, W, label);
    V f(12, 0.0);
    if (x1 < 0) return f;
    for (int side = 0; side < 2; ++side)
        for (int d = 1; d <= 5; ++d) {
            double sum = 0, n = 0;
            for (int64_t y = y0; y <= y1; ++y)
                for (int64_t x = x0; x <= x1; ++x) {
                    const int64_t o = side == 0 ? x - d : x + d;
                    if (lab[y * W + x] == label && o >= x0 && o <= x1 && lab[y * W + o] != label)
                        sum += grey[y * W + o], n++;
                }
            f[5 * side + d - 1] = n ? sum / n : 0;
            if (d > 1 && f[5 * side + d - 1] == 0) f[5 * side + d - 1] = f[5 * side + d - 2];
        }
    f[10] = Straightness(&f[0]);
    f[11] = Straightness(&f[1]);
    return f;
}

// ComputeRegion on one row of mask flags and grey values.
V ComputeRow(const std::vector<int>& mask, const std::vector<float>& grey) {
    std::vector<float> m(mask.begin(), mask.end());
    V f(12, 7.0);
    CPShadow().ComputeRegion(test::FloatImage(int64_t(grey.size()), 1, grey).get(),
                             test::FloatImage(int64_t(m.size()), 1, m).get(), f);
    return f;
}
}  // namespace

TEST(PShadow, RunMatchesReferencePerLabel) {
    // Blobs with ragged edges next to each other (other labels count as outside),
    // holes, one region at the image border, one a single column (nothing
    // beside it in its box), label 9 missing.
    const int64_t W = 70, H = 40;
    std::vector<float> lab(W * H, 0.0f), grey(W * H);
    std::mt19937 rng(5);
    for (auto& g : grey) g = 1.0f + float(rng() % 500) / 2.0f;
    const struct { int l; int cx, cy, r; } blobs[] = {{1, 10, 10, 8}, {2, 22, 12, 6}, {3, 45, 20, 12},
                                                       {4, 64, 35, 9}, {5, 10, 30, 4},  {6, 30, 32, 5}};
    for (const auto& b : blobs)
        for (int64_t y = 0; y < H; ++y)
            for (int64_t x = 0; x < W; ++x) {
                const int64_t dx = x - b.cx, dy = y - b.cy;
                if (dx * dx + dy * dy <= b.r * b.r + int(rng() % 3) * b.r && rng() % 9) lab[y * W + x] = float(b.l);
            }
    for (int64_t y = 2; y < 9; ++y) lab[y * W + 40] = 7;
    lab[W * H - 2] = 10;
    test::NodeHarness h(new CPShadow());
    h.Connect(0, test::FloatImage(W, H, grey));
    h.Connect(1, test::FloatImage(W, H, lab));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(12, 10, 1));
    for (int r = 0; r < 10; ++r) {
        const std::vector<float> got = test::MatrixRow(h, r);
        Expect(V(got.begin(), got.end()), Reference(lab, grey, W, float(r + 1)), 1e-4);
    }
    EXPECT_GT(h.At(10, 2), 0.0f);  // a complete window somewhere
}

TEST(PShadow, SideMeansAndGapFilling) {
    // A filled rectangle has no outside pixel in its box.
    Expect(ComputeRow({1, 1, 1, 1}, {5, 6, 7, 8}), V(12, 0.0));
    // Outside pixels only to the right: the left means, and so column 10, are 0;
    // column 11's window holds them too.
    Expect(ComputeRow({1, 1, 0, 0, 0}, {1, 1, 4, 6, 8}), {0, 0, 0, 0, 0, 4, 5, 7, 8, 8, 0, 0});
    // Row "O R O R": on the left, distance 1 sees pixels 0 and 2, distance 2 nothing
    // (filled from distance 1), distance 3 pixel 0 from pixel 3, distances 4 and 5
    // filled from 3. On the right only pixel 2 at distance 1, filled outwards.
    const V f = ComputeRow({0, 1, 0, 1}, {10, 99, 30, 99});
    Expect(f, {20, 20, 10, 10, 10, 30, 30, 30, 30, 30, Straightness(&f[0]), Straightness(&f[1])});
    EXPECT_GT(f[10], 0.0);
    // Pixels of other values in the mask are region pixels; a NaN mask value too.
    const double steps[10] = {2, 2, 2, 2, 2, 6, 6, 6, 6, 6};
    Expect(ComputeRow({0, 3, 0}, {2, 50, 6}),
           {2, 2, 2, 2, 2, 6, 6, 6, 6, 6, Straightness(&steps[0]), Straightness(&steps[1])});
    const std::vector<float> nanMask{0, NAN, 0};
    V g(12, 0.0);
    CPShadow().ComputeRegion(test::FloatImage(3, 1, {2, 50, 6}).get(), test::FloatImage(3, 1, nanMask).get(), g);
    EXPECT_EQ(g[0], 2.0);
    EXPECT_EQ(g[5], 6.0);
}

TEST(PShadow, LineFitWindows) {
    const double equal[9] = {3, 3, 3, 3, 3, 3, 3, 3, 3}, line[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(CPShadow::LineFit(equal), 0.0);
    EXPECT_EQ(CPShadow::LineFit(line), 0.0);
    const double bent[9] = {1, 1, 1, 1, 1, 1, 1, 1, 10}, holed[9] = {1, 2, 3, 0, 5, 6, 7, 8, 9};
    EXPECT_NEAR(CPShadow::LineFit(bent), Straightness(bent), 1e-12);
    EXPECT_GT(CPShadow::LineFit(bent), 1.0);
    EXPECT_EQ(CPShadow::LineFit(holed), 0.0);
    const double withNan[9] = {1, 2, 3, NAN, 5, 6, 7, 8, 9};  // a NaN is a value, not a hole
    EXPECT_TRUE(std::isnan(CPShadow::LineFit(withNan)));

    // Our choice for column 11: with the left mean at distance 1 exactly 0 (grey
    // values 0 there), column 10's window is incomplete and measures 0, while
    // column 11 measures its own complete window, columns 1-9.
    // Row: pixel 0 (outside, grey 7) at distance 2 of pixel 2, pixel 1 (outside,
    // grey 0) at distance 1; right of the region grey values 4 .. 8.
    const V f = ComputeRow({0, 0, 1, 0, 0, 0, 0, 0}, {7, 0, 50, 4, 5, 6, 7, 8});
    ASSERT_EQ(f[0], 0.0);
    EXPECT_EQ(f[1], 7.0);
    EXPECT_EQ(f[10], 0.0);
    const double window[9] = {7, 7, 7, 7, 4, 5, 6, 7, 8};
    EXPECT_NEAR(f[11], Straightness(window), 1e-9);
    EXPECT_GT(f[11], 0.1);
}

TEST(PShadow, ComputeRegionContract) {
    const auto grey = test::FilledImage(4, 3, 2.0f), mask = test::FilledImage(4, 3, 1.0f);
    V f(12, 5.0);
    CPShadow().ComputeRegion(grey.get(), nullptr, f);
    EXPECT_EQ(f, V(12, 0.0));
    // Crops of another width or height, or a grey-value crop without a plane
    // next to a mask with outside pixels: zeros, nothing read past either image.
    mask->Pixels<float>()[1] = 0.0f;
    for (const auto& other :
         {test::FilledImage(3, 3, 2.0f), test::FilledImage(4, 2, 2.0f), test::FilledImage(4, 3, 2.0f, 0)}) {
        f.assign(12, 5.0);
        CPShadow().ComputeRegion(other.get(), mask.get(), f);
        EXPECT_EQ(f, V(12, 0.0));
    }
    V shortVec(11, 0.0);
    EXPECT_THROW(CPShadow().ComputeRegion(grey.get(), mask.get(), shortVec), std::out_of_range);
    const CImage bytes(IMAGE_GREY_8, CSize(4, 3, 1));
    const CException e = test::CatchException([&] { CPShadow().ComputeRegion(&bytes, mask.get(), f); });
    EXPECT_EQ(e.Location(), kLocation);
    EXPECT_EQ(e.Message(), "The grey-value crop is not of type IMAGE_GREY_F");
    EXPECT_EQ(test::CatchException([&] { CPShadow().ComputeRegion(grey.get(), &bytes, f); }).Message(),
              "The mask image is not of type IMAGE_GREY_F");
}

TEST(PShadow, ChecksInTheirOrderAndEightBitInput) {
    test::ExpectUsualInputChecks([] { return new CPShadow(); }, "Shadow");
    // 8-bit grey values count as their float values.
    const std::vector<float> lab{0, 0, 1, 1, 0, 0, 0, 2, 0, 1, 1, 0};
    std::vector<float> grey;
    for (int i = 0; i < 12; ++i) grey.push_back(float(200 + i));
    // (2, 1) left of (3, 1); (1, 0) lies outside the box.
    EXPECT_EQ(test::RunMatrix(new CPShadow(), 6, grey, lab)[0], 208.0f);
    test::ExpectByteGreyLikeFloat([] { return new CPShadow(); }, 6, grey, lab);
}
