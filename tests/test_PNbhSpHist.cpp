#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "PNbhSpHist.h"
#include "TestSupport.h"

using namespace KELO;
using F = std::vector<float>;

namespace {
constexpr int kF = 20;

// Every region's 20 features, row by row; no numberOfPixels leaves the default.
F Rows(int64_t W, const F& grey, const F& labels, CValue* numberOfPixels = nullptr) {
    const int64_t H = static_cast<int64_t>(grey.size()) / W;
    test::NodeHarness h(new CPNbhSpHist());
    if (numberOfPixels) h.SetParameter("m_nNumberOfPixels", numberOfPixels);
    h.Connect(0, test::FloatImage(W, H, grey));
    h.Connect(1, test::FloatImage(W, H, labels));
    h.Run();
    const float* m = h.Matrix().Pixels<float>();
    return F(m, m + kF * h.Matrix().Size().y);
}

// One label's 20 bins written out plainly: region pixels off the box's outer rows
// and columns, thresholds at more than `limit` of them, every ordered pair with its
// scalar product and norms computed afresh, bins counted one by one in floats.
F Reference(int64_t W, const F& g, const F& labels, float label, float limit) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, label);
    F bins(kF, 0.0f);
    std::vector<int64_t> inner;  // image indices of the region pixels used
    for (int64_t y = y0 + 1; y < y1; ++y)
        for (int64_t x = x0 + 1; x < x1; ++x)
            if (labels[y * W + x] == label) inner.push_back(y * W + x);
    float counts[256] = {}, lower = 0.0f, upper = 256.0f, below = 0.0f, above = 0.0f;
    for (const int64_t i : inner) counts[static_cast<int>(g[i])] += 1.0f;
    for (int k = 0; k < 256 && lower == 0.0f; ++k)
        if ((below += counts[k]) > limit) lower = static_cast<float>(k + 1);
    for (int k = 255; k >= 0 && upper == 256.0f; --k)
        if ((above += counts[k]) > limit) upper = static_cast<float>(k - 1);
    const int64_t around[8] = {-W - 1, -W, -W + 1, -1, 1, W - 1, W, W + 1};
    for (const int side : {0, 1}) {
        std::vector<int64_t> set;
        for (const int64_t i : inner)
            if (side == 0 ? g[i] < lower : g[i] > upper) set.push_back(i);
        for (const int64_t p : set)
            for (const int64_t q : set) {
                float dot = 0.0f, np = 0.0f, nq = 0.0f;
                for (int k = 0; k < 8; ++k) {
                    const float a = g[p + around[k]] - g[p], b = g[q + around[k]] - g[q];
                    dot += a * b, np += a * a, nq += b * b;
                }
                np = std::sqrt(np), nq = std::sqrt(nq);
                const float s = (nq > 0.0f && np > 0.0f) ? dot / (nq * np) : dot;
                const int b = std::clamp(static_cast<int>(5.0f * s + 5.0f), 0, 9);
                bins[static_cast<std::size_t>(10 * side + b)] += 1.0f;
            }
        const float m = static_cast<float>(set.size());
        for (int b = 0; b < 10 && !set.empty(); ++b) bins[static_cast<std::size_t>(10 * side + b)] /= m * m;
    }
    return bins;
}

// A 40 x 30 scene: a textured block (1), a disc overlapping its box (2), a
// checkerboard (3: two neighbourhood vectors inside, repeated), a flat square
// with one dark and one bright spot (4), a region on the image's corner (5),
// label 6 absent, a 2 x 9 strip (7: no pixel off its box's edges).
struct Scene {
    static constexpr int64_t W = 40, H = 30;
    F grey = F(W * H), labels = F(W * H, 0.0f);
    Scene() {
        std::mt19937 rng(9);
        for (int64_t i = 0; i < W * H; ++i) {
            const int64_t x = i % W, y = i / W;
            const unsigned r = rng();
            grey[i] = (r % 3 == 0) ? static_cast<float>(r % 256) : static_cast<float>(r % 7 * 20) + 0.5f;
            float& l = labels[i];
            if (x < 16 && y < 14) l = 1;
            if ((x - 15) * (x - 15) + (y - 13) * (y - 13) <= 25) l = 2;
            if (x >= 22 && x < 34 && y < 10) l = 3, grey[i] = ((x + y) % 2) ? 60.0f : 70.0f;
            if (x >= 2 && x < 12 && y >= 18 && y < 28) l = 4, grey[i] = 100.0f;
            if (x >= 34 && y >= 22) l = 5;
            if (x >= 20 && x < 29 && y >= 24 && y < 26) l = 7;
        }
        grey[22 * W + 5] = 10.0f;
        grey[25 * W + 8] = 250.0f;
    }
};
}  // namespace

TEST(PNbhSpHist, RegionsAgainstPlainReference) {
    const Scene sc;
    for (const int64_t limit : {30, 5, 0, -1}) {
        const F got = Rows(Scene::W, sc.grey, sc.labels, new CValueLong(static_cast<int32_t>(limit)));
        ASSERT_EQ(got.size(), 7u * kF);
        for (int r = 0; r < 7; ++r) {
            const F row(got.begin() + r * kF, got.begin() + (r + 1) * kF);
            EXPECT_EQ(row, Reference(Scene::W, sc.grey, sc.labels, static_cast<float>(r + 1),
                                     static_cast<float>(limit)))
                << "label " << r + 1 << ", limit " << limit;
        }
        if (limit != 0) continue;
        // At limit 0 the flat square's sets are its lone dark and bright pixels,
        // each with a non-flat neighbourhood: everything in bin 9.
        F spots(kF, 0.0f);
        spots[9] = spots[19] = 1.0f;
        EXPECT_EQ(F(got.begin() + 3 * kF, got.begin() + 4 * kF), spots);
    }
}

// Flat pixels pair with s = 0 (bin 5); a region with no more than the limit of
// inner pixels has no sets. A bin is a float raised by 1.0 per pair, so it stops
// at 2^24 pairs however they are grouped: in an 80 x 80 checkerboard whose two
// grey levels both lie below the lower and above the upper threshold, each set
// holds 6084 pixels of two opposite vectors, and the 18.5 million pairs with
// s = 1 (and as many with s = -1) all come from pairs of equal vectors.
TEST(PNbhSpHist, FlatSetsSmallRegionsAndSaturatedBins) {
    F labels(64, 1.0f), flat(kF, 0.0f);
    flat[5] = flat[15] = 1.0f;
    // 36 inner pixels: limit 35 still gives sets, limit 36 none.
    EXPECT_EQ(Rows(8, F(64, 42.0f), labels, new CValueLong(35)), flat);
    EXPECT_EQ(Rows(8, F(64, 42.0f), labels, new CValueLong(36)), F(kF, 0.0f));

    const int64_t W = 80;
    F board(W * W);
    for (int64_t i = 0; i < W * W; ++i) board[i] = ((i % W + i / W) % 2) ? 11.0f : 10.0f;
    const float m = 78.0f * 78.0f, saturated = 16777216.0f / (m * m);
    F want(kF, 0.0f);
    want[0] = want[9] = want[10] = want[19] = saturated;
    EXPECT_EQ(Rows(W, board, F(W * W, 1.0f), new CValueLong(5000)), want);
}

// The range check covers every pixel of every plane, inside a region or not, and
// raises the source-location form of the exception.
TEST(PNbhSpHist, GreyValuesOutsideZeroTo255AreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        F grey;
        const char* range;  // empty: accepted
    };
    const Case cases[] = {{{0, 0, 0, 0, 0, 0, 0, 255.99f}, ""},
                          {{0, 0, 0, 0, 0, 0, 0, 256}, "(0,256)"},
                          {{3, 3, 3, 3, 3, 3, 3, -0.5f}, "(-0.5,3)"},
                          {{3, 3, 3, 3, 3, 3, 3, 3, /* plane 1 */ 3, 3, 3, 3, 3, 3, 3, 1000}, "(3,1000)"},
                          {{3, 3, 3, nan, 3, 3, 3, 3}, "(nan,nan)"}};
    for (const Case& c : cases) {
        const int64_t D = static_cast<int64_t>(c.grey.size()) / 8;
        test::NodeHarness h(new CPNbhSpHist());
        h.Connect(0, test::FloatImage(4, 2, c.grey, D));
        // The last pixel lies outside the only region.
        F labels(c.grey.size(), 0.0f);
        labels[0] = 1.0f;
        h.Connect(1, test::FloatImage(4, 2, labels, D));
        if (*c.range == '\0') {
            EXPECT_NO_THROW(h.Run());
            continue;
        }
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Message(),
                  std::string("This plugin works only for images with values between 0 and 255, but current range is ") +
                      c.range);
        ASSERT_NE(e.SourceLocation(), nullptr);
        EXPECT_STREQ(e.SourceLocation()->function, "void __cdecl KELO::CPNbhSpHist::Run(void)");
        EXPECT_EQ(e.SourceLocation()->object, nullptr);
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
    }
    // The range is checked before the region table: no regions and a bad value.
    test::NodeHarness h(new CPNbhSpHist());
    h.Connect(0, test::FilledImage(3, 3, 300.0f));
    h.Connect(1, test::FilledImage(3, 3, 0.0f));
    EXPECT_NE(test::CatchException([&] { h.Run(); }).Message().find("(300,300)"), std::string::npos);
}

TEST(PNbhSpHist, NumberOfPixelsFromBothKeys) {
    auto shown = [](CPNbhSpHist& node) { return test::Setup(node)->EntryLong("parameters/m_nNumberOfPixels", -99); };
    CPNbhSpHist node;
    EXPECT_EQ(shown(node), 30);
    CValueMap& p = node.Parameters();
    p.SetEntry("NumberOfPixels", new CValueLong(17));
    node.ReadParameters();
    EXPECT_EQ(shown(node), 17);
    // "m_nNumberOfPixels" overrides it: a double truncated toward zero, a long, no other type.
    for (const auto& [value, want] : std::vector<std::pair<CValue*, int>>{{new CValueDouble(12.9), 12},
                                                                          {new CValueDouble(-3.7), -3},
                                                                          {new CValueLong(8), 8},
                                                                          {new CValueString("5"), 17}}) {
        p.SetEntry("m_nNumberOfPixels", value);
        node.ReadParameters();
        EXPECT_EQ(shown(node), want);
    }
    // A count beyond 32 bits is kept as a 64-bit count and shown clamped; a double
    // with no 64-bit truncation is refused and changes nothing.
    p.SetEntry("m_nNumberOfPixels", new CValueDouble(1e10));
    node.ReadParameters();
    EXPECT_EQ(shown(node), std::numeric_limits<int32_t>::max());
    p.SetEntry("m_nNumberOfPixels", new CValueDouble(1e30));
    test::CatchException([&] { node.ReadParameters(); });
    EXPECT_EQ(shown(node), std::numeric_limits<int32_t>::max());
}

TEST(PNbhSpHist, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPNbhSpHist(); }, "(feature plugins) NbhSpHist::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyImage, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelImage, "Second input image is NULL"},
                             {Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}
