#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "PAveragePhi.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
const char* const kLocation = "(feature plugins) AveragePhi::Run";

test::NodeHarness RunOn(std::unique_ptr<CImage> grey, int64_t W, int64_t H, const std::vector<float>& labels,
                        int pieces) {
    test::NodeHarness h(new CPAveragePhi());
    h.Connect(0, std::move(grey)), h.Connect(1, FloatImage(W, H, labels));
    h.SetParameter("pieces", new CValueLong(pieces));
    h.Run();
    return h;
}

// The sector means of one label from plain loops over its box.
std::vector<float> Reference(int64_t W, const std::vector<float>& grey, const std::vector<float>& lab, int label,
                             int pieces) {
    const auto [x0, y0, x1, y1] = test::LabelBox(lab, W, float(label));
    std::vector<float> sum(pieces, 0.0f), count(pieces, 0.0f);
    const int64_t cx = (x1 - x0 + 1) / 2, cy = (y1 - y0 + 1) / 2;
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x)
            if (lab[y * W + x] == float(label)) {
                const double theta = std::atan2(double(y - y0 - cy), double(x - x0 - cx));
                const double t = (theta + 3.1415926) / 6.2831852 * pieces;
                const int k = int(std::min(double(pieces - 1), std::max(0.0, t)));
                sum[k] += grey[y * W + x], count[k] += 1;
            }
    for (int k = 0; k < pieces; ++k) sum[k] = count[k] > 0 ? sum[k] / count[k] : 0.0f;
    return sum;
}
}  // namespace

TEST(PAveragePhi, SectorBoundariesOnHandWorkedRegions) {
    // Label 1: a plus of 3 x 3 around (1, 1). With 4 pieces the measure's constants
    // (slightly below pi) put straight up (theta = -pi/2) just below the edge of
    // sector 1, so into sector 0, and straight down (pi/2) just past the edge of
    // sector 3; the centre (theta = 0) and the right arm fall into sector 2, the
    // left arm (theta = pi) into the last one.
    // Label 2: a horizontal bar of 5 around x = 2. Label 3: one pixel.
    constexpr int64_t W = 12, H = 3;
    std::vector<float> lab = {0, 1, 0, 2, 2, 2, 2, 2, 0, 3, 0, 0,  //
                              1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                              0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<float> grey(W * H);
    for (int64_t i = 0; i < W * H; ++i) grey[i] = float(i * i);
    auto h = RunOn(FloatImage(W, H, grey), W, H, lab, 4);
    const float up = 1, left = 144, centre = 169, right = 196, down = 625;
    const std::vector<float> plus = {up, 0, (centre + right) / 2, (left + down) / 2};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(h.At(k, 0), plus[k]) << k;
    // Bar: x = 3, 4 left of the centre on its row (last sector), 5..7 at theta = 0.
    const std::vector<float> bar = {0, 0, (25 + 36 + 49) / 3.0f, (9 + 16) / 2.0f};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(h.At(k, 1), bar[k]) << k;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(h.At(k, 2), k == 2 ? 81.0f : 0.0f) << k;

    // Default 80 pieces: a one-pixel region lands in sector 40, the bar's left arm in 79.
    test::NodeHarness d(new CPAveragePhi());
    d.Connect(0, FloatImage(W, H, grey)), d.Connect(1, FloatImage(W, H, lab)), d.Run();
    ASSERT_EQ(d.Matrix().Size(), CSize(80, 3, 1));
    EXPECT_EQ(d.At(40, 2), 81.0f);
    EXPECT_EQ(d.At(79, 1), 12.5f);
    EXPECT_EQ(d.At(40, 1), 110 / 3.0f);
}

TEST(PAveragePhi, RunMatchesPlainReference) {
    // Turned ellipse, disc, scattered pixels over the other boxes, an absent label;
    // other labels and background in a box are ignored.
    constexpr int64_t W = 44, H = 34;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(3);
    for (float& g : grey) g = float(rng() % 10000) / 9.0f;
    for (int64_t i = 0; i < W * H; ++i) {
        const double x = double(i % W), y = double(i / W);
        const double u = (x - 13) * 0.8 + (y - 16) * 0.6, v = (y - 16) * 0.8 - (x - 13) * 0.6;
        if (u * u / 110 + v * v / 25 <= 1) lab[i] = 1;
        if ((x - 33) * (x - 33) + (y - 12) * (y - 12) <= 50) lab[i] = 2;
        if (lab[i] == 0 && rng() % 8 == 0) lab[i] = 4;
    }
    for (int pieces : {80, 7, 1}) {
        auto h = RunOn(FloatImage(W, H, grey), W, H, lab, pieces);
        ASSERT_EQ(h.Matrix().Size(), CSize(pieces, 4, 1));
        for (int l = 1; l <= 4; ++l) {
            const std::vector<float> want = Reference(W, grey, lab, l, pieces);
            for (int k = 0; k < pieces; ++k) EXPECT_EQ(h.At(k, l - 1), want[k]) << pieces << " label " << l << " " << k;
        }
    }
    test::ExpectByteGreyLikeFloat([] { return new CPAveragePhi(); }, W, test::RandomLevels(W * H, 256, 13), lab);
}

TEST(PAveragePhi, PiecesParameterZeroColumnsAndChecks) {
    // pieces = 0: no columns, and every region's vector stays empty.
    auto h = RunOn(test::FilledImage(3, 2, 5.0f), 3, 2, {1, 1, 0, 0, 2, 2}, 0);
    EXPECT_EQ(h.Matrix().Size(), CSize(0, 2, 1));
    EXPECT_EQ(h.Values().Size(), 0u);

    CPAveragePhi node;
    for (int bad : {-1, 65537, std::numeric_limits<int32_t>::min()}) {
        node.Parameters().SetEntry("pieces", new CValueLong(bad));
        const CException e = test::CatchException([&] { node.ReadParameters(); });
        EXPECT_EQ(e.Location(), kLocation);
        EXPECT_EQ(e.Message(), bad < 0 ? "pieces has to be >= 0" : "pieces has to be <= 65536");
    }
    auto s = test::Setup(node);  // a refused value leaves the default
    EXPECT_EQ(s->EntryLong("parameters/pieces", 0), 80);
    EXPECT_EQ(dynamic_cast<const CValueVector&>(*s->Entry("FeatureNames")).Size(), 80u);
    node.Parameters().SetEntry("pieces", new CValueLong(12));
    node.ReadParameters();
    EXPECT_EQ(dynamic_cast<const CValueVector&>(*test::Setup(node)->Entry("FeatureNames")).Size(), 12u);

    // ComputeRegion from outside Run: nothing for a null image or no pieces, a
    // resized vector otherwise, nothing accumulated for crops of different size.
    std::vector<double> f(3, 7.0);
    auto grey = test::FilledImage(2, 2, 4.0f), mask = test::FilledImage(2, 2, 1.0f), wide = test::FilledImage(3, 2, 1.0f);
    node.ComputeRegion(nullptr, mask.get(), f, 4);
    node.ComputeRegion(grey.get(), nullptr, f, 4);
    node.ComputeRegion(grey.get(), mask.get(), f, 0);
    EXPECT_EQ(f, std::vector<double>(3, 7.0));
    node.ComputeRegion(grey.get(), wide.get(), f, 5);
    EXPECT_EQ(f, (std::vector<double>{7, 7, 7, 0, 0}));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey.get(), mask.get(), f, 65537); }).Location(),
              kLocation);

    test::ExpectUsualInputChecks([] { return new CPAveragePhi(); }, "AveragePhi");
}
