#include "PRelnbhHist.h"

#include <stdexcept>

#include "FeatureFrame.h"
#include "NeighbourRelations.h"

namespace KELO {

namespace {
const char* const kName = "RelnbhHist";
const char* const kFeatureName = "neighbourhood relation histogram";
const char* const kExplanation =
    "For every pixel of the bounding box of a label the grey value differences to three of its\n"
    "neighbours are looked at. A difference of more than 5 is a big difference. The pixel gets a number:\n"
    "pixel to the right: 0/+1 (small difference/big difference)\npixel at the bottom: 0/+2\n"
    "pixel at the bottom right: 0/+4\n"
    "The counter of the resulting number (0 to 7) is incremented, and the histogram of the label is\n"
    "then normalised by the number of pixels counted.";
using Rule = relations::BigDifference;
}  // namespace

CPRelnbhHist::CPRelnbhHist() = default;
CPRelnbhHist::~CPRelnbhHist() = default;

void CPRelnbhHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "RelnbhHistFeaturePlugin";
    s.shortDescription = "neighbourhood relation histogram";
    s.featureNamesSize = static_cast<std::size_t>(m_nFeatures);
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), "");
    s.descriptionHead =
        std::string("BRIEF\nThis node calculates the neighbourhood relation histogram.\n\n") + kExplanation + "\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features - in this case 8\n(=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    // "data" is documented although the node keeps no such parameter; its text is
    // attached only where the host put a "data" entry.
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPRelnbhHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPRelnbhHist::ComputeRegion(const CImage* region, std::vector<double>& features) {
    if (features.size() < Rule::kCodes) throw std::out_of_range("invalid vector<T> subscript");
    for (std::size_t c = 0; c < Rule::kCodes; ++c) features[c] = 0.0;
    if (!region) return;
    if (region->Type() != IMAGE_GREY_F)
        throw CException(std::string("(feature plugins) ") + kName + "::ComputeRegion",
                         "The region image must be of type IMAGE_GREY_F", nullptr);
    const CSize rs = region->Size();
    const int64_t w = rs.x, h = rs.y;
    if (rs.z < 1) return;  // no pixels

    uint64_t counts[Rule::kCodes] = {};
    relations::CountCodes<Rule>(region->Pixels<float>(), w, w, h, counts);
    // N as the product of two floats: for boxes of more than 2^24 coded pixels it
    // may be rounded, and the shares then sum to slightly other than 1.
    const float n = static_cast<float>(w - 1) * static_cast<float>(h - 1);
    for (std::size_t c = 0; c < Rule::kCodes; ++c) {
        features[c] = static_cast<double>(counts[c]);
        if (n > 0.0f) features[c] /= static_cast<double>(n);
    }
}

void CPRelnbhHist::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPRelnbhHist::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Grey;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPRelnbhHist::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
