#include "PThreePartsRelNbhHist.h"

#include <memory>
#include <stdexcept>

#include "FeatureFrame.h"
#include "NeighbourRelations.h"

namespace KELO {

namespace {
const char* const kName = "ThreePartsRelNbhHist";
const char* const kFeatureName = "feature";
const char* const kBriefSentence =
    "Computes the histogram over a pixel neighborhood devided in three parts within each region.";
using Rule = relations::ThreeParts;
}  // namespace

CPThreePartsRelNbhHist::CPThreePartsRelNbhHist() = default;
CPThreePartsRelNbhHist::~CPThreePartsRelNbhHist() = default;

void CPThreePartsRelNbhHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.inputLabels[0] = "DataImage";
    s.pluginSubType = "ThreePartsRelNbhHistFeaturePlugin";
    s.shortDescription = "three parts neighbourhood relation histogram";
    // The names vector starts empty and grows to the 27 names.
    s.featureNamesSize = 0;
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), kFeatureName);
    s.descriptionHead = std::string("BRIEF\n") + kBriefSentence + "\n\n" + kBriefSentence + "\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of\nfeatures (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information .";
    // "verbose" goes undocumented; "data" is documented although the node keeps
    // no such parameter, so its text lands only where the host put a "data" entry.
    s.parameterDocs = {{"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPThreePartsRelNbhHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPThreePartsRelNbhHist::ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                                           std::vector<double>& features) {
    if (features.size() < Rule::kCodes) throw std::out_of_range("invalid vector<T> subscript");
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    // Only misuse from outside Run can fail these; Run always passes a fitting pair.
    const auto fail = [](const std::string& message) {
        throw CException(std::string("(feature plugins) ") + kName + "::ComputeRegion", message, nullptr);
    };
    if (grey.Type() != IMAGE_GREY_F && grey.Type() != IMAGE_GREY_8)
        fail("The grey image must be of type IMAGE_GREY_F or IMAGE_GREY_8");
    if (x0 < 0 || y0 < 0 || ms.x < 0 || ms.y < 0 || gs.z < 1 || ms.x > gs.x - x0 || ms.y > gs.y - y0)
        fail(CString("The region box %1 at (%2, %3) does not lie inside the grey image %4")
                 .Arg(CPos(ms).ToString())
                 .Arg(static_cast<long long>(x0))
                 .Arg(static_cast<long long>(y0))
                 .Arg(CPos(gs).ToString()));

    for (std::size_t c = 0; c < Rule::kCodes; ++c) features[c] = 0.0;
    const int64_t w = ms.x, h = ms.y, W = gs.x;
    if (h - 1 < 1) return;

    uint64_t counts[Rule::kCodes] = {};
    const int64_t n = grey.Type() == IMAGE_GREY_8
                          ? relations::CountCodes<Rule>(grey.Pixels<uint8_t>() + y0 * W + x0, W, w, h, counts)
                          : relations::CountCodes<Rule>(grey.Pixels<float>() + y0 * W + x0, W, w, h, counts);
    if (n < 1) return;
    const auto total = static_cast<double>(n);
    for (std::size_t c = 0; c < Rule::kCodes; ++c) features[c] = static_cast<double>(counts[c]) / total;
}

void CPThreePartsRelNbhHist::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, nullptr);
    // This node names its columns under the meta key "feature", not "FeatureName".
    for (int32_t f = 0; f < m_nFeatures; ++f)
        output->Entry(f, true)->Meta().SetEntry("feature", new CValueString(kFeatureName));
}

void CPThreePartsRelNbhHist::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    // The label image is type-checked only when connected; a missing one cannot
    // give a region table and is refused at the same point.
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    // The empty table is reported under a location of its own, without the
    // opening parenthesis.
    plan.onNoRegions = []() -> frame::NoRegions {
        throw CException(std::string("feature plugins) ") + kName + "::Run", "The number of regions is zero!!",
                         nullptr);
    };
    plan.compute = frame::MaskFormCall(this);
    plan.buildValueVector = frame::ValueVectorCall(this, &CPThreePartsRelNbhHist::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
