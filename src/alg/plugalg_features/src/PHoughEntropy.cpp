#include "PHoughEntropy.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "HoughEntropy";
const char* const kFillLocation = "(feature plugins) HoughEntropy::HoughFill";

// The histogram has kBins angles (rows) and kBins distances (columns); the
// reference square has the same side.
constexpr int64_t kBins = 20;
// A reference cell counts how many of the square's 400 positions vote into it;
// cells reached by this many or fewer are left out of the normalised histogram.
constexpr float kMinReferenceCount = 20.0f;

const char* const kFeatureNames[] = {
    "max/sum",
    "expectation of normalized density (ala Reny's entropy)",
    "expectation of log normalized density (entropy)",
    "histogram maximum",
};

const char* const kInputDocs[2] = {"First input image, must be of type IMAGE_GREY_F", "Second input label image."};
const char* const kOutputDocs[2] = {
    "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
    "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).",
    "Value vector with the same information and meta information for each output feature."};

const char* const kBrief = "Node to compute several measures of the entropy of the Hough histogram.";
const char* const kExplanation =
    "Points which lie on lines give pronounced peaks in the Hough histogram. This should be reflected in entropy "
    "values computed in the hough space. The following values are computed:\n"
    "- maximal value devided through sum of foreground pixels\n"
    "- expectation of normalized density (Reny entropy)\n"
    "- expectation of logarithmic normalized density (entropy)\n"
    "- maximal value of histogram";
}  // namespace

CPHoughEntropy::CPHoughEntropy() = default;
CPHoughEntropy::~CPHoughEntropy() = default;

void CPHoughEntropy::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.pluginSubType = "HoughEntropyFeaturePlugin";
    s.shortDescription = "entropy of the Hough Histogram";
    s.featureNamesSize = std::size(kFeatureNames);
    s.featureNames.assign(std::begin(kFeatureNames), std::end(kFeatureNames));
    s.descriptionHead = std::string("BRIEF\n") + kBrief + "\n\n" + kExplanation + "\n\n\n";
    for (int i = 0; i < 2; ++i) {
        s.inputDocs[i] = kInputDocs[i];
        s.outputDocs[i] = kOutputDocs[i];
    }
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPHoughEntropy::ReadParameters() {
    verbose = Parameters().EntryBool("verbose", verbose);
    m_pHoughHistRef.reset();
}

void CPHoughEntropy::PrepareAngles(int64_t nAngles) {
    if (static_cast<int64_t>(m_cos.size()) == nAngles) return;
    m_sin.resize(static_cast<std::size_t>(nAngles));
    m_cos.resize(static_cast<std::size_t>(nAngles));
    const double pi = 2.0 * std::asin(1.0);
    const float step = static_cast<float>(pi) / static_cast<float>(nAngles);
    // The angles are accumulated in single precision, not formed as k * step.
    float theta = 0.0f;
    for (int64_t k = 0; k < nAngles; ++k) {
        m_sin[static_cast<std::size_t>(k)] = std::sin(theta);
        m_cos[static_cast<std::size_t>(k)] = std::cos(theta);
        theta += step;
    }
}

void CPHoughEntropy::HoughFill(const CImage& grey, CImage& hist, const CImage& mask, int64_t x0, int64_t y0) {
    if (grey.Type() != IMAGE_GREY_F || hist.Type() != IMAGE_GREY_F || mask.Type() != IMAGE_GREY_F)
        throw CException(kFillLocation, "The grey, histogram and mask images must be of type IMAGE_GREY_F", nullptr);
    const CSize gs = grey.Size();
    const CSize as = hist.Size();
    const CSize ms = mask.Size();
    const int64_t w = ms.x, h = ms.y;
    const bool noVotes = ms.Count() == 0;
    // The squares of the extents must fit in 64 bits; the mask's box must lie
    // inside plane 0 of the grey image.
    if (!noVotes && (w > INT32_MAX || h > INT32_MAX || gs.Count() == 0 || x0 < 0 || y0 < 0 || x0 > gs.x - w ||
                     y0 > gs.y - h))
        throw CException(kFillLocation,
                         CString("The mask of size %1 at (%2, %3) does not lie inside the grey image of size %4")
                             .Arg(CPos(ms).ToString())
                             .Arg(static_cast<long long>(x0))
                             .Arg(static_cast<long long>(y0))
                             .Arg(CPos(gs).ToString()),
                         nullptr);
    if (as.x > INT32_MAX)
        throw CException(kFillLocation, "The histogram image is wider than 2147483647 distance bins", nullptr);
    if (as.Count() == 0) return;  // a histogram without cells holds no votes
    const int64_t nd = as.x, na = as.y;
    float* cells = hist.Pixels<float>();
    std::fill_n(cells, nd * na, 0.0f);
    if (noVotes) return;

    PrepareAngles(na);
    const auto n = static_cast<std::size_t>(na);
    m_xcos.resize(n);
    m_bins.resize(n);
    m_rowBase.resize(n);
    for (std::size_t a = 0; a < n; ++a) m_rowBase[a] = static_cast<int64_t>(a) * nd;
    const float* sinT = m_sin.data();
    const float* cosT = m_cos.data();
    float* xcos = m_xcos.data();
    int32_t* bin = m_bins.data();
    const int64_t* rowBase = m_rowBase.data();
    const auto nd32 = static_cast<int32_t>(nd);

    const float diag = std::sqrt(static_cast<float>(h * h + w * w));
    const int64_t W = gs.x;
    const float* k = mask.Pixels<float>();
    const float* g = grey.Pixels<float>() + y0 * W + x0;
    // Column by column: the float sums of a cell depend on the order of its votes.
    for (int64_t x = 0; x < w; ++x) {
        const auto xc = static_cast<float>(x - w / 2);
        for (std::size_t a = 0; a < n; ++a) xcos[a] = xc * cosT[a];
        for (int64_t y = 0; y < h; ++y) {
            if (k[y * w + x] != 1.0f) continue;
            const float v = g[y * W + x];
            if (!(v > 0.0f)) continue;
            const auto yc = static_cast<float>(y - h / 2);
            for (std::size_t a = 0; a < n; ++a) bin[a] = DistanceBin(xcos[a] + yc * sinT[a], diag, nd32);
            for (std::size_t a = 0; a < n; ++a) cells[rowBase[a] + bin[a]] += v;
        }
    }
}

void CPHoughEntropy::ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                                   std::vector<double>& features) {
    if (!m_pHoughHistRef) throw CException(frame::RunLocation(kName), "m_pHoughHistRef is NULL", nullptr);
    if (features.size() < static_cast<std::size_t>(m_nFeatures)) throw std::out_of_range("invalid vector<T> subscript");

    CImage hist(IMAGE_GREY_F, CSize(kBins, kBins, 1), CSize(0, 0, 0));
    HoughFill(grey, hist, mask, x0, y0);
    float* cells = hist.Pixels<float>();
    const float* ref = m_pHoughHistRef->Pixels<float>();
    constexpr int64_t nCells = kBins * kBins;
    for (int64_t i = 0; i < nCells; ++i) cells[i] = (ref[i] > kMinReferenceCount) ? cells[i] / ref[i] : 0.0f;

    double sum = 0.0, max = 0.0;
    for (int64_t i = 0; i < nCells; ++i) {
        sum += cells[i];
        if (cells[i] > max) max = cells[i];
    }
    if (sum == 0.0) sum = 1.0;
    double q = 0.0, e = 0.0;
    for (int64_t i = 0; i < nCells; ++i) {
        const double p = cells[i] / sum;
        if (p > 0.0) {
            q += p * p;
            e -= p * std::log(p);
        }
    }
    features[0] = max / sum;
    features[1] = q;
    features[2] = e;
    features[3] = max;
}

void CPHoughEntropy::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures,
                           [](int64_t f) { return kFeatureNames[static_cast<std::size_t>(f)]; });
}

void CPHoughEntropy::BuildReference(const frame::Thrower& fail) {
    m_pHoughHistRef.reset();
    std::unique_ptr<CImage> ref, ones;
    try {
        ref = std::make_unique<CImage>(IMAGE_GREY_F, CSize(kBins, kBins, 1), CSize(0, 0, 0));
    } catch (const std::bad_alloc&) {
        fail("m_pHoughHistRef is NULL");
    }
    try {
        ones = std::make_unique<CImage>(IMAGE_GREY_F, CSize(kBins, kBins, 1), CSize(0, 0, 0));
    } catch (const std::bad_alloc&) {
        fail("pTmp is NULL");
    }
    std::fill_n(ones->Pixels<float>(), kBins * kBins, 1.0f);
    HoughFill(*ones, *ref, *ones, 0, 0);
    m_pHoughHistRef = std::move(ref);
}

void CPHoughEntropy::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}};
    // The reference comes after the input checks and before the region count,
    // so its own failures are reported in that place.
    plan.afterInputs = [this, &plan](const frame::Inputs&) { BuildReference(plan.fail); };
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    // The mask spans the box's depth; only its first plane is read (see the class comment).
    plan.crop = frame::Crop::Mask3D;
    plan.compute = frame::MaskFormCall(this);
    plan.buildValueVector = frame::ValueVectorCall(this, &CPHoughEntropy::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
