#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

#include "PShiftHistVar.h"
#include "TestSupport.h"

using namespace KELO;

namespace {
const char* const kLocation = "(feature plugins) ShiftHistVar::Run";

// The scatter measure of a list of pairs, written out from its definition.
double MinorVar(double n, double sa, double sb, double saa, double sbb, double sab) {
    if (n == 0) return 0.0;
    const double ma = sa / n, mb = sb / n, va = saa / n - ma * ma, vb = sbb / n - mb * mb, c = sab / n - ma * mb;
    return (va + vb) - std::sqrt(4 * c * c + (va - vb) * (va - vb));
}

// Both columns of one label from the whole images, testing every pixel and its
// partner against the label's box; products in float (Float) or int (8-bit).
// nY receives the number of y-direction pairs.
template <class T>
std::array<float, 2> Reference(int64_t W, const std::vector<T>& grey, const std::vector<float>& labels, int label,
                               int64_t sx, int64_t sy, double& nY) {
    const auto [x0, y0, x1, y1] = test::LabelBox(labels, W, float(label));
    std::array<float, 2> out{0, 0};
    nY = 0;
    if (x1 < 0) return out;
    const auto in = [&](int64_t x, int64_t y) {
        return x >= x0 && x <= x1 && y >= y0 && y <= y1 && labels[y * W + x] == float(label);
    };
    const auto ok = [](T v) { return v != T(0) && v != T(255); };
    for (int d = 0; d < 2; ++d) {
        double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        for (int64_t y = y0; y <= y1; ++y)
            for (int64_t x = x0; x <= x1; ++x) {
                const int64_t px = d == 0 ? x + sx : x, py = d == 0 ? y : y + sy;
                if (!in(x, y) || !in(px, py)) continue;
                const T a = grey[y * W + x], b = grey[py * W + px];
                if (!ok(a) || !ok(b)) continue;
                n += 1, sa += a, sb += b;
                if constexpr (std::is_same_v<T, float>) saa += a * a, sbb += b * b, sab += a * b;
                else saa += int(a) * int(a), sbb += int(b) * int(b), sab += int(a) * int(b);
            }
        out[d] = float(MinorVar(n, sa, sb, saa, sbb, sab));
        if (d == 1) nY = n;
    }
    return out;
}

std::unique_ptr<CImage> Bytes(int64_t W, int64_t H, const std::vector<uint8_t>& px) {
    auto img = std::make_unique<CImage>(IMAGE_GREY_8, CSize(W, H, 1));
    std::memcpy(img->Pixels<uint8_t>(), px.data(), px.size());
    return img;
}

struct Out {
    std::vector<float> rows;  // both columns, region by region
    std::string stdoutText;
};
Out RunNode(std::unique_ptr<CImage> grey, std::unique_ptr<CImage> labels, int64_t sx, int64_t sy) {
    test::NodeHarness h(new CPShiftHistVar());
    h.Connect(0, std::move(grey));
    h.Connect(1, std::move(labels));
    h.SetParameter("shift_x", new CValueLong(static_cast<long>(sx)));
    h.SetParameter("shift_y", new CValueLong(static_cast<long>(sy)));
    Out o;
    o.stdoutText = h.RunCapturingStdout();
    o.rows = test::MatrixValues(h);
    return o;
}
}  // namespace

TEST(PShiftHistVar, FloatAndByteImagesAgainstPlainReferenceForShiftsOfAnySize) {
    // Regions on every image edge, overlapping boxes (other labels inside a box
    // never pair), a label only in the corner pixel, label 4 absent, grey values
    // 0 and 255 sprinkled in. Float grey values have fractions; the 8-bit image
    // holds integers that the float image repeats exactly.
    const int64_t W = 29, H = 19;
    std::vector<float> labels(W * H, 0.0f), fine(W * H), whole(W * H);
    std::vector<uint8_t> bytes(W * H);
    std::mt19937 rng(5);
    for (int64_t i = 0; i < W * H; ++i) {
        const int64_t x = i % W, y = i / W;
        if ((x - 8) * (x - 8) + (y - 7) * (y - 7) <= 49) labels[i] = 1;                // touches the top edge
        else if (x >= 14 && y >= 4 && (x + y) % 5 != 0) labels[i] = 2;                // right and bottom edges
        else if (x < 6 && y > 10 && rng() % 3 != 0) labels[i] = 3;                    // left edge, scattered
        else if (rng() % 9 == 0) labels[i] = 5;                                        // spread over the image
        const unsigned r = rng();
        bytes[i] = r % 11 == 0 ? 0 : r % 13 == 0 ? 255 : uint8_t(r % 256);
        whole[i] = bytes[i];
        fine[i] = r % 17 == 0 ? float(bytes[i]) : float(r % 25600) / 100.0f;
    }
    labels[W * H - 1] = 6;
    const std::vector<std::pair<int64_t, int64_t>> shifts = {
        {0, 0}, {1, 0}, {0, 1}, {-1, 2}, {3, -4}, {-7, -1}, {17, 13}, {-20, 12},
        {W, H}, {-W, -H}, {W - 1, 1 - H}, {INT32_MAX, INT32_MIN}, {INT32_MIN, INT32_MAX}};
    for (const auto& [sx, sy] : shifts) {
        const Out outF = RunNode(test::FloatImage(W, H, fine), test::FloatImage(W, H, labels), sx, sy);
        const Out out8 = RunNode(Bytes(W, H, bytes), test::FloatImage(W, H, labels), sx, sy);
        const Out outW = RunNode(test::FloatImage(W, H, whole), test::FloatImage(W, H, labels), sx, sy);
        std::vector<float> wantF, want8;
        std::ostringstream counters;
        for (int label = 1; label <= 6; ++label) {
            double nF = 0, n8 = 0;
            const auto f = Reference(W, fine, labels, label, sx, sy, nF);
            const auto b = Reference(W, bytes, labels, label, sx, sy, n8);
            wantF.insert(wantF.end(), f.begin(), f.end());
            want8.insert(want8.end(), b.begin(), b.end());
            if (nF > 0) counters << "nCounter " << nF << "\n";
        }
        EXPECT_EQ(outF.rows, wantF) << sx << ", " << sy;
        EXPECT_EQ(outF.stdoutText, counters.str()) << sx << ", " << sy;
        EXPECT_EQ(out8.rows, want8) << sx << ", " << sy;
        // Integer products and float products of the same small integers agree.
        EXPECT_EQ(outW.rows, out8.rows) << sx << ", " << sy;
        EXPECT_EQ(outW.stdoutText, out8.stdoutText);
    }
}

TEST(PShiftHistVar, WorkedPairsZeroShiftAndTheCounterLine) {
    // Row 0 holds 1 1 3 1, row 1 only zeros (never used). A shift of one column
    // either way gives the pairs (1,1), (1,3), (3,1): Va = Vb = 8/9, C = -4/9,
    // feature 16/9 - 8/9 = 8/9.
    const std::vector<float> grey = {1, 1, 3, 1, 0, 0, 0, 0};
    const std::vector<float> ones(8, 1.0f);
    for (int64_t sx : {1, -1}) {
        const Out o = RunNode(test::FloatImage(4, 2, grey), test::FloatImage(4, 2, ones), sx, 0);
        EXPECT_NEAR(o.rows[0], 8.0 / 9.0, 1e-6);
        EXPECT_NEAR(o.rows[1], 0.0, 1e-6);  // each usable pixel with itself
        EXPECT_EQ(o.stdoutText, "nCounter 4\n");
    }
    // Shifted down, every partner is 0: no pair, column 1 is 0 and no line is written.
    const Out o = RunNode(test::FloatImage(4, 2, grey), test::FloatImage(4, 2, ones), 0, 1);
    EXPECT_EQ(o.rows[1], 0.0f);
    EXPECT_EQ(o.stdoutText, "");
    // 255 is left out like 0, in float as in 8-bit data.
    const std::vector<float> top = {1, 1, 3, 1, 255, 255, 255, 255};
    EXPECT_EQ(RunNode(test::FloatImage(4, 2, top), test::FloatImage(4, 2, ones), 1, 1).stdoutText, "");
    EXPECT_EQ(RunNode(Bytes(4, 2, {1, 1, 3, 1, 255, 255, 255, 255}), test::FloatImage(4, 2, ones), 1, 1).rows,
              (std::vector<float>{8.0f / 9.0f, 0.0f}));
}

TEST(PShiftHistVar, WorkersAtTheImageCornersAndTheirRefusals) {
    // A full mask over the last columns and rows of the image: shifts of every
    // size read nothing outside it (the sanitizer build watches).
    CPShiftHistVar node;
    auto data = test::FloatImage(5, 4, {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 2, 4, 6, 8});
    auto mask = test::FilledImage(3, 2, 1.0f);
    std::vector<double> f(2, -1.0);
    testing::internal::CaptureStdout();
    node.WorkerFloat(data.get(), mask.get(), f, 2, 2);  // zero shifts: n = 6
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "nCounter 6\n");
    EXPECT_NEAR(f[0], 0.0, 1e-9);
    // Shifted by 2 columns and 1 row: the pairs (9, 9), (4, 8) across, (9, 4), (9, 6), (9, 8) down.
    const std::array<std::array<int, 3>, 4> cases = {
        {{2, 1, 1}, {-2, -1, 1}, {3, 2, 0}, {INT32_MAX, INT32_MIN, 0}}};
    for (const auto& [sx, sy, pairsY] : cases) {
        node.Parameters().SetEntry("shift_x", new CValueLong(sx));
        node.Parameters().SetEntry("shift_y", new CValueLong(sy));
        node.ReadParameters();
        testing::internal::CaptureStdout();
        node.WorkerFloat(data.get(), mask.get(), f, 2, 2);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), pairsY ? "nCounter 3\n" : "") << sx;
        EXPECT_EQ(f[0], 0.0) << sx;  // two pairs or none: no spread across the line through them
        if (pairsY) EXPECT_NEAR(f[1], 0.0, 1e-9);  // (9, 4), (9, 6), (9, 8) lie on a line
        else EXPECT_EQ(f[1], 0.0);
    }

    // Null mask: nothing written. A box past the image, a wrong data or mask type: refused.
    std::vector<double> untouched(2, 7.0);
    node.WorkerFloat(data.get(), nullptr, untouched, 0, 0);
    EXPECT_EQ(untouched, std::vector<double>(2, 7.0));
    for (const auto& [x0, y0] : std::vector<std::pair<int64_t, int64_t>>{{3, 2}, {2, 3}, {-1, 0}, {0, INT64_MIN}}) {
        const CException e =
            test::CatchException([&, x = x0, y = y0] { node.WorkerFloat(data.get(), mask.get(), f, x, y); });
        EXPECT_EQ(e.Location(), kLocation);
        EXPECT_EQ(e.Message(), "The mask does not lie inside the data image");
    }
    EXPECT_EQ(test::CatchException([&] { node.Worker8(data.get(), mask.get(), f, 0, 0); }).Message(),
              "The data image is not of type IMAGE_GREY_8");
    EXPECT_EQ(test::CatchException([&] { node.WorkerFloat(data.get(), Bytes(1, 1, {1}).get(), f, 0, 0); }).Message(),
              "The mask image is not of type IMAGE_GREY_F");
    std::vector<double> shortVec(1);
    EXPECT_THROW(node.WorkerFloat(data.get(), mask.get(), shortVec, 0, 0), std::out_of_range);
}

TEST(PShiftHistVar, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPShiftHistVar(); }, kLocation,
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::GreyImage, "First input is not an image"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                             {Check::LabelImage, "Second input is not an image"},
                             {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
    // An 8-bit label image is refused although 8-bit grey values are welcome.
    test::NodeHarness h(new CPShiftHistVar());
    h.Connect(0, Bytes(2, 1, {1, 2}));
    h.Connect(1, Bytes(2, 1, {1, 1}));
    EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(), "The label image is not of type IMAGE_GREY_F");
}

TEST(PShiftHistVar, TheSetupShowsTheShiftsRead) {
    CPShiftHistVar node;
    node.Parameters().SetEntry("shift_x", new CValueLong(-3));
    node.ReadParameters();
    const auto s = test::Setup(node);
    EXPECT_EQ(s->EntryLong("parameters/shift_x", 0), -3);
    EXPECT_EQ(s->EntryLong("parameters/shift_y", 9), 0);
}
