#include <gtest/gtest.h>

#include "PArea.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {
NodeHarness AreaOn(std::unique_ptr<CImage> labels) {
    NodeHarness h(new CPArea());
    const CSize s = labels->Size();
    h.Connect(0, test::FilledImage(s.x, s.y, 5.0f, s.z));
    h.Connect(1, std::move(labels));
    return h;
}
}  // namespace

TEST(PArea, BoundingBoxAreas) {
    // Label 1: single pixel. Label 2: L of 5 pixels in a 3x3 box. Label 3: two blobs
    // in the same rows, x 0..1 and 8..9. Label 4: diagonal of 4 pixels.
    // clang-format off
    auto labels = FloatImage(10, 8, {
        1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 2, 2, 2, 0, 0, 0, 0, 0,
        3, 3, 4, 0, 0, 0, 0, 0, 3, 3,
        3, 3, 0, 4, 0, 0, 0, 0, 3, 3,
        0, 0, 0, 0, 4, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 4, 0, 0, 0, 0,
    });
    // clang-format on
    auto h = AreaOn(std::move(labels));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(1, 4, 1));
    EXPECT_EQ(h.At(0, 0), 1.0f);
    EXPECT_EQ(h.At(0, 1), 9.0f);
    EXPECT_EQ(h.At(0, 2), 20.0f);
    EXPECT_EQ(h.At(0, 3), 16.0f);
}
