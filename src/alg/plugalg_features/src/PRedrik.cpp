#include "PRedrik.h"

#include <algorithm>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Redrik";
const char* const kFeatureName = "difference between max and min value to the right and to the left of the region";
const char* const kExplanation =
    "This node finds a maximum on a line and the difference to the right-hand and left-hand minimum.\n\n"
    "In every line of the bounding box of a label the maximum grey value is found, then the minimum to\n"
    "its left and the minimum to its right. These are averaged over the lines. The first feature is the\n"
    "mean maximum minus the mean left-hand minimum, the second the mean maximum minus the mean\n"
    "right-hand minimum.\n\n\n";
}  // namespace

CPRedrik::CPRedrik() = default;
CPRedrik::~CPRedrik() = default;

void CPRedrik::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "RedrikFeaturePlugin";
    s.shortDescription = kFeatureName;
    s.featureNamesSize = 2;
    s.featureNames = {"", ""};
    s.descriptionHead = kExplanation;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F, mandatory";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPRedrik::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPRedrik::ComputeRegion(const CImage* region, std::vector<double>& features) {
    if (features.size() < 2) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    features[1] = 0.0;
    if (!region) return;
    if (region->Type() != IMAGE_GREY_F)
        throw CException(std::string("(feature plugins) ") + kName + "::ComputeRegion",
                         "The region image must be of type IMAGE_GREY_F", nullptr);
    const CSize rs = region->Size();
    const int64_t w = rs.x, h = rs.y;
    // A crop without pixels has no row to average over; its features stay 0
    // rather than 0 / 0.
    if (w < 1 || h < 1 || rs.z < 1) return;

    const float* r = region->Pixels<float>();
    float sumMax = 0.0f, sumLeft = 0.0f, sumRight = 0.0f;
    for (int64_t y = 0; y < h; ++y) {
        const float* row = r + y * w;
        float m = 0.0f;
        int64_t at = 0;
        for (int64_t x = 0; x < w; ++x)
            if (row[x] > m) m = row[x], at = x;
        float left = m, right = m;
        for (int64_t x = 0; x < at; ++x) left = std::min(left, row[x]);
        for (int64_t x = w - 1; x > at; --x) right = std::min(right, row[x]);
        sumMax += m;
        sumLeft += left;
        sumRight += right;
    }
    const auto rows = static_cast<float>(h);
    const float meanMax = sumMax / rows;
    features[0] = meanMax - sumLeft / rows;
    features[1] = meanMax - sumRight / rows;
}

void CPRedrik::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPRedrik::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Grey;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPRedrik::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
