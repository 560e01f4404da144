#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "MaskedRunningMean.h"
#include "RunningMeanReference.h"

using namespace KELO;

namespace {

// One row: values and mask of the same length, smoothed along the row.
std::vector<float> Row(std::vector<float> values, const std::vector<float>& mask, int radius, int passes = 1) {
    const auto w = static_cast<int64_t>(values.size());
    EXPECT_EQ(MaskedRunningMeanRows(values.data(), w, passes, radius, mask.data(), w, 1, 0, 0), kRunningMeanOk);
    return values;
}

// The same data as one column of a one-pixel-wide image.
std::vector<float> Column(std::vector<float> values, const std::vector<float>& mask, int radius, int passes = 1) {
    const auto h = static_cast<int64_t>(values.size());
    EXPECT_EQ(MaskedRunningMeanColumns(values.data(), 1, passes, radius, mask.data(), 1, h, 0, 0), kRunningMeanOk);
    return values;
}

using V = std::vector<float>;

}  // namespace

// ------------------------------------------------------------ window rule, hand-computed

TEST(MaskedRunningMeanWindow, FullLineIsTheClippedBoxMean) {
    // r = 1: the ends average over the two pixels that remain in the line.
    const V values{1, 2, 3, 4, 5, 6, 7};
    const V mask(7, 1.0f);
    const V expected{1.5f, 2, 3, 4, 5, 6, 6.5f};
    EXPECT_EQ(Row(values, mask, 1), expected);
    EXPECT_EQ(Column(values, mask, 1), expected);
    // A radius beyond the line: every pixel gets the mean of the whole line.
    EXPECT_EQ(Row(values, mask, 100), V(7, 4.0f));
}

TEST(MaskedRunningMeanWindow, OutsidePixelsAreNeitherReadNorChanged) {
    // Outside pixels hold 99. Pixel 3: window 2..4 holds region pixels 3 and 4, but
    // position 1 (x - r - 1) is outside, so the first region pixel after it (3
    // itself) is left out: 4, not (2 + 4) / 2. Pixel 4: gap at 2, pixel 3 left
    // out: (4 + 6) / 2. Pixel 5: position 3 is in the region, nothing left out:
    // (4 + 6) / 2. Pixel 7: window 6..7, left end at 5 in the region: 8.
    const V values{10, 99, 99, 2, 4, 6, 99, 8};
    const V mask{1, 0, 0, 1, 1, 1, 0, 1};
    const V expected{10, 99, 99, 4, 5, 5, 99, 8};
    EXPECT_EQ(Row(values, mask, 1), expected);
    EXPECT_EQ(Column(values, mask, 1), expected);
}

TEST(MaskedRunningMeanWindow, LeftEndBeforeTheLineStartLeavesNothingOut) {
    // r = 2. Pixel 2: x - r - 1 = -1, no left end: (3 + 6 + 9) / 3. Pixels 3 and 4:
    // the left end falls on outside pixels 0 and 1, so region pixel 2 is left out.
    const V values{99, 99, 3, 6, 9};
    const V mask{0, 0, 1, 1, 1};
    const V expected{99, 99, 6, 7.5f, 7.5f};
    EXPECT_EQ(Row(values, mask, 2), expected);
    EXPECT_EQ(Column(values, mask, 2), expected);
}

TEST(MaskedRunningMeanWindow, PixelWithEmptyWindowKeepsItsValue) {
    // r = 10: the region pixel at 11 has an outside pixel at 11 - 10 - 1 = 0, no
    // region pixel in between and none within 10 to its right: its count is 0 and
    // it keeps 7 (no 0 / 0). The pixel at 22 sees 11 as its left end: 100 / 1.
    V values(23, -1.0f);
    V mask(23, 0.0f);
    values[11] = 7.0f;
    mask[11] = 1.0f;
    values[22] = 100.0f;
    mask[22] = 1.0f;
    for (const V& out : {Row(values, mask, 10), Column(values, mask, 10)}) {
        EXPECT_EQ(out[11], 7.0f);
        EXPECT_EQ(out[22], 100.0f);
        EXPECT_EQ(out[0], -1.0f);
    }
}

TEST(MaskedRunningMeanWindow, PassesRepeatTheMean) {
    // Second pass over {1.5, 2, 3, 4, 5, 6, 6.5} with r = 1.
    const V values{1, 2, 3, 4, 5, 6, 7};
    const V mask(7, 1.0f);
    const V expected{1.75f, 6.5f / 3.0f, 3, 4, 5, 17.5f / 3.0f, 6.25f};
    EXPECT_EQ(Row(values, mask, 1, 2), expected);
    EXPECT_EQ(Column(values, mask, 1, 2), expected);
    EXPECT_EQ(Row(values, mask, 1, 0), values);
}

TEST(MaskedRunningMeanWindow, NegativeRadiusLeavesEveryPixel) {
    const V values{1, 2, 3, 4};
    EXPECT_EQ(Row(values, V{1, 0, 1, 1}, -3), values);
}

// ------------------------------------------------------------ boxes inside an image

// The smoothed box equals the box of a whole-image copy smoothed in place, and
// both equal the plain reference, for irregular masks and fractional values.
TEST(MaskedRunningMeanBox, BoxCopyMatchesWholeImageReference) {
    constexpr int64_t W = 47, H = 38;
    std::mt19937 rng(7u);
    std::uniform_real_distribution<float> grey(0.0f, 255.0f);
    std::vector<float> image(static_cast<std::size_t>(W * H));
    for (float& v : image) v = grey(rng);

    struct Box {
        int64_t x0, y0, w, h;
        int radius;
    };
    // Wider and narrower than the window, at the image edges and inside.
    for (const Box b : {Box{5, 4, 30, 25, 10}, Box{0, 0, W, H, 10}, Box{20, 30, 27, 8, 3}, Box{11, 2, 1, 17, 10},
                        Box{2, 9, 44, 1, 6}}) {
        SCOPED_TRACE(testing::Message() << "box " << b.x0 << "," << b.y0 << " " << b.w << "x" << b.h);
        std::vector<float> mask(static_cast<std::size_t>(b.w * b.h));
        std::bernoulli_distribution in(0.7);
        for (float& m : mask) m = in(rng) ? 1.0f : 0.0f;
        auto inRegion = [&](int64_t x, int64_t y) {
            return mask[static_cast<std::size_t>((y - b.y0) * b.w + (x - b.x0))] != 0.0f;
        };

        std::vector<float> reference = image;
        test::ReferenceSmooth(reference, W, b.x0, b.y0, b.w, b.h, b.radius, inRegion);

        std::vector<float> whole = image;
        ASSERT_EQ(MaskedRunningMeanRows(whole.data(), W, 1, b.radius, mask.data(), b.w, b.h, b.x0, b.y0), 0);
        ASSERT_EQ(MaskedRunningMeanColumns(whole.data(), W, 1, b.radius, mask.data(), b.w, b.h, b.x0, b.y0), 0);
        EXPECT_EQ(whole, reference);

        std::vector<float> box(static_cast<std::size_t>(b.w * b.h));
        ASSERT_EQ(SmoothRegionBox(image.data(), W, mask.data(), b.w, b.h, b.x0, b.y0, b.radius, 1, box.data()), 0);
        int64_t mismatches = 0;
        for (int64_t j = 0; j < b.h; ++j)
            for (int64_t i = 0; i < b.w; ++i)
                if (box[static_cast<std::size_t>(j * b.w + i)] !=
                    reference[static_cast<std::size_t>((b.y0 + j) * W + b.x0 + i)])
                    ++mismatches;
        EXPECT_EQ(mismatches, 0);
    }
}
