#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <stdexcept>

#include "PAbis.h"
#include "TestSupport.h"
#include "kelo/Memory.h"

using namespace KELO;
using V = std::vector<double>;

namespace {
const char* const kLocation = "(feature plugins) Abis::Run";

// Independent reference: max pooling with exact integer cell indices (equal to
// the float ones at these sizes), then every empty cell the mean of its filled
// neighbours inside the raster (left/right, up/down or all eight).
V Resample(const std::vector<float>& crop, int64_t w, int64_t h, int64_t W, int64_t H) {
    V cell(W * H, 0.0);
    std::vector<bool> filled(W * H, false);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const int64_t i = (x * W / w) + (y * H / h) * W;
            cell[i] = std::max<double>(cell[i], crop[y * w + x]);
            filled[i] = true;
        }
    if (w >= W && h >= H) return cell;
    std::vector<std::pair<int, int>> dirs;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if ((dx || dy) && (w < W || dx == 0) && (h < H || dy == 0)) dirs.push_back({dx, dy});
    V out = cell;
    for (int64_t cy = 0; cy < H; ++cy)
        for (int64_t cx = 0; cx < W; ++cx) {
            if (filled[cy * W + cx]) continue;
            double sum = 0;
            int n = 0;
            for (auto [dx, dy] : dirs) {
                const int64_t nx = cx + dx, ny = cy + dy;
                if (nx >= 0 && ny >= 0 && nx < W && ny < H && filled[ny * W + nx]) sum += cell[ny * W + nx], n++;
            }
            out[cy * W + cx] = n ? sum / n : 0.0;
        }
    return out;
}

struct Scene {
    int64_t W = 0, H = 0;
    std::vector<float> grey, lab;
};

// Label 1: a blob at the far corner; label 2: a ragged region whose box is
// (x0, y0) + w x h, with background and a pixel of label 1 inside the box.
Scene MakeScene(int64_t w, int64_t h, unsigned seed) {
    Scene s;
    s.W = w + 9, s.H = h + 7;
    s.grey.resize(s.W * s.H), s.lab.assign(s.W * s.H, 0.0f);
    std::mt19937 rng(seed);
    for (auto& g : s.grey) g = float(int(rng() % 2001) - 200) / 8.0f;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x)
            if (rng() % 4 || x == 0 || y == 0 || x == w - 1 || y == h - 1) s.lab[(y + 3) * s.W + x + 5] = 2;
    if (w > 2 && h > 2) s.lab[4 * s.W + 6] = 1;
    s.lab[s.W * s.H - 1] = 1;
    return s;
}

std::vector<float> Crop(const Scene& s, int64_t w, int64_t h) {
    std::vector<float> c;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) c.push_back(s.grey[(y + 3) * s.W + x + 5]);
    return c;
}

test::NodeHarness Abis(const Scene& s, int width, int height, int label) {
    test::NodeHarness h(new CPAbis());
    h.Connect(0, test::FloatImage(s.W, s.H, s.grey));
    h.Connect(1, test::FloatImage(s.W, s.H, s.lab));
    h.SetParameter("width", new CValueLong(width));
    h.SetParameter("height", new CValueLong(height));
    h.SetParameter("selected label", new CValueLong(label));
    return h;
}

V Raster(const test::NodeHarness& h) {
    const std::vector<float> m = test::MatrixValues(h);
    return V(m.begin(), m.end());
}

void Expect(const V& got, const V& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 1e-4 * std::max(1.0, std::abs(want[i]))) << "cell " << i;
}

// ComputeRegion on a crop of w x h values.
V Compute(const std::vector<float>& crop, int64_t w, int64_t h, int64_t W, int64_t H) {
    V f(W * H, 5.0);
    CPAbis().ComputeRegion(test::FloatImage(w, h, crop).get(), f, W, H);
    return f;
}
}  // namespace

TEST(PAbis, RunResamplesTheSelectedRegionLikeTheReference) {
    // Crop sizes against raster sizes: pooling only, gaps along rows, along
    // columns, in both directions, a single pixel, uneven ratios.
    const int cases[][4] = {{20, 20, 10, 10}, {5, 20, 10, 10}, {20, 5, 10, 10}, {3, 3, 10, 10}, {1, 1, 4, 3},
                            {7, 13, 4, 6},    {13, 7, 17, 3},  {9, 31, 9, 31},  {40, 2, 3, 5}};
    for (const auto& c : cases) {
        const Scene s = MakeScene(c[0], c[1], unsigned(c[0] * 100 + c[1]));
        test::NodeHarness h = Abis(s, c[2], c[3], 2);
        h.Run();
        ASSERT_EQ(h.Matrix().Size(), CSize(c[2], c[3], 1));
        const V got = Raster(h);
        Expect(got, Resample(Crop(s, c[0], c[1]), c[0], c[1], c[2], c[3]));
        // Output 1: one single-value vector per cell, equal to output 0.
        ASSERT_EQ(h.Values().Size(), std::size_t(c[2] * c[3]));
        for (int i = 0; i < c[2] * c[3]; ++i) EXPECT_EQ(h.Values().Entry(std::to_string(i) + "/0")->Double(), got[i]);
    }
}

TEST(PAbis, WorkedRasters) {
    // 20 x 20: every cell the maximum of a 2 x 2 block.
    std::vector<float> big(400);
    for (int i = 0; i < 400; ++i) big[i] = float((i * 37) % 101);
    const V pooled = Compute(big, 20, 20, 10, 10);
    for (int ty = 0; ty < 10; ++ty)
        for (int tx = 0; tx < 10; ++tx) {
            const int p = 2 * ty * 20 + 2 * tx;
            EXPECT_EQ(pooled[ty * 10 + tx], std::max({big[p], big[p + 1], big[p + 20], big[p + 21]}));
        }
    // 5 x 20 to 10 x 10: even columns pooled, odd ones the mean of left and right, the last only its left.
    std::vector<float> tall(100);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 5; ++x) tall[y * 5 + x] = float(10 * x + y / 2 + 1);
    const V g = Compute(tall, 5, 20, 10, 10);
    for (int ty = 0; ty < 10; ++ty) {
        for (int k = 0; k < 5; ++k) EXPECT_EQ(g[ty * 10 + 2 * k], 10.0 * k + ty + 1);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(g[ty * 10 + 2 * k + 1], 10.0 * k + ty + 6);
        EXPECT_EQ(g[ty * 10 + 9], 40.0 + ty + 1);
    }
    // One pixel, eight neighbours: only cells 1, width and width + 1 get its value.
    const V one = Compute({6.5f}, 1, 1, 7, 4);
    for (int i = 0; i < 28; ++i) EXPECT_EQ(one[i], (i == 0 || i == 1 || i == 7 || i == 8) ? 6.5 : 0.0) << i;
    // Negative pixels leave their cells at 0; a NaN never raises a cell.
    EXPECT_EQ(Compute({-3, -1, -2, -8}, 2, 2, 2, 2), V(4, 0.0));
    EXPECT_EQ(Compute({NAN, 4, 2, NAN}, 2, 2, 1, 1), V(1, 4.0));
}

TEST(PAbis, SelectedLabelFallbackAndMissingLabel) {
    // Labels 1, 2 and 4: label 5 falls back to label 1 and the parameter becomes 1.
    const Scene s = MakeScene(6, 4, 3);
    Scene t = s;
    t.lab[0] = 4;
    test::NodeHarness h = Abis(t, 3, 2, 5);
    h.SetParameter("verbose", new CValueBool(true));
    EXPECT_EQ(h.RunCapturingStdout(),
              "The number of regions is: 4\nlabel > number of regions! \nselected label: 1\n");
    EXPECT_EQ(test::Setup(h.Node())->EntryLong("parameters/selected label", 0), 1);
    // Label 1's box spans the scene's inner pixel and its far corner.
    std::vector<float> box;
    for (int64_t y = 4; y < t.H; ++y)
        for (int64_t x = 6; x < t.W; ++x) box.push_back(t.grey[y * t.W + x]);
    Expect(Raster(h), Resample(box, t.W - 6, t.H - 4, 3, 2));
    // Label 3 does not occur: zeros in both outputs.
    test::NodeHarness m = Abis(t, 3, 2, 3);
    m.Run();
    EXPECT_EQ(Raster(m), V(6, 0.0));
    EXPECT_EQ(dynamic_cast<const CValueVector*>(m.Values().Entry(5))->Entry(0)->Double(), 0.0);
    // An 8-bit image gives the float image's raster.
    test::ExpectByteGreyLikeFloat([] { return new CPAbis(); }, s.W, test::RandomLevels(s.grey.size(), 256, 7), s.lab);
}

TEST(PAbis, AHugeLabelIsRefusedBeforeItsTableIsMade) {
    // The raster is small whatever the labels; the table of 3e9 records is not.
    Scene t = MakeScene(6, 4, 3);
    t.lab[0] = 3.0e9f;
    test::NodeHarness h = Abis(t, 3, 2, 1);
    SetMemoryLimit(1 << 20);
    const CException e = test::CatchException([&] { h.Run(); });
    SetMemoryLimit(0);
    EXPECT_EQ(e.Location(), "(feature plugins) Abis::Run");
    EXPECT_EQ(e.Message().rfind("Largest label 3000000000 needs 111.8 GB for the region table", 0), 0u) << e.Message();
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);
}

TEST(PAbis, ParameterChecks) {
    struct Bad {
        int width, height, label;
        const char* message;
    };
    const Bad bad[] = {{0, 10, 1, "width has to be > 0"},
                       {-4, -4, 0, "width has to be > 0"},
                       {10, 0, 0, "height has to be > 0"},
                       {2048, 1024, 1, "width * height has to be <= 1048576"},
                       {INT_MAX, INT_MAX, 1, "width * height has to be <= 1048576"},
                       {1, 1048577, 1, "width * height has to be <= 1048576"},
                       {3, 3, 0, "selected label has to be > 0"},
                       {3, 3, INT_MIN, "selected label has to be > 0"}};
    const Scene s = MakeScene(4, 4, 1);
    for (const Bad& b : bad) {
        test::NodeHarness h = Abis(s, 5, 2, 2);
        h.Run();  // accepted: 5 x 2, label 2
        h.SetParameter("width", new CValueLong(b.width));
        h.SetParameter("height", new CValueLong(b.height));
        h.SetParameter("selected label", new CValueLong(b.label));
        h.SetParameter("verbose", new CValueBool(true));
        const CException e = test::CatchException([&] { h.Node().ReadParameters(); });
        EXPECT_EQ(e.Location(), kLocation);
        EXPECT_EQ(e.Message(), b.message);
        // Nothing of a refused read is kept.
        const auto setup = test::Setup(h.Node());
        EXPECT_EQ(setup->EntryLong("parameters/width", 0), 5);
        EXPECT_EQ(setup->EntryLong("parameters/height", 0), 2);
        EXPECT_EQ(setup->EntryLong("parameters/selected label", 0), 2);
        EXPECT_FALSE(setup->EntryBool("parameters/verbose", true));
        EXPECT_EQ(dynamic_cast<const CValueVector*>(setup->Entry("FeatureNames"))->Size(), 10u);
    }
    // The largest rasters are accepted.
    test::NodeHarness h = Abis(s, 1024, 1024, 1);
    h.Node().ReadParameters();
    h.SetParameter("width", new CValueLong(1048576));
    h.SetParameter("height", new CValueLong(1));
    h.Node().ReadParameters();

    // ComputeRegion checks what it is given.
    const auto crop = test::FilledImage(2, 2, 1.0f);
    V f(4, 3.0), shortVec(3, 0.0);
    CPAbis().ComputeRegion(nullptr, f, 2, 2);
    EXPECT_EQ(f, V(4, 3.0));
    EXPECT_THROW(CPAbis().ComputeRegion(crop.get(), shortVec, 2, 2), std::out_of_range);
    EXPECT_EQ(test::CatchException([&] { CPAbis().ComputeRegion(crop.get(), f, 0, 2); }).Message(),
              "width has to be > 0");
    EXPECT_EQ(test::CatchException([&] { CPAbis().ComputeRegion(crop.get(), f, 1LL << 40, 1LL << 40); }).Message(),
              "width * height has to be <= 1048576");
    const CImage bytes(IMAGE_GREY_8, CSize(2, 2, 1));
    const CException e = test::CatchException([&] { CPAbis().ComputeRegion(&bytes, f, 2, 2); });
    EXPECT_EQ(e.Location(), kLocation);
    EXPECT_EQ(e.Message(), "The grey-value crop is not of type IMAGE_GREY_F");
}

TEST(PAbis, FloatRoundingNeverLeavesTheRaster) {
    // 2^24 + 1 columns: in float, the last column's cell 2^24 * 1000 / (2^24 + 1)
    // comes out as 1000; it goes into the last cell.
    const int64_t w = (1 << 24) + 1;
    auto crop = std::make_unique<CImage>(IMAGE_GREY_F, CSize(w, 1, 1));
    std::fill_n(crop->Pixels<float>(), w, 1.0f);
    crop->Pixels<float>()[w - 1] = 7.0f;
    V f(1000, 0.0);
    CPAbis().ComputeRegion(crop.get(), f, 1000, 1);
    EXPECT_EQ(f[999], 7.0);
    EXPECT_EQ(f[998], 1.0);
}

TEST(PAbis, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPAbis(); }, kLocation,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyImage, "First input is not an image"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelImage, "Second input is not an image"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}
