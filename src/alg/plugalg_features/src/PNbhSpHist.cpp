#include "PNbhSpHist.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "AutoThreshold.h"
#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "NbhSpHist";
constexpr int kBins = 10;  // per set

const char* const kHead =
    "BRIEF\nComputes the histogram over the scalar product of the neighborhood gray values of each pixel.\n\n"
    "Every pixel of a label is described by the differences of its 8 neighbours to its own gray value.\n"
    "The pixels below the gray value at which more than \\a m_nNumberOfPixels pixels are reached from below\n"
    "and the pixels above the gray value at which more than \\a m_nNumberOfPixels pixels are reached from above\n"
    "form two sets. For each set the normalized scalar products of the difference vectors of all pairs of\n"
    "its pixels are put into a histogram of 10 bins from -1 to 1. To counteract bias through\nextreme values, one "
    "can ignore the \\a m_nNumberOfPixels highest and lowest values.\n\n\n";
const char* const kNumberOfPixelsDoc =
    "The type of this parameter is of type long. Determines the number of pixels with values\nabove \\a th_above and "
    "below \\a th_below. By default it is set to 30.\n";

// The differences g(q) - g(p) to the 8 neighbours q of a pixel p.
struct Neighbourhood {
    float a[8];
};

// Neighbour offsets: upper left, above, upper right, left, right, lower left,
// below, lower right (y grows downwards).
constexpr int kDx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
constexpr int kDy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};

inline float Norm(const Neighbourhood& v) {
    float sum = 0.0f;
    for (float d : v.a) sum += d * d;
    return std::sqrt(sum);
}

// The cosine of the pair (i, j) in single precision; the plain scalar product
// when a norm is 0 (it is then 0 itself).
inline float Cosine(const Neighbourhood& ai, float ni, const Neighbourhood& aj, float nj) {
    float dot = 0.0f;
    for (int k = 0; k < 8; ++k) dot += ai.a[k] * aj.a[k];
    return (nj > 0.0f && ni > 0.0f) ? dot / (nj * ni) : dot;
}

// trunc(5 s + 5) limited to 0 .. 9. A cosine that is not a number (0 / 0,
// possible only when the product of two tiny positive norms underflows to 0)
// counts in bin 0; an infinite one in the outer bin of its sign.
inline int CosineBin(float s) {
    const float v = 5.0f * s + 5.0f;
    if (!(v >= 0.0f)) return 0;
    if (v >= static_cast<float>(kBins - 1)) return kBins - 1;
    return static_cast<int>(v);
}

// What a float that starts at 0 and is raised by 1.0 per pair holds after count
// pairs: exact up to 2^24, where it stops growing (2^24 + 1 rounds back).
constexpr uint64_t kFloatCounterLimit = uint64_t{1} << 24;

// The pixels of a set that share one neighbourhood vector, bit for bit.
struct Group {
    Neighbourhood v;
    uint64_t pixels;
};

inline bool SameBits(const Neighbourhood& l, const Neighbourhood& r) { return std::memcmp(l.a, r.a, sizeof l.a) == 0; }

// Adds a pixel to a set as it is collected: a run of equal vectors in scan order
// (a flat stretch of a row) takes one entry.
void AddPixel(std::vector<Group>& set, const Neighbourhood& v) {
    if (!set.empty() && SameBits(set.back().v, v))
        ++set.back().pixels;
    else
        set.push_back({v, 1});
}

// The 10 bins of a set of m pixels, overwriting bins. Bit-identical vectors give
// identical cosines, so the set is reduced to its distinct vectors, and each
// unordered pair of distinct vectors is taken once for both orders.
void CosineHistogram(std::vector<Group>& set, uint64_t m, float bins[kBins]) {
    std::fill_n(bins, kBins, 0.0f);
    if (m == 0) return;
    std::sort(set.begin(), set.end(),
              [](const Group& l, const Group& r) { return std::memcmp(l.v.a, r.v.a, sizeof l.v.a) < 0; });
    std::size_t distinct = 0;
    for (const Group& g : set) {
        if (distinct > 0 && SameBits(set[distinct - 1].v, g.v))
            set[distinct - 1].pixels += g.pixels;
        else
            set[distinct++] = g;
    }
    set.resize(distinct);
    std::vector<float> norms(distinct);
    for (std::size_t u = 0; u < distinct; ++u) norms[u] = Norm(set[u].v);

    // Counts beyond the float limit all read as the limit, so they saturate there
    // (which also keeps every product far inside 64 bits).
    uint64_t counts[kBins] = {};
    const auto add = [&counts](float s, uint64_t cu, uint64_t cv, uint64_t orders) {
        const uint64_t pairs =
            (cu >= kFloatCounterLimit || cv >= kFloatCounterLimit) ? kFloatCounterLimit : cu * cv * orders;
        uint64_t& c = counts[CosineBin(s)];
        c = std::min(c + std::min(pairs, kFloatCounterLimit), kFloatCounterLimit);
    };
    for (std::size_t u = 0; u < distinct; ++u) {
        const Neighbourhood& au = set[u].v;
        const uint64_t cu = set[u].pixels;
        add(Cosine(au, norms[u], au, norms[u]), cu, cu, 1);
        for (std::size_t v = u + 1; v < distinct; ++v)
            add(Cosine(au, norms[u], set[v].v, norms[v]), cu, set[v].pixels, 2);
    }
    const auto mf = static_cast<float>(m);
    const float m2 = mf * mf;
    for (int b = 0; b < kBins; ++b) bins[b] = static_cast<float>(counts[b]) / m2;
}

// The smallest and the largest of n > 0 values, or NaN for both when any value
// is NaN. Kept in independent lanes so that the scan over the whole image runs
// several values per step.
std::pair<float, float> GreyRange(const float* v, int64_t n) {
    constexpr int kLanes = 16;
    float lo[kLanes], hi[kLanes];
    int32_t nan[kLanes];
    for (int l = 0; l < kLanes; ++l) lo[l] = hi[l] = v[0], nan[l] = 0;
    int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int l = 0; l < kLanes; ++l) {
            const float x = v[i + l];
            lo[l] = x < lo[l] ? x : lo[l];
            hi[l] = x > hi[l] ? x : hi[l];
            nan[l] |= x != x ? 1 : 0;
        }
    for (; i < n; ++i) {
        const float x = v[i];
        lo[0] = x < lo[0] ? x : lo[0];
        hi[0] = x > hi[0] ? x : hi[0];
        nan[0] |= x != x ? 1 : 0;
    }
    float a = lo[0], b = hi[0];
    bool anyNaN = false;
    for (int l = 0; l < kLanes; ++l) {
        a = lo[l] < a ? lo[l] : a;
        b = hi[l] > b ? hi[l] : b;
        anyNaN |= nan[l] != 0;
    }
    if (anyNaN) a = b = std::numeric_limits<float>::quiet_NaN();
    return {a, b};
}
}  // namespace

CPNbhSpHist::CPNbhSpHist() = default;
CPNbhSpHist::~CPNbhSpHist() = default;

void CPNbhSpHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [this](CValueMap& p) {
        // The description's long holds 32 bits; a count beyond shows as the
        // nearest value it can hold.
        const auto shown = std::clamp<int64_t>(m_nNumberOfPixels, std::numeric_limits<int32_t>::min(),
                                               std::numeric_limits<int32_t>::max());
        frame::Store(p, "m_nNumberOfPixels", new CValueLong(static_cast<int32_t>(shown)));
    };
    s.pluginSubType = "NbhSpHistFeaturePlugin";
    s.shortDescription =
        "histogram of normalized scalar products of neighbourhoods of pixels above and below automatic thresholds";
    // The names vector starts empty and receives the 20 names.
    s.featureNamesSize = 0;
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), "feature");
    s.descriptionHead = kHead;
    s.inputDocs[0] = "First input image with values only in the range from zero to 255, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}, {"m_nNumberOfPixels", kNumberOfPixelsDoc}};
    frame::DescribeSetup(setup, s);
}

void CPNbhSpHist::ReadParameters() {
    const CValueMap& p = Parameters();
    verbose = p.EntryBool("verbose", verbose);
    // The count is read under "NumberOfPixels" as a 32-bit long and widened. Only
    // a present entry is read, so that a count beyond 32 bits that an earlier
    // double set is not cut down to 32 bits as the default.
    int64_t count = m_nNumberOfPixels;
    if (p.HasEntry("NumberOfPixels")) count = p.EntryLong("NumberOfPixels", 0);
    // "m_nNumberOfPixels" overrides it: a double truncated toward zero, or a long.
    if (const CValue* v = p.Entry("m_nNumberOfPixels")) {
        if (v->Type() == EValueType::Double) {
            // A double that no 64-bit integer holds (NaN, infinite, too large) has
            // no truncation; it is refused, and the count stays as it was.
            const double d = v->Double();
            if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0))
                throw CException(frame::RunLocation(kName),
                                 CString("m_nNumberOfPixels = %1 is not a pixel count").Arg(d), nullptr);
            count = static_cast<int64_t>(d);
        } else if (v->Type() == EValueType::Long) {
            count = v->Long();
        }
    }
    m_nNumberOfPixels = count;
}

void CPNbhSpHist::ComputeRegion(const CImage& grey, const CImage& labels, int64_t x0, int64_t y0, int64_t w,
                                int64_t h, std::vector<double>& features, uint32_t label) {
    if (features.size() < static_cast<std::size_t>(m_nFeatures)) throw std::out_of_range("invalid vector<T> subscript");
    const CSize gs = grey.Size();
    // Only misuse from outside Run can fail these; Run always passes a fitting box.
    const auto fail = [](const std::string& message) {
        throw CException(std::string("(feature plugins) ") + kName + "::ComputeRegion", message, nullptr);
    };
    if (grey.Type() != IMAGE_GREY_F || labels.Type() != IMAGE_GREY_F)
        fail("The grey image and the label image must be of type IMAGE_GREY_F");
    if (!(labels.Size() == gs)) fail("The grey image and the label image differ in size");
    if (x0 < 0 || y0 < 0 || w < 0 || h < 0 || gs.z < 1 || w > gs.x - x0 || h > gs.y - y0)
        fail("The region box does not lie inside the images");

    float bins[2 * kBins] = {};
    // Only boxes of at least 3 x 3 have pixels with all 8 neighbours inside.
    if (w >= 3 && h >= 3) {
        const int64_t W = gs.x;
        const float* g = grey.Pixels<float>();
        const float* lab = labels.Pixels<float>();
        const auto fl = static_cast<float>(label);

        using namespace autothreshold;
        LevelHistogram histogram;
        for (int64_t y = y0 + 1; y < y0 + h - 1; ++y)
            for (int64_t x = x0 + 1; x < x0 + w - 1; ++x)
                if (lab[y * W + x] == fl) histogram.Add(g[y * W + x]);
        const Thresholds t = FindThresholds(histogram, static_cast<float>(m_nNumberOfPixels));

        std::vector<Group> set;
        for (const Side side : {Side::Dark, Side::Bright}) {
            float* out = bins + (side == Side::Dark ? 0 : kBins);
            try {
                set.clear();
                uint64_t m = 0;
                for (int64_t y = y0 + 1; y < y0 + h - 1; ++y)
                    for (int64_t x = x0 + 1; x < x0 + w - 1; ++x) {
                        const int64_t at = y * W + x;
                        if (lab[at] != fl) continue;
                        const float gp = g[at];
                        if (!(side == Side::Dark ? InDarkSet(gp, t) : InBrightSet(gp, t))) continue;
                        Neighbourhood v;
                        for (int k = 0; k < 8; ++k) v.a[k] = g[at + kDy[k] * W + kDx[k]] - gp;
                        AddPixel(set, v);
                        ++m;
                    }
                CosineHistogram(set, m, out);
            } catch (const std::bad_alloc&) {
                // A set whose list cannot be allocated leaves its bins 0.
                std::fill_n(out, kBins, 0.0f);
                std::vector<Group>().swap(set);
            }
        }
    }
    for (int b = 0; b < 2 * kBins; ++b) features[static_cast<std::size_t>(b)] = bins[b];
}

void CPNbhSpHist::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) {
    // Only the first column is named, and with an empty name.
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures,
                           [](int64_t f) -> const char* { return f == 0 ? "" : nullptr; });
}

void CPNbhSpHist::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    // An input that is absent or holds no image gets the same message.
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                          {frame::Check::GreyImage, "First input image is NULL"},
                          {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                          {frame::Check::LabelNull, "Second input image is NULL"},
                          {frame::Check::LabelImage, "Second input image is NULL"},
                          {frame::Check::LabelType, "The second input image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::None;
    // Every pixel of input 0, in all planes, must lie in [0, 256), whether or
    // not a region covers it. A NaN anywhere is refused too (it has no grey
    // level); the range then reads (nan,nan).
    plan.afterInputs = [](const frame::Inputs& in) {
        const int64_t count = in.W * in.H * in.D;
        if (count <= 0) return;
        const auto [lo, hi] = GreyRange(in.grey->Pixels<float>(), count);
        if (!(lo >= 0.0f && hi < 256.0f)) {
            const frame::Thrower fail{
                "", Impl::StExLocation{__DATE__ " " __TIME__, __FILE__, "void __cdecl KELO::CPNbhSpHist::Run(void)",
                                       __LINE__, nullptr}};
            fail(CString("This plugin works only for images with values between 0 and 255, but current range is "
                         "(%1,%2)")
                     .Arg(static_cast<double>(lo))
                     .Arg(static_cast<double>(hi)));
        }
    };
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        ComputeRegion(*r.inputs->grey, *r.inputs->labels, r.x0, r.y0, r.w, r.h, features, r.info->label);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPNbhSpHist::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
