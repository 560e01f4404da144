#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "PSDistMedianqDiff.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
test::NodeHarness RunOn(std::unique_ptr<CImage> grey, int64_t W, int64_t H, const std::vector<float>& labels) {
    test::NodeHarness h(new CPSDistMedianqDiff());
    h.Connect(0, std::move(grey)), h.Connect(1, FloatImage(W, H, labels));
    h.Run();
    return h;
}

// The 20 columns of one label from plain loops, in double precision as the node
// defines them: axis from the moments of the pixels equal to the label, every
// pixel of the box binned by its truncated distance, each bin fully sorted.
std::vector<float> Reference(int64_t W, const std::vector<float>& grey, const std::vector<float>& lab, int label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(lab, W, float(label));
    std::vector<float> out(20, 0.0f);
    if (x1 < 0) return out;
    double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x)
            if (lab[y * W + x] == float(label)) {
                const int64_t i = x - x0, j = y - y0;
                ++n, sx += i, sy += j, sxx += double(i * i), syy += double(j * j), sxy += double(i * j);
            }
    double mx = 0, my = 0, a = 0, b = 0, c = 0;
    if (n > 0) mx = sx / n, my = sy / n, a = sxx / n - mx * mx, b = sxy / n - my * mx, c = syy / n - my * my;
    const double D = std::sqrt((a - c) * 0.25 * (a - c) + b * b);
    double ex = b != 0 ? b / D : a >= c ? 0 : 1, ey = b != 0 ? (c - a) * 0.5 / D - 1.0 : a >= c ? 1 : 0;
    const double r = std::sqrt(ey * ey + ex * ex);
    ex /= r, ey /= r;
    std::vector<float> bins[10];
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x) {
            const auto d = float(std::abs((double(x - x0) - mx) * ex + (double(y - y0) - my) * ey));
            if (int64_t(d) <= 9) bins[int64_t(d)].push_back(grey[y * W + x]);
        }
    for (int k = 0; k < 10; ++k) {
        std::vector<float>& s = bins[k];
        if (s.empty()) continue;
        std::sort(s.begin(), s.end());
        const std::size_t m = s.size();
        out[2 * k] = s[m / 2], out[2 * k + 1] = s[3 * m / 4] - s[m / 4];
    }
    return out;
}
}  // namespace

TEST(PSDistMedianqDiff, QuantileIndicesAndDistanceBinsOnHandWorkedRegions) {
    constexpr int64_t W = 12, H = 12;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    for (int64_t i = 0; i < W * H; ++i) grey[i] = float(100 + i);
    auto put = [&](int64_t x, int64_t y, float l, float g) { lab[y * W + x] = l, grey[y * W + x] = g; };
    // Vertical lines lie on their axis: the whole column is bin 0.
    put(0, 0, 1, 42);                                                  // one value: median 42, q 0
    put(2, 0, 2, 9), put(2, 1, 2, 4);                                  // two: median the larger, q = 9 - 4
    put(4, 0, 3, 5), put(4, 1, 3, 1), put(4, 2, 3, 7), put(4, 3, 3, 3);  // four: s2 = 5, s3 - s1 = 7 - 3
    put(6, 0, 4, nan), put(6, 1, 4, 1), put(6, 2, 4, 2), put(6, 3, 4, 3);  // NaN ranks last: s2 = 3, q = NaN - 2
    // No pixel equals 5.0: horizontal axis through (0, 0), so the distance is the row;
    // rows 10 and 11 lie beyond the last bin.
    put(10, 0, 5.5f, 0), put(10, 11, 5.5f, 0);
    for (int64_t y = 0; y < 12; ++y) grey[y * W + 10] = float(y * y);
    auto h = RunOn(FloatImage(W, H, grey), W, H, lab);
    ASSERT_EQ(h.Matrix().Size(), CSize(20, 5, 1));
    auto row = [&](int label) { return test::MatrixRow(h, label - 1); };
    std::vector<float> want(20, 0.0f);
    want[0] = 42;
    EXPECT_EQ(row(1), want);
    want[0] = 9, want[1] = 5;
    EXPECT_EQ(row(2), want);
    want[0] = 5, want[1] = 4;
    EXPECT_EQ(row(3), want);
    EXPECT_EQ(h.At(0, 3), 3.0f);
    EXPECT_TRUE(std::isnan(h.At(1, 3)));
    for (int k = 0; k < 10; ++k) want[2 * k] = float(k * k), want[2 * k + 1] = 0;
    EXPECT_EQ(row(5), want);
}

TEST(PSDistMedianqDiff, RunMatchesPlainReference) {
    // A turned ellipse (b != 0), a disc and a square (a = c, b = 0), a horizontal bar,
    // scattered pixels over the other boxes, few grey levels so that bins hold ties.
    constexpr int64_t W = 50, H = 40;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(5);
    for (float& g : grey) g = float(rng() % 16) * 0.37f;
    for (int64_t i = 0; i < W * H; ++i) {
        const double x = double(i % W), y = double(i / W);
        const double u = (x - 15) * 0.6 - (y - 14) * 0.8, v = (y - 14) * 0.6 + (x - 15) * 0.8;
        if (u * u / 150 + v * v / 20 <= 1) lab[i] = 1;
        if ((x - 38) * (x - 38) + (y - 11) * (y - 11) <= 60) lab[i] = 2;
        if (x >= 30 && x < 37 && y >= 25 && y < 32) lab[i] = 3;
        if (y == 36 && x >= 2 && x < 45) lab[i] = 4;
        if (lab[i] == 0 && rng() % 7 == 0) lab[i] = 5;
    }
    auto h = RunOn(FloatImage(W, H, grey), W, H, lab);
    for (int l = 1; l <= 5; ++l) {
        EXPECT_EQ(test::MatrixRow(h, l - 1), Reference(W, grey, lab, l)) << "label " << l;
    }
    test::ExpectByteGreyLikeFloat([] { return new CPSDistMedianqDiff(); }, W, test::RandomLevels(W * H, 256, 7), lab);
}

TEST(PSDistMedianqDiff, DoublePrecisionAxisOfALongBand) {
    // A long, slightly tilted band: float moment sums would round (x^2 sums reach
    // 10^10) and move pixels near the bin edges; the double recipe must hold.
    constexpr int64_t W = 3000, H = 24;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(23);
    for (float& g : grey) g = float(rng() % 1000);
    for (int64_t i = 0; i < W * H; ++i)
        if (std::abs(double(i / W) - 6.0 - double(i % W) * 0.0041) < 5.3) lab[i] = 1;
    auto h = RunOn(FloatImage(W, H, grey), W, H, lab);
    EXPECT_EQ(test::MatrixRow(h, 0), Reference(W, grey, lab, 1));
}

TEST(PSDistMedianqDiff, ChecksAndComputeRegionContract) {
    test::ExpectUsualInputChecks([] { return new CPSDistMedianqDiff(); }, "SDistMedianqDiff");
    CPSDistMedianqDiff node;
    auto grey = test::FilledImage(3, 2, 4.0f), mask = test::FilledImage(3, 2, 1.0f), other = test::FilledImage(3, 3, 1.0f);
    std::vector<double> f(20, 7.0), shortVec(19, 0.0);
    node.ComputeRegion(nullptr, mask.get(), f);
    node.ComputeRegion(grey.get(), nullptr, f);
    node.ComputeRegion(grey.get(), other.get(), f);  // different heights
    EXPECT_EQ(f, std::vector<double>(20, 7.0));
    EXPECT_THROW(node.ComputeRegion(grey.get(), mask.get(), shortVec), std::out_of_range);
    node.ComputeRegion(grey.get(), mask.get(), f);  // every column set: bin 0 holds all six values
    std::vector<double> want(20, 0.0);
    want[0] = 4.0;
    EXPECT_EQ(f, want);
}
