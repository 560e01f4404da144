#include "PHist.h"

#include <iostream>
#include <stdexcept>

#include "FeatureFrame.h"
#include "RegionTable.h"

namespace KELO {

namespace {
const char* const kName = "Hist";
constexpr int kBins = 256;

}  // namespace

CPHist::CPHist() = default;
CPHist::~CPHist() = default;

void CPHist::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.pluginType = "Image";
    s.identity = {{"subType", "LabelImage"}, {"name", "Hist"}};
    s.verbose = verbose;
    s.hasFeatureNames = false;
    s.descriptionHead =
        "BRIEF\nComputes the gray level histogram.\n\nThis plugin computes the gray level histograms for all labeled "
        "objects\nin the image. The histograms are normalized to sum 1.\n\n\nNOTE\nThe gray values in the first "
        "input image must be inbetween 0 and 255.\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information and meta information for each output feature.";
    s.parameterDocs = {{"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPHist::ReadParameters() { verbose = Parameters().EntryBool("verbose", verbose); }

void CPHist::RegionHistogram(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0, int64_t z0,
                             std::vector<double>& histogram) const {
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    // Only misuse from outside Run can fail these.
    if (grey.Type() != IMAGE_GREY_F || mask.Type() != IMAGE_GREY_F)
        throw CException(frame::SourceSite(__func__, this),
                         "The grey image and the region mask must be of type IMAGE_GREY_F");
    if (x0 < 0 || y0 < 0 || z0 < 0 || ms.x > gs.x - x0 || ms.y > gs.y - y0 || ms.z > gs.z - z0)
        throw CException(frame::SourceSite(__func__, this),
                         CString("The region mask %1 at (%2, %3, %4) does not lie inside the grey image %5")
                             .Arg(CPos(ms).ToString())
                             .Arg(static_cast<long long>(x0))
                             .Arg(static_cast<long long>(y0))
                             .Arg(static_cast<long long>(z0))
                             .Arg(CPos(gs).ToString()));
    float bins[256] = {};
    int64_t count = 0;
    const float* g = grey.Pixels<float>();
    const float* mk = mask.Pixels<float>();
    for (int64_t k = 0; k < ms.z; ++k)
        for (int64_t j = 0; j < ms.y; ++j) {
            const float* grow = g + ((z0 + k) * gs.y + (y0 + j)) * gs.x + x0;
            const float* mrow = mk + (k * ms.y + j) * ms.x;
            for (int64_t i = 0; i < ms.x; ++i) {
                if (mrow[i] == 0.0f) continue;
                ++count;
                const float v = grow[i];
                // False for NaN as well: out-of-range values have no bin (see the class comment).
                if (v >= 0.0f && v < 256.0f) bins[static_cast<int>(v)] += 1.0f;
            }
        }
    if (count > 0) {
        const auto n = static_cast<float>(count);
        for (float& b : bins) b /= n;
    }
    if (histogram.size() < 256) throw std::out_of_range("invalid vector<T> subscript");
    for (int b = 0; b < 256; ++b) histogram[static_cast<std::size_t>(b)] = bins[b];
}

// A voxel counts for a region when its label value equals the region's label
// converted to float, which is the test a mask of the region's box makes. The
// label value v of such a voxel is a whole number, and the one region it can
// count for is that of label trunc(v):
// - a region is non-empty only if some voxel truncates to its label L; below
//   2^24 every whole number is a float, and above it floats are whole numbers
//   spaced 2, 4, ... apart, so a voxel truncating to L means the float value L
//   exists and (float)L == L. Two non-empty regions thus never share a float
//   label, even where (float)L rounds for a label that no voxel holds;
// - the voxel lies inside the box of label trunc(v), which is made of exactly
//   the voxels that truncate to it, so no box test is needed.
// Voxels whose value is not a whole number (1.5 truncates to 1, but 1.5 != 1.0f)
// count nowhere, as in the mask. A run of one label value is taken at once.
// The bins add 1.0f like the mask's loop does: a bin stops at 2^24 counts in
// either order of adding, so the result is the same bit for bit.
void CPHist::AllRegionHistograms(const float* grey, const float* labels, int64_t nVoxels, uint32_t first,
                                 uint32_t n, float* rows) {
    std::vector<int64_t> counts(n, 0);
    // The grey values are read only inside labelled runs, which the hardware does
    // not see as a stream: its lines are fetched a little ahead of the scan.
    constexpr int64_t kPixelsPerLine = 64 / sizeof(float);
    constexpr int64_t kFetchAhead = 32 * kPixelsPerLine;
    int64_t fetched = 0;
    int64_t i = 0;
    while (i < nVoxels) {
        for (; fetched < i + kFetchAhead && fetched < nVoxels; fetched += kPixelsPerLine)
            __builtin_prefetch(grey + fetched);
        const int64_t end = RunEnd(labels, i, nVoxels);
        const float v = labels[i];
        const uint32_t label = LabelOf(v);
        // label - first wraps for labels below first, so one comparison keeps
        // the row inside the window.
        if (label != 0 && label - first < n && static_cast<float>(label) == v) {
            const std::size_t r = label - first;
            float* bins = rows + r * kBins;
            counts[r] += end - i;
            for (int64_t j = i; j < end; ++j) {
                const float g = grey[j];
                // False for NaN as well: out-of-range values have no bin (see the class comment).
                if (g >= 0.0f && g < 256.0f) bins[static_cast<int>(g)] += 1.0f;
            }
        }
        i = end;
    }
    for (std::size_t r = 0; r < n; ++r) {
        if (counts[r] == 0) continue;
        const auto count = static_cast<float>(counts[r]);
        for (float* b = rows + r * kBins; b != rows + (r + 1) * kBins; ++b) *b /= count;
    }
}

void CPHist::Run() {
    frame::RunPlan plan;
    // The checks raise the source-location form of the exception.
    plan.fail = {"", frame::SourceSite("CPHist::Run", this)};
    plan.inputs.checks = {{frame::Check::GreyNull, "First input image is NULL.", __LINE__},
                          {frame::Check::GreyType, "First input image is not of type IMAGE_GREY_F.", __LINE__},
                          {frame::Check::LabelNull, "Second input image is NULL.", __LINE__},
                          {frame::Check::LabelType, "Second input image is not of type IMAGE_GREY_F.", __LINE__}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::None;
    plan.onNoRegions = [this] {
        if (verbose) std::cout << "CPHist::Run(): the number of regions is zero!" << std::endl;
        return frame::NoRegions::EmptyVector;
    };
    // One pass over the images for all regions gives what a 3-D mask per region
    // and RegionHistogram give, without the masks and without reading the grey
    // values of every box separately. Its pixel counts are 8 bytes a region.
    plan.bytesPerRegion = sizeof(int64_t);
    plan.computeAll = [](const frame::Inputs& in, const std::vector<RegionInfo>& table, float* matrix) {
        AllRegionHistograms(in.grey->Pixels<float>(), in.labels->Pixels<float>(), in.W * in.H * in.D, 1,
                            static_cast<uint32_t>(table.size()), matrix);
    };
    plan.buildValueVector = [this](const float* m, CValueVector* out, unsigned n) {
        frame::FillValueVector(m, out, n, m_nFeatures, nullptr);
    };
    frame::Run(*this, plan);
}

}  // namespace KELO
