#include "PCovbin.h"

#include <cmath>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Covbin";
const char* const kFeatureNames[2] = {"smaller eigenvalue of covariance matrix for foreground pixels",
                                      "bigger eigenvalue of covariance matrix for foreground pixels"};
const char* const kDescriptionHead =
    "BRIEF\nCalculates the covariance of the pixel gray values in a binary image.\n\nComputes local covariance (min "
    "eigenvalue) on a binary image,\nestimated from the foreground pixels.\nThe output of the eigenvalues is written "
    "in ascending order.\nUseful to detect line segments in the image.\n\n\n";
}  // namespace

CPCovbin::CPCovbin() = default;
CPCovbin::~CPCovbin() = default;

void CPCovbin::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "CovbinFeaturePlugin";
    s.shortDescription = "eigenvalue of covariance for foreground pixels";
    s.featureNamesSize = 2;
    s.featureNames = {kFeatureNames[0], kFeatureNames[1]};
    s.descriptionHead = kDescriptionHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of pieces (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPCovbin::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPCovbin::ComputeRegion(const CImage* mask, std::vector<double>& features) {
    if (features.size() < 2) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    features[1] = 0.0;
    if (!mask) return;
    if (mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The mask image is not of type IMAGE_GREY_F", nullptr);
    const CSize size = mask->Size();
    if (size.Count() == 0) return;  // no rows (or no columns, or no plane)
    const int64_t w = size.x, h = size.y;
    const float* px = mask->Pixels<float>();

    // Float sums in scan order; every term an exact integer converted to float.
    int64_t n = 0;
    float sx = 0.0f, sy = 0.0f, sxx = 0.0f, syy = 0.0f, sxy = 0.0f;
    for (int64_t y = 0; y < h; ++y) {
        const float* row = px + y * w;
        const auto fy = static_cast<float>(y);
        const auto fyy = static_cast<float>(y * y);
        for (int64_t x = 0; x < w; ++x) {
            if (row[x] == 0.0f) continue;  // NaN is foreground
            ++n;
            sx += static_cast<float>(x);
            sy += fy;
            sxx += static_cast<float>(x * x);
            syy += fyy;
            sxy += static_cast<float>(x * y);
        }
    }
    if (n < 1) return;

    const auto fn = static_cast<float>(n);
    const float mx = sx / fn;
    const float my = sy / fn;
    const float a = sxx / fn - mx * mx;
    const float c = syy / fn - my * my;
    const float b = sxy / fn - my * mx;
    const float s = c + a;
    const float q = std::sqrt(b * 4.0f * b + (a - c) * (a - c));
    features[0] = s - q;
    features[1] = q + s;
}

void CPCovbin::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t f) { return kFeatureNames[f]; });
}

void CPCovbin::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyEmpty, "First input is not an image"},
                          {frame::Check::LabelNull, "Label image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelEmpty, "Second input is not an image"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPCovbin::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
