#include "PHist.h"

#include <iostream>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Hist";
}  // namespace

CPHist::CPHist() = default;
CPHist::~CPHist() = default;

void CPHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.pluginType = "Image";
    s.identity = {{"subType", "LabelImage"}, {"name", "Hist"}};
    s.verbose = verbose;
    s.hasFeatureNames = false;
    s.descriptionHead =
        "BRIEF\nComputes the gray level histogram.\n\nThis plugin computes the gray level histograms for all labeled "
        "objects\nin the image. The histograms are normalized to sum 1.\n\n\nNOTE\nThe gray values in the first "
        "input image must be inbetween 0 and 255.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information and meta information for each output feature.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPHist::RegionHistogram(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0, int64_t z0,
                             std::vector<double>& histogram) const {
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    // Only misuse from outside Run can fail these; Run always passes a fitting pair.
    if (grey.Type() != IMAGE_GREY_F || mask.Type() != IMAGE_GREY_F)
        throw CException(KELO_EXLOCATION, "The grey image and the region mask must be of type IMAGE_GREY_F");
    if (x0 < 0 || y0 < 0 || z0 < 0 || ms.x > gs.x - x0 || ms.y > gs.y - y0 || ms.z > gs.z - z0)
        throw CException(KELO_EXLOCATION, CString("The region mask %1 at (%2, %3, %4) does not lie inside the grey "
                                                  "image %5")
                                              .Arg(CPos(ms).ToString())
                                              .Arg(static_cast<long long>(x0))
                                              .Arg(static_cast<long long>(y0))
                                              .Arg(static_cast<long long>(z0))
                                              .Arg(CPos(gs).ToString()));
    float bins[256] = {};
    int64_t count = 0;
    const float* g = grey.Pixels<float>();
    const float* mk = mask.Pixels<float>();
    for (int64_t k = 0; k < ms.z; ++k)
        for (int64_t j = 0; j < ms.y; ++j) {
            const float* grow = g + ((z0 + k) * gs.y + (y0 + j)) * gs.x + x0;
            const float* mrow = mk + (k * ms.y + j) * ms.x;
            for (int64_t i = 0; i < ms.x; ++i) {
                if (mrow[i] == 0.0f) continue;
                ++count;
                const float v = grow[i];
                // False for NaN as well: out-of-range values have no bin (see the class comment).
                if (v >= 0.0f && v < 256.0f) bins[static_cast<int>(v)] += 1.0f;
            }
        }
    if (count > 0) {
        const auto n = static_cast<float>(count);
        for (float& b : bins) b /= n;
    }
    if (histogram.size() < 256) throw std::out_of_range("invalid vector<T> subscript");
    for (int b = 0; b < 256; ++b) histogram[static_cast<std::size_t>(b)] = bins[b];
}

void CPHist::Run() {
    frame::RunPlan plan;
    // The checks raise the source-location form of the exception.
    plan.fail = {"", Impl::StExLocation{__DATE__ " " __TIME__, __FILE__, "CPHist::Run", __LINE__, this}};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL.", __LINE__},
                          {frame::Check::GreyType, "First input image is not of type IMAGE_GREY_F.", __LINE__},
                          {frame::Check::LabelNull, "Second input image is NULL.", __LINE__},
                          {frame::Check::LabelType, "Second input image is not of type IMAGE_GREY_F.", __LINE__}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask3D;
    plan.onNoRegions = [this] {
        if (verbose) std::cout << "CPHist::Run(): the number of regions is zero!" << std::endl;
        return frame::NoRegions::EmptyVector;
    };
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        RegionHistogram(*region.inputs->grey, *region.mask, region.x0, region.y0, region.z0, features);
    };
    plan.buildValueVector = [this](const float* m, CValueVector* out, unsigned n) {
        frame::FillValueVector(m, out, n, m_nFeatures, nullptr);
    };
    frame::Run(*this, plan);
}

}  // namespace KELO
