#include "PBinNbhHist.h"

#include <cmath>
#include <memory>
#include <new>
#include <stdexcept>

#include "FeatureFrame.h"
#include "MaskedRunningMean.h"

namespace KELO {

namespace {
const char* const kName = "BinNbhHist";
const char* const kFeatureName = "feature";
constexpr int kRadius = 10;           // of the running mean
constexpr int kPasses = 1;            // along rows, then along columns
constexpr float kBitThreshold = 5.0f;  // a pixel is on when |g - s| exceeds it

// On when the grey value differs from the local mean by more than the threshold;
// false for NaN on either side.
inline unsigned Bit(float grey, float smoothed) { return std::fabs(grey - smoothed) > kBitThreshold ? 1u : 0u; }
}  // namespace

CPBinNbhHist::CPBinNbhHist() = default;
CPBinNbhHist::~CPBinNbhHist() = default;

void CPBinNbhHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "BinNbhHistFeaturePlugin";
    s.shortDescription = "binary neighbourhood histogram (ala Orlent)";
    // The names vector starts with 8 slots and grows to the 16 names.
    s.featureNamesSize = 8;
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), kFeatureName);
    s.descriptionHead =
        "BRIEF\nNode to compute the binary 2x2 configuration histogram.\n\nThis plugin computes the binary 2x2 "
        "configuration histogram. It can be useful\nto characterize binary texture data.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixels, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows) and \\f$m\\f$ is the number of pieces\n(= number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    s.descriptionTail = frame::Section("KEYWORDS", "binnbhhist, binary pattern, histogram");
    s.keywords = {"binnbhhist", "binary pattern", "histogram"};
    frame::DescribeSetup(setup, s);
}

void CPBinNbhHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPBinNbhHist::ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                                 std::vector<double>& features) {
    if (features.size() < static_cast<std::size_t>(m_nFeatures)) throw std::out_of_range("invalid vector<T> subscript");
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    const int64_t W = gs.x;
    const int64_t w = ms.x;
    const int64_t h = ms.y;
    if (grey.Type() != IMAGE_GREY_F || mask.Type() != IMAGE_GREY_F)
        throw std::invalid_argument("grey image and mask must be of type IMAGE_GREY_F");
    if (w <= 0 || h <= 0) return;
    if (x0 < 0 || y0 < 0 || x0 + w > W || y0 + h > gs.y)
        throw std::out_of_range("region box does not lie inside the grey image");

    const float* g = grey.Pixels<float>();
    const float* m = mask.Pixels<float>();
    // The working copy holds the box only (see the class comment).
    std::unique_ptr<float[]> smoothed(new (std::nothrow) float[static_cast<std::size_t>(w * h)]);
    if (!smoothed) return;
    // Without scratch memory for the means the features stay 0 (see the class comment).
    if (SmoothRegionBox(g, W, m, w, h, x0, y0, kPasses, kRadius, smoothed.get()) != kRunningMeanOk) return;
    const float* s = smoothed.get();

    // The last column and the last row of the box are never top-left pixels.
    float counters[16] = {};
    int64_t n = 0;  // a 32-bit count would do for any box of realistic size
    for (int64_t j = 0; j + 1 < h; ++j) {
        const float* g0 = g + (y0 + j) * W + x0;
        const float* g1 = g0 + W;
        const float* s0 = s + j * w;
        const float* s1 = s0 + w;
        const float* m0 = m + j * w;
        const float* m1 = m0 + w;
        for (int64_t i = 0; i + 1 < w; ++i) {
            if (m0[i] == 0.0f) continue;
            unsigned k = Bit(g0[i], s0[i]);
            if (m0[i + 1] != 0.0f) k |= Bit(g0[i + 1], s0[i + 1]) << 1;
            if (m1[i] != 0.0f) k |= Bit(g1[i], s1[i]) << 2;
            if (m1[i + 1] != 0.0f) k |= Bit(g1[i + 1], s1[i + 1]) << 3;
            counters[k] += 1.0f;
            ++n;
        }
    }
    if (n > 0) {
        const auto total = static_cast<float>(n);
        for (float& c : counters) c /= total;
    }
    for (int k = 0; k < 16; ++k) features[static_cast<std::size_t>(k)] = counters[k];
}

void CPBinNbhHist::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPBinNbhHist::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyType, "First input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::LabelType, "Second input image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = frame::MaskFormCall(this);
    plan.buildValueVector = [this](const float* m, CValueVector* out, unsigned n) { BuildValueVector(m, out, n); };
    frame::Run(*this, plan);
}

}  // namespace KELO
