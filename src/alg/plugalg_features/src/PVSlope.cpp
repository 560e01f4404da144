#include "PVSlope.h"

#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "VSlope";
const char* const kFeatureName = "measure of slope of image data in vertical direction";
constexpr int64_t kDistance = 5;  // rows between the two pixels of a pair
const char* const kExplanation =
    "Calculates a measure of vertical slope within the labels.\n\n"
    "Every pixel of a label is compared with the pixel of the label 5 rows above it: when the pixel\n"
    "is brighter the pair counts +1, otherwise -1. The mean over all pairs of the label lies in [-1, 1]:\n"
    "near 1 where the grey values rise downwards, near -1 where they fall or stay the same.\n\n\n";
}  // namespace

CPVSlope::CPVSlope() = default;
CPVSlope::~CPVSlope() = default;

void CPVSlope::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "VSlopePlugin";
    s.shortDescription = kFeatureName;
    s.featureNamesSize = 1;
    s.featureNames = {""};
    s.descriptionHead = kExplanation;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPVSlope::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPVSlope::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) {
    if (features.empty()) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    if (!grey || !mask) return;
    const CSize gs = grey->Size(), ms = mask->Size();
    if (gs.x != ms.x || gs.y != ms.y) return;
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException(std::string("(feature plugins) ") + kName + "::ComputeRegion",
                         "The grey image and the region mask must be of type IMAGE_GREY_F", nullptr);
    const int64_t w = gs.x, h = gs.y;
    if (gs.z < 1 || ms.z < 1) return;  // no pixels

    const float* g = grey->Pixels<float>();
    const float* m = mask->Pixels<float>();
    float sum = 0.0f, count = 0.0f;
    for (int64_t y = 0; y + kDistance < h; ++y) {
        const float* gUp = g + y * w;
        const float* gDown = gUp + kDistance * w;
        const float* mUp = m + y * w;
        const float* mDown = mUp + kDistance * w;
        // A pair outside the region adds 0.0, which leaves sum and count as they
        // are; no branch on the mask, whose edges are hard to predict.
        for (int64_t x = 0; x < w; ++x) {
            const bool pair = mUp[x] != 0.0f && mDown[x] != 0.0f;
            const float vote = gDown[x] > gUp[x] ? 1.0f : -1.0f;
            sum += pair ? vote : 0.0f;
            count += pair ? 1.0f : 0.0f;
        }
    }
    if (count > 0.0f) sum /= count;
    features[0] = sum;
}

void CPVSlope::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPVSlope::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, r.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPVSlope::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
