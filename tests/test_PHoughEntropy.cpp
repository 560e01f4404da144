#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "PHoughEntropy.h"
#include "Registry.h"
#include "TestSupport.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

// ----------------------------------------------------------------- plain reference
//
// The votes written out straight from their definition, pixel by pixel and angle
// by angle, with the angle recomputed for every pixel and no clamping of bins.

constexpr int kN = 20;

struct Votes {
    std::vector<float> cells = std::vector<float>(kN * kN, 0.0f);
    float operator()(int angle, int bin) const { return cells[static_cast<std::size_t>(angle * kN + bin)]; }
};

// Pixel (i, j) of a w x h box votes with grey(i, j) when mask(i, j) holds and the
// grey value is > 0. columnMajor false visits the box row by row instead.
Votes PlainHough(int64_t w, int64_t h, const std::function<float(int64_t, int64_t)>& grey,
                 const std::function<bool(int64_t, int64_t)>& mask, bool columnMajor = true) {
    Votes v;
    const float step = static_cast<float>(2.0 * std::asin(1.0)) / static_cast<float>(kN);
    const float diag = std::sqrt(static_cast<float>(w * w + h * h));
    auto vote = [&](int64_t i, int64_t j) {
        const float g = grey(i, j);
        if (!mask(i, j) || !(g > 0.0f)) return;
        const auto xc = static_cast<float>(i - w / 2);
        const auto yc = static_cast<float>(j - h / 2);
        float theta = 0.0f;
        for (int k = 0; k < kN; ++k) {
            const float rho = xc * std::cos(theta) + yc * std::sin(theta);
            const long long bin = static_cast<long long>(std::trunc(kN * rho / diag)) + kN / 2;
            EXPECT_TRUE(bin >= 0 && bin < kN) << "bin " << bin << " at (" << i << ", " << j << ")";
            if (bin >= 0 && bin < kN) v.cells[static_cast<std::size_t>(k * kN + bin)] += g;
            theta += step;
        }
    };
    if (columnMajor) {
        for (int64_t i = 0; i < w; ++i)
            for (int64_t j = 0; j < h; ++j) vote(i, j);
    } else {
        for (int64_t j = 0; j < h; ++j)
            for (int64_t i = 0; i < w; ++i) vote(i, j);
    }
    return v;
}

Votes PlainReference() {
    return PlainHough(kN, kN, [](int64_t, int64_t) { return 1.0f; }, [](int64_t, int64_t) { return true; });
}

// The four measures of a region's votes, normalised by the reference.
std::vector<double> PlainMeasures(const Votes& region) {
    const Votes ref = PlainReference();
    std::vector<float> n(kN * kN);
    for (std::size_t i = 0; i < n.size(); ++i) n[i] = ref.cells[i] > 20.0f ? region.cells[i] / ref.cells[i] : 0.0f;
    double s = 0.0, m = 0.0;
    for (float c : n) {
        s += c;
        m = std::max(m, static_cast<double>(c));
    }
    if (s == 0.0) s = 1.0;
    double q = 0.0, e = 0.0;
    for (float c : n) {
        const double p = c / s;
        if (p > 0.0) {
            q += p * p;
            e -= p * std::log(p);
        }
    }
    return {m / s, q, e, m};
}

// A scene: grey image and label image of the same size.
struct Scene {
    int64_t W, H;
    std::vector<float> grey, labels;
    float Grey(int64_t x, int64_t y) const { return grey[static_cast<std::size_t>(y * W + x)]; }
    float Label(int64_t x, int64_t y) const { return labels[static_cast<std::size_t>(y * W + x)]; }
};

// The plain measures of label l, over its bounding box in the scene.
std::vector<double> PlainRegion(const Scene& s, float l) {
    int64_t x0 = s.W, y0 = s.H, x1 = -1, y1 = -1;
    for (int64_t y = 0; y < s.H; ++y)
        for (int64_t x = 0; x < s.W; ++x)
            if (s.Label(x, y) == l) {
                x0 = std::min(x0, x), x1 = std::max(x1, x);
                y0 = std::min(y0, y), y1 = std::max(y1, y);
            }
    if (x1 < 0) return {0.0, 0.0, 0.0, 0.0};
    const Votes v = PlainHough(
        x1 - x0 + 1, y1 - y0 + 1, [&](int64_t i, int64_t j) { return s.Grey(x0 + i, y0 + j); },
        [&](int64_t i, int64_t j) { return s.Label(x0 + i, y0 + j) == l; });
    return PlainMeasures(v);
}

NodeHarness Node(const Scene& s) {
    NodeHarness h(new CPHoughEntropy());
    h.Connect(0, FloatImage(s.W, s.H, s.grey));
    h.Connect(1, FloatImage(s.W, s.H, s.labels));
    return h;
}

// A deterministic scene: four irregular regions with varied grey values, label 3
// left out, label 5 in the bottom right corner.
Scene MixedScene() {
    Scene s{24, 18, {}, {}};
    s.grey.resize(static_cast<std::size_t>(s.W * s.H));
    s.labels.resize(s.grey.size());
    uint32_t state = 12345;
    for (int64_t y = 0; y < s.H; ++y)
        for (int64_t x = 0; x < s.W; ++x) {
            state = state * 1664525u + 1013904223u;
            float g = static_cast<float>((state >> 8) % 2000) / 7.0f;
            if ((state >> 4) % 13 == 0) g = -g;  // a few pixels that do not vote
            if ((state >> 4) % 17 == 0) g = 0.0f;
            s.grey[static_cast<std::size_t>(y * s.W + x)] = g;
            float l = 0.0f;
            const int64_t dx = x - 6, dy = y - 6;
            if (dx * dx + dy * dy <= 25) l = 1.0f;                      // disc
            else if (x >= 12 && x < 22 && y == 2 + (x - 12) / 2) l = 2.0f;  // slanted line
            else if (x >= 2 && x < 10 && y >= 13 && (x + y) % 3 != 0) l = 4.0f;
            else if (x >= 17 && y >= 11 && x + y >= 31) l = 5.0f;      // corner triangle
            s.labels[static_cast<std::size_t>(y * s.W + x)] = l;
        }
    return s;
}

void ExpectRow(const NodeHarness& h, int64_t region, const std::vector<double>& expected) {
    for (int f = 0; f < 4; ++f)
        EXPECT_FLOAT_EQ(h.At(f, region), static_cast<float>(expected[static_cast<std::size_t>(f)]))
            << "feature " << f << ", region " << region;
}

std::string Message(const std::function<void()>& fn) { return test::CatchException(fn).Message(); }

}  // namespace

// ----------------------------------------------------------------- reference histogram

TEST(PHoughEntropy, ReferenceHistogram) {
    NodeHarness h(new CPHoughEntropy());
    h.Connect(0, test::FilledImage(4, 4, 1.0f));
    h.Connect(1, test::FilledImage(4, 4, 1.0f));
    h.Run();
    const auto* node = static_cast<CPHoughEntropy*>(&h.Node());
    ASSERT_NE(node->HoughHistRef(), nullptr);
    ASSERT_EQ(node->HoughHistRef()->Size(), CSize(20, 20, 1));
    const float* ref = node->HoughHistRef()->Pixels<float>();

    // Angle 0: rho = xc, bin = trunc(xc * 20 / sqrt(800)) + 10, by hand for
    // xc = -10 .. 9 with 20 positions each; truncation toward zero makes bin 10
    // three columns wide.
    const std::map<int, float> row0 = {{3, 20},  {4, 20},  {5, 20},  {6, 40},  {7, 20},  {8, 40},  {9, 20},
                                       {10, 60}, {11, 20}, {12, 40}, {13, 20}, {14, 40}, {15, 20}, {16, 20}};
    for (int d = 0; d < 20; ++d) EXPECT_EQ(ref[d], row0.count(d) ? row0.at(d) : 0.0f) << "bin " << d;

    // Every position votes once per angle; the whole table agrees with the plain votes.
    const Votes plain = PlainReference();
    for (int k = 0; k < 20; ++k) {
        float rowSum = 0.0f;
        for (int d = 0; d < 20; ++d) {
            rowSum += ref[k * 20 + d];
            EXPECT_EQ(ref[k * 20 + d], plain(k, d)) << "angle " << k << ", bin " << d;
        }
        EXPECT_EQ(rowSum, 400.0f) << "angle " << k;
    }
}

TEST(PHoughEntropy, ReferenceLifecycle) {
    auto* node = new CPHoughEntropy();
    NodeHarness h(node);
    EXPECT_EQ(node->HoughHistRef(), nullptr);
    auto grey = test::FilledImage(3, 3, 2.0f);
    auto mask = test::FilledImage(3, 3, 1.0f);
    std::vector<double> features(4, 0.0);
    EXPECT_EQ(Message([&] { node->ComputeRegion(*grey, *mask, 0, 0, features); }), "m_pHoughHistRef is NULL");

    h.Connect(0, test::FilledImage(3, 3, 2.0f));
    h.Connect(1, test::FilledImage(3, 3, 1.0f));
    h.Run();
    ASSERT_NE(node->HoughHistRef(), nullptr);
    const std::vector<float> first(node->HoughHistRef()->Pixels<float>(), node->HoughHistRef()->Pixels<float>() + 400);
    node->ComputeRegion(*grey, *mask, 0, 0, features);
    EXPECT_EQ(static_cast<float>(features[3]), h.At(3, 0));

    // Released by ReadParameters, made again (the same) by the next Run.
    node->ReadParameters();
    EXPECT_EQ(node->HoughHistRef(), nullptr);
    EXPECT_EQ(Message([&] { node->ComputeRegion(*grey, *mask, 0, 0, features); }), "m_pHoughHistRef is NULL");
    node->Run();
    ASSERT_NE(node->HoughHistRef(), nullptr);
    EXPECT_EQ(std::vector<float>(node->HoughHistRef()->Pixels<float>(), node->HoughHistRef()->Pixels<float>() + 400),
              first);

    // A features vector too short for the four values is refused, not overrun.
    std::vector<double> shortVector(3, 0.0);
    EXPECT_THROW(node->ComputeRegion(*grey, *mask, 0, 0, shortVector), std::out_of_range);
}

TEST(PHoughEntropy, FullSquareKeepsOnlyWellCoveredCells) {
    // A 20 x 20 region reproduces the reference: each kept cell is 1 (times the
    // grey value), cells with a reference count of 20 or less are 0.
    const Votes ref = PlainReference();
    int kept = 0;
    for (float c : ref.cells) kept += c > 20.0f ? 1 : 0;
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, 400);
    for (float g : {1.0f, 3.0f}) {
        NodeHarness h(new CPHoughEntropy());
        h.Connect(0, test::FilledImage(20, 20, g));
        h.Connect(1, test::FilledImage(20, 20, 1.0f));
        h.Run();
        EXPECT_FLOAT_EQ(h.At(0, 0), 1.0f / kept);
        EXPECT_FLOAT_EQ(h.At(1, 0), 1.0f / kept);
        EXPECT_FLOAT_EQ(h.At(2, 0), std::log(static_cast<float>(kept)));
        EXPECT_EQ(h.At(3, 0), g);
    }
}

// ----------------------------------------------------------------- votes

TEST(PHoughEntropy, SingleVoteAndBounds) {
    CPHoughEntropy node;
    CImage hist(IMAGE_GREY_F, CSize(20, 20, 1));
    auto grey = test::FilledImage(7, 5, 0.0f);
    grey->Pixels<float>()[2 * 7 + 4] = 2.5f;
    auto mask = test::FilledImage(3, 3, 1.0f);
    // One voting pixel: one cell per angle row gets exactly its grey value.
    node.HoughFill(*grey, hist, *mask, 2, 1);
    for (int k = 0; k < 20; ++k) {
        int hits = 0;
        for (int d = 0; d < 20; ++d) {
            const float c = hist.Pixels<float>()[k * 20 + d];
            if (c != 0.0f) {
                ++hits;
                EXPECT_EQ(c, 2.5f);
            }
        }
        EXPECT_EQ(hits, 1) << "angle " << k;
    }

    // A mask reaching past the grey image, or images of another type, are
    // refused before the histogram is touched.
    std::fill_n(hist.Pixels<float>(), 400, 7.0f);
    for (auto [x0, y0] : {std::pair{5, 0}, std::pair{0, 3}, std::pair{-1, 0}}) {
        const CException e = test::CatchException([&] { node.HoughFill(*grey, hist, *mask, x0, y0); });
        EXPECT_EQ(e.Location(), "(feature plugins) HoughEntropy::HoughFill");
    }
    CImage bytes(IMAGE_GREY_8, CSize(7, 5, 1));
    EXPECT_THROW(node.HoughFill(bytes, hist, *mask, 0, 0), CException);
    EXPECT_EQ(std::count(hist.Pixels<float>(), hist.Pixels<float>() + 400, 7.0f), 400);

}

TEST(PHoughEntropy, DistanceBinsStayInside) {
    // trunc(20 * rho / diag) + 10 toward zero, held inside 0 .. 19: only the
    // rounding of enormous boxes can reach the ends, so they are checked here.
    EXPECT_EQ(CPHoughEntropy::DistanceBin(0.0f, 10.0f, 20), 10);
    EXPECT_EQ(CPHoughEntropy::DistanceBin(-0.49f, 10.0f, 20), 10);  // toward zero, not down
    EXPECT_EQ(CPHoughEntropy::DistanceBin(-0.51f, 10.0f, 20), 9);
    EXPECT_EQ(CPHoughEntropy::DistanceBin(4.99f, 10.0f, 20), 19);
    EXPECT_EQ(CPHoughEntropy::DistanceBin(5.0f, 10.0f, 20), 19);    // would be bin 20
    EXPECT_EQ(CPHoughEntropy::DistanceBin(-5.0f, 10.0f, 20), 0);
    EXPECT_EQ(CPHoughEntropy::DistanceBin(-5.6f, 10.0f, 20), 0);    // would be bin -1
    EXPECT_EQ(CPHoughEntropy::DistanceBin(1e30f, 1.0f, 20), 19);
    EXPECT_EQ(CPHoughEntropy::DistanceBin(2.5f, 5.0f, 5), 4);       // odd count: half is 2
}

TEST(PHoughEntropy, ColumnByColumnVoteOrder) {
    // Huge and small votes share cells, so float sums depend on the order of the
    // votes: the histogram must match the column-by-column order.
    const int64_t w = 6, h = 5;
    std::vector<float> g(static_cast<std::size_t>(w * h));
    for (int64_t j = 0; j < h; ++j)
        for (int64_t i = 0; i < w; ++i)
            g[static_cast<std::size_t>(j * w + i)] = ((i + 2 * j) % 3 == 0) ? 16777216.0f : 1.0f;
    auto grey = [&](int64_t i, int64_t j) { return g[static_cast<std::size_t>(j * w + i)]; };
    auto all = [](int64_t, int64_t) { return true; };
    const Votes byColumn = PlainHough(w, h, grey, all, true);
    const Votes byRow = PlainHough(w, h, grey, all, false);
    ASSERT_NE(byColumn.cells, byRow.cells) << "the scene does not tell the orders apart";

    CPHoughEntropy node;
    CImage hist(IMAGE_GREY_F, CSize(20, 20, 1));
    node.HoughFill(*FloatImage(w, h, g), hist, *test::FilledImage(w, h, 1.0f), 0, 0);
    EXPECT_EQ(std::vector<float>(hist.Pixels<float>(), hist.Pixels<float>() + 400), byColumn.cells);
}

// ----------------------------------------------------------------- regions against the plain reference

TEST(PHoughEntropy, RegionsMatchPlainReference) {
    const Scene s = MixedScene();
    NodeHarness h = Node(s);
    h.Run();
    ASSERT_EQ(h.Matrix().Size(), CSize(4, 5, 1));
    for (int l = 1; l <= 5; ++l) ExpectRow(h, l - 1, PlainRegion(s, static_cast<float>(l)));
    for (int f = 0; f < 4; ++f) EXPECT_EQ(h.At(f, 2), 0.0f);  // label 3 does not occur
    EXPECT_GT(h.At(3, 0), 0.0f);

    // Output 1 carries the same values, one inner vector per feature with its name.
    const char* names[] = {"max/sum", "expectation of normalized density (ala Reny's entropy)",
                           "expectation of log normalized density (entropy)", "histogram maximum"};
    const CValueVector& values = h.Values();
    ASSERT_EQ(values.Size(), 4u);
    for (int f = 0; f < 4; ++f) {
        EXPECT_EQ(test::MetaText(values, std::to_string(f), "FeatureName"), names[f]);
        const auto* inner = dynamic_cast<const CValueVector*>(values.Entry(f));
        ASSERT_NE(inner, nullptr);
        ASSERT_EQ(inner->Size(), 5u);
        for (int r = 0; r < 5; ++r) EXPECT_EQ(inner->Entry(r)->Double(), static_cast<double>(h.At(f, r)));
    }
}

TEST(PHoughEntropy, ScaleInvariantRatios) {
    const Scene s = MixedScene();
    NodeHarness base = Node(s);
    base.Run();
    // By 4 every float operation scales exactly; by 2.5 up to rounding.
    for (float factor : {4.0f, 2.5f}) {
        Scene scaled = s;
        for (float& g : scaled.grey) g *= factor;
        NodeHarness h = Node(scaled);
        h.Run();
        for (int r : {0, 1, 3, 4}) {
            for (int f = 0; f < 3; ++f) EXPECT_NEAR(h.At(f, r), base.At(f, r), 1e-5f * std::abs(base.At(f, r)));
            EXPECT_NEAR(h.At(3, r), factor * base.At(3, r), 1e-5f * factor * base.At(3, r));
            if (factor == 4.0f) {
                for (int f = 0; f < 3; ++f) EXPECT_EQ(h.At(f, r), base.At(f, r));
                EXPECT_EQ(h.At(3, r), 4.0f * base.At(3, r));
            }
        }
    }
}

TEST(PHoughEntropy, OnlyFinitePositiveGreyValuesVote) {
    Scene s = MixedScene();
    // No grey value > 0 in region 2: every feature 0.
    for (std::size_t i = 0; i < s.grey.size(); ++i)
        if (s.labels[i] == 2.0f) s.grey[i] = -1.0f;
    Scene broken = s;
    Scene silenced = s;
    const float bad[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
    int n = 0;
    for (std::size_t i = 0; i < s.grey.size(); i += 5) {
        if (s.labels[i] != 1.0f && s.labels[i] != 4.0f) continue;
        broken.grey[i] = bad[n++ % 3];
        silenced.grey[i] = 0.0f;
    }
    ASSERT_GE(n, 6);
    NodeHarness a = Node(broken);
    NodeHarness b = Node(silenced);
    a.Run();
    b.Run();
    for (int r = 0; r < 5; ++r)
        for (int f = 0; f < 4; ++f) {
            EXPECT_TRUE(std::isfinite(a.At(f, r)));
            EXPECT_EQ(a.At(f, r), b.At(f, r)) << "feature " << f << ", region " << r;
        }
    for (int f = 0; f < 4; ++f) EXPECT_EQ(a.At(f, 1), 0.0f);
}

TEST(PHoughEntropy, SeveralPlanesUsePlaneZero) {
    // Label 1 in plane 0 (a 3 x 3 square) and plane 1 (a row reaching x = 6), so its
    // box is 7 x 3; label 2 only in plane 1.
    const int64_t W = 8, H = 4;
    std::vector<float> grey(static_cast<std::size_t>(W * H * 2)), labels(grey.size(), 0.0f);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<float>(1 + (i * 7) % 11);
    for (int64_t y = 0; y < 3; ++y)
        for (int64_t x = 0; x < 3; ++x) labels[static_cast<std::size_t>(y * W + x)] = 1.0f;
    for (int64_t x = 0; x < 7; ++x) labels[static_cast<std::size_t>(W * H + 2 * W + x)] = 1.0f;
    labels[static_cast<std::size_t>(W * H + 3 * W + 7)] = 2.0f;
    NodeHarness h(new CPHoughEntropy());
    h.Connect(0, FloatImage(W, H, grey, 2));
    h.Connect(1, FloatImage(W, H, labels, 2));
    h.Run();

    const Votes v = PlainHough(
        7, 3, [&](int64_t i, int64_t j) { return grey[static_cast<std::size_t>(j * W + i)]; },
        [&](int64_t i, int64_t j) { return i < 3 && j < 3; });
    ExpectRow(h, 0, PlainMeasures(v));
    for (int f = 0; f < 4; ++f) EXPECT_EQ(h.At(f, 1), 0.0f);
}

// ----------------------------------------------------------------- failures and texts

TEST(PHoughEntropy, MessagesInCheckOrder) {
    NodeHarness h(new CPHoughEntropy());
    auto run = [&] { return test::CatchException([&] { h.Run(); }); };
    EXPECT_EQ(run().Location(), "(feature plugins) HoughEntropy::Run");
    EXPECT_EQ(run().Message(), "First input image is NULL");
    h.Connect(1, std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)));
    EXPECT_EQ(run().Message(), "First input image is NULL");
    h.Connect(0, std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)));
    h.Connect(1, nullptr);
    EXPECT_EQ(run().Message(), "The first input image is not of type IMAGE_GREY_F");
    h.Connect(0, test::FilledImage(4, 4, 1.0f));
    EXPECT_EQ(run().Message(), "Second input image is NULL");
    h.Connect(1, std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 4, 1)));
    EXPECT_EQ(run().Message(), "The second input image is not of type IMAGE_GREY_F");
    h.Connect(1, test::FilledImage(4, 4, 0.0f));
    EXPECT_EQ(run().Message(), "The number of regions is zero!!");
    EXPECT_EQ(h.Node().StackOutput(0), nullptr);
    EXPECT_EQ(h.Node().StackOutput(1), nullptr);

    // A later failure leaves the outputs of the last good run in place.
    h.Connect(1, test::FilledImage(4, 4, 1.0f));
    h.Run();
    const CValue* out0 = h.Node().StackOutput(0);
    h.Connect(0, nullptr);
    EXPECT_EQ(run().Message(), "First input image is NULL");
    EXPECT_EQ(h.Node().StackOutput(0), out0);
}

TEST(PHoughEntropy, SetupDescription) {
    CPHoughEntropy node;
    node.Parameters().SetEntry("verbose", new CValueBool(true));
    node.ReadParameters();
    const auto setup = test::Setup(node);
    EXPECT_EQ(test::Text(*setup, "pluginType"), "image");
    EXPECT_EQ(test::Text(*setup, "PluginSubType"), "HoughEntropyFeaturePlugin");
    EXPECT_EQ(test::Text(*setup, "Description"), "entropy of the Hough Histogram");
    EXPECT_EQ(test::Text(*setup, "__zorvatDocumentation"),
              "%KELODIR%/doc/zorvat/html/features/PHoughEntropy/index.html");
    EXPECT_FALSE(setup->HasEntry("keywords"));
    EXPECT_FALSE(setup->HasEntry("subType"));

    EXPECT_TRUE(setup->Entry("parameters/verbose")->Bool());
    EXPECT_EQ(setup->Entry("parameters")->Type(), EValueType::Map);
    EXPECT_EQ(test::MetaText(*setup, "parameters/verbose", "desc"),
              "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set "
              "to \\a false.\n");

    const auto* names = dynamic_cast<const CValueVector*>(setup->Entry("FeatureNames"));
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(names->Size(), 4u);
    EXPECT_EQ(test::Text(*names, "0"), "max/sum");
    EXPECT_EQ(test::Text(*names, "1"), "expectation of normalized density (ala Reny's entropy)");
    EXPECT_EQ(test::Text(*names, "2"), "expectation of log normalized density (entropy)");
    EXPECT_EQ(test::Text(*names, "3"), "histogram maximum");

    EXPECT_EQ(test::MetaText(*setup, "inputs/0", "label"), "Data Image");
    EXPECT_EQ(test::MetaText(*setup, "inputs/1", "label"), "Label Image");
    EXPECT_EQ(test::MetaText(*setup, "outputs/0", "label"), "Calculated features output as image");
    EXPECT_EQ(test::MetaText(*setup, "outputs/1", "label"), "Calculated features as CValueVector");
    EXPECT_FALSE(setup->Entry("inputs/1")->MetaIfAny()->Entry("optional")->Bool());

    const std::string d = test::Text(*setup, "description");
    EXPECT_EQ(d.rfind("BRIEF\nNode to compute several measures of the entropy of the Hough histogram.\n", 0), 0u);
    for (const char* part :
         {"should be reflected in entropy values computed in the hough space",
          "- maximal value devided through sum of foreground pixels\n",
          "- expectation of normalized density (Reny entropy)\n",
          "- expectation of logarithmic normalized density (entropy)\n", "- maximal value of histogram",
          "INPUT 0\nFirst input image, must be of type IMAGE_GREY_F\n", "INPUT 1\nSecond input label image.\n",
          "OUTPUT 0\nOutput image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number "
          "of labels (=number of rows) and \\f$m\\f$ is the number of features (=number of columns).\n",
          "OUTPUT 1\nValue vector with the same information and meta information for each output feature.\n",
          "PARAMETER verbose\nThe type of this parameter is of type bool."})
        EXPECT_NE(d.find(part), std::string::npos) << part;
    EXPECT_LT(d.find("INPUT 0"), d.find("OUTPUT 1"));
    EXPECT_LT(d.find("OUTPUT 1"), d.find("PARAMETER verbose"));
    EXPECT_EQ(d.find("PARAMETER data"), std::string::npos);
}

TEST(PHoughEntropy, RegistryRow) {
    std::unique_ptr<CPNode> node(registry::Create("HoughEntropy"));
    EXPECT_NE(dynamic_cast<CPHoughEntropy*>(node.get()), nullptr);
    EXPECT_EQ(registry::Create("houghentropy"), nullptr);
    std::unique_ptr<CValueVector> list(registry::List());
    EXPECT_EQ(test::Text(*list, "6"), "HoughEntropy");
}
