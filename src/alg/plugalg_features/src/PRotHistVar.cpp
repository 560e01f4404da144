#include "PRotHistVar.h"

#include <cmath>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "RotHistVar";
const char* const kFeatureName = "min var of 2d histogram of original and rotated image for different angles";
// 10 degrees, with pi taken as 3.1415926.
constexpr double kAngle = 0.17453292222222222;
const char* const kDescriptionHead =
    "This node calculates the minimal variance of the 2D histograms of the original image and the rotated "
    "original image.\n\n"
    "Every label is rotated by 10\u00b0 about the centre of its bounding box. Each pixel of the label is paired "
    "with\nthe pixel at its rotated position, where that position lies on the label and neither gray value\n"
    "is 0 or 255. The pairs of original and rotated gray values form a 2d histogram; the feature is its\n"
    "variance along the minor axis, \\f$Var(A) + Var(B) - \\sqrt{4 \\cdot Var(AB)^2 + (Var(A) - Var(B))^2}\\f$.\n\n\n";

inline bool Usable(double v) { return v != 0.0 && v != 255.0; }
}  // namespace

CPRotHistVar::CPRotHistVar() = default;
CPRotHistVar::~CPRotHistVar() = default;

void CPRotHistVar::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "RotHistVarFeaturePlugin";
    s.shortDescription = kFeatureName;
    // One slot whose name is empty; output 1 names the feature.
    s.featureNamesSize = 1;
    s.featureNames = {""};
    s.descriptionHead = kDescriptionHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F, mandatory.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times 1\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPRotHistVar::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPRotHistVar::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) {
    if (features.empty()) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    if (!grey || !mask) return;
    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (gs.x != ms.x || gs.y != ms.y) return;
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The region images are not of type IMAGE_GREY_F", nullptr);
    if (ms.Count() == 0 || gs.Count() == 0) return;

    const int64_t w = ms.x, h = ms.y;
    const int64_t cx = w / 2, cy = h / 2;
    const double c = std::cos(kAngle);
    const double s = std::sin(kAngle);
    const float* g = grey->Pixels<float>();
    const float* m = mask->Pixels<float>();

    double n = 0.0, sa = 0.0, sb = 0.0, saa = 0.0, sbb = 0.0, sab = 0.0;
    for (int64_t y = 0; y < h; ++y) {
        const auto ry = static_cast<double>(y - cy);
        for (int64_t x = 0; x < w; ++x) {
            if (m[y * w + x] == 0.0f) continue;
            const auto rx = static_cast<double>(x - cx);
            // Truncated toward zero: positions in (-1, 0) land on 0, inside the box.
            // |xr|, |yr| stay below 2 max(w, h), well inside 64 bits.
            const auto xr = static_cast<int64_t>(rx * c + static_cast<double>(cx) - ry * s);
            const auto yr = static_cast<int64_t>(ry * c + static_cast<double>(cy) + rx * s);
            if (xr < 0 || xr >= w || yr < 0 || yr >= h || m[yr * w + xr] == 0.0f) continue;
            const double a = g[y * w + x];
            const double b = g[yr * w + xr];
            if (!Usable(a) || !Usable(b)) continue;
            n += 1.0;
            sa += a;
            sb += b;
            saa += a * a;
            sbb += b * b;
            sab += a * b;
        }
    }
    if (!(n > 0.0)) return;
    const double ma = sa / n;
    const double mb = sb / n;
    const double va = saa / n - ma * ma;
    const double vb = sbb / n - mb * mb;
    const double cv = sab / n - mb * ma;
    features[0] = (va + vb) - std::sqrt(4.0 * cv * cv + (va - vb) * (va - vb));
}

void CPRotHistVar::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPRotHistVar::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {
        {frame::Check::GreyNull, "First input image is NULL"},
        {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
        {frame::Check::LabelNull, "Label image is NULL"},
        {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    // The grey-value crop of an 8-bit image holds its values as floats (see the class comment).
    plan.inputs.greyTypes = {IMAGE_GREY_F, IMAGE_GREY_8};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, r.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPRotHistVar::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
