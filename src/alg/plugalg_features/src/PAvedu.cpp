#include "PAvedu.h"

#include <algorithm>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Avedu";

// Single-precision sum and count of the grey values under the mask, visited in
// the given order; returns their average, 0 when nothing was counted.
struct WindowMean {
    float sum = 0.0f;
    int64_t n = 0;
    void Add(float grey, float mask) {
        if (mask != 0.0f) {
            sum += grey;
            ++n;
        }
    }
    double Value() const { return n > 0 ? static_cast<double>(sum / static_cast<float>(n)) : 0.0; }
};
}  // namespace

CPAvedu::CPAvedu() = default;
CPAvedu::~CPAvedu() = default;

void CPAvedu::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [this](CValueMap& params) {
        params.SetEntry("y-Position", new CValueLong(m_yPosition));
        params.SetEntry("x-Position", new CValueLong(m_xPosition));
    };
    s.pluginSubType = "AveduFeaturePlugin";
    s.shortDescription =
        "average graylevel over foreground pixels (0 - x-Position) x (0 - y-Position) and (width - x-Position) x "
        "(height - y-Position)";
    // The features have no names: two empty ones.
    s.featureNamesSize = 2;
    s.featureNames = {"", ""};
    s.descriptionHead =
        "BRIEF\nComputes the average gray value of foreground pixels per label.\n\nComputes the average gray value of "
        "foreground pixels per label.\nThis is done by calculating (0 - x-Position) x (0 - y-Position) and\n(width - "
        "x-Position) x (height - y-Position).\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times 2\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows).";
    s.outputDocs[1] = "Value vector with the same information.";
    // This node's verbose text ends without a line end.
    s.parameterDocs = {
        {"verbose",
         "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set to "
         "\\a false."},
        {"x-Position", "The type of this parameter is of type long. Adapt the x-starting position."},
        {"y-Position", "The type of this parameter is of type long. Adapt the y-starting position.\n"},
        {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPAvedu::ReadParameters() {
    verbose = Parameters().EntryBool("verbose", verbose);
    m_yPosition = Parameters().EntryLong("y-Position", m_yPosition);
    m_xPosition = Parameters().EntryLong("x-Position", m_xPosition);
}

void CPAvedu::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features, int yPosition,
                            int xPosition) {
    if (features.size() < 2) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = 0.0;
    features[1] = 0.0;
    if (!grey || !mask) return;
    // Only misuse from outside Run can fail these; Run always passes a fitting pair.
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The grey image and the region mask must be of type IMAGE_GREY_F",
                         nullptr);
    const CSize gs = grey->Size();
    if (gs.x != mask->Size().x || gs.y != mask->Size().y)
        throw CException(frame::RunLocation(kName),
                         CString("The grey image %1 and the region mask %2 differ in size")
                             .Arg(CPos(gs).ToString())
                             .Arg(CPos(mask->Size()).ToString()),
                         nullptr);
    if (gs.Count() == 0 || mask->Size().Count() == 0) return;

    const int64_t w = gs.x, h = gs.y;
    const int64_t X = xPosition, Y = yPosition;  // 64 bits: w - X cannot overflow
    const float* g = grey->Pixels<float>();
    const float* m = mask->Pixels<float>();

    // Top-left window, row by row from the top, each row from the left. A size of
    // 0 or less leaves it empty.
    WindowMean topLeft;
    const int64_t right = std::min(w, X), bottom = std::min(h, Y);
    for (int64_t j = 0; j < bottom; ++j)
        for (int64_t i = 0; i < right; ++i) topLeft.Add(g[j * w + i], m[j * w + i]);
    features[0] = topLeft.Value();

    // Bottom-right window, from the last row upward, each row from the right. A
    // size of 0 or less puts its first row and column beyond the box.
    WindowMean bottomRight;
    const int64_t left = std::max<int64_t>(w - X, 0), top = std::max<int64_t>(h - Y, 0);
    for (int64_t j = h - 1; j >= top; --j)
        for (int64_t i = w - 1; i >= left; --i) bottomRight.Add(g[j * w + i], m[j * w + i]);
    features[1] = bottomRight.Value();
}

void CPAvedu::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return ""; });
}

void CPAvedu::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;  // both crops in one pass; 8-bit values converted to float
    const int yPosition = m_yPosition, xPosition = m_xPosition;
    plan.compute = [this, yPosition, xPosition](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.grey, region.mask, features, yPosition, xPosition);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPAvedu::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
