#include "PXYInteractionHist.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "XYInteractionHist";
const char* const kFeatureName = "feature";
constexpr int kBins = 5;
const char* const kBrief = "BRIEF\nComputes the Reney 2D entropy in various directions.\n\n";
const char* const kExplanation =
    "Computes the Reney 2D entropy in various directions.\n\nFor every label the grey values of its bounding box "
    "are counted in a histogram,\nand the pixels below the grey value at which more than 30 pixels are reached from "
    "below\nand the pixels above the grey value at which more than 30 pixels are reached from above\nform two sets. "
    "For each set the interaction potential exp(-0.05 d^2) of every pair of its pixels,\nd their distance, is put "
    "into a histogram of 5 bins.\n\n\n";

// The bin of a squared distance as the node forms it: d2 in single precision,
// widened, times -0.05, double exponential; 5 k truncated, at most 4.
int BinOf(float d2) {
    const double k = std::exp(static_cast<double>(d2) * -0.05);
    const auto b = static_cast<int64_t>(5.0 * k);
    return b > kBins - 1 ? kBins - 1 : static_cast<int>(b);
}

struct Offset {
    int dx, dy, bin;
};

// The offsets whose pairs fall in a bin above 0, one of each pair of opposite
// offsets (dy > 0, or dy = 0 and dx > 0): the offset and its opposite pair the
// same pixels the other way round. The bins fall with d^2 (5 exp(-0.05 d^2) is
// below 1 from d^2 = 33 on, far from any rounding question), so every such
// offset lies within `reach` of the origin on both axes.
struct Reach {
    std::vector<Offset> offsets;
    int centreBin = 0;  // the bin of the pairs (i, i)
};

const Reach& GetReach() {
    static const Reach reach = [] {
        Reach r;
        r.centreBin = BinOf(0.0f);
        int cut = 0;  // the first d^2 in bin 0
        while (BinOf(static_cast<float>(cut)) > 0) ++cut;
        int extent = 0;  // largest axis distance with a bin above 0
        while ((extent + 1) * (extent + 1) < cut) ++extent;
        // A shift of a bit row by at most 63 bits reaches only the next word.
        if (extent >= 64) throw std::logic_error("XYInteractionHist: interaction reach beyond one word");
        for (int dy = 0; dy <= extent; ++dy)
            for (int dx = -extent; dx <= extent; ++dx) {
                if (dy == 0 && dx <= 0) continue;
                const int bin = BinOf(static_cast<float>(dx * dx + dy * dy));
                if (bin > 0) r.offsets.push_back({dx, dy, bin});
            }
        return r;
    }();
    return reach;
}

// Word i of a row of nw words shifted so that its bit b is the row's bit
// 64 i + b + dx (bits beyond the row are 0), for |dx| < 64.
inline uint64_t Shifted(const uint64_t* row, int64_t nw, int64_t i, int dx) {
    if (dx == 0) return row[i];
    if (dx > 0) {
        uint64_t v = row[i] >> dx;
        if (i + 1 < nw) v |= row[i + 1] << (64 - dx);
        return v;
    }
    const int s = -dx;
    uint64_t v = row[i] << s;
    if (i > 0) v |= row[i - 1] >> (64 - s);
    return v;
}

// The number of set bits, inline: without a target flag for it, std::popcount
// becomes a library call per word. Most words of a sparse set are 0 and skipped
// before this.
inline uint64_t BitCount(uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return (v * 0x0101010101010101u) >> 56;
}

// What a double that starts at 0 and is raised by 1.0 per pair holds after
// count pairs: exact up to 2^53, where it stops growing (2^53 + 1 rounds back).
double AsDoubleCounter(uint64_t count) {
    constexpr uint64_t kLimit = uint64_t{1} << 53;
    return static_cast<double>(std::min(count, kLimit));
}
}  // namespace

CPXYInteractionHist::CPXYInteractionHist() = default;
CPXYInteractionHist::~CPXYInteractionHist() = default;

void CPXYInteractionHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.outputLabels[0] = "Calculated feature output as image";
    s.pluginSubType = "XYInteractionHistFeaturePlugin";
    s.shortDescription = "interaction potential histogram of pixels above and below automatic thresholds";
    // The names vector starts empty and receives the 10 names.
    s.featureNamesSize = 0;
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), kFeatureName);
    s.descriptionHead = std::string(kBrief) + kExplanation;
    s.inputDocs[0] = "First input image of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows) and \\f$m\\f$ is the number of\nfeatures (= number of columns).";
    s.outputDocs[1] = "Value vector, contains the same information as the output image.";
    // "data" is documented although the node keeps no such parameter; its text is
    // attached only where the host put a "data" entry.
    s.parameterDocs = {
        {"verbose",
         "The type of this parameter is of type bool. Prints function feedback to log area. By default it is \\a "
         "false.\n"},
        {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPXYInteractionHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPXYInteractionHist::CountPairsByBin(const std::vector<autothreshold::Position>& set, int64_t w, int64_t h,
                                          uint64_t counts[kBins]) {
    std::fill_n(counts, kBins, uint64_t{0});
    const auto n = static_cast<uint64_t>(set.size());
    if (n == 0) return;
    if (w <= 0 || h <= 0) throw std::invalid_argument("XYInteractionHist: positions in an empty box");

    // The set as rows of bits: bit x % 64 of word x / 64 of row y.
    const int64_t nw = (w + 63) / 64;
    std::vector<uint64_t> bits(static_cast<std::size_t>(nw * h), 0);
    for (const autothreshold::Position& p : set) {
        if (p.x < 0 || p.y < 0 || p.x >= w || p.y >= h)
            throw std::out_of_range("XYInteractionHist: position outside the box");
        bits[static_cast<std::size_t>(p.y * nw + p.x / 64)] |= uint64_t{1} << (p.x % 64);
    }

    const Reach& reach = GetReach();
    uint64_t counted = n;  // the pairs (i, i)
    counts[reach.centreBin] += n;
    for (const Offset& o : reach.offsets) {
        // Pixels p with p + (dx, dy) in the set too.
        uint64_t c = 0;
        for (int64_t y = 0; y + o.dy < h; ++y) {
            const uint64_t* row = bits.data() + y * nw;
            const uint64_t* other = row + o.dy * nw;
            for (int64_t i = 0; i < nw; ++i)
                if (const uint64_t both = row[i] & Shifted(other, nw, i, o.dx)) c += BitCount(both);
        }
        counts[o.bin] += 2 * c;  // with the opposite offset
        counted += 2 * c;
    }
    // Every other pair is farther apart and in bin 0. n^2 fits 64 bits below
    // 2^32 pixels; beyond, the count saturates, far past where the bins stop
    // being exact anyway.
    const uint64_t all = n < (uint64_t{1} << 32) ? n * n : std::numeric_limits<uint64_t>::max();
    counts[0] += all - counted;
}

void CPXYInteractionHist::ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0,
                                        std::vector<double>& features) const {
    if (features.size() < static_cast<std::size_t>(m_nFeatures)) throw std::out_of_range("invalid vector<T> subscript");
    std::fill_n(features.begin(), m_nFeatures, 0.0);
    if (!grey || !mask) return;

    const CSize gs = grey->Size();
    const CSize ms = mask->Size();
    if (grey->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The first input image is not of type IMAGE_GREY_F", nullptr);
    if (x0 < 0 || y0 < 0 || ms.x < 0 || ms.y < 0 || x0 > gs.x - ms.x || y0 > gs.y - ms.y)
        throw CException(frame::RunLocation(kName), "The region box does not lie inside the first input image",
                         nullptr);
    if (ms.x == 0 || ms.y == 0) return;

    using namespace autothreshold;
    // Every pixel of the box counts, whatever its label (no mask).
    const GreyBox box{grey->Pixels<float>() + y0 * gs.x + x0, gs.x, ms.x, ms.y};
    LevelHistogram histogram;
    CountBox(box, nullptr, histogram);
    const Thresholds t = FindThresholds(histogram, kDefaultLimit);

    std::vector<Position> set;
    for (const Side side : {Side::Dark, Side::Bright}) {
        if (!CollectSet(box, nullptr, t, side, set) || set.empty()) continue;
        uint64_t counts[kBins];
        try {
            CountPairsByBin(set, ms.x, ms.y, counts);
        } catch (const std::bad_alloc&) {
            continue;  // as a position list that cannot be allocated: the set's bins stay 0
        }
        const auto n = static_cast<float>(set.size());
        const auto n2 = static_cast<double>(n * n);
        const std::size_t first = side == Side::Dark ? 0 : kBins;
        for (int b = 0; b < kBins; ++b) features[first + static_cast<std::size_t>(b)] = AsDoubleCounter(counts[b]) / n2;
    }
}

void CPXYInteractionHist::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t) { return kFeatureName; });
}

void CPXYInteractionHist::Run() {
    const std::string location = frame::RunLocation(kName);
    frame::RunPlan plan;
    plan.fail = {location, std::nullopt};
    // The type check of input 0 names its place with a capital F; the label
    // image is only type-checked when connected. An absent label image leaves
    // nothing to build the region table from; it is refused in the words the
    // other nodes use.
    plan.inputs.checks = {
        {frame::Check::GreyNull, "First image is NULL"},
        {frame::Check::GreyType, " The first input image is not of type IMAGE_GREY_F", 0,
         "(Feature plugins) XYInteractionHist::Run"},
        {frame::Check::LabelNull, "Second input image is NULL"},
        {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.regionCountText = "The number of regions are: ";
    plan.crop = frame::Crop::Mask;
    plan.onNoRegions = []() -> frame::NoRegions {
        throw CException("(feature plugins) CFXYInteractionHist::Run", "The number of regions is zero!!", nullptr);
    };
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        ComputeRegion(region.inputs->grey, region.mask, region.x0, region.y0, features);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPXYInteractionHist::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
