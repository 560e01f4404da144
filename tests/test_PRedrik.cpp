#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "PRedrik.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
test::NodeHarness RunOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels) {
    test::NodeHarness h(new CPRedrik());
    h.Connect(0, std::move(grey)), h.Connect(1, std::move(labels)), h.Run();
    return h;
}

F AllValues(const test::NodeHarness& h) {
    const CImage& m = h.Matrix();
    return F(m.Pixels<float>(), m.Pixels<float>() + m.Size().Count());
}

// One label's two features written out plainly over its box (every pixel of it,
// whatever its label): per row the first largest value above 0 (else 0 at the
// start), the smallest value left of it and right of it, each at most the
// maximum; sums over the rows in single precision.
std::array<float, 2> Reference(const F& g, const F& labels, int W, int H, float label) {
    int x0 = W, x1 = -1, y0 = H, y1 = -1;
    for (int i = 0; i < W * H; ++i)
        if (labels[i] == label) x0 = std::min(x0, i % W), x1 = std::max(x1, i % W), y0 = std::min(y0, i / W), y1 = i / W;
    if (x1 < 0) return {0, 0};
    float sm = 0, sl = 0, sr = 0;
    for (int y = y0; y <= y1; ++y) {
        const float* row = &g[y * W];
        int at = x0;
        for (int x = x0; x <= x1; ++x)
            if (row[x] > row[at]) at = x;
        const float m = std::max(row[at], 0.0f);
        if (row[at] <= 0.0f) at = x0;
        float l = m, r = m;
        for (int x = x0; x < at; ++x) l = std::min(l, row[x]);
        for (int x = at + 1; x <= x1; ++x) r = std::min(r, row[x]);
        sm += m, sl += l, sr += r;
    }
    const auto rows = static_cast<float>(y1 - y0 + 1);
    return {sm / rows - sl / rows, sm / rows - sr / rows};
}
}  // namespace

// One-row regions: the maximum first (l = m), last (r = m), twice (the first
// counts), a flat row (both 0), a row of negative values (m = 0 at the start, so
// the right difference is positive) and one of zeros.
TEST(PRedrik, RowExamples) {
    constexpr int W = 6;
    const F grey = {9, 3, 1, 4, 0, 0,     //
                    2, 4, 6, 8, 0, 0,     //
                    2, 5, 0, 5, 3, 0,     //
                    7, 7, 7, 0, 0, 0,     //
                    -3, -1, -7, 0, 0, 0,  //
                    0, 0, 0, 0, 0, 0};
    F labels(grey.size(), 0.0f);
    const int widths[] = {4, 4, 5, 3, 3, 2};
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < widths[y]; ++x) labels[y * W + x] = static_cast<float>(y + 1);
    auto h = RunOn(test::FloatImage(W, 6, grey), test::FloatImage(W, 6, labels));
    const float want[6][2] = {{0, 8}, {6, 0}, {3, 5}, {0, 0}, {0, 7}, {0, 0}};
    for (int r = 0; r < 6; ++r) {
        EXPECT_EQ(h.At(0, r), want[r][0]) << "row " << r;
        EXPECT_EQ(h.At(1, r), want[r][1]) << "row " << r;
    }
    for (const char* column : {"0", "1"})
        EXPECT_EQ(test::MetaText(h.Values(), column, "FeatureName"),
                  "difference between max and min value to the right and to the left of the region");
}

// Labels painted as rectangles in order (overlapping boxes whose background and
// other labels take part, a box at the right and bottom edges, label 4 absent,
// two single pixels far apart) on grey values with ties and negative values;
// in float, and in 8-bit on values 0 .. 255.
TEST(PRedrik, RegionsAgainstPlainReference) {
    constexpr int W = 19, H = 14;
    F labels(W * H, 0.0f), g(W * H), bytes(W * H);
    for (const auto& [label, x0, y0, x1, y1] :
         {std::array{1, 0, 0, 8, 6}, std::array{2, 4, 3, 12, 10}, std::array{0, 1, 1, 2, 2},
          std::array{3, 14, 8, 18, 13}, std::array{5, 15, 0, 15, 0}, std::array{5, 18, 5, 18, 5}})
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) labels[y * W + x] = static_cast<float>(label);
    unsigned s = 31;
    for (int i = 0; i < W * H; ++i) {
        const unsigned r = (s = s * 1103515245u + 12345u) >> 16;
        g[i] = static_cast<float>(r % 13) * 0.75f - 3.0f;
        bytes[i] = static_cast<float>(r % 256);
    }
    for (const F* grey : {&g, &bytes}) {
        auto h = RunOn(test::FloatImage(W, H, *grey), test::FloatImage(W, H, labels));
        ASSERT_EQ(h.Matrix().Size(), CSize(2, 5, 1));
        for (int l = 1; l <= 5; ++l) {
            const auto want = Reference(*grey, labels, W, H, static_cast<float>(l));
            for (int f = 0; f < 2; ++f) EXPECT_EQ(h.At(f, l - 1), want[f]) << "label " << l << " feature " << f;
        }
    }
    EXPECT_EQ(AllValues(RunOn(test::ByteImage(W, H, bytes), test::FloatImage(W, H, labels))),
              AllValues(RunOn(test::FloatImage(W, H, bytes), test::FloatImage(W, H, labels))));
}

// NaN is never the maximum and never the minimum.
TEST(PRedrik, NaNIsPassedOver) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto h = RunOn(test::FloatImage(5, 1, {nan, 2, 6, nan, 1}), test::FilledImage(5, 1, 1.0f));
    EXPECT_EQ(h.At(0, 0), 4.0f);
    EXPECT_EQ(h.At(1, 0), 5.0f);
}

TEST(PRedrik, ComputeRegionOnItsOwn) {
    CPRedrik node;
    std::vector<double> f{-1.0, -1.0};
    node.ComputeRegion(nullptr, f);
    EXPECT_EQ(f, std::vector<double>(2, 0.0));
    CImage grey8(IMAGE_GREY_8, CSize(3, 3, 1));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(&grey8, f); }).Location(),
              "(feature plugins) Redrik::ComputeRegion");
    std::vector<double> one(1);
    EXPECT_THROW(node.ComputeRegion(test::FilledImage(3, 3, 1.0f).get(), one), std::out_of_range);
}

// Created by name but not listed.
TEST(PRedrik, ChecksInTheirOrderAndRegistryRow) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPRedrik(); }, "(feature plugins) Redrik::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    EXPECT_NE(dynamic_cast<CPRedrik*>(std::unique_ptr<CPNode>(registry::Create("Redrik")).get()), nullptr);
    const std::unique_ptr<CValueVector> list(registry::List());
    for (const auto& entry : list->Vector()) {
        EXPECT_TRUE(!entry || entry->String() != "Redrik");
    }
}
