#include "PAveragePolar.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "FeatureFrame.h"
#include "PolarSectors.h"

namespace KELO {

namespace {
const char* const kName = "AveragePolar";
constexpr int64_t kMaxPieces = 65536;
const char* const kSplitMessage = "Invalid number of radii, choose different number of 'pieces' and 'angles'";
const char* const kAnglesDoc = "The type of this parameter is of type long. Radius of the resulting pieces.";
const char* const kPiecesDoc = "The type of this parameter is of type long. Number of angular sections (pieces in a cake).\n";
}  // namespace

CPAveragePolar::CPAveragePolar() = default;
CPAveragePolar::~CPAveragePolar() = default;

void CPAveragePolar::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    const int64_t n = pieces, a = angles;
    s.addParameters = [n, a](CValueMap& params) {
        params.SetEntry("pieces", new CValueLong(static_cast<int32_t>(n)));
        params.SetEntry("angles", new CValueLong(static_cast<int32_t>(a)));
    };
    s.pluginSubType = "AveragePolarFeaturePlugin";
    s.shortDescription = "average over n polar sections (m angles and p radii)";
    // A count that cannot run (0 or negative) has no names.
    const auto names = static_cast<std::size_t>(std::max<int64_t>(n, 0));
    s.featureNamesSize = names;
    s.featureNames.assign(names, "");
    s.descriptionHead =
        "BRIEF\nCalculates the average over n polar sections (m angles and p radii).\n\n"
        "Calculates the average over n polar sections (m angles and p radii).\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixels, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows) and \\f$m\\f$ is the number of pieces (= number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {
        {"angles", kAnglesDoc}, {"pieces", kPiecesDoc}, {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPAveragePolar::ReadParameters() {
    const CValueMap& p = Parameters();
    verbose = p.EntryBool("verbose", verbose);
    // A refused count leaves the member as it was, so the node stays runnable.
    const int64_t n = p.EntryLong("pieces", static_cast<int32_t>(pieces));
    if (n > kMaxPieces) throw CException(frame::RunLocation(kName), "pieces has to be <= 65536", nullptr);
    pieces = n;
    angles = p.EntryLong("angles", static_cast<int32_t>(angles));
}

int64_t CPAveragePolar::SplitSectors(int64_t n, int64_t angles) {
    // Walk the divisors upwards while they come no farther from angles; the
    // first divisor that is farther ends the walk. An equal distance goes on,
    // so ties go to the larger divisor.
    int64_t best = 1;
    for (int64_t d = 1; d <= n; ++d) {
        if (n % d != 0) continue;
        if (std::llabs(best - angles) < std::llabs(d - angles)) return best;  // best divides n, so p = n / best >= 1
        best = d;
    }
    return 0;  // the nearest divisor is n itself (no rings), or n < 1
}

void CPAveragePolar::ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features, int64_t n,
                                   int64_t m, int64_t p) {
    if (!grey || !mask || n < 1) return;
    // Only misuse from outside Run can fail these.
    const std::string location = frame::RunLocation(kName);
    if (n > kMaxPieces || m < 1 || p < 1 || m > n || p > n / m) throw CException(location, kSplitMessage, nullptr);
    if (grey->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException(location, "The grey image and the region mask must be of type IMAGE_GREY_F", nullptr);
    const auto sections = static_cast<std::size_t>(n);
    features.resize(sections, 0.0);
    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (gs.x != ms.x || gs.y != ms.y || gs.z < 1 || ms.z < 1) return;

    std::vector<float> sum(sections, 0.0f);
    std::vector<int64_t> count(sections, 0);
    const int64_t w = ms.x, h = ms.y;
    const int64_t cx = w / 2, cy = h / 2;
    const auto R = static_cast<double>(std::min(cx, cy));
    const auto rings = static_cast<double>(p);
    const float* g = grey->Pixels<float>();
    const float* mk = mask->Pixels<float>();
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const int64_t i = y * w + x;
            if (mk[i] == 0.0f) continue;  // a NaN counts as a region pixel
            const int64_t dx = x - cx, dy = y - cy;
            const double r = std::sqrt(static_cast<double>(dx * dx + dy * dy));
            if (r > R) continue;
            // r <= R, so p * r / R lies in [0, p]; at the centre r = 0 is ring 0
            // also when R = 0 (where the quotient would be 0 / 0).
            const int64_t ring = r == 0.0 ? 0 : std::min(p - 1, static_cast<int64_t>(rings * r / R));
            const auto k = static_cast<std::size_t>(m * ring + polar::Sector(dx, dy, m));
            sum[k] += g[i];
            ++count[k];
        }
    for (std::size_t k = 0; k < sections; ++k)
        if (count[k] > 0) features[k] = sum[k] / static_cast<float>(count[k]);
}

void CPAveragePolar::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, pieces, [](int64_t) { return ""; });
}

void CPAveragePolar::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs = frame::FloatOrByteGreyInputs();
    plan.nFeatures = std::max<int64_t>(pieces, 0);
    plan.verbose = verbose;
    plan.crop = frame::Crop::GreyAndMask;
    const int64_t n = pieces;
    int64_t m = 0, p = 0;
    // The split is refused after the region count, so an empty label image
    // still reports "The number of regions is zero!!" first.
    plan.beforeRegions = [&] {
        m = SplitSectors(n, angles);
        if (m < 1) plan.fail(kSplitMessage);
        p = n / m;
    };
    plan.compute = [&](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(r.grey, r.mask, features, n, m, p);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPAveragePolar::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
