#include "PSdistAveVar.h"

#include <stdexcept>
#include <string>

#include "AxisDistance.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "SdistAveVar";
constexpr int64_t kMaxFeatures = 65536;

const char* const kFeaturesDoc =
    "The type of this parameter is of type long. Determines the number of features.\nBy default it is set to 20.\n";

std::string DescriptionHead() {
    std::string d =
        "BRIEF\nThis node provides features characterizing the average and variance\nat different distances from "
        "the object center.\n\n"
        "For each object the center and the eigenvector of the smaller eigenvalue of the\ncovariance matrix of its "
        "pixel positions are computed. The distance of each point\nperpendicular to the normalized eigenvector is "
        "divided into half of number_of_features equidistance bins of size two.\n"
        "Points with a distance larger than number_of_features are not taken into account.\n"
        "The features are:\n";
    for (int k = 0; k < 10; ++k) {
        const std::string range = std::to_string(2 * k) + " and " + std::to_string(2 * k + 2);
        d += "- average of gray value of object with distance between " + range + "\n";
        d += "- variance of gray value of object with distance between " + range + "\n";
    }
    d += "\nThe features are delivered as an image with one row per label and one column per\nfeature, and as a "
         "value vector with the same information.\n\n\n";
    return d;
}
}  // namespace

CPSdistAveVar::CPSdistAveVar() = default;
CPSdistAveVar::~CPSdistAveVar() = default;

void CPSdistAveVar::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    const int64_t nF = number_of_features;
    s.addParameters = [nF](CValueMap& params) {
        frame::Store(params, "number_of_features", new CValueLong(static_cast<int32_t>(nF)));
    };
    s.pluginSubType = "SdistAveVarFeaturePlugin";
    s.shortDescription = "average and variance at different distances from the defect";
    // Names for the mean and variance of each bin; an odd count leaves its last slot empty.
    s.featureNamesSize = static_cast<std::size_t>(nF);
    for (int64_t k = 0; k < nF / 2; ++k) {
        s.featureNames.emplace_back("Average");
        s.featureNames.emplace_back("Variance");
    }
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features -\nin this case 20 (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"number_of_features", kFeaturesDoc},
                       {"verbose", frame::kVerboseDoc},
                       {"data", "pointer to the data of the feature image"}};
    // The long text documents number_of_features alone among the parameters.
    s.longDescription = DescriptionHead() + frame::Section("INPUT 0", s.inputDocs[0]) +
                        frame::Section("INPUT 1", s.inputDocs[1]) + frame::Section("OUTPUT 0", s.outputDocs[0]) +
                        frame::Section("OUTPUT 1", s.outputDocs[1]) +
                        frame::Section("PARAMETER number_of_features", kFeaturesDoc);
    frame::DescribeSetup(setup, s);
}

void CPSdistAveVar::ReadParameters() {
    const CValueMap& p = Parameters();
    verbose = p.EntryBool("verbose", verbose);
    // A refused count leaves the member as it was, so the node stays runnable.
    const int64_t n = p.EntryLong("number_of_features", static_cast<int32_t>(number_of_features));
    const std::string location = frame::RunLocation(kName);
    if (n < 0) throw CException(location, "number_of_features has to be >= 0", nullptr);
    if (n > kMaxFeatures) throw CException(location, "number_of_features has to be <= 65536", nullptr);
    number_of_features = n;
}

void CPSdistAveVar::ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0,
                                  std::vector<double>& features) {
    if (!grey || !mask) return;
    // Only misuse from outside Run can fail these; Run always passes a fitting pair.
    const auto fail = [](const std::string& message) {
        throw CException(frame::RunLocation(kName), message, nullptr);
    };
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        fail("The grey image and the region mask must be of type IMAGE_GREY_F");
    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (x0 < 0 || y0 < 0 || gs.z < 1 || ms.x > gs.x - x0 || ms.y > gs.y - y0)
        fail(CString("The region mask %1 at (%2, %3) does not lie inside the grey image %4")
                 .Arg(CPos(ms).ToString())
                 .Arg(static_cast<long long>(x0))
                 .Arg(static_cast<long long>(y0))
                 .Arg(CPos(gs).ToString()));
    const int64_t bins = number_of_features / 2;
    if (features.size() < static_cast<std::size_t>(2 * bins)) throw std::out_of_range("invalid vector<T> subscript");

    const int64_t w = ms.z > 0 ? ms.x : 0;
    const int64_t h = ms.z > 0 ? ms.y : 0;
    const int64_t W = gs.x;
    m_distances.resize(static_cast<std::size_t>(w * h));
    axis::AxisDistances<float>(mask->Pixels<float>(), w, h, m_distances.data());

    m_sum.assign(static_cast<std::size_t>(bins), 0.0f);
    m_sumSquares.assign(static_cast<std::size_t>(bins), 0.0f);
    m_count.assign(static_cast<std::size_t>(bins), 0);
    // bins <= 32768 is exact in float. For a distance d >= 0, trunc(d * 0.5f) < bins
    // exactly when d * 0.5f < bins; the comparison also keeps a NaN out of every bin.
    const auto limit = static_cast<float>(bins);
    const float* g = grey->Pixels<float>();
    for (int64_t y = 0; y < h; ++y) {
        const float* dist = m_distances.data() + y * w;
        const float* row = g + (y0 + y) * W + x0;
        for (int64_t x = 0; x < w; ++x) {
            const float half = dist[x] * 0.5f;
            if (!(half < limit)) continue;
            const auto k = static_cast<std::size_t>(half);
            const float v = row[x];
            m_sum[k] += v;
            m_sumSquares[k] += v * v;
            ++m_count[k];
        }
    }

    for (int64_t k = 0; k < bins; ++k) {
        const auto i = static_cast<std::size_t>(k);
        float mean = 0.0f, variance = 0.0f;
        if (m_count[i] > 0) {
            const auto n = static_cast<float>(m_count[i]);
            mean = m_sum[i] / n;
            variance = m_sumSquares[i] / n - mean * mean;  // population variance; may round below 0
        }
        features[2 * i] = mean;
        features[2 * i + 1] = variance;
    }
}

void CPSdistAveVar::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    const int64_t named = number_of_features / 2 * 2;
    frame::FillValueVector(matrix, output, nRegions, number_of_features, [named](int64_t f) -> const char* {
        if (f >= named) return nullptr;  // the odd last column has no name
        return f % 2 == 0 ? "Average" : "Variance";
    });
}

void CPSdistAveVar::Run() {
    struct Release {
        CPSdistAveVar& node;
        ~Release() {
            node.m_distances = {};
            node.m_sum = {};
            node.m_sumSquares = {};
            node.m_count = {};
        }
    } release{*this};
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyImage, "First input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::LabelImage, "The label image is NULL"},
                          {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = number_of_features;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.inputs->grey, r.mask, r.x0, r.y0, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPSdistAveVar::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
