#include "PSDistMedianqDiff.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "AxisDistance.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "SDistMedianqDiff";
constexpr int kBins = 10;
const char* const kValueName = "median and 75%-25% quantile difference at different distances from the object";

// Ascending, with NaN above every number: a strict weak order for any floats.
bool Before(float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); }
}  // namespace

CPSDistMedianqDiff::CPSDistMedianqDiff() = default;
CPSDistMedianqDiff::~CPSDistMedianqDiff() = default;

void CPSDistMedianqDiff::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "SDistMedianqDiffFeaturePlugin";
    s.shortDescription = kValueName;
    s.featureNamesSize = static_cast<std::size_t>(m_nFeatures);
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), "");
    s.descriptionHead =
        "BRIEF\nCalculates the median and q75-q25 quantile difference.\n\n20 output features are calculated at "
        "various distances from the object.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel,\nwhere \\f$n\\f$ is the number of labels "
        "(=number of rows) and \\f$m\\f$ is the\nnumber of features (=number of columns, in this case 20).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPSDistMedianqDiff::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPSDistMedianqDiff::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) {
    if (!grey || !mask) return;
    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (gs.x != ms.x || gs.y != ms.y) return;
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The grey image and the region mask must be of type IMAGE_GREY_F",
                         nullptr);
    if (features.size() < 2 * kBins) throw std::out_of_range("invalid vector<T> subscript");
    std::fill_n(features.begin(), 2 * kBins, 0.0);
    // Plane 0 of both crops; a crop without planes has no pixels.
    const int64_t w = gs.z > 0 && ms.z > 0 ? ms.x : 0;
    const int64_t h = gs.z > 0 && ms.z > 0 ? ms.y : 0;
    const auto pixels = static_cast<std::size_t>(w * h);

    m_distances.resize(pixels);
    axis::AxisDistances<double>(mask->Pixels<float>(), w, h, m_distances.data());
    const float* d = m_distances.data();
    const float* g = grey->Pixels<float>();

    // Bin of each pixel (-1: farther than the last bin; a NaN distance too),
    // then the bins' slices of one buffer, filled in scan order.
    const auto binOf = [](float distance) { return distance < float(kBins) ? int(distance) : -1; };
    std::size_t start[kBins + 1] = {};
    for (std::size_t i = 0; i < pixels; ++i)
        if (const int k = binOf(d[i]); k >= 0) ++start[k + 1];
    for (int k = 0; k < kBins; ++k) start[k + 1] += start[k];
    m_values.resize(start[kBins]);
    std::size_t next[kBins];
    std::copy_n(start, kBins, next);
    for (std::size_t i = 0; i < pixels; ++i)
        if (const int k = binOf(d[i]); k >= 0) m_values[next[k]++] = g[i];

    for (int k = 0; k < kBins; ++k) {
        const std::size_t n = start[k + 1] - start[k];
        if (n == 0) continue;
        float* s = m_values.data() + start[k];
        // s[n/4] <= s[n/2] <= s[3n/4]: the median first, then each quartile within its side.
        const std::size_t lo = n / 4, mid = n / 2, hi = 3 * n / 4;
        std::nth_element(s, s + mid, s + n, Before);
        std::nth_element(s, s + lo, s + mid, Before);
        if (hi > mid) std::nth_element(s + mid + 1, s + hi, s + n, Before);
        features[2 * k] = s[mid];
        features[2 * k + 1] = s[hi] - s[lo];
    }
}

void CPSDistMedianqDiff::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kValueName; });
}

void CPSDistMedianqDiff::Run() {
    struct Release {
        CPSDistMedianqDiff& node;
        ~Release() {
            node.m_distances = {};
            node.m_values = {};
        }
    } release{*this};
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, r.mask, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPSDistMedianqDiff::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
