#include "PBinNbhHistPlusXYEntropy.h"

#include <stdexcept>

#include "AutoThreshold.h"
#include "BinaryConfigurations.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "BinNbhHistPlusXYEntropy";
const char* const kFeatureName = "feature";
constexpr std::size_t kDark = kConfigurations;  // the dark set's column, the bright set's follows

const char* const kHead =
    "BRIEF\nNode to compute the binary 2x2 configuration histogram and a measure of the entropy of the 2d "
    "positions\nof the pixels.\n\n"
    "The binary 2x2 configuration histogram is computed from the region's pixels, each set to 1 when its grey\n"
    "value differs by more than 5 from a local mean of the region. It can be useful\nto characterize binary "
    "texture data.\n\n"
    "The measure of the entropy of the 2d positions is computed for the pixels obtained from the input image by "
    "thresholding above and below\nan automatically determined value (the grey values at which more than 30 of the "
    "region's pixels are reached from below and from above). It can be useful in characterizing\nrandom point "
    "distributions.\n\n\n";
}  // namespace

CPBinNbhHistPlusXYEntropy::CPBinNbhHistPlusXYEntropy() = default;
CPBinNbhHistPlusXYEntropy::~CPBinNbhHistPlusXYEntropy() = default;

void CPBinNbhHistPlusXYEntropy::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "BinNbhHistPlusXYEntropyFeaturePlugin";
    s.shortDescription = "BinNbhHist + XYEntropy in one plugin";
    // The names vector starts empty and receives the 18 names.
    s.featureNamesSize = 0;
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), kFeatureName);
    s.descriptionHead = kHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of pieces (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    s.descriptionTail = frame::Section("KEYWORDS", "binnbhhistplusxyentropy, histogram, binary pattern, entropy");
    s.keywords = {"binnbhhistplusxyentropy", "histogram", "binary pattern", "entropy"};
    frame::DescribeSetup(setup, s);
}

void CPBinNbhHistPlusXYEntropy::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPBinNbhHistPlusXYEntropy::ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                                              std::vector<double>& features) {
    if (features.size() < static_cast<std::size_t>(m_nFeatures)) throw std::out_of_range("invalid vector<T> subscript");
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    frame::CheckMaskInGrey(kName, grey, mask, x0, y0);
    const int64_t w = ms.x, h = ms.y, W = gs.x;
    if (w <= 0 || h <= 0) return;
    const float* g = grey.Pixels<float>();
    const float* m = mask.Pixels<float>();

    // Without the working copy of the box none of the 18 features is computed.
    float counters[kConfigurations];
    if (!BinaryConfigurationHistogram(g, W, m, w, h, x0, y0, BlockRule::WholeBlockInRegion, counters)) return;
    for (int k = 0; k < kConfigurations; ++k) features[static_cast<std::size_t>(k)] = counters[k];

    // Thresholds and sets from the region's own pixels (the mask is passed).
    const autothreshold::GreyBox box{g + y0 * W + x0, W, w, h};
    autothreshold::MeasureExtremeSets(box, m, autothreshold::kDefaultLimit, features[kDark], features[kDark + 1]);
}

void CPBinNbhHistPlusXYEntropy::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPBinNbhHistPlusXYEntropy::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    // The first check names the class rather than the registry name.
    plan.inputs.checks = {
        {frame::Check::GreyNull, "First input image is NULL", 0, "(feature plugins) PBinNbhHistPlusXYEntropy::Run"},
        {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
        {frame::Check::LabelNull, "Second input image is NULL"},
        {frame::Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = frame::MaskFormCall(this);
    plan.buildValueVector = frame::ValueVectorCall(this, &CPBinNbhHistPlusXYEntropy::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
