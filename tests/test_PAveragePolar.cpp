#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "PAveragePolar.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;

namespace {
const char* const kLocation = "(feature plugins) AveragePolar::Run";
const char* const kSplit = "Invalid number of radii, choose different number of 'pieces' and 'angles'";

test::NodeHarness Prepared(int64_t W, int64_t H, const std::vector<float>& grey, const std::vector<float>& labels,
                           int pieces, int angles) {
    test::NodeHarness h(new CPAveragePolar());
    h.Connect(0, FloatImage(W, H, grey)), h.Connect(1, FloatImage(W, H, labels));
    h.SetParameter("pieces", new CValueLong(pieces));
    h.SetParameter("angles", new CValueLong(angles));
    return h;
}

// The section means of one label from plain loops over its box, with m sectors and p rings.
std::vector<float> Reference(int64_t W, const std::vector<float>& grey, const std::vector<float>& lab, int label,
                             int m, int p) {
    const auto [x0, y0, x1, y1] = test::LabelBox(lab, W, float(label));
    std::vector<float> sum(m * p, 0.0f), count(m * p, 0.0f);
    const int64_t cx = (x1 - x0 + 1) / 2, cy = (y1 - y0 + 1) / 2;
    const double R = double(std::min(cx, cy));
    for (int64_t y = y0; y <= y1; ++y)
        for (int64_t x = x0; x <= x1; ++x) {
            const int64_t dx = x - x0 - cx, dy = y - y0 - cy;
            const double r = std::sqrt(double(dx * dx + dy * dy));
            if (lab[y * W + x] != float(label) || r > R) continue;
            const int ring = r == 0 ? 0 : std::min(p - 1, int(p * r / R));
            const int s = std::min(m - 1, std::max(0, int((std::atan2(double(dy), double(dx)) + 3.1415926) / 6.2831852 * m)));
            sum[m * ring + s] += grey[y * W + x], count[m * ring + s] += 1;
        }
    for (int k = 0; k < m * p; ++k) sum[k] = count[k] > 0 ? sum[k] / count[k] : 0.0f;
    return sum;
}
}  // namespace

TEST(PAveragePolar, SplitOfPiecesIntoSectorsAndRings) {
    struct Case {
        int64_t pieces, angles, m;
    };
    const int32_t lowest = std::numeric_limits<int32_t>::min(), highest = std::numeric_limits<int32_t>::max();
    for (const Case& c : std::vector<Case>{{100, 20, 20},  {100, 15, 20},  // 10 and 20 equally near: the larger
                                           {100, 100, 0},  {100, 150, 0},  // nearest divisor is pieces: no rings
                                           {100, 60, 50},  {12, 5, 6},     {12, 3, 3},
                                           {7, 3, 1},      {100, 0, 1},    {100, -4, 1},
                                           {100, lowest, 1}, {100, highest, 0}, {1, 1, 0},
                                           {0, 1, 0},      {-6, 2, 0}})
        EXPECT_EQ(CPAveragePolar::SplitSectors(c.pieces, c.angles), c.m) << c.pieces << " " << c.angles;

    // The run refuses a split without rings, but only after the region count.
    const std::vector<float> grey(4, 1.0f);
    for (auto [pieces, angles] : std::vector<std::pair<int, int>>{{100, 100}, {0, 20}, {-5, 2}}) {
        auto h = Prepared(2, 2, grey, {0, 1, 1, 1}, pieces, angles);
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), kLocation);
        EXPECT_EQ(e.Message(), kSplit);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
        auto empty = Prepared(2, 2, grey, {0, 0, 0, 0}, pieces, angles);
        EXPECT_EQ(test::CatchException([&] { empty.Run(); }).Message(), "The number of regions is zero!!");
    }
}

TEST(PAveragePolar, RingsSectorsAndTheDiscOnHandWorkedRegions) {
    // Label 1: a full 5 x 5 square, centre (2, 2), R = 2, 8 pieces = 4 sectors x 2 rings.
    // The corners and the knight's-move pixels (r > 2) lie outside the disc; r = 2 still
    // counts, in the outer ring (2 r / R = 2 is clamped to the last ring). Label 2: one pixel (ring 0, sector 4 / 2).
    // Label 3: a box one pixel high: R = 0 keeps only the centre pixel.
    constexpr int64_t W = 12, H = 5;
    std::vector<float> lab(W * H, 0.0f), grey(W * H);
    for (int64_t y = 0; y < 5; ++y)
        for (int64_t x = 0; x < 5; ++x) lab[y * W + x] = 1;
    lab[7] = 2;
    for (int64_t x = 8; x < 12; ++x) lab[2 * W + x] = 3;
    for (int64_t i = 0; i < W * H; ++i) grey[i] = float(i);
    auto h = Prepared(W, H, grey, lab, 8, 4);
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(8, 3, 1));
    auto g = [&](int64_t x, int64_t y) { return grey[y * W + x]; };
    // Rings are R / p = 1 wide: the inner ring holds the centre alone (sector 2, as
    // theta = atan2(0, 0) = 0), the outer ring everything at 1 <= r <= 2. With 4
    // sectors and the measure's constants, straight up (-pi/2) falls just short of
    // sector 1, straight down (pi/2) just past the start of sector 3, straight left
    // (pi) into the last sector.
    const float inner[4] = {0, 0, g(2, 2), 0};
    const float outer[4] = {(g(2, 0) + g(1, 1) + g(2, 1)) / 3, g(3, 1), (g(3, 2) + g(4, 2) + g(3, 3)) / 3,
                            (g(0, 2) + g(1, 2) + g(1, 3) + g(2, 3) + g(2, 4)) / 5};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(h.At(k, 0), inner[k]) << k;
        EXPECT_EQ(h.At(4 + k, 0), outer[k]) << k;
    }
    for (int k = 0; k < 8; ++k) EXPECT_EQ(h.At(k, 1), k == 2 ? 7.0f : 0.0f) << k;
    for (int k = 0; k < 8; ++k) EXPECT_EQ(h.At(k, 2), k == 2 ? g(10, 2) : 0.0f) << k;

    // Defaults: 20 sectors x 5 rings; the one pixel lands in column 10.
    test::NodeHarness d(new CPAveragePolar());
    d.Connect(0, FloatImage(W, H, grey)), d.Connect(1, FloatImage(W, H, lab)), d.Run();
    ASSERT_EQ(d.Matrix().Size(), CSize(100, 3, 1));
    EXPECT_EQ(d.At(10, 1), 7.0f);
}

TEST(PAveragePolar, RunMatchesPlainReference) {
    constexpr int64_t W = 50, H = 40;
    std::vector<float> grey(W * H), lab(W * H, 0.0f);
    std::mt19937 rng(9);
    for (float& v : grey) v = float(rng() % 5000) / 3.0f;
    for (int64_t i = 0; i < W * H; ++i) {
        const double x = double(i % W), y = double(i / W);
        const double u = (x - 15) * 0.6 + (y - 18) * 0.8, v = (y - 18) * 0.8 - (x - 15) * 0.6;
        if (u * u / 160 + v * v / 40 <= 1) lab[i] = 1;
        if ((x - 38) * (x - 38) + (y - 12) * (y - 12) <= 70) lab[i] = 2;
        if (x >= 30 && x < 47 && y >= 26 && y < 33) lab[i] = 3;  // wider than high: a disc of the smaller half
        if (lab[i] == 0 && rng() % 6 == 0) lab[i] = 5;
    }
    for (auto [pieces, angles, m] : std::vector<std::tuple<int, int, int>>{{100, 20, 20}, {12, 5, 6}, {30, 7, 6}}) {
        auto h = Prepared(W, H, grey, lab, pieces, angles);
        h.Run();
        ASSERT_EQ(h.Matrix().Size(), CSize(pieces, 5, 1));
        for (int l = 1; l <= 5; ++l) {
            const std::vector<float> want = Reference(W, grey, lab, l, m, pieces / m);
            for (int k = 0; k < pieces; ++k) EXPECT_EQ(h.At(k, l - 1), want[k]) << pieces << " label " << l << " " << k;
        }
    }
}

TEST(PAveragePolar, ParametersComputeRegionContractAndChecks) {
    CPAveragePolar node;
    node.Parameters().SetEntry("pieces", new CValueLong(65537));
    const CException e = test::CatchException([&] { node.ReadParameters(); });
    EXPECT_EQ(e.Location(), kLocation);
    EXPECT_EQ(e.Message(), "pieces has to be <= 65536");
    EXPECT_EQ(test::Setup(node)->EntryLong("parameters/pieces", 0), 100);  // kept
    // A negative count is kept for the run to refuse; the setup then has no names.
    node.Parameters().SetEntry("pieces", new CValueLong(-3));
    node.ReadParameters();
    auto s = test::Setup(node);
    EXPECT_EQ(s->EntryLong("parameters/pieces", 0), -3);
    EXPECT_EQ(dynamic_cast<const CValueVector&>(*s->Entry("FeatureNames")).Size(), 0u);

    // ComputeRegion from outside Run.
    auto grey = test::FilledImage(3, 3, 2.0f), mask = test::FilledImage(3, 3, 1.0f), low = test::FilledImage(3, 2, 1.0f);
    std::vector<double> f(2, 9.0);
    node.ComputeRegion(nullptr, mask.get(), f, 4, 2, 2);
    node.ComputeRegion(grey.get(), nullptr, f, 4, 2, 2);
    node.ComputeRegion(grey.get(), mask.get(), f, 0, 2, 2);
    EXPECT_EQ(f, std::vector<double>(2, 9.0));
    node.ComputeRegion(grey.get(), low.get(), f, 4, 2, 2);  // different heights: nothing accumulated
    EXPECT_EQ(f, (std::vector<double>{9, 9, 0, 0}));
    for (auto [n, m, p] : std::vector<std::tuple<int, int, int>>{{4, 0, 2}, {4, 2, 0}, {4, 3, 2}, {65537, 1, 1}})
        EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(grey.get(), mask.get(), f, n, m, p); }).Message(),
                  kSplit);

    test::ExpectUsualInputChecks([] { return new CPAveragePolar(); }, "AveragePolar");
}
