#include "PGeometry.h"

#include <cmath>
#include <iostream>
#include <stdexcept>

#include "AxisDistance.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Geometry";

const char* const kFeatureNames[8] = {
    "Area (number of pixels)",
    "Major Axis Length",
    "Minor Axis Length",
    "Orientation (angle in rad)",
    "Eccentricity",
    "Border Length",
    "Fragility",
    "Regression",
};

const char* const kDescriptionHead =
    "BRIEF\nProvides some features characterizing the geometry of regions in an image.\n\n"
    "This node provides some features characterizing the geometry of\nthe binary input image. These features "
    "are:\n"
    "- Area (number of pixels)\n"
    "- Major axis length\n"
    "- Minor axis length\n"
    "- Orientation (angle in rad)\n"
    "- Eccentricity\n"
    "- Border Length\n"
    "- Fragility\n"
    "- Regression\n\n"
    "Example graph: %KELODIR%/src/alg/plugalg_features/examples/GeometryFeature\n\n\n";

// Contribution of one 2x2 window to the border length, indexed by the window's
// code 1*TL + 2*TR + 4*BL + 8*BR. Codes 0 and 15 lie outside or inside the
// region; 6 and 9 (only the two pixels of one diagonal) count twice, so two
// regions touching at a corner count like two separate ones. Summing the
// weight per window gives the same number as counting the windows per code
// and weighting the sixteen counts afterwards.
constexpr uint32_t kWindowWeight[16] = {0, 1, 1, 1, 1, 1, 2, 1, 1, 2, 1, 1, 1, 1, 1, 0};

// The moments are the shape nodes' shared ones: coordinate products formed in
// 64 bits (the measure's 32-bit products would overflow beyond 46340), summed in
// double in scan order.
using Moments = axis::MaskMoments<double>;

// One row of 2x2 windows, top-left x = -1 .. w-1: its top pixels come from
// `top` and its bottom pixels from `bottom`, either of which may be the
// background ring (kTop / kBottom false, pointer unused). The moments of the
// bottom row (mask row y) are gathered in the same sweep, in scan order.
template <bool kTop, bool kBottom>
void SweepRow(const float* top, const float* bottom, int64_t w, int64_t y, Moments& m, uint64_t& border) {
    uint64_t sum = 0;
    unsigned left = 0;  // the window's left column: bit 0 TL, bit 2 BL
    for (int64_t i = 0; i < w; ++i) {
        const unsigned t = kTop ? unsigned(top[i] != 0.0f) : 0u;  // NaN counts as foreground
        const unsigned b = kBottom ? unsigned(bottom[i] != 0.0f) : 0u;
        sum += kWindowWeight[left | (t << 1) | (b << 3)];
        left = t | (b << 2);
        if (kBottom && b) m.Add(i, y);
    }
    sum += kWindowWeight[left];  // the window whose right column is the ring
    border += sum;
}

// Bounds-checked write into the caller's feature vector.
inline void Put(std::vector<double>& features, std::size_t i, double value) {
    if (i >= features.size()) throw std::out_of_range("invalid vector<T> subscript");
    features[i] = value;
}
inline double Get(const std::vector<double>& features, std::size_t i) {
    if (i >= features.size()) throw std::out_of_range("invalid vector<T> subscript");
    return features[i];
}
}  // namespace

CPGeometry::CPGeometry() = default;
CPGeometry::~CPGeometry() = default;

void CPGeometry::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [](CValueMap& params) {
        frame::Store(params, "empty_image_exception", new CValueBool(true));
    };
    s.pluginSubType = "GeometryFeaturePlugin";
    s.shortDescription = "some geometric features computed on the mask image";
    s.featureNamesSize = 8;
    s.featureNames.assign(std::begin(kFeatureNames), std::end(kFeatureNames));
    s.descriptionHead = kDescriptionHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times 8\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows)";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPGeometry::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPGeometry::ComputeRegion(const CImage* mask, std::vector<double>& features) {
    if (!mask) return;
    // Only a float mask can be read as one; anything else would be read past its end.
    if (mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The mask image is not of type IMAGE_GREY_F", nullptr);
    const CSize size = mask->Size();
    const int64_t w = size.x > 0 && size.z > 0 ? size.x : 0;
    const int64_t h = size.y > 0 && size.z > 0 ? size.y : 0;
    const float* px = mask->Pixels<float>();  // plane 0 of the mask

    // Window rows with top-left y = -1 .. h-1: ring above row 0, row pairs, ring below row h-1.
    Moments m;
    uint64_t border = 0;
    if (w > 0 && h > 0) {
        SweepRow<false, true>(nullptr, px, w, 0, m, border);
        for (int64_t j = 1; j < h; ++j)
            SweepRow<true, true>(px + (j - 1) * w, px + j * w, w, j, m, border);
        SweepRow<true, false>(px + (h - 1) * w, nullptr, w, 0, m, border);
    }

    Put(features, 0, static_cast<double>(m.n));

    const double n = static_cast<double>(m.n);
    // Least-squares slope of y over x, unguarded: no foreground or a single
    // column gives 0/0 = NaN.
    Put(features, 7, (n * m.sxy - m.sy * m.sx) / (n * m.sxx - m.sx * m.sx));

    if (m.n > 0) {
        const auto [mx, my, a, b, c] = axis::CentralMoments(m);
        const double D = std::sqrt((a - c) * 0.25 * (a - c) + b * b);
        const double mean = (c + a) * 0.5;
        const double L1 = std::sqrt(mean + D);
        const double L2 = std::sqrt(mean - D);  // NaN if rounding takes mean - D below zero
        Put(features, 1, L1);
        Put(features, 2, L2);

        // Main axis in the half-angle form (1 + cos 2t, sin 2t).
        double u = 1.0, v = 1.0;
        if (a != c) {
            u = ((a - c) * 0.5) / D + 1.0;
            v = b / D;
        }
        const double r = std::sqrt(v * v + u * u);
        if (r > 0.0) {
            u /= r;
            v /= r;
        } else {
            u = 0.0;
            v = 1.0;
        }
        Put(features, 3, std::atan2(v, u));
        Put(features, 4, (L1 - L2) / (L2 + L1 + 0.1));
    }

    Put(features, 5, static_cast<double>(border));
    // From the stored axis lengths; without foreground this is 0/0 = NaN.
    Put(features, 6, Get(features, 1) * Get(features, 2) / n);
}

void CPGeometry::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t f) { return kFeatureNames[f]; });
}

void CPGeometry::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::Unwrap, ""},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.inputs.greyTypes = {IMAGE_GREY_F, IMAGE_GREY_8};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.onNoRegions = [this] {
        if (Parameters().EntryBool("empty_image_exception", true)) return frame::NoRegions::Throw;
        std::cout << "WARNING! : " << "feature::Geometry::Run " << "The number of regions is zero!" << std::endl;
        return frame::NoRegions::EmptyRows;
    };
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPGeometry::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
