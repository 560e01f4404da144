#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "PBorder.h"
#include "TestSupport.h"

using namespace KELO;
using V = std::vector<double>;

namespace {
const char* const kLocation = "(feature plugins) Border::Run";

void Expect(const V& got, const V& want, double tol = 1e-5) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t c = 0; c < got.size(); ++c)
        EXPECT_NEAR(got[c], want[c], tol * std::max(1.0, std::abs(want[c]))) << "column " << c;
}

// ComputeRegion on a mask given as rows of text ('#' region, anything else
// not) and grey values from grey(x, y).
V Compute(const std::vector<std::string>& rows, const std::function<float(int, int)>& grey) {
    const int w = int(rows[0].size()), h = int(rows.size());
    std::vector<float> m, g;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) m.push_back(rows[y][x] == '#' ? 1.0f : 0.0f), g.push_back(grey(x, y));
    V f(3, 9.0);
    CPBorder().ComputeRegion(test::FloatImage(w, h, g).get(), test::FloatImage(w, h, m).get(), f);
    return f;
}

// Independent reference over the box of `label`: exact integer moments, the
// main axis at half the angle of (a - c, 2b), no axis when a = c and b <= 0
// (the direction the node uses has length 0 there), a pixel within 1e-9 of
// the axis on neither side, side means in double, larger mean first.
V Reference(const std::vector<float>& lab, const std::vector<float>& grey, int64_t W, float label) {
    // The box of every pixel whose label truncates to this one; the mask holds the exact label.
    const auto [x0, y0, x1, y1] = test::LabelBox(lab, W, label);
    int64_t n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x)
            if (lab[y * W + x] == label) {
                const int64_t i = x - x0, j = y - y0;
                n++, sx += i, sy += j, sxx += i * i, syy += j * j, sxy += i * j;
            }
    if (n == 0) return {0, 0, 0};
    const int64_t A = n * sxx - sx * sx, C = n * syy - sy * sy, B = n * sxy - sx * sy;
    if (A == C && B <= 0) return {0, 0, 0};
    const double th = 0.5 * std::atan2(2.0 * double(B), double(A - C));
    const double mx = double(sx) / n, my = double(sy) / n;
    double s1 = 0, n1 = 0, s2 = 0, n2 = 0;
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x) {
            const double s = (x - x0 - mx) * std::sin(th) - (y - y0 - my) * std::cos(th);
            if (s > 1e-9) s1 += grey[y * W + x], n1++;
            if (s < -1e-9) s2 += grey[y * W + x], n2++;
        }
    const double m1 = n1 ? s1 / n1 : 0, m2 = n2 ? s2 / n2 : 0;
    return {std::abs(m1 - m2), std::max(m1, m2), std::min(m1, m2)};
}
}  // namespace

TEST(PBorder, RunMatchesReferencePerLabel) {
    // Turned ellipses of several sizes and angles, overlapping boxes so that
    // other labels and background fall on the sides; label 7 is a diagonal line
    // going down to the right (a = c, b > 0), label 8 one going up (a = c,
    // b < 0: no axis); label 9 only as 9.5 (no foreground); label 10 missing.
    const int64_t W = 90, H = 60;
    std::vector<float> lab(W * H, 0.0f), grey(W * H);
    std::mt19937 rng(11);
    for (auto& g : grey) g = float(rng() % 1000) / 4.0f;
    const struct { int l; double cx, cy, ra, rb, t; } ellipses[] = {
        {1, 15, 15, 12, 4, 0.3}, {2, 25, 20, 9, 3, -1.2}, {3, 60, 15, 14, 6, 2.0},
        {4, 70, 40, 5, 5, 0.0},  {5, 30, 45, 11, 2, 1.57}, {6, 50, 30, 7, 3, 0.8}};
    for (const auto& e : ellipses)
        for (int64_t y = 0; y < H; ++y)
            for (int64_t x = 0; x < W; ++x) {
                const double u = (x - e.cx) * std::cos(e.t) + (y - e.cy) * std::sin(e.t);
                const double v = (y - e.cy) * std::cos(e.t) - (x - e.cx) * std::sin(e.t);
                if (u * u / (e.ra * e.ra) + v * v / (e.rb * e.rb) <= 1) lab[y * W + x] = float(e.l);
            }
    for (int k = 0; k < 8; ++k) lab[(50 + k) * W + 5 + k] = 7, lab[(57 - k) * W + 15 + k] = 8;
    lab[W * H - 1] = 9.5f, lab[W * H - 3] = 11;
    test::NodeHarness h(new CPBorder());
    h.Connect(0, test::FloatImage(W, H, grey));
    h.Connect(1, test::FloatImage(W, H, lab));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(3, 11, 1));
    for (int r = 0; r < 11; ++r) {
        const V got{h.At(0, r), h.At(1, r), h.At(2, r)};
        Expect(got, Reference(lab, grey, W, float(r + 1)));
        EXPECT_GE(got[0], 0.0);
        EXPECT_GE(got[1], got[2]);
    }
    EXPECT_GT(h.At(0, 6), 0.0f);   // the diagonal has an axis
    EXPECT_EQ(h.At(1, 7), 0.0f);   // the other diagonal has none
    test::ExpectByteGreyLikeFloat([] { return new CPBorder(); }, W, test::RandomLevels(W * H, 256, 3), lab);
}

TEST(PBorder, WorkedShapesAndSideSplit) {
    const auto byRow = [](int, int y) { return float(10 * y + 1); };
    // No main axis: a single pixel, a filled square, a disc, a line going up to the right.
    for (const auto& rows : std::vector<std::vector<std::string>>{
             {"#"}, {"###", "###", "###"}, {".###.", "#####", "#####", "#####", ".###."},
             {"...#", "..#.", ".#..", "#..."}})
        Expect(Compute(rows, byRow), {0, 0, 0});
    // One pixel high or wide: every pixel lies on the axis.
    Expect(Compute({"#####"}, byRow), {0, 0, 0});
    Expect(Compute({"#", "#", "#"}, [](int, int y) { return float(y * y + 3); }), {0, 0, 0});
    // Wider than high: rows above the centre against rows below; an odd middle row is ignored.
    const float rowGrey[] = {10, 50, 4, 7};
    const auto rowValue = [&](int, int y) { return rowGrey[y]; };
    Expect(Compute({"######", "######", "######"}, rowValue), {6, 10, 4});
    Expect(Compute({"######", "######", "######", "######"}, rowValue), {24.5, 30, 5.5});
    // Higher than wide: the columns left and right of the centre.
    Expect(Compute({"###", "###", "###", "###", "###"}, [](int x, int) { return x == 0 ? 2.0f : x == 1 ? 99.0f : 9.0f; }),
           {7, 9, 2});
    // Equal sides.
    Expect(Compute({"####", "####"}, [](int x, int y) { return float(x + y * 0); }), {0, 1.5, 1.5});
    // A line going down to the right: its axis is the diagonal, the pixels above
    // it (x > y) on one side and below it on the other.
    Expect(Compute({"#...", ".#..", "..#.", "...#"}, [](int x, int y) { return x > y ? 8.0f : x < y ? 2.0f : 500.0f; }),
           {6, 8, 2});
    // A non-convex region: background and other pixels of its box count on their side.
    Expect(Compute({"######", "#.....", "#.....", "######"}, [](int x, int y) { return float(y < 2 ? 1 + x : 20); }),
           {16.5, 20, 3.5});
    // No foreground: all moments 0, so no main axis.
    Expect(Compute({"....", "...."}, byRow), {0, 0, 0});
}

TEST(PBorder, ComputeRegionContract) {
    const auto grey = test::FilledImage(4, 3, 2.0f), mask = test::FilledImage(4, 3, 1.0f);
    V f(3, 5.0);
    CPBorder().ComputeRegion(nullptr, mask.get(), f);
    EXPECT_EQ(f, V(3, 0.0));
    // Crops of another width or height, or a grey-value crop without a plane:
    // zeros, nothing read past either image.
    for (const auto& other :
         {test::FilledImage(3, 3, 2.0f), test::FilledImage(4, 2, 2.0f), test::FilledImage(4, 3, 2.0f, 0)}) {
        f.assign(3, 5.0);
        CPBorder().ComputeRegion(other.get(), mask.get(), f);
        EXPECT_EQ(f, V(3, 0.0));
    }
    V shortVec(2, 0.0);
    EXPECT_THROW(CPBorder().ComputeRegion(grey.get(), mask.get(), shortVec), std::out_of_range);
    const CImage bytes(IMAGE_GREY_8, CSize(4, 3, 1));
    const CException e = test::CatchException([&] { CPBorder().ComputeRegion(&bytes, mask.get(), f); });
    EXPECT_EQ(e.Location(), kLocation);
    EXPECT_EQ(e.Message(), "The grey-value crop is not of type IMAGE_GREY_F");
    EXPECT_EQ(test::CatchException([&] { CPBorder().ComputeRegion(grey.get(), &bytes, f); }).Message(),
              "The mask image is not of type IMAGE_GREY_F");
}

TEST(PBorder, ChecksInTheirOrder) { test::ExpectUsualInputChecks([] { return new CPBorder(); }, "Border"); }
