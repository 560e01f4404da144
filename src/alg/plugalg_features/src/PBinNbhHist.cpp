#include "PBinNbhHist.h"

#include <stdexcept>

#include "BinaryConfigurations.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "BinNbhHist";
const char* const kFeatureName = "feature";
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

    // Left untouched when the working memory cannot be had (see the class comment).
    float counters[kConfigurations];
    if (!BinaryConfigurationHistogram(grey.Pixels<float>(), W, mask.Pixels<float>(), w, h, x0, y0,
                                      BlockRule::TopLeftInRegion, counters))
        return;
    for (int k = 0; k < kConfigurations; ++k) features[static_cast<std::size_t>(k)] = counters[k];
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
    plan.buildValueVector = frame::ValueVectorCall(this, &CPBinNbhHist::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
