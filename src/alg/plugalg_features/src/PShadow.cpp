#include "PShadow.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Shadow";
const char* const kDescription =
    "average grayvalue to the left and right of the region at various relative positions plus...";
const char* const kDescriptionHead =
    "BRIEF\nThis node calculates the mean gray value outside of a region at various positions.\n\n"
    "Features 1 to 5 (=columns in output image):\nFor every region, the mean gray value of the pixels outside of\n"
    "this region lying i pixels (1<=i<=5) on the left of a point within\nthis region is calculated.\n"
    "Features 6 to 10:\nFor every region, the mean gray value of the pixels outside of\nthis region lying i pixels "
    "(1<=i<=5) on the right of a point within\nthis region is calculated.\nFeatures 11 and 12:\n"
    "Here the covariance is calculated.\n\n\n";
constexpr int kReach = 5;  // distances 1 .. 5 on each side
}  // namespace

CPShadow::CPShadow() = default;
CPShadow::~CPShadow() = default;

void CPShadow::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "ShadowPlugin";
    s.shortDescription = kDescription;
    s.featureNamesSize = 12;
    s.featureNames.assign(12, "");
    s.descriptionHead = kDescriptionHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of\nfeatures - in this case 12 (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPShadow::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

double CPShadow::LineFit(const double* g) {
    for (int k = 0; k < 9; ++k)
        if (g[k] == 0.0) return 0.0;  // incomplete window (a NaN counts as a value)
    double sum = 0.0;
    for (int k = 0; k < 9; ++k) sum += g[k];
    const double mean = sum / 9.0;
    double S = 0.0, T = 0.0;
    for (int k = 0; k < 9; ++k) {
        const double d = g[k] - mean;
        S += d * d;
        T += static_cast<double>(k - 4) * d;
    }
    // Smaller eigenvalue of [[60, T], [T, S]], 60 = Σp² over p = -4 .. 4.
    return (S + 60.0) * 0.5 - std::sqrt(T * 4.0 * T + (60.0 - S) * (60.0 - S)) * 0.5;
}

void CPShadow::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) const {
    if (features.size() < 12) throw std::out_of_range("invalid vector<T> subscript");
    std::fill(features.begin(), features.begin() + 12, 0.0);
    if (!grey || !mask) return;
    const CSize gs = grey->Size(), ms = mask->Size();
    if (gs.x != ms.x || gs.y != ms.y) return;
    if (grey->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The grey-value crop is not of type IMAGE_GREY_F", nullptr);
    if (mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The mask image is not of type IMAGE_GREY_F", nullptr);
    // Plane 0 of each crop is read; a crop without any plane has nothing to read.
    const bool planes = gs.z > 0 && ms.z > 0;
    const int64_t w = planes ? ms.x : 0;
    const int64_t h = planes ? ms.y : 0;
    const float* gp = grey->Pixels<float>();
    const float* mp = mask->Pixels<float>();

    // Index d - 1 for distance d. Each sum gets its pixels in scan order of the
    // region pixel they belong to, which is also their own scan order.
    float leftSum[kReach] = {}, leftCount[kReach] = {}, rightSum[kReach] = {}, rightCount[kReach] = {};
    for (int64_t y = 0; y < h; ++y) {
        const float* g = gp + y * w;
        const float* m = mp + y * w;
        for (int64_t x = 0; x < w; ++x) {
            if (m[x] == 0.0f) continue;  // outside; a NaN mask value is region
            for (int d = 1; d <= kReach; ++d) {
                if (x - d >= 0 && m[x - d] == 0.0f) {
                    leftSum[d - 1] += g[x - d];
                    leftCount[d - 1] += 1.0f;
                }
                if (x + d < w && m[x + d] == 0.0f) {
                    rightSum[d - 1] += g[x + d];
                    rightCount[d - 1] += 1.0f;
                }
            }
        }
    }

    double f[2 * kReach];
    for (int d = 0; d < kReach; ++d) {
        f[d] = static_cast<double>(leftCount[d] > 0.0f ? leftSum[d] / leftCount[d] : 0.0f);
        f[kReach + d] = static_cast<double>(rightCount[d] > 0.0f ? rightSum[d] / rightCount[d] : 0.0f);
    }
    // A missing (or exactly 0) mean takes the nearer distance's, cascading outwards.
    for (int k = 1; k < kReach; ++k) {
        if (f[k] == 0.0) f[k] = f[k - 1];
        if (f[kReach + k] == 0.0) f[kReach + k] = f[kReach + k - 1];
    }
    for (int k = 0; k < 2 * kReach; ++k) features[k] = f[k];
    features[10] = LineFit(f);
    // Our choice: column 11 is the measure of its own window also when column
    // 10's window is incomplete (see the class comment).
    features[11] = LineFit(f + 1);
}

void CPShadow::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kDescription; });
}

void CPShadow::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.grey, region.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPShadow::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
