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
    EXPECT_EQ(test::MatrixValues(h), (std::vector<float>{1, 9, 20, 16}));
}

TEST(PArea, ThreeDimensionalBoxProjectsOntoThePlaneAndEmptyRowsStayZero) {
    // 2 x 3 footprint over planes 0..4 -> 6; label 2 absent; label 3 a single pixel in plane 4.
    std::vector<float> labels(4 * 3 * 5, 0.0f);
    for (int z = 0; z < 5; ++z)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 2; ++x) labels[(z * 3 + y) * 4 + x] = 1.0f;
    labels[(4 * 3 + 2) * 4 + 3] = 3.0f;
    auto h = AreaOn(FloatImage(4, 3, labels, 5));
    h.SetParameter("verbose", new CValueBool(true));
    const std::string out = h.RunCapturingStdout();
    EXPECT_EQ(test::MatrixValues(h), (std::vector<float>{6, 0, 1}));
    EXPECT_NE(out.find("There are 2 non-empty regions. \nWarning: There are 1 empty regions!!!\n"), std::string::npos);
}

TEST(PArea, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPArea(); }, "(feature plugins) Area::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::UnwrapGrey, ""},
                             {Check::LabelNull, "Label input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    // Input 0 is unwrapped before input 1 is looked at: a value without an image
    // there raises the host's failure even when input 1 is missing.
    NodeHarness h(new CPArea());
    h.ConnectEmpty(0);
    EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(), "the value holds no image");
}
