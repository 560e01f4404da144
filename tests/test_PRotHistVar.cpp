#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "PRotHistVar.h"
#include "TestSupport.h"

using namespace KELO;

namespace {
const char* const kLocation = "(feature plugins) RotHistVar::Run";

// Twice the smaller eigenvalue of the covariance matrix of the pairs (a, b).
double MinorVar(const std::vector<std::pair<double, double>>& pairs) {
    double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (const auto& [a, b] : pairs) n += 1, sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
    if (n == 0) return 0.0;
    const double ma = sa / n, mb = sb / n, va = saa / n - ma * ma, vb = sbb / n - mb * mb, c = sab / n - ma * mb;
    return (va + vb) - std::sqrt(4 * c * c + (va - vb) * (va - vb));
}

// The feature of one label from the whole images: every labelled pixel of the
// box, its position turned by 10 degrees about the box centre and cut toward
// zero, the partner kept when it lies in the box on the same label.
float Reference(int64_t W, const std::vector<float>& grey, const std::vector<float>& labels, int label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, float(label));
    if (x1 < 0) return 0.0f;
    const int64_t w = x1 - x0 + 1, h = y1 - y0 + 1, cx = w / 2, cy = h / 2;
    const double c = std::cos(3.1415926 / 18), s = std::sin(3.1415926 / 18);
    const auto at = [&](int64_t i, int64_t j) { return (y0 + j) * W + x0 + i; };
    std::vector<std::pair<double, double>> pairs;
    for (int64_t j = 0; j < h; ++j)
        for (int64_t i = 0; i < w; ++i) {
            if (labels[at(i, j)] != float(label)) continue;
            const double xr = std::trunc(double(i - cx) * c + double(cx) - double(j - cy) * s);
            const double yr = std::trunc(double(j - cy) * c + double(cy) + double(i - cx) * s);
            if (xr < 0 || xr >= double(w) || yr < 0 || yr >= double(h)) continue;
            const int64_t k = at(int64_t(xr), int64_t(yr));
            const double a = grey[at(i, j)], b = grey[k];
            if (labels[k] == float(label) && a != 0 && a != 255 && b != 0 && b != 255) pairs.emplace_back(a, b);
        }
    return float(MinorVar(pairs));
}

std::vector<float> Features(std::unique_ptr<CImage> grey, int64_t W, int64_t H, const std::vector<float>& labels) {
    return test::MatrixValues(test::RunNode(new CPRotHistVar(), std::move(grey), test::FloatImage(W, H, labels)));
}
}  // namespace

TEST(PRotHistVar, FloatAndByteImagesAgainstPlainReference) {
    // Regions on the image edges, of odd and even box sizes, overlapping boxes,
    // a one-pixel label, label 5 absent, grey values 0 and 255 sprinkled in.
    const int64_t W = 31, H = 22;
    std::vector<float> labels(W * H, 0.0f), fine(W * H), whole(W * H);
    std::mt19937 rng(9);
    for (int64_t i = 0; i < W * H; ++i) {
        const int64_t x = i % W, y = i / W;
        if ((x - 9) * (x - 9) + 2 * (y - 8) * (y - 8) <= 81) labels[i] = 1;  // touches the top edge
        else if (x >= 16 && y >= 5 && (x * y) % 7 != 0) labels[i] = 2;        // right and bottom edges
        else if (x < 8 && y > 12 && rng() % 4 != 0) labels[i] = 3;            // left edge, scattered
        else if (rng() % 10 == 0) labels[i] = 4;                              // across the image
        const unsigned r = rng();
        whole[i] = r % 11 == 0 ? 0.0f : r % 13 == 0 ? 255.0f : float(r % 256);
        fine[i] = r % 5 == 0 ? whole[i] : float(r % 25600) / 100.0f;
    }
    labels[W * H - 1] = 6;
    std::vector<float> wantFine, wantWhole;
    for (int label = 1; label <= 6; ++label) {
        wantFine.push_back(Reference(W, fine, labels, label));
        wantWhole.push_back(Reference(W, whole, labels, label));
    }
    EXPECT_EQ(Features(test::FloatImage(W, H, fine), W, H, labels), wantFine);
    EXPECT_EQ(Features(test::FloatImage(W, H, whole), W, H, labels), wantWhole);
    // 8-bit values reach the computation as the same floats.
    EXPECT_EQ(Features(test::ByteImage(W, H, whole), W, H, labels), wantWhole);
    EXPECT_NE(wantWhole[0], 0.0f);
}

TEST(PRotHistVar, WorkedThreeByThreeBoxAndItsExclusions) {
    // In a 3 x 3 box (centre 1, 1) the turned positions of (0, 0) and (0, 2)
    // have a coordinate in (-1, 0), which is cut to 0: nine pairs, read off the
    // rotation by hand.
    const std::vector<float> grey = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    const std::vector<std::pair<double, double>> pairs = {{10, 10}, {20, 20}, {30, 30}, {40, 10}, {50, 50},
                                                          {60, 50}, {70, 40}, {80, 40}, {90, 80}};
    const std::vector<float> one(9, 1.0f);
    EXPECT_EQ(Features(test::FloatImage(3, 3, grey), 3, 3, one), std::vector<float>{float(MinorVar(pairs))});
    EXPECT_GT(MinorVar(pairs), 1.0);

    // 255 in (0, 1) drops the three pairs it is in.
    std::vector<float> bright = grey;
    bright[3] = 255;
    EXPECT_EQ(Features(test::FloatImage(3, 3, bright), 3, 3, one)[0],
              float(MinorVar({{10, 10}, {20, 20}, {30, 30}, {50, 50}, {60, 50}, {90, 80}})));
    // The centre on another label: the centre and the pixel turned onto it drop out.
    std::vector<float> labels = one;
    labels[4] = 2;
    EXPECT_EQ(Features(test::FloatImage(3, 3, grey), 3, 3, labels),
              (std::vector<float>{float(MinorVar({{10, 10}, {20, 20}, {30, 30}, {40, 10}, {70, 40}, {80, 40}, {90, 80}})),
                                  0.0f}));  // one pixel: paired with itself, 0
    // A uniform region: no spread at all.
    EXPECT_EQ(Features(test::FilledImage(7, 4, 42.0f), 7, 4, std::vector<float>(28, 1.0f))[0], 0.0f);
}

TEST(PRotHistVar, ComputeRegionContract) {
    CPRotHistVar node;
    auto grey = test::FilledImage(3, 2, 5.0f), mask = test::FilledImage(3, 2, 1.0f), tall = test::FilledImage(3, 3, 1.0f);
    std::vector<double> f(1, 9.0);
    node.ComputeRegion(grey.get(), nullptr, f);  // set to 0, then stop
    EXPECT_EQ(f[0], 0.0);
    f[0] = 9.0;
    node.ComputeRegion(grey.get(), tall.get(), f);  // sizes differ
    EXPECT_EQ(f[0], 0.0);
    const CImage bytes(IMAGE_GREY_8, CSize(3, 2, 1));
    const CException e = test::CatchException([&] { node.ComputeRegion(&bytes, mask.get(), f); });
    EXPECT_EQ(e.Location(), kLocation);
    std::vector<double> none;
    EXPECT_THROW(node.ComputeRegion(grey.get(), mask.get(), none), std::out_of_range);
}

TEST(PRotHistVar, ChecksInTheirOrder) {
    test::ExpectUsualInputChecks([] { return new CPRotHistVar(); }, "RotHistVar");
}
