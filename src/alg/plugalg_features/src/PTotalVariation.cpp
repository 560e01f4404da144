#include "PTotalVariation.h"

#include <cmath>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "TotalVariation";
// The published name of the feature, although it is the total variation.
const char* const kFeatureName = "Mean grey level";
}  // namespace

CPTotalVariation::CPTotalVariation() = default;
CPTotalVariation::~CPTotalVariation() = default;

void CPTotalVariation::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "TotalVariationFeaturePlugin";
    s.shortDescription = "mean grey value";
    s.featureNamesSize = 1;
    s.featureNames = {kFeatureName};
    // The text holds \nabla as the markup command (a backslash and "nabla", the
    // gradient inside the norm), like \f$ and \int, not as a line end and "abla".
    s.descriptionHead =
        "BRIEF\nComputes the total variation within all foreground labels.\n\nWithin all labels not equal to zero the "
        "total variation over the contained pixels is calculated.\nThe total variation is defined in the\ncontinuous "
        "case\nby \\f$\\int_{\\Omega}\\|\\nabla f(x)\\|_2 dx\\f$ or in the discrete case by\n\\f$\\sum_{j\\in\\Omega} "
        "(D_x f(j)^2+D_y f(j)^2+D_z f(j)^2)^{1/2}\\f$ where \\f$D_x\\f$\ndenotes the forward differences in "
        "\\f$x\\f$-direction and $\\Omega$ the image\ndomain.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of\nfeatures (=number of columns), in this case \\f$m=1\\f$.";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPTotalVariation::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPTotalVariation::ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0, int64_t z0,
                                     std::vector<double>& features) {
    if (features.empty()) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    if (!grey || !mask) return;
    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (ms.Count() == 0) return;
    // Only misuse from outside Run can fail these; Run always passes a fitting pair.
    const auto fail = [](const std::string& message) {
        throw CException(frame::RunLocation(kName), message, nullptr);
    };
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        fail("The grey image and the region mask must be of type IMAGE_GREY_F");
    // Every neighbour read lies inside the mask's box.
    if (x0 < 0 || y0 < 0 || z0 < 0 || ms.x > gs.x - x0 || ms.y > gs.y - y0 || ms.z > gs.z - z0)
        fail(CString("The region mask %1 at (%2, %3, %4) does not lie inside the grey image %5")
                 .Arg(CPos(ms).ToString())
                 .Arg(static_cast<long long>(x0))
                 .Arg(static_cast<long long>(y0))
                 .Arg(static_cast<long long>(z0))
                 .Arg(CPos(gs).ToString()));

    const int64_t w = ms.x, h = ms.y, d = ms.z;
    const int64_t W = gs.x, plane = gs.x * gs.y;
    const float* g = grey->Pixels<float>();
    const float* mk = mask->Pixels<float>();
    double sum = 0.0;
    for (int64_t k = 0; k < d; ++k)
        for (int64_t j = 0; j < h; ++j) {
            const float* grow = g + (z0 + k) * plane + (y0 + j) * W + x0;
            const float* mrow = mk + (k * h + j) * w;
            const bool down = j < h - 1, deeper = k < d - 1;
            if (j + frame::kPrefetchRows < h) frame::PrefetchRow(grow + frame::kPrefetchRows * W, w);
            for (int64_t i = 0; i < w; ++i) {
                if (mrow[i] == 0.0f) continue;
                const float c = grow[i];
                // Differences and squares in single precision, summed in double.
                double q = 0.0;
                if (i < w - 1) {
                    const float dx = grow[i + 1] - c;
                    q += static_cast<double>(dx * dx);
                }
                if (down) {
                    const float dy = grow[i + W] - c;
                    q += static_cast<double>(dy * dy);
                }
                if (deeper) {
                    const float dz = grow[i + plane] - c;
                    q += static_cast<double>(dz * dz);
                }
                sum += std::sqrt(q);
            }
        }
    features[0] = sum;
}

void CPTotalVariation::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPTotalVariation::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask3D;
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.inputs->grey, region.mask, region.x0, region.y0, region.z0, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPTotalVariation::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
