#include "PXYEntropy.h"

#include <stdexcept>

#include "AutoThreshold.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "XYEntropy";
const char* const kFeatureNames[2] = {"entropy for pixels below automatic threshold",
                                      "entropy for pixels above automatic threshold"};
const char* const kBrief =
    "BRIEF\nComputes a measure of the entropy of the 2d positions\nof the pixels for each label.\n\n";
const char* const kExplanation =
    "For every label the grey values of its bounding box are counted in a\nhistogram. The grey values with 30 pixels "
    "lower or higher are chosen as\nbelow- and above-threshold: the pixels below the lower threshold and the\n"
    "pixels above the upper threshold form two sets. The entropy within of the positions of these highest and "
    "lowest pixels is then calculated. The plugin can be useful in characterizing random point distributions.\n\n\n";
const char* const kExample =
    "EXAMPLE\nThe example graph XYEntropyFeature in %KELODIR%/src/alg/plugalg_features/examples\nshows the node in "
    "use.\n\n\n";
}  // namespace

CPXYEntropy::CPXYEntropy() = default;
CPXYEntropy::~CPXYEntropy() = default;

void CPXYEntropy::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "XYEntropyFeaturePlugin";
    s.shortDescription = "2d Reney's entropy of pixels above and below automatic thresholds";
    s.featureNamesSize = 2;
    s.featureNames = {kFeatureNames[0], kFeatureNames[1]};
    s.descriptionHead = std::string(kBrief) + kExplanation + kExample;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of\nfeatures (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    // "data" is documented although the node keeps no such parameter; its text is
    // attached only where the host put a "data" entry.
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPXYEntropy::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPXYEntropy::ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0,
                                std::vector<double>& features) const {
    if (features.size() < 2) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    features[1] = 0.0;
    if (!grey || !mask) return;

    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (grey->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The first input image is not of type IMAGE_GREY_F", nullptr);
    if (x0 < 0 || y0 < 0 || ms.x < 0 || ms.y < 0 || x0 > gs.x - ms.x || y0 > gs.y - ms.y)
        throw CException(frame::RunLocation(kName), "The region box does not lie inside the first input image",
                         nullptr);
    if (ms.x == 0 || ms.y == 0) return;

    // Every pixel of the box counts (no mask). A set whose position list cannot
    // be allocated leaves its feature at 0.
    const autothreshold::GreyBox box{grey->Pixels<float>() + y0 * gs.x + x0, gs.x, ms.x, ms.y};
    autothreshold::MeasureExtremeSets(box, nullptr, autothreshold::kDefaultLimit, features[0], features[1]);
}

void CPXYEntropy::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures,
                           [](int64_t f) { return kFeatureNames[f]; });
}

void CPXYEntropy::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::GreyImage, "First input is not an image"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelImage, "Second input is not an image"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.inputs->grey, region.mask, region.x0, region.y0, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPXYEntropy::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
