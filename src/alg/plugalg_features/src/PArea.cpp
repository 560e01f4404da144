#include "PArea.h"

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Area";
const char* const kFeatureName = "Area (number of pixels)";
const char* const kSummary =
    "This node calculates an approximated value for the number of labeled pixels. Therefore a bounding box is set "
    "up for every label. The approximated number of labeled pixels is the product of the bounding box's height and "
    "width.";
const char* const kExplanation =
    "Calculates an approximated value for the number of labeled pixels. Therefore a bounding box is set up for "
    "every label. The approximated number of labeled pixels is the product of the bounding box's height and width.";
}  // namespace

CPArea::CPArea() = default;
CPArea::~CPArea() = default;

void CPArea::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "AreaFeaturePlugin";
    s.shortDescription = "width times height of the labels";
    s.featureNamesSize = 1;
    s.featureNames = {kFeatureName};
    s.descriptionHead = std::string("BRIEF\n") + kSummary + "\n\n" + kExplanation + "\n\n\n";
    s.inputDocs[0] = "Input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times 1\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows).";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    s.descriptionTail = frame::Section("KEYWORDS", "area of bounding box, label image, feature");
    s.keywords = {"area of bounding box", "label image", "feature"};
    // The long text carries the whole OUTPUT 1 sentence; the fallback label of output 1 is cut short.
    s.outputDocs[1] = "Value vector with the same information";
    s.longDescription = frame::Description(s);
    s.outputDocs[1] = "Value vector with the same informatio";
    frame::DescribeSetup(setup, s);
}

void CPArea::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPArea::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPArea::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::UnwrapGrey, ""},
                          {frame::Check::LabelNull, "Label input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::None;
    plan.compute = [](const frame::RegionView& region, std::vector<double>& features) {
        features[0] = static_cast<double>(region.w) * static_cast<double>(region.h);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPArea::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
