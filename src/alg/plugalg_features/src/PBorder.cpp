#include "PBorder.h"

#include <cmath>
#include <stdexcept>

#include "AxisDistance.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Border";
// Names in output 1; the setup description's "FeatureNames" holds empty strings.
const char* const kValueNames[3] = {"difference", "average first side", "average second side"};
const char* const kNoDescription = "There is no description available for this plugin.";
}  // namespace

CPBorder::CPBorder() = default;
CPBorder::~CPBorder() = default;

void CPBorder::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "BorderFeaturePlugin";
    s.shortDescription = "1:difference,2:average first side,3:average second side";
    s.featureNamesSize = 3;
    s.featureNames.assign(3, "");
    s.descriptionHead = std::string("BRIEF\n") + kNoDescription + "\n\n" + kNoDescription + "\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows) and \\f$m\\f$ is the number of pieces\n(= number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    s.descriptionTail = frame::Section("KEYWORDS", "border, number of pixels of regions border");
    s.keywords = {"border", "number of pixels of regions border"};
    frame::DescribeSetup(setup, s);
}

void CPBorder::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPBorder::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) const {
    if (features.size() < 3) throw std::out_of_range("invalid vector<T> subscript");
    features[0] = features[1] = features[2] = 0.0;
    if (!grey || !mask) return;
    const CSize gs = grey->Size(), ms = mask->Size();
    // The measure compares only the widths; a crop of another height would be
    // read past its end (or only in part), so it returns just the same.
    if (gs.x != ms.x || gs.y != ms.y) return;
    if (grey->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The grey-value crop is not of type IMAGE_GREY_F", nullptr);
    if (mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The mask image is not of type IMAGE_GREY_F", nullptr);
    // Plane 0 of each crop is read; a crop without any plane has nothing to read.
    const bool planes = gs.z > 0 && ms.z > 0;
    const int64_t w = planes ? ms.x : 0;
    const int64_t h = planes ? ms.y : 0;
    if (w <= 0 || h <= 0) return;
    const float* g = grey->Pixels<float>();
    const float* m = mask->Pixels<float>();

    // A mask without foreground has centre (0, 0) and a = b = c = 0, so t = 0 and
    // the direction below has length 0: no main axis.
    const auto [mx, my, a, b, c] = axis::CentralMoments(axis::GatherMoments<double>(m, w, h));
    const double t = (std::sqrt(b * 4.0 * b + (a - c) * (a - c)) + (c + a)) * 0.5 + b;
    double u = t - c;  // x component of the main axis
    double v = t - a;  // y component
    const double L = std::sqrt(v * v + u * u);
    if (L == 0.0) return;  // a = c and b <= 0: no main axis
    u /= L;
    v /= L;

    // s = (x - mx) v - (y - my) u; the row term is the same double for every x.
    float sum1 = 0.0f, count1 = 0.0f, sum2 = 0.0f, count2 = 0.0f;
    for (int64_t y = 0; y < h; ++y) {
        const double rowTerm = (static_cast<double>(y) - my) * u;
        const float* row = g + y * w;
        for (int64_t x = 0; x < w; ++x) {
            const double s = (static_cast<double>(x) - mx) * v - rowTerm;
            if (s > 0.0) {
                sum1 += row[x];
                count1 += 1.0f;
            } else if (s < 0.0) {
                sum2 += row[x];
                count2 += 1.0f;
            }
        }
    }
    const float mean1 = count1 > 0.0f ? sum1 / count1 : 0.0f;
    const float mean2 = count2 > 0.0f ? sum2 / count2 : 0.0f;
    const float hi = mean1 > mean2 ? mean1 : mean2;
    const float lo = mean1 > mean2 ? mean2 : mean1;
    features[0] = static_cast<double>(hi - lo);
    features[1] = static_cast<double>(hi);
    features[2] = static_cast<double>(lo);
}

void CPBorder::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t f) { return kValueNames[f]; });
}

void CPBorder::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.grey, region.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPBorder::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
