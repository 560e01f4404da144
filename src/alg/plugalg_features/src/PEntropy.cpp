#include "PEntropy.h"

#include <cmath>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Entropy";
const char* const kFeatureName = "entropy of the normalized histogram";
}  // namespace

CPEntropy::CPEntropy() = default;
CPEntropy::~CPEntropy() = default;

void CPEntropy::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "EntropyFeaturePlugin";
    s.shortDescription = kFeatureName;
    // Two slots, an empty name in the first; output 1 carries the real name.
    s.featureNamesSize = 2;
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), "");
    s.descriptionHead =
        "BRIEF\nCalculates the entropy of the normalized histogram.\n\nA histogram over the grey values of each label "
        "is generated, then normalized\nand its entropy ist calculated.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of pieces (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPEntropy::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPEntropy::ComputeRegion(const CImage* region, std::vector<double>& features) {
    if (features.empty()) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    if (!region) return;
    // Only a float image can be read as one; Run always hands over its float crop.
    if (region->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The region image is not of type IMAGE_GREY_F", nullptr);

    // Single-precision counters; bin 0 takes the values that are not counted and
    // is never read, so the loop needs no branch on the value.
    float bins[256] = {};
    double n = 0.0;
    const float* px = region->Pixels<float>();
    const CSize size = region->Size();
    const int64_t count = size.Count() > 0 ? size.x * size.y : 0;  // plane 0
    for (int64_t p = 0; p < count; ++p) {
        const float v = px[p];
        // 1.0 up to and including 255.0; false for NaN as well, which has no level.
        const bool counted = v >= 1.0f && v <= 255.0f;
        bins[counted ? static_cast<int>(v) : 0] += 1.0f;
        n += counted ? 1.0 : 0.0;
    }

    double H = 0.0;
    for (int k = 1; k < 256; ++k)
        if (bins[k] > 0.0f) {
            const double p = static_cast<double>(bins[k]) / n;
            H -= p * std::log(p);
        }
    features[0] = H;
}

void CPEntropy::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPEntropy::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Grey;  // every pixel of the box, 8-bit values converted to float
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.grey, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPEntropy::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
