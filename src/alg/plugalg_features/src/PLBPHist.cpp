#include "PLBPHist.h"

#include <bit>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "LBPHist";
constexpr int kCodes = 256;

const char* const kExplanation =
    "From the gray value image an 8-digit binary pattern image is made: in each pixel the 8 neighbours\n"
    "are described by their value relative to the pixel itself (1 if it is lower, 0 if it is bigger).\n"
    "A histogram is built over the patterns of every labeled object. The node can be useful to\n"
    "characterize texture data.\n\n"
    "The method was first published in 1994, in a comparison of texture measures for classification\n"
    "based on the Kullback discrimination of distributions.";
}  // namespace

CPLBPHist::CPLBPHist() {
    // 9 * C(8, k) for a code with k set bits.
    constexpr float kByBits[9] = {9, 72, 252, 504, 630, 504, 252, 72, 9};
    for (unsigned c = 0; c < kCodes; ++c) m_weights[c] = kByBits[std::popcount(c)];
}

CPLBPHist::~CPLBPHist() = default;

void CPLBPHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "LBPHistFeaturePlugin";
    s.shortDescription = "linear binary pattern histogram";
    s.featureNamesSize = static_cast<std::size_t>(m_nFeatures);
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), "feature");
    s.descriptionHead =
        std::string("BRIEF\nNode to compute the Local Binary Pattern (LBP) histogram.\n\n") + kExplanation + "\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPLBPHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPLBPHist::ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                              std::vector<double>& features) {
    if (features.size() < kCodes) throw std::out_of_range("invalid vector<T> subscript");
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    // Every neighbour read lies inside the mask's box, so the box inside the grey
    // image is all that keeps the reads inside it.
    frame::CheckMaskInGrey(kName, grey, mask, x0, y0);

    float bins[kCodes] = {};
    // 64 bits where the count could pass 2^31; converted to float the same as a
    // 32-bit count wherever that would hold it.
    int64_t n = 0;
    const int64_t w = ms.x, h = ms.y, W = gs.x;
    const float* g = grey.Pixels<float>();
    const float* mk = mask.Pixels<float>();
    for (int64_t y = 1; y + 1 < h; ++y) {
        const float* mrow = mk + y * w;
        const float* up = g + (y0 + y - 1) * W + x0;
        const float* mid = up + W;
        const float* down = mid + W;
        for (int64_t x = 1; x + 1 < w; ++x) {
            const float c = mid[x];
            const unsigned code = (up[x - 1] >= c ? 1u : 0u) | (up[x] >= c ? 2u : 0u) | (up[x + 1] >= c ? 4u : 0u) |
                                  (mid[x + 1] >= c ? 8u : 0u) | (down[x + 1] >= c ? 16u : 0u) |
                                  (down[x] >= c ? 32u : 0u) | (down[x - 1] >= c ? 64u : 0u) |
                                  (mid[x - 1] >= c ? 128u : 0u);
            // Without a branch on the mask, whose edges make it hard to predict: a
            // pixel outside the region adds 0.0, which leaves its bin as it was.
            const bool counted = mrow[x] != 0.0f;
            bins[code] += counted ? 1.0f : 0.0f;
            n += counted;
        }
    }

    // With no counted pixel (n = 0) every bin is 0 / 0, NaN.
    const auto count = static_cast<float>(n);
    for (int c = 0; c < kCodes; ++c) {
        const float share = bins[c] / count;
        const float weighted = share * m_weights[c];
        features[static_cast<std::size_t>(c)] = weighted;
    }
}

void CPLBPHist::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, nullptr);
}

void CPLBPHist::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = frame::MaskFormCall(this);
    plan.buildValueVector = frame::ValueVectorCall(this, &CPLBPHist::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
