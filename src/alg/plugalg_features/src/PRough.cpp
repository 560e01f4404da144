#include "PRough.h"

#include <algorithm>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Rough";
const char* const kFeatureName =
    "roughness , number of pixels for which the difference between smoothed and original image exeeds some "
    "threshold";
constexpr int64_t kRadius = 2;        // window 5 x 5
constexpr float kThreshold = 11.0f;   // smoothed - original must exceed it
const char* const kExplanation =
    "The grey-value image of every label's bounding box is smoothed with a 5x5 mean: the values are summed\n"
    "along x and y and divided by the number of foreground (non-zero) pixels in the window. Pixels for which\n"
    "the smoothed value exceeds the original one by more than a threshold (here 11) are counted; the count\n"
    "is the roughness of the label.";
}  // namespace

CPRough::CPRough() = default;
CPRough::~CPRough() = default;

void CPRough::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "RoughFeaturePlugin";
    s.shortDescription = kFeatureName;
    s.featureNamesSize = 1;
    s.featureNames = {""};
    s.descriptionHead = std::string("BRIEF\nComputes the roughness of every label.\n\n") + kExplanation + "\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPRough::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPRough::ComputeRegion(const CImage* region, std::vector<double>& features) {
    if (features.empty()) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    if (!region) return;
    if (region->Type() != IMAGE_GREY_F)
        throw CException(std::string("(feature plugins) ") + kName + "::ComputeRegion",
                         "The region image must be of type IMAGE_GREY_F", nullptr);
    const CSize rs = region->Size();
    const int64_t w = rs.x, h = rs.y;
    if (w < 1 || h < 1 || rs.z < 1) return;
    const float* r = region->Pixels<float>();

    // Summed-area tables with a leading row and column of zeros: entry (x + 1, y + 1)
    // holds the sum over [0, x] x [0, y], and the zeros stand for corners outside
    // the crop (subtracting or adding 0 leaves every other term as it is).
    const int64_t pw = w + 1;
    std::vector<float> sums(static_cast<std::size_t>(pw * (h + 1)), 0.0f);
    std::vector<float> counts(sums.size(), 0.0f);
    for (int64_t y = 0; y < h; ++y) {
        const float* row = r + y * w;
        const float* sAbove = sums.data() + y * pw;
        const float* nAbove = counts.data() + y * pw;
        float* s = sums.data() + (y + 1) * pw;
        float* n = counts.data() + (y + 1) * pw;
        // The running sum along the row, then added to the column's sum above: the
        // same additions in the same order as a pass along all rows followed by one
        // down all columns.
        float rowSum = 0.0f, rowCount = 0.0f;
        for (int64_t x = 0; x < w; ++x) {
            rowSum += row[x];
            rowCount += row[x] != 0.0f ? 1.0f : 0.0f;
            s[x + 1] = sAbove[x + 1] + rowSum;
            n[x + 1] = nAbove[x + 1] + rowCount;
        }
    }

    // Only the count is wanted, so the smoothed value of a pixel is compared at once
    // instead of being stored; a background pixel keeps its value and never counts.
    int64_t rough = 0;
    for (int64_t y = 0; y < h; ++y) {
        const int64_t top = std::max<int64_t>(y - kRadius, 0), bottom = std::min(y + kRadius, h - 1);
        const float* sTop = sums.data() + top * pw;  // row top - 1 of the table proper
        const float* sBottom = sums.data() + (bottom + 1) * pw;
        const float* nTop = counts.data() + top * pw;
        const float* nBottom = counts.data() + (bottom + 1) * pw;
        const float* row = r + y * w;
        for (int64_t x = 0; x < w; ++x) {
            const float v = row[x];
            if (v == 0.0f) continue;
            const int64_t left = std::max<int64_t>(x - kRadius, 0), right = std::min(x + kRadius, w - 1) + 1;
            const float n = nBottom[right] - nBottom[left] - nTop[right] + nTop[left];
            if (n == 0.0f) continue;
            const float s = sBottom[right] - sBottom[left] - sTop[right] + sTop[left];
            if (s / n - v > kThreshold) ++rough;
        }
    }
    features[0] = static_cast<double>(rough);
}

void CPRough::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPRough::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Grey;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPRough::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
