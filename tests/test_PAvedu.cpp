#include <gtest/gtest.h>


#include "PAvedu.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {
const char* const kLocation = "(feature plugins) Avedu::Run";

// A 4 x 4 square region in a 6 x 6 image: grey 1 in its top-left 2 x 2 quarter,
// 9 in its bottom-right quarter, 5 elsewhere; 100 outside the region.
std::vector<float> Quarters() {
    std::vector<float> g(36, 100.0f);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) g[(y + 1) * 6 + x + 1] = (x < 2 && y < 2) ? 1.0f : (x >= 2 && y >= 2) ? 9.0f : 5.0f;
    return g;
}
std::unique_ptr<CImage> QuartersGrey() { return FloatImage(6, 6, Quarters()); }
const std::vector<float> kSquare = test::PaintBoxes(6, 6, {{1, 1, 1, 4, 4}});
std::unique_ptr<CImage> SquareLabels() { return FloatImage(6, 6, kSquare); }

NodeHarness AveduOn(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels, int x = 50, int y = 50) {
    NodeHarness h(new CPAvedu());
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    h.SetParameter("x-Position", new CValueLong(x));
    h.SetParameter("y-Position", new CValueLong(y));
    return h;
}

std::vector<double> Compute(const std::vector<float>& grey, const std::vector<float>& mask, int64_t w, int x,
                            int y) {
    const int64_t h = static_cast<int64_t>(grey.size()) / w;
    std::vector<double> f(2);
    CPAvedu().ComputeRegion(FloatImage(w, h, grey).get(), FloatImage(w, h, mask).get(), f, y, x);
    return f;
}
}  // namespace

TEST(PAvedu, CornerWindowsOfTheRegionsBox) {
    struct Case {
        int x, y;
        float topLeft, bottomRight;
    };
    // 2 x 2: the quarters. 3 x 1: (1, 1, 5) and (5, 9, 9). 0 or less: empty.
    // Defaults (50, 50): both windows are the whole box, average 5.
    for (const Case& c : {Case{2, 2, 1.0f, 9.0f}, Case{3, 1, 7.0f / 3.0f, 23.0f / 3.0f}, Case{0, 2, 0, 0},
                          Case{2, -1, 0, 0}, Case{50, 50, 5.0f, 5.0f}}) {
        auto h = AveduOn(QuartersGrey(), SquareLabels(), c.x, c.y);
        h.Run();
        ASSERT_EQ(h.Matrix().Size(), CSize(2, 1, 1));
        EXPECT_EQ(h.At(0, 0), c.topLeft) << c.x << " x " << c.y;
        EXPECT_EQ(h.At(1, 0), c.bottomRight) << c.x << " x " << c.y;
    }
    test::ExpectByteGreyLikeFloat([] { return new CPAvedu(); }, 6, Quarters(), kSquare);

    // x and y are read from their own keys: grey 10 y + x in the box tells them apart.
    std::vector<float> g(36);
    for (int i = 0; i < 36; ++i) g[i] = static_cast<float>(10 * (i / 6 - 1) + i % 6 - 1);
    auto h = AveduOn(FloatImage(6, 6, g), SquareLabels(), 3, 1);
    h.Run();
    EXPECT_EQ(h.At(0, 0), 1.0f);   // 0, 1, 2
    EXPECT_EQ(h.At(1, 0), 32.0f);  // 33, 32, 31
}

TEST(PAvedu, OnlyTheRegionsPixelsCount) {
    // Label 1 is an L whose box (3 x 3) also holds label 2 and background. A 1 x 1
    // window on background gives 0; a 2 x 2 window sees label 1's 4, 6 and 8 only.
    // clang-format off
    auto grey = FloatImage(3, 3, {
        4,  6, 50,
        8, 70, 50,
        9,  9, 50,
    });
    auto labels = FloatImage(3, 3, {
        1, 1, 0,
        1, 2, 0,
        1, 1, 1,
    });
    // clang-format on
    auto h = AveduOn(std::move(grey), std::move(labels), 1, 1);
    h.Run();
    EXPECT_EQ(h.At(0, 0), 4.0f);
    EXPECT_EQ(h.At(1, 0), 50.0f);  // (2, 2) belongs to label 1
    EXPECT_EQ(h.At(0, 1), 70.0f);  // label 2: a 1 x 1 box

    // 3-D labels: the crops come from plane 0. Label 1 spans both planes and is
    // averaged over its plane-0 pixels (2 and 4); label 2 occurs only in plane 1,
    // so its windows hold none of its pixels.
    auto planes = AveduOn(FloatImage(3, 1, {2, 4, 6, 90, 90, 90}, 2), FloatImage(3, 1, {1, 1, 0, 1, 2, 1}, 2));
    planes.Run();
    EXPECT_EQ(planes.At(0, 0), 3.0f);
    EXPECT_EQ(planes.At(1, 0), 3.0f);
    EXPECT_EQ(planes.At(0, 1), 0.0f);
    EXPECT_EQ(planes.At(1, 1), 0.0f);
}

TEST(PAvedu, SinglePrecisionSumsInEachWindowsOrder) {
    // One row: 2^24 then four 1s. From the left each 1 is lost against 2^24; from
    // the right the 1s add up to 4 first.
    const std::vector<double> f = Compute({16777216, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, 5, 5, 1);
    EXPECT_EQ(f[0], static_cast<double>(16777216.0f / 5.0f));
    EXPECT_EQ(f[1], static_cast<double>(16777220.0f / 5.0f));
    EXPECT_NE(f[0], f[1]);
    // One column: the bottom-right window runs from the last row upward, and
    // 3 + 2^24 rounds to 2^24 + 4.
    const std::vector<double> g = Compute({16777216, 1, 1, 1}, {1, 1, 1, 1}, 1, 1, 4);
    EXPECT_EQ(g[0], static_cast<double>(16777216.0f / 4.0f));
    EXPECT_EQ(g[1], static_cast<double>(16777220.0f / 4.0f));
}

TEST(PAvedu, ComputeRegionRefusesMisuse) {
    CPAvedu node;
    auto crop = test::FilledImage(2, 2, 3.0f), narrow = test::FilledImage(1, 2, 1.0f);
    std::vector<double> one(1), f{7.0, 7.0};
    EXPECT_THROW(node.ComputeRegion(crop.get(), crop.get(), one, 1, 1), std::out_of_range);
    node.ComputeRegion(nullptr, crop.get(), f, 1, 1);
    EXPECT_EQ(f, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(crop.get(), narrow.get(), f, 5, 5); }).Location(),
              kLocation);
}

TEST(PAvedu, ChecksAndTheWindowsInTheSetup) {
    test::ExpectUsualInputChecks([] { return new CPAvedu(); }, "Avedu");
    // The setup reports the windows read last, each under its own key.
    CPAvedu node;
    node.Parameters().SetEntry("y-Position", new CValueLong(-3));
    node.ReadParameters();
    auto s = test::Setup(node);
    EXPECT_EQ(s->EntryLong("parameters/y-Position", 0), -3);
    EXPECT_EQ(s->EntryLong("parameters/x-Position", 0), 50);
}
