// The shared Run skeleton, crops, value vector and setup description, driven
// through a probe node that records what the frame hands to it.
#include <gtest/gtest.h>

#include "FeatureFrame.h"
#include "TestSupport.h"
#include "kelo/Memory.h"

using namespace KELO;
using test::FloatImage;
using test::NodeHarness;

namespace {

struct Seen {
    unsigned index;
    int64_t x0, y0, w, h;
    std::vector<float> grey, mask;
};

// Two features: the crop's pixel sum and its mask count; records every call.
class CPProbe : public CPNode {
public:
    explicit CPProbe(frame::Crop crop, int64_t nFeatures = 2) : m_crop(crop), m_nFeatures(nFeatures) {}
    void ReadParameters() override { verbose = Parameters().EntryBool("verbose", verbose); }
    void Run() override {
        frame::RunPlan plan;
        plan.fail = {frame::RunLocation("Probe"), std::nullopt};
        plan.inputs.checks = checks;
        plan.nFeatures = m_nFeatures;
        plan.verbose = verbose;
        plan.crop = m_crop;
        plan.compute = [this](const frame::RegionView& r, std::vector<double>& f) {
            Seen s{r.index, r.x0, r.y0, r.w, r.h, {}, {}};
            if (r.grey) s.grey.assign(r.grey->Pixels<float>(), r.grey->Pixels<float>() + r.grey->Size().Count());
            if (r.mask) s.mask.assign(r.mask->Pixels<float>(), r.mask->Pixels<float>() + r.mask->Size().Count());
            double sum = 0, count = 0;
            for (float v : s.grey) sum += v;
            for (float v : s.mask) count += v;
            f[0] = sum;
            if (f.size() > 1) f[1] = count;
            if (shrink) f.resize(1);
            seen.push_back(std::move(s));
        };
        if (all)
            plan.computeAll = [this](const frame::Inputs&, const std::vector<RegionInfo>& table, float* m) {
                // Every row as the frame hands it over, then marked with its label.
                for (std::size_t r = 0; r < table.size(); ++r) {
                    zeroOnEntry = zeroOnEntry && m[r * 2] == 0.0f && m[r * 2 + 1] == 0.0f;
                    m[r * 2] = static_cast<float>(table[r].label);
                }
            };
        plan.buildValueVector = [this](const float* m, CValueVector* out, unsigned n) {
            frame::FillValueVector(m, out, n, m_nFeatures, [](int64_t f) { return f == 0 ? "sum" : "count"; });
        };
        frame::Run(*this, plan);
    }
    std::vector<Seen> seen;
    bool shrink = false;
    bool all = false;  // computeAll instead of compute
    bool zeroOnEntry = true;
    std::vector<frame::InputCheck> checks{{frame::Check::GreyNull, "grey null"},
                                          {frame::Check::GreyType, "grey type"},
                                          {frame::Check::LabelNull, "label null"},
                                          {frame::Check::LabelType, "label type"}};

private:
    bool verbose = false;
    frame::Crop m_crop;
    int64_t m_nFeatures;
};

// clang-format off
const std::vector<float> kGrey = {
    1,  2,  3,  4,
    5,  6,  7,  8,
    9, 10, 11, 12,
};
const std::vector<float> kLabels = {
    0, 1, 1, 0,
    0, 5, 1, 0,
    2, 0, 0, 2,
};
// clang-format on

NodeHarness Probe(frame::Crop crop, std::vector<float> labels = kLabels) {
    NodeHarness h(new CPProbe(crop));
    h.Connect(0, FloatImage(4, 3, kGrey));
    h.Connect(1, FloatImage(4, 3, labels));
    return h;
}
CPProbe& ProbeOf(NodeHarness& h) { return static_cast<CPProbe&>(h.Node()); }

}  // namespace

TEST(FrameRun, CropsCoverTheBoxWithEveryPixelAndMaskOnlyTheLabel) {
    auto h = Probe(frame::Crop::GreyAndMask);
    h.Run();
    auto& seen = ProbeOf(h).seen;
    ASSERT_EQ(seen.size(), 3u);  // labels 1, 2, 5; 3 and 4 are skipped
    EXPECT_EQ(seen[0].index, 0u);
    EXPECT_EQ(seen[0].x0, 1);
    EXPECT_EQ(seen[0].w, 2);
    EXPECT_EQ(seen[0].h, 2);
    EXPECT_EQ(seen[0].grey, (std::vector<float>{2, 3, 6, 7}));  // label 5's pixel included
    EXPECT_EQ(seen[0].mask, (std::vector<float>{1, 1, 0, 1}));
    EXPECT_EQ(seen[1].grey, (std::vector<float>{9, 10, 11, 12}));
    EXPECT_EQ(seen[1].mask, (std::vector<float>{1, 0, 0, 1}));
    EXPECT_EQ(seen[2].index, 4u);
}

TEST(FrameRun, EmptyLabelsGiveZeroRowsInBothOutputs) {
    auto h = Probe(frame::Crop::GreyAndMask);
    const std::string out = h.RunCapturingStdout();
    EXPECT_EQ(out, "");  // quiet unless verbose
    ASSERT_EQ(h.Matrix().Size(), CSize(2, 5, 1));
    EXPECT_EQ(h.At(0, 0), 18.0f);
    EXPECT_EQ(h.At(1, 0), 3.0f);
    for (int r : {2, 3}) {
        EXPECT_EQ(h.At(0, r), 0.0f);
        EXPECT_EQ(h.At(1, r), 0.0f);
    }
    const CValueVector& v = h.Values();
    ASSERT_EQ(v.Size(), 2u);
    for (int f = 0; f < 2; ++f) {
        const auto* inner = dynamic_cast<const CValueVector*>(v.Entry(f));
        ASSERT_NE(inner, nullptr);
        ASSERT_EQ(inner->Size(), 5u);
        for (int r = 0; r < 5; ++r) EXPECT_EQ(inner->Entry(r)->Double(), static_cast<double>(h.At(f, r)));
    }
    EXPECT_EQ(test::MetaText(v, "1", "FeatureName"), "count");
}

TEST(FrameRun, VerboseReportsRegionsAndEmptyOnes) {
    auto h = Probe(frame::Crop::None);
    h.SetParameter("verbose", new CValueBool(true));
    EXPECT_EQ(h.RunCapturingStdout(),
              "The number of regions is: 5\n"
              "There are 3 non-empty regions. \n"
              "Warning: There are 2 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");
}

TEST(FrameRun, ThreeDimensionalLabelsUsePlaneZeroContent) {
    // Label 2 only in plane 1; its crop still comes from plane 0 at its box.
    NodeHarness h(new CPProbe(frame::Crop::GreyAndMask));
    h.Connect(0, FloatImage(2, 2, {1, 2, 3, 4, 50, 60, 70, 80}, 2));
    h.Connect(1, FloatImage(2, 2, {1, 0, 0, 0, 0, 2, 0, 0}, 2));
    h.Run();
    auto& seen = ProbeOf(h).seen;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].x0, 1);
    EXPECT_EQ(seen[1].grey, (std::vector<float>{2}));
    EXPECT_EQ(seen[1].mask, (std::vector<float>{0}));  // plane 0 holds no label 2 there
}

TEST(FrameRun, ChecksInOrderAndFailuresLeaveNoOutputs) {
    using frame::Check;
    test::ExpectInputChecks([] { return new CPProbe(frame::Crop::Grey); }, "(feature plugins) Probe::Run",
                            {{Check::GreyNull, "grey null"},
                             {Check::GreyType, "grey type"},
                             {Check::LabelNull, "label null"},
                             {Check::LabelType, "label type"}},
                            "The number of regions is zero!!");
    // A label image of another size than input 0 is refused, never read past its end.
    NodeHarness h(new CPProbe(frame::Crop::Grey));
    h.Connect(0, FloatImage(4, 3, kGrey));
    h.Connect(1, FloatImage(4, 2, std::vector<float>(8, 1.0f)));
    EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(),
              "Input and label image have differing sizes: (4, 3, 1) vs (4, 2, 1)");
    // Without type checks of its own a plan still never has an image read as floats
    // that holds other pixels: label image first, then the grey image of a grey crop.
    NodeHarness u(new CPProbe(frame::Crop::Grey));
    ProbeOf(u).checks.clear();
    u.Connect(0, std::make_unique<CImage>(IMAGE_GREY_16, CSize(4, 3, 1)));
    u.Connect(1, std::make_unique<CImage>(IMAGE_GREY_8, CSize(4, 3, 1)));
    EXPECT_EQ(test::CatchException([&] { u.Run(); }).Message(), "The label image is not of type IMAGE_GREY_F");
    u.Connect(1, FloatImage(4, 3, kLabels));
    EXPECT_EQ(test::CatchException([&] { u.Run(); }).Message(), "The first input image is not of type IMAGE_GREY_F");
    // A computation that shrinks its vector is a standard out-of-range failure.
    auto s = Probe(frame::Crop::Grey);
    ProbeOf(s).shrink = true;
    try {
        s.Run();
        FAIL() << "expected out_of_range";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
    }
    EXPECT_EQ(s.Node().StackOutput(0), nullptr);
}

TEST(FrameRun, OneCallForAllRegionsGetsAZeroMatrixAndTheFrameStillCounts) {
    auto h = Probe(frame::Crop::GreyAndMask);
    ProbeOf(h).all = true;
    h.SetParameter("verbose", new CValueBool(true));
    EXPECT_EQ(h.RunCapturingStdout(),
              "The number of regions is: 5\n"
              "There are 3 non-empty regions. \n"
              "Warning: There are 2 empty regions!!!\n"
              "By (re-)labeling the second input image before using this plugin, there is no more empty region.\n");
    EXPECT_TRUE(ProbeOf(h).seen.empty());
    EXPECT_TRUE(ProbeOf(h).zeroOnEntry);
    for (int r = 0; r < 5; ++r) EXPECT_EQ(h.At(0, r), r + 1.0f);
    EXPECT_EQ(h.Values().Entry("0/4")->Double(), 5.0);
}

namespace {
// A memory limit for one test, lifted when it ends.
struct ScopedMemoryLimit {
    explicit ScopedMemoryLimit(uint64_t bytes) { SetMemoryLimit(bytes); }
    ~ScopedMemoryLimit() { SetMemoryLimit(0); }
};
}  // namespace

TEST(FrameMemory, LabelsWhoseTableAndOutputsDoNotFitAreRefusedBeforeTheTableIsMade) {
    // One pixel of 16777217 (the float 16777216) among small labels.
    std::vector<float> labels = kLabels;
    labels[3] = 16777217.0f;
    {
        ScopedMemoryLimit limit(1 << 20);
        auto h = Probe(frame::Crop::Grey, labels);
        const CException e = test::CatchException([&] { h.Run(); });
        EXPECT_EQ(e.Location(), "(feature plugins) Probe::Run");
        // 16777216 x (40 table + 2 x (4 matrix + 40 output 1)) bytes.
        EXPECT_EQ(e.Message(), "Largest label 16777216 needs 2.0 GB for the region table and outputs, more than the "
                               "1.0 MB of memory available");
        EXPECT_TRUE(ProbeOf(h).seen.empty());
        EXPECT_EQ(h.Node().StackOutput(0), nullptr);
        EXPECT_EQ(h.Node().StackOutput(1), nullptr);
    }
    // The limit is a bound the run may reach: exactly what it needs runs, one byte
    // less is refused (in bytes, as both round to the same KB).
    const uint64_t needed = frame::RunMemory(5, 2, 0);
    EXPECT_EQ(needed, 5u * (sizeof(RegionInfo) + 2 * (4 + 40)));
    {
        ScopedMemoryLimit limit(needed);
        auto h = Probe(frame::Crop::Grey);
        h.Run();
        EXPECT_EQ(ProbeOf(h).seen.size(), 3u);
    }
    {
        ScopedMemoryLimit limit(needed - 1);
        auto h = Probe(frame::Crop::Grey);
        EXPECT_EQ(test::CatchException([&] { h.Run(); }).Message(),
                  "Largest label 5 needs " + std::to_string(needed) +
                      " bytes for the region table and outputs, more than the " + std::to_string(needed - 1) +
                      " bytes of memory available");
    }
    // Without a limit the machine's memory bounds the run: a label of 4e9 with
    // 100000 features asks for petabytes.
    NodeHarness big(new CPProbe(frame::Crop::None, 100000));
    big.Connect(0, FloatImage(2, 1, {0, 0}));
    big.Connect(1, FloatImage(2, 1, {1, 4e9f}));
    const std::string m = test::CatchException([&] { big.Run(); }).Message();
    EXPECT_EQ(m.rfind("Largest label 4000000000 needs 15.6 PB for the region table and outputs, more than the ", 0),
              0u)
        << m;
    EXPECT_EQ(frame::MemoryText(1023), "1023 bytes");
    EXPECT_EQ(frame::MemoryText(1536), "1.5 KB");
    EXPECT_EQ(frame::MemoryText(UINT64_MAX), "16.0 EB");
}

TEST(FrameMemory, HostLimitAndMachineMemory) {
    EXPECT_EQ(MemoryLimit(), 0u);
    EXPECT_GT(PhysicalMemory(), 0u);
    EXPECT_EQ(AvailableMemory(), PhysicalMemory());
    {
        ScopedMemoryLimit limit(12345);
        EXPECT_EQ(MemoryLimit(), 12345u);
        EXPECT_EQ(AvailableMemory(), 12345u);
    }
    // A limit above the machine's memory does not raise what a run may use.
    ScopedMemoryLimit limit(UINT64_MAX);
    EXPECT_EQ(AvailableMemory(), PhysicalMemory());
}

// The entries every node's setup shares (order, labels, documentation path) are
// compared with the stored reference of each node; here what no node shows.
TEST(FrameSetup, AddsToHostKeywordsAndDocumentsParametersItDoesNotHold) {
    frame::SetupPlan s;
    s.registryName = "Probe";
    s.verbose = true;
    s.addParameters = [](CValueMap& p) { p.SetEntry("m_n", new CValueLong(4)); };
    s.pluginSubType = "ProbeFeaturePlugin";
    s.shortDescription = "short";
    s.featureNamesSize = 3;
    s.featureNames = {"a", "b"};
    s.descriptionHead = "BRIEF\nx\n\n";
    s.inputDocs[0] = "in0";
    s.inputDocs[1] = "in1";
    s.outputDocs[0] = "out0";
    s.outputDocs[1] = "out1";
    s.parameterDocs = {{"verbose", "vdoc"}, {"data", "not stored"}, {"m_n", "ndoc"}};
    s.keywords = {"k1", "k2"};
    CValueMap setup;
    setup.SetEntry("keywords", new CValueVector());
    static_cast<CValueVector*>(setup.Entry("keywords"))->SetEntry(0, new CValueString("host"));
    frame::DescribeSetup(setup, s);

    EXPECT_EQ(test::Text(setup, "keywords/0"), "host");
    EXPECT_EQ(test::Text(setup, "keywords/2"), "k2");
    EXPECT_EQ(test::MetaText(setup, "parameters/m_n", "desc"), "ndoc");
    EXPECT_FALSE(setup.HasEntry("parameters/data"));
    EXPECT_EQ(static_cast<CValueVector*>(setup.Entry("FeatureNames"))->Size(), 3u);
    EXPECT_EQ(test::Text(setup, "description"),
              "BRIEF\nx\n\nINPUT 0\nin0\n\n\nINPUT 1\nin1\n\n\nOUTPUT 0\nout0\n\n\nOUTPUT 1\nout1\n\n\n"
              "PARAMETER verbose\nvdoc\n\n\nPARAMETER data\nnot stored\n\n\nPARAMETER m_n\nndoc\n\n\n");
}
