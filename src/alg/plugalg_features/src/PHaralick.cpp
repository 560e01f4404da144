#include "PHaralick.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "Haralick";
const char* const kLocation = "(feature plugins) Haralick::Run";
constexpr int64_t kMaxLevels = 256;

const char* const kFeatureNames[13] = {"Angular second moment",
                                       "Contrast",
                                       "Correlation",
                                       "Variance",
                                       "Inverse Difference Moment",
                                       "Sum average",
                                       "Sum Variance",
                                       "Sum entropy",
                                       "Entropy",
                                       "Difference variance",
                                       "Difference Entropy",
                                       "Information measure of correlation 1",
                                       "Information measure of correlation 2"};
// Output 1 spells the first name with a capital M.
const char* const kValueVectorFirstName = "Angular second Moment";

const char* const kDocDx =
    "The type of this parameter is of type long. Horizontal component of the displacement operator.";
const char* const kDocDy =
    "The type of this parameter is of type long. Vertical component of the displacement operator.";
const char* const kDocVerbose =
    "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set to \\a "
    "false.";
const char* const kDocGlcmSize =
    "The type of this parameter is of type long. Resolution of the gray level co-occurence matrix,\ne.g. 16 <= \\a "
    "m_glcm_size <= 256\n";

const char* const kDescriptionHead =
    "Computes the gray level co-occurence matrix and the resulting 2nd order statistics of an image.\n\n"
    "For every label the gray level co-occurence matrix \\f$p(i,j)\\f$ counts the pairs of pixels of the\n"
    "region by the gray levels \\f$i\\f$ of the first and \\f$j\\f$ of the second pixel. The gray values are\n"
    "quantised to \\a m_glcm_size levels of \\f$256 / m\\_glcm\\_size\\f$ gray values each; values beyond the\n"
    "last level are counted in the last level. The matrix is normalized to sum 1.\n"
    "The pairs are given either by an explicit displacement operator (\\a m_dx, \\a m_dy), or, when both\n"
    "parameters are 0, the matrix is averaged over the 8-neighbourhood of every pixel.\n\n"
    "With the marginals \\f$p_x(i)=\\sum_j p(i,j)\\f$, \\f$p_y(j)=\\sum_i p(i,j)\\f$, their means \\f$\\mu_x, "
    "\\mu_y\\f$ and\n"
    "deviations \\f$\\sigma_x, \\sigma_y\\f$, \\f$p_{x+y}(k)=\\sum_{i+j=k} p(i,j)\\f$ and "
    "\\f$p_{x-y}(k)=\\sum_{|i-j|=k} p(i,j)\\f$\n"
    "the features are:\n"
    "- Angular second moment: \\f$\\sum_i\\sum_j p(i,j)^2\\f$\n"
    "- Contrast: \\f$\\sum_k k^2 p_{x-y}(k)\\f$\n"
    "- Correlation: \\f$(\\sum_i\\sum_j ij\\,p(i,j)-\\mu_x\\mu_y)/(\\sigma_x\\sigma_y)\\f$\n"
    "- Variance: \\f$\\sum_i\\sum_j (j-\\mu)^2 p(i,j)\\f$, \\f$\\mu\\f$ the mean level of the first pixels\n"
    "- Inverse Difference Moment: \\f$\\sum_i\\sum_j p(i,j)/(1+(i-j)^2)\\f$\n"
    "- Sum average: \\f$SA=\\sum_{k=2}^{2G} k\\,p_{x+y}(k)\\f$\n"
    "- Sum Variance: \\f$\\sum_k (k-SA)^2 p_{x+y}(k)\\f$\n"
    "- Sum entropy: \\f$-\\sum_k p_{x+y}(k)\\log p_{x+y}(k)\\f$\n"
    "- Entropy: \\f$HXY=-\\sum_i\\sum_j p(i,j)\\log p(i,j)\\f$\n"
    "- Difference variance: \\f$\\sum_k (k-\\mu_{x-y})^2 p_{x-y}(k)\\f$\n"
    "- Difference Entropy: \\f$-\\sum_k p_{x-y}(k)\\log p_{x-y}(k)\\f$\n"
    "- Information measure of correlation 1: \\f$(HXY-HXY1)/\\max(HX,HY)\\f$\n"
    "- Information measure of correlation 2: \\f$\\sqrt{1-\\exp(-2|HXY2-HXY|)}\\f$\n"
    "where \\f$HX\\f$ and \\f$HY\\f$ are the entropies of \\f$p_x\\f$ and \\f$p_y\\f$, "
    "\\f$HXY1=-\\sum_i\\sum_j p(i,j)\\log(p_x(i)p_y(j))\\f$ and\n"
    "\\f$HXY2=-\\sum_i\\sum_j p_x(i)p_y(j)\\log(p_x(i)p_y(j))\\f$.\n\n\n";

// Failures of Run carry the place they were raised at, under this name.
const char* const kRunSignature = "void __cdecl KELO::CPHaralick::Run(void)";

// -t * ln t, with the term left out (0) when t is exactly 0.
inline double EntropyTerm(double t) { return t != 0.0 ? -t * std::log(t) : 0.0; }
}  // namespace

// The arrays one region needs, sized once per run. counts is all zero between
// regions: a region clears the cells it used before it returns.
struct CPHaralick::Work {
    explicit Work(int64_t levels)
        : G(levels),
          counts(static_cast<std::size_t>(levels * levels), 0u),
          px(static_cast<std::size_t>(levels)),
          py(static_cast<std::size_t>(levels)),
          psum(static_cast<std::size_t>(2 * levels - 1)),
          pdiff(static_cast<std::size_t>(levels)),
          used(static_cast<std::size_t>(levels * levels + 1)) {}

    int64_t G;
    // counts[a * G + b]; a cell holds up to 2^32 - 1 pairs, more than a region of
    // 500 million pixels of one level can give.
    std::vector<uint32_t> counts;
    std::vector<double> px, py, psum, pdiff;
    std::vector<int32_t> levels;  // level of every pixel of the region's box, -1 for none (NaN)
    // The cells a region has used; one slot more than cells, as the slot after the
    // last used cell is written (and dropped) for every pair.
    std::vector<uint32_t> used;

    // Most cells hold one of a few small counts, so p = count / N and its entropy
    // term are computed once per count value and region (the same values as
    // computed cell by cell, with a fraction of the logarithms).
    static constexpr uint32_t kCached = 1024;
    std::vector<double> cellP = std::vector<double>(kCached);
    std::vector<double> cellH = std::vector<double>(kCached);
    std::vector<uint32_t> cellStamp = std::vector<uint32_t>(kCached, 0u);
    uint32_t stamp = 0;

    void NewRegion() {
        if (++stamp == 0) {  // wrapped: forget every entry
            std::fill(cellStamp.begin(), cellStamp.end(), 0u);
            stamp = 1;
        }
    }
    double Probability(uint32_t c, double n) {
        if (c >= kCached) return static_cast<double>(c) / n;
        if (cellStamp[c] != stamp) {
            cellStamp[c] = stamp;
            cellP[c] = static_cast<double>(c) / n;
            cellH[c] = EntropyTerm(cellP[c]);
        }
        return cellP[c];
    }
    // The entropy term of a cell whose probability Probability(c, n) gave as p.
    double CellEntropy(uint32_t c, double p) const { return c < kCached ? cellH[c] : EntropyTerm(p); }
};

CPHaralick::CPHaralick() = default;
CPHaralick::~CPHaralick() = default;

void CPHaralick::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [this](CValueMap& p) {
        p.SetEntry("m_dx", new CValueLong(m_dx));
        p.SetEntry("m_dy", new CValueLong(m_dy));
        p.SetEntry("m_glcm_size", new CValueLong(static_cast<int32_t>(m_glcm_size)));
    };
    s.pluginSubType = "HaralickFeaturePlugin";
    s.featureNamesSize = 13;
    s.featureNames.assign(std::begin(kFeatureNames), std::end(kFeatureNames));
    s.descriptionHead = kDescriptionHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$13 \\times n\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and 13 is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"m_dx", kDocDx}, {"m_dy", kDocDy}, {"verbose", kDocVerbose}, {"m_glcm_size", kDocGlcmSize}};
    frame::DescribeSetup(setup, s);
}

void CPHaralick::ReadParameters() {
    const CValueMap& p = Parameters();
    verbose = p.EntryBool("verbose", verbose);

    // A refused size leaves the member as it was, so the node stays runnable.
    if (const CValue* v = p.Entry("m_glcm_size"); v && v->Type() == EValueType::Long) {
        const int64_t size = v->Long();
        if (size < 1) throw CException(kLocation, "m_glcm_size has to be > 0", nullptr);
        if (size > kMaxLevels) throw CException(kLocation, "m_glcm_size has to be <= 256", nullptr);
        m_glcm_size = size;
    }

    // A displacement of another type keeps the member; an absent one means 0.
    auto readShift = [&p](const char* key, int32_t& member) {
        const CValue* v = p.Entry(key);
        if (!v)
            member = 0;
        else if (v->Type() == EValueType::Long)
            member = v->Long();
    };
    readShift("m_dx", m_dx);
    readShift("m_dy", m_dy);
}

void CPHaralick::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures,
                           [](int64_t f) { return f == 0 ? kValueVectorFirstName : kFeatureNames[f]; });
}

void CPHaralick::ComputeRegion(const CImage* data, CImage* mask, long xOffset, long yOffset,
                               std::vector<double>& features) {
    if (!data || !mask || data->Type() != IMAGE_GREY_F || mask->Type() != IMAGE_GREY_F)
        throw CException("(feature plugins) Haralick::ComputeRegion", "data and mask must be IMAGE_GREY_F images",
                         nullptr);
    const int64_t W = data->Size().x;
    const int64_t w = mask->Size().x;
    const int64_t h = mask->Size().y;
    if (xOffset < 0 || yOffset < 0 || xOffset + w > W || yOffset + h > data->Size().y)
        throw CException("(feature plugins) Haralick::ComputeRegion", "the mask does not lie inside the data image",
                         nullptr);
    if (features.size() < static_cast<std::size_t>(m_nFeatures)) throw std::out_of_range("invalid vector<T> subscript");

    // Called from Run the arrays of the run are used; called on its own, fresh ones.
    std::optional<Work> own;
    if (!m_work) own.emplace(m_glcm_size);
    Work& work = m_work ? *m_work : *own;
    const int64_t G = work.G;
    uint32_t* counts = work.counts.data();

    // Levels of the box's pixels, once each (a pixel takes part in up to nine pairs).
    const int64_t qSteps = 256 / G;
    const auto q = static_cast<float>(qSteps);
    const auto levelsF = static_cast<float>(G);
    const auto topF = static_cast<float>(G - 1);
    work.levels.resize(static_cast<std::size_t>(w * h));
    int32_t* lev = work.levels.data();
    const float* grey = data->Pixels<float>();
    // Branch-free so that it vectorises: a level of G or more (and NaN, for which
    // the comparison is false) first becomes G - 1, and NaN is then marked -1
    // (see the class comment).
    auto quantise = [&](auto scale) {
        for (int64_t y = 0; y < h; ++y) {
            const float* src = grey + (yOffset + y) * W + xOffset;
            int32_t* dst = lev + y * w;
            for (int64_t x = 0; x < w; ++x) {
                const float f = std::fabs(scale(src[x]));
                const auto l = static_cast<int32_t>(f < levelsF ? f : topF);
                dst[x] = (f == f) ? l : -1;
            }
        }
    };
    // For a power of two, v * (1 / q) is v / q to the bit (the same exact value,
    // rounded the same way), and much cheaper.
    if ((qSteps & (qSteps - 1)) == 0) {
        const float r = 1.0f / q;
        quantise([r](float v) { return v * r; });
    } else {
        quantise([q](float v) { return v / q; });
    }

    // Pair collection. N and S as 64-bit counts: S, the sum of the first levels,
    // would wrap in 32 bits for regions of a few million pixels. The first pair
    // of a cell also puts the cell, as (a << 16) | b, on the list of used cells
    // (without a branch), so that the sums below visit only those.
    uint64_t N = 0, S = 0;
    uint32_t* used = work.used.data();
    std::size_t nUsed = 0;
    const float* m = mask->Pixels<float>();
    auto count = [&](int32_t a, int32_t b) {
        if (b < 0) return;
        used[nUsed] = static_cast<uint32_t>(a) << 16 | static_cast<uint32_t>(b);
        nUsed += (counts[a * G + b]++ == 0u);
        ++N;
        S += static_cast<uint64_t>(a);
    };
    if (m_dx == 0 && m_dy == 0) {
        for (int64_t y = 1; y + 1 < h; ++y) {
            const float* mrow = m + y * w;
            const int32_t* up = lev + (y - 1) * w;
            const int32_t* mid = lev + y * w;
            const int32_t* down = lev + (y + 1) * w;
            for (int64_t x = 1; x + 1 < w; ++x) {
                if (mrow[x] == 0.0f) continue;
                const int32_t a = mid[x];
                if (a < 0) continue;
                count(a, up[x - 1]);
                count(a, up[x]);
                count(a, up[x + 1]);
                count(a, mid[x - 1]);
                count(a, mid[x + 1]);
                count(a, down[x - 1]);
                count(a, down[x]);
                count(a, down[x + 1]);
            }
        }
    } else {
        const int64_t dx = m_dx, dy = m_dy;
        const int64_t shift = dy * w + dx;
        for (int64_t y = std::max<int64_t>(-dy, 0); y < h - std::max<int64_t>(dy, 0); ++y)
            for (int64_t x = std::max<int64_t>(-dx, 0); x < w - std::max<int64_t>(dx, 0); ++x) {
                const int64_t i = y * w + x;
                if (m[i] == 0.0f) continue;
                const int32_t a = lev[i];
                if (a >= 0) count(a, lev[i + shift]);
            }
    }
    if (N == 0) return;  // nothing was counted, so counts is still clear
    work.NewRegion();

    // Normalised matrix, its marginals and the sums over single cells, over the
    // used cells only (every other cell is 0 and adds nothing). p is the quotient
    // count / N, so a region whose pairs fill one cell has p = 1 exactly and the
    // degenerate features come out as 0/0 = NaN for every N.
    std::fill(work.px.begin(), work.px.end(), 0.0);
    std::fill(work.py.begin(), work.py.end(), 0.0);
    std::fill(work.psum.begin(), work.psum.end(), 0.0);
    std::fill(work.pdiff.begin(), work.pdiff.end(), 0.0);
    double* px = work.px.data();
    double* py = work.py.data();
    double* psum = work.psum.data();
    double* pdiff = work.pdiff.data();
    const auto n = static_cast<double>(N);
    const double mu = static_cast<double>(S) / n;
    double asm2 = 0.0, sumAB = 0.0, variance = 0.0, idm = 0.0, hxy = 0.0;
    for (std::size_t t = 0; t < nUsed; ++t) {
        const auto a = static_cast<int32_t>(used[t] >> 16);
        const auto b = static_cast<int32_t>(used[t] & 0xFFFFu);
        uint32_t& cell = counts[a * G + b];
        const uint32_t c = cell;
        cell = 0;  // leave counts clear for the next region
        const double p = work.Probability(c, n);
        const int32_t d = b - a;
        asm2 += p * p;
        sumAB += static_cast<double>(a) * static_cast<double>(b) * p;
        variance += (b - mu) * (b - mu) * p;
        idm += p / (1.0 + static_cast<double>(d) * d);
        hxy += work.CellEntropy(c, p);
        px[a] += p;
        py[b] += p;
        psum[a + b] += p;
        pdiff[d < 0 ? -d : d] += p;
    }

    double mux = 0.0, muy = 0.0, hx = 0.0, hy = 0.0, sumPx = 0.0, sumPy = 0.0;
    for (int64_t i = 0; i < G; ++i) {
        mux += i * px[i];
        muy += i * py[i];
        hx += EntropyTerm(px[i]);
        hy += EntropyTerm(py[i]);
        sumPx += px[i];
        sumPy += py[i];
    }
    double varx = 0.0, vary = 0.0, mud = 0.0, contrast = 0.0, hdiff = 0.0;
    for (int64_t i = 0; i < G; ++i) {
        varx += (i - mux) * (i - mux) * px[i];
        vary += (i - muy) * (i - muy) * py[i];
        mud += i * pdiff[i];
        contrast += static_cast<double>(i * i) * pdiff[i];
        hdiff += EntropyTerm(pdiff[i]);
    }
    double diffVariance = 0.0;
    for (int64_t i = 0; i < G; ++i) diffVariance += (i - mud) * (i - mud) * pdiff[i];
    double sumAverage = 0.0, hsum = 0.0;
    for (int64_t k = 0; k <= 2 * G - 2; ++k) {
        sumAverage += static_cast<double>(k + 2) * psum[k];
        hsum += EntropyTerm(psum[k]);
    }
    double sumVariance = 0.0;
    for (int64_t k = 0; k <= 2 * G - 2; ++k) sumVariance += (k - sumAverage) * (k - sumAverage) * psum[k];

    // ln(px(a) py(b)) = ln px(a) + ln py(b) splits both sums into the marginals:
    // HXY1 = -sum_a ln px(a) sum_b p(a, b) - sum_b ln py(b) sum_a p(a, b) = HX + HY,
    // HXY2 = HX sum py + HY sum px. A product px(a) py(b) is 0 exactly when one
    // factor is (both are at least 1/N), so the terms left out are the same.
    const double hxy1 = hx + hy;
    const double hxy2 = hx * sumPy + hy * sumPx;

    features[0] = asm2;
    features[1] = contrast;
    features[2] = (sumAB - mux * muy) / (std::sqrt(varx) * std::sqrt(vary));
    features[3] = variance;
    features[4] = idm;
    features[5] = sumAverage;
    features[6] = sumVariance;
    features[7] = hsum;
    features[8] = hxy;
    features[9] = diffVariance;
    features[10] = hdiff;
    features[11] = (hxy - hxy1) / std::max(hx, hy);
    features[12] = std::sqrt(1.0 - std::exp(-2.0 * std::fabs(hxy2 - hxy)));
}

void CPHaralick::Run() {
    Work work(m_glcm_size);
    m_work = &work;
    struct Release {
        Work*& w;
        ~Release() { w = nullptr; }
    } release{m_work};

    frame::RunPlan plan;
    // The input checks raise the source-location form, each with its own line.
    plan.fail = {kLocation, frame::SourceSite(kRunSignature)};
    plan.inputs.checks = {
        {frame::Check::GreyNull, "(feature plugins) Haralick::Run. First input image is NULL", __LINE__},
        {frame::Check::GreyType, "(feature plugins) Haralick::Run The first input image is not of type IMAGE_GREY_F ",
         __LINE__},
        {frame::Check::LabelNull, "(feature plugins) Haralick::Run: Second input image is NULL", __LINE__},
        {frame::Check::LabelType,
         "(feature plugins) Haralick::Run The second input image is not of type IMAGE_GREY_F ", __LINE__}};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.reportRegionCount = false;  // this node does not print the number of regions
    plan.crop = frame::Crop::Mask;
    plan.onNoRegions = [this] {
        if (verbose)
            throw CException(frame::SourceSite(kRunSignature),
                             "(feature plugins) Haralick::Run The number of regions is zero!!");
        return frame::NoRegions::EmptyRows;
    };
    plan.compute = [this](const frame::RegionView& region, std::vector<double>& features) {
        // The crop belongs to this call of Run; ComputeRegion only reads it.
        ComputeRegion(region.inputs->grey, const_cast<CImage*>(region.mask), static_cast<long>(region.x0),
                      static_cast<long>(region.y0), features);
    };
    plan.buildValueVector = [this](const float* m, CValueVector* out, unsigned nRegions) {
        BuildValueVector(m, out, nRegions);
    };
    frame::Run(*this, plan);
}

}  // namespace KELO
