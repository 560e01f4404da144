#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "PCovbin.h"
#include "TestSupport.h"

using namespace KELO;
using V = std::vector<double>;

namespace {
const char* const kLocation = "(feature plugins) Covbin::Run";

// ComputeRegion on a mask given as rows of text: '#' 1.0, 'n' NaN, else 0.0.
V Compute(const std::vector<std::string>& rows) {
    std::vector<float> px;
    for (const auto& r : rows)
        for (char c : r) px.push_back(c == '#' ? 1.0f : c == 'n' ? NAN : 0.0f);
    V f(2, 5.0);
    CPCovbin().ComputeRegion(test::FloatImage(int64_t(rows[0].size()), int64_t(rows.size()), px).get(), f);
    return f;
}

// Both columns for one label in plain float arithmetic: float sums in scan
// order of the box-relative indices, their squares and products.
std::array<float, 2> FloatReference(int64_t W, int64_t H, const std::vector<float>& labels, int label) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, float(label));
    float n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int64_t i = 0; i < W * H; ++i)
        if (labels[i] == float(label)) {
            const int64_t x = i % W - x0, y = i / W - y0;
            n += 1, sx += float(x), sy += float(y), sxx += float(x * x), syy += float(y * y), sxy += float(x * y);
        }
    if (n == 0) return {0, 0};
    const float mx = sx / n, my = sy / n, a = sxx / n - mx * mx, c = syy / n - my * my, b = sxy / n - mx * my;
    const float q = std::sqrt(4 * b * b + (a - c) * (a - c));
    return {(a + c) - q, (a + c) + q};
}

// The same from exact integer moments in double: an independent check of the
// float version within single-precision rounding.
std::array<double, 2> ExactReference(int64_t W, int64_t H, const std::vector<float>& labels, int label) {
    int64_t n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int64_t i = 0; i < W * H; ++i)
        if (labels[i] == float(label)) {
            const int64_t x = i % W, y = i / W;  // central moments do not depend on the origin
            ++n, sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y;
        }
    if (n == 0) return {0, 0};
    const double nn = double(n) * double(n), a = double(n * sxx - sx * sx) / nn, c = double(n * syy - sy * sy) / nn,
                 b = double(n * sxy - sx * sy) / nn, q = std::sqrt(4 * b * b + (a - c) * (a - c));
    return {(a + c) - q, (a + c) + q};
}
}  // namespace

TEST(PCovbin, RunAgainstFloatAndExactReferences) {
    // Turned ellipses, one of them large enough for float sums to round; a label
    // scattered over the image; label 4 absent; label 5 only as 5.5 (a region
    // whose mask is empty); label 6 only in plane 1. The grey image is noise.
    const int64_t W = 300, H = 120;
    std::vector<float> labels(2 * W * H, 0.0f), grey(2 * W * H);
    std::mt19937 rng(13);
    for (int64_t i = 0; i < W * H; ++i) {
        const double x = double(i % W), y = double(i / W) - 60;
        const double u1 = (x - 60) * 0.8 + y * 0.6, v1 = y * 0.8 - (x - 60) * 0.6;
        const double u2 = (x - 200) * 0.3 - y * 0.95, v2 = y * 0.3 + (x - 200) * 0.95;
        if (u1 * u1 / 3000 + v1 * v1 / 300 <= 1) labels[i] = 1;
        else if (u2 * u2 / 2500 + v2 * v2 / 90 <= 1) labels[i] = 2;
        else if (rng() % 50 == 0) labels[i] = 3;
        grey[i] = float(rng() % 1000) - 300.0f;
    }
    labels[5] = labels[W + 5] = 5.5f;
    labels[W * H + 7] = 6;
    test::NodeHarness h(new CPCovbin());
    h.Connect(0, test::FloatImage(W, H, grey, 2));
    h.Connect(1, test::FloatImage(W, H, labels, 2));
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(2, 6, 1));
    const std::vector<float> plane0(labels.begin(), labels.begin() + W * H);
    for (int label = 1; label <= 6; ++label) {
        const auto f = FloatReference(W, H, plane0, label);
        const auto e = ExactReference(W, H, plane0, label);
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(h.At(c, label - 1), f[c]) << label << " " << c;
            EXPECT_NEAR(h.At(c, label - 1), e[c], 1e-3 * std::max(1.0, e[1])) << label << " " << c;
        }
    }
    EXPECT_GT(h.At(1, 0), 1000.0f);
}

TEST(PCovbin, WorkedShapes) {
    EXPECT_EQ(Compute({"#"}), V({0, 0}));
    EXPECT_EQ(Compute({"##"}), V({0, 0.5}));  // a = 0.25
    for (int L : {2, 5, 40}) {  // lines: 0 and (L^2 - 1) / 6
        EXPECT_NEAR(Compute({std::string(L, '#')})[1], (L * L - 1) / 6.0, 1e-4 * L * L);
        EXPECT_EQ(Compute({std::string(L, '#')})[0], 0.0);
        const V vertical = Compute(std::vector<std::string>(L, "#"));
        EXPECT_EQ(vertical[0], 0.0);
        EXPECT_NEAR(vertical[1], (L * L - 1) / 6.0, 1e-4 * L * L);
    }
    // A 3 x 2 block: a = 2/3 and c = 1/4, the larger 4/3 one unit low in single precision.
    EXPECT_EQ(Compute({"###", "###"}), V({0.5, double(1.3333333f)}));
    for (int k : {2, 3, 9}) {  // squares: both (k^2 - 1) / 6
        const V f = Compute(std::vector<std::string>(k, std::string(k, '#')));
        EXPECT_NEAR(f[0], (k * k - 1) / 6.0, 1e-5 * k * k);
        EXPECT_NEAR(f[1], (k * k - 1) / 6.0, 1e-5 * k * k);
    }
    // A diagonal is a line too; NaN counts as foreground; no foreground leaves zeros.
    EXPECT_NEAR(Compute({"#..", ".#.", "..n"})[0], 0.0, 1e-6);
    EXPECT_NEAR(Compute({"#..", ".#.", "..n"})[1], 8.0 / 3.0, 1e-6);
    EXPECT_EQ(Compute({"...", "..."}), V({0, 0}));

    // Contract: zeros first, then nothing more for a null mask; a short vector
    // and a non-float mask are refused.
    V f(3, 7.0);
    CPCovbin().ComputeRegion(nullptr, f);
    EXPECT_EQ(f, V({0, 0, 7}));
    V shortVec(1);
    EXPECT_THROW(CPCovbin().ComputeRegion(test::FilledImage(2, 2, 1.0f).get(), shortVec), std::out_of_range);
    const CImage bytes(IMAGE_GREY_8, CSize(2, 2, 1));
    EXPECT_EQ(test::CatchException([&] { CPCovbin().ComputeRegion(&bytes, f); }).Location(), kLocation);
}

TEST(PCovbin, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPCovbin(); }, kLocation,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyImage, "First input is not an image"},
                             {Check::LabelNull, "Label image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelImage, "Second input is not an image"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!", IMAGE_GREY_8);
    // A value that is no image at all meets the host's unwrapping at the same
    // points: input 0 before input 1 is looked for, input 1 after input 0's type.
    CValueLong number(3);
    auto grey = test::FilledImage(3, 3, 1.0f), bytes = std::make_unique<CImage>(IMAGE_GREY_8, CSize(3, 3, 1));
    CValueOwnedPointer<CImage> greyValue(grey.get(), 0), bytesValue(bytes.get(), 0);
    const std::vector<std::pair<CValue*, std::string>> cases = {
        {&greyValue, "the value is not an image"}, {&bytesValue, "The first input image is not of type IMAGE_GREY_F"}};
    {
        CPCovbin node;
        node.SetStackInput(0, &number);
        const CException e = test::CatchException([&] { node.Run(); });
        EXPECT_EQ(e.Message(), "the value is not an image");
        EXPECT_NE(e.Location(), kLocation);
    }
    for (const auto& [input0, message] : cases) {
        CPCovbin node;
        node.SetStackInput(0, input0);
        node.SetStackInput(1, &number);
        EXPECT_EQ(test::CatchException([&] { node.Run(); }).Message(), message);
    }
}
