#include "PAveragePhi.h"

#include <string>

#include "FeatureFrame.h"
#include "PolarSectors.h"

namespace KELO {

namespace {
const char* const kName = "AveragePhi";
constexpr int64_t kMaxPieces = 65536;
const char* const kPiecesDoc = "The type of this parameter is of type long. Number of equally sized circular sections.";
}  // namespace

CPAveragePhi::CPAveragePhi() = default;
CPAveragePhi::~CPAveragePhi() = default;

void CPAveragePhi::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    const int64_t n = pieces;
    s.addParameters = [n](CValueMap& params) { params.SetEntry("pieces", new CValueLong(static_cast<int32_t>(n))); };
    s.pluginSubType = "AveragePhiFeaturePlugin";
    s.shortDescription = "average over 80 angular sections (80 pieces of a cake)";
    s.featureNamesSize = static_cast<std::size_t>(n);
    s.featureNames.assign(static_cast<std::size_t>(n), "");
    s.descriptionHead =
        "BRIEF\nComputes the average over n equally sized circular sections (n pieces of a cake).\n\n"
        "Computes the average over n equally sized circular sections (n pieces of a cake).\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows) and \\f$m\\f$ is the number of sections\n(= number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"pieces", kPiecesDoc},
                       {"verbose", frame::kVerboseDoc},
                       {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPAveragePhi::ReadParameters() {
    const CValueMap& p = Parameters();
    verbose = p.EntryBool("verbose", verbose);
    // A refused count leaves the member as it was, so the node stays runnable.
    const int64_t n = p.EntryLong("pieces", static_cast<int32_t>(pieces));
    const std::string location = frame::RunLocation(kName);
    if (n < 0) throw CException(location, "pieces has to be >= 0", nullptr);
    if (n > kMaxPieces) throw CException(location, "pieces has to be <= 65536", nullptr);
    pieces = n;
}

void CPAveragePhi::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features,
                                 int64_t pieces) {
    if (!grey || !mask || pieces < 1) return;
    // Only misuse from outside Run can fail these.
    const std::string location = frame::RunLocation(kName);
    if (pieces > kMaxPieces) throw CException(location, "pieces has to be <= 65536", nullptr);
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException(location, "The grey image and the region mask must be of type IMAGE_GREY_F", nullptr);
    const auto n = static_cast<std::size_t>(pieces);
    features.resize(n, 0.0);
    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (gs.x != ms.x || gs.y != ms.y || gs.z < 1 || ms.z < 1) return;

    std::vector<float> sum(n, 0.0f);
    std::vector<int64_t> count(n, 0);
    const int64_t w = ms.x, h = ms.y;
    const int64_t cx = w / 2, cy = h / 2;
    const float* g = grey->Pixels<float>();
    const float* mk = mask->Pixels<float>();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const int64_t i = y * w + x;
            if (mk[i] == 0.0f) continue;  // a NaN counts as a region pixel
            const auto k = static_cast<std::size_t>(polar::Sector(x - cx, y - cy, pieces));
            sum[k] += g[i];
            ++count[k];
        }
    for (std::size_t k = 0; k < n; ++k)
        if (count[k] > 0) features[k] = sum[k] / static_cast<float>(count[k]);
}

void CPAveragePhi::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, pieces, [](int64_t) { return ""; });
}

void CPAveragePhi::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = pieces;
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    const int64_t n = pieces;
    plan.compute = [this, n](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, r.mask, features, n);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPAveragePhi::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
