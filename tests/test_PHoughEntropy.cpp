#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "PHoughEntropy.h"
#include "TestSupport.h"

using namespace KELO;
using test::NodeHarness;

namespace {
constexpr int kN = 20;
using Cells = std::vector<float>;
using VoteFn = std::function<float(int64_t, int64_t)>;

// The votes straight from their definition (angles recomputed for every pixel, bins
// not clamped); vote(i, j) is the weight of box pixel (i, j), cast only when > 0.
Cells PlainHough(int64_t w, int64_t h, const VoteFn& vote, bool byColumn = true) {
    Cells c(kN * kN, 0.0f);
    const float step = static_cast<float>(2.0 * std::asin(1.0)) / kN;
    const float diag = std::sqrt(static_cast<float>(w * w + h * h));
    for (int64_t n = 0; n < w * h; ++n) {
        const int64_t i = byColumn ? n / h : n % w, j = byColumn ? n % h : n / w;
        float theta = 0.0f;
        for (int k = 0; k < kN && vote(i, j) > 0.0f; ++k, theta += step) {
            const float rho =
                static_cast<float>(i - w / 2) * std::cos(theta) + static_cast<float>(j - h / 2) * std::sin(theta);
            const auto bin = static_cast<long long>(std::trunc(kN * rho / diag)) + kN / 2;
            EXPECT_TRUE(bin >= 0 && bin < kN) << bin;
            c.at(static_cast<std::size_t>(k * kN + bin)) += vote(i, j);
        }
    }
    return c;
}

// Row r holds exactly the four measures of these votes normalised by the reference
// square's (the same operations in the same order, so no tolerance).
void ExpectRow(const NodeHarness& h, int64_t r, const Cells& votes) {
    const Cells ref = PlainHough(kN, kN, [](int64_t, int64_t) { return 1.0f; });
    Cells n(votes.size());
    double s = 0.0, m = 0.0, q = 0.0, e = 0.0;
    for (std::size_t i = 0; i < n.size(); ++i) {
        n[i] = ref[i] > 20.0f ? votes[i] / ref[i] : 0.0f;
        s += n[i], m = std::max(m, static_cast<double>(n[i]));
    }
    if (s == 0.0) s = 1.0;
    for (float c : n)
        if (const double p = c / s; p > 0.0) q += p * p, e -= p * std::log(p);
    const double want[] = {m / s, q, e, m};
    for (int f = 0; f < 4; ++f) EXPECT_EQ(h.At(f, r), static_cast<float>(want[f])) << f << ", " << r;
}

// 24 x 18 x 2. Plane 0: a disc (1), a slanted line (2), a block without any grey
// value > 0 (3), a triangle in the bottom right corner (4); some grey values are
// NaN, 0 or negative. Plane 1: a row that widens the disc's box, and label 5 alone.
struct Scene {
    static constexpr int64_t W = 24, H = 18;
    std::vector<float> grey, labels;
    Scene() {
        for (int64_t n = 0; n < W * H * 2; ++n) {
            const int64_t x = n % W, y = n / W % H, v = (n * 37 + n / 5) % 41;
            float l = 0.0f;
            if (n >= W * H) l = (y == 12 && x < 12) ? 1 : (x >= 13 && x < 17 && y == x - 1) ? 5 : 0;
            else if ((x - 6) * (x - 6) + (y - 6) * (y - 6) <= 25) l = 1;
            else if (x >= 12 && x < 22 && y == 2 + (x - 12) / 2) l = 2;
            else if (x >= 20 && y >= 7 && y < 10) l = 3;
            else if (x >= 17 && y >= 11 && x + y >= 31) l = 4;
            labels.push_back(l);
            grey.push_back(v == 7 ? NAN : static_cast<float>(l == 3 ? -v : v - 3) * 2.7f);
        }
    }
    // Label l + 1's votes: its pixels of the first plane of its box (x0, y0, z0, w, h,
    // by hand) vote with the grey values of plane 0.
    Cells Votes(int l) const {
        const int64_t box[5][5] = {{0, 1, 0, 12, 12}, {12, 2, 0, 10, 5}, {20, 7, 0, 4, 3}, {17, 11, 0, 7, 7},
                                   {13, 12, 1, 4, 4}};
        const auto [x0, y0, z0, w, h] = box[l];
        return PlainHough(w, h, [&, x0 = x0, y0 = y0, z0 = z0](int64_t i, int64_t j) {
            const int64_t at = (y0 + j) * W + x0 + i;
            return labels[z0 * W * H + at] == static_cast<float>(l + 1) ? grey[at] : 0.0f;
        });
    }
    NodeHarness Run() const {
        NodeHarness h(new CPHoughEntropy());
        h.Connect(0, test::FloatImage(W, H, grey, 2));
        h.Connect(1, test::FloatImage(W, H, labels, 2));
        h.Run();
        return h;
    }
};
}  // namespace

TEST(PHoughEntropy, RegionsMatchPlainReference) {
    Scene s;
    NodeHarness h = s.Run();
    // The reference, angle 0 by hand: bin = trunc(xc * 20 / sqrt(800)) + 10 for
    // xc = -10 .. 9, 20 positions each; truncation toward zero makes bin 10 three wide.
    const CImage* ref = static_cast<CPHoughEntropy&>(h.Node()).HoughHistRef();
    ASSERT_TRUE(ref && ref->Size() == CSize(20, 20, 1));
    EXPECT_EQ(Cells(ref->Pixels<float>(), ref->Pixels<float>() + kN),
              Cells({0, 0, 0, 20, 20, 20, 40, 20, 40, 20, 60, 20, 40, 20, 40, 20, 20, 0, 0, 0}));
    for (int r = 0; r < 5; ++r) ExpectRow(h, r, s.Votes(r));
    for (int f = 0; f < 4; ++f) EXPECT_EQ(h.At(f, 2), 0.0f);  // no vote: S is taken as 1
    EXPECT_GT(h.At(3, 4), 0.0f);
    // An infinite grey value is > 0 and votes: maximum and sum become infinite.
    s.grey[6 * Scene::W + 6] = std::numeric_limits<float>::infinity();
    NodeHarness inf = s.Run();
    EXPECT_EQ(inf.At(3, 0), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(inf.At(0, 0)));
}

TEST(PHoughEntropy, RatiosDoNotChangeWithTheGreyScale) {
    // Grey values times 4 (exact in float): every vote and the maximum scale by 4,
    // max/sum and both expectations stay the same to the bit.
    Scene s;
    NodeHarness one = s.Run();
    for (float& g : s.grey) g *= 4.0f;
    NodeHarness four = s.Run();
    for (int r : {0, 1, 3, 4}) {
        for (int f = 0; f < 3; ++f) EXPECT_EQ(four.At(f, r), one.At(f, r)) << f << ", " << r;
        EXPECT_EQ(four.At(3, r), 4.0f * one.At(3, r)) << r;
    }
}

TEST(PHoughEntropy, VotesAddUpColumnByColumn) {
    // Votes of 2^24 and 1 share cells, so the float sums depend on the order of the
    // votes. Mask values other than exactly 1.0 cast no vote.
    auto in = [](int64_t i, int64_t j) { return (i * j) % 7 == 3 ? 0.5f : (i + j) % 5 == 4 ? 2.0f : 1.0f; };
    auto big = [](int64_t i, int64_t j) { return (i + 2 * j) % 3 == 0 ? 16777216.0f : 1.0f; };
    auto vote = [&](int64_t i, int64_t j) { return in(i, j) == 1.0f ? big(i, j) : 0.0f; };
    ASSERT_NE(PlainHough(6, 5, vote, true), PlainHough(6, 5, vote, false));
    Cells g, mask;
    for (int64_t n = 0; n < 30; ++n) g.push_back(big(n % 6, n / 6)), mask.push_back(in(n % 6, n / 6));
    CImage hist(IMAGE_GREY_F, CSize(20, 20, 1));
    CPHoughEntropy().HoughFill(*test::FloatImage(6, 5, g), hist, *test::FloatImage(6, 5, mask), 0, 0);
    EXPECT_EQ(Cells(hist.Pixels<float>(), hist.Pixels<float>() + 400), PlainHough(6, 5, vote));
}

TEST(PHoughEntropy, Decisions) {
    // Distance bins truncate toward zero and are held inside 0 .. 19 (5 and -5.6
    // give 20 and -1 by the formula).
    for (auto [rho, bin] : {std::pair{-0.49f, 10}, {-0.51f, 9}, {5.0f, 19}, {-5.6f, 0}})
        EXPECT_EQ(CPHoughEntropy::DistanceBin(rho, 10.0f, 20), bin) << rho;
    // ComputeRegion needs the reference of a Run, which ReadParameters releases.
    NodeHarness h = Scene().Run();
    auto& node = static_cast<CPHoughEntropy&>(h.Node());
    auto ones = test::FilledImage(3, 3, 1.0f);
    std::vector<double> f(4, 0.0);
    node.ComputeRegion(*ones, *ones, 0, 0, f);
    node.ReadParameters();
    EXPECT_EQ(test::CatchException([&] { node.ComputeRegion(*ones, *ones, 0, 0, f); }).Message(),
              "m_pHoughHistRef is NULL");
    // HoughFill refuses a mask that reaches past the grey image.
    CImage hist(IMAGE_GREY_F, CSize(20, 20, 1));
    EXPECT_THROW(node.HoughFill(*ones, hist, *test::FilledImage(2, 2, 1.0f), 2, 0), CException);
}

TEST(PHoughEntropy, ChecksInTheirOrder) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPHoughEntropy(); }, "(feature plugins) HoughEntropy::Run",
                            {{Check::GreyNull, "First input image is NULL"},
                             {Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                             {Check::LabelNull, "Second input image is NULL"},
                             {Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}},
                            "The number of regions is zero!!");
}
