#include "PStatistics.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <string>

#include "FeatureFrame.h"

namespace KELO::features {

namespace {
const char* const kName = "Statistics";

constexpr int64_t kBasicFeatures = 4;
constexpr int64_t kExtendedFeatures = 7;
const char* const kFeatureNames[kExtendedFeatures] = {
    "Mean grey level over foreground pixels", "Variance over foreground pixels",
    "Max gray level over foreground pixels",  "Min gray level over foreground pixels",
    "Sum over foreground pixels",             "Sum over squared foreground pixels",
    "Count of foreground pixels",
};

const char* const kTypeList = "IMAGE_GREY_F, IMAGE_GREY_8, IMAGE_GREY_16, IMAGE_GREY_32, or IMAGE_MONO_BINARY.";

bool Supported(CPixelType t) {
    return t == IMAGE_GREY_F || t == IMAGE_GREY_8 || t == IMAGE_GREY_16 || t == IMAGE_GREY_32 ||
           t == IMAGE_BINARY_FG;
}

// Calls f with a value of the C++ type a pixel of type t is read as. The binary
// type is read as 8-bit grey. Only for types that passed Supported.
template <class F>
void WithPixelType(CPixelType t, F&& f) {
    if (t == IMAGE_GREY_F)
        f(float{});
    else if (t == IMAGE_GREY_32)
        f(uint32_t{});
    else if (t == IMAGE_GREY_16)
        f(uint16_t{});
    else
        f(uint8_t{});
}

// Row of a label pixel; kNoRow (beyond every table) for background and for the
// float labels that have no row (see the class comment).
constexpr uint64_t kNoRow = std::numeric_limits<uint64_t>::max();

inline uint64_t RowOf(float l) {
    if (!(l > 0.0f)) return kNoRow;  // background, negative or NaN
    const float t = l - 1.0f;        // in float, as the row of a large label is inexact on purpose
    // A table has fewer than 2^32 records; the bound also keeps infinity out of the cast.
    if (!(t < 4294967296.0f)) return kNoRow;
    return static_cast<uint64_t>(static_cast<int64_t>(t));  // t > -1: truncation gives 0 .. 2^32 - 1
}
template <class U>
inline uint64_t RowOf(U l) {
    return l == 0 ? kNoRow : static_cast<uint64_t>(l) - 1u;
}

struct Accumulator {
    double sum;
    double squares;
    float max;
    float min;
    int64_t count;
};

// Adds n data pixels to one accumulator. The running values stay in registers
// for the run, with the same additions in the same order as pixel by pixel.
template <class D>
inline void Accumulate(Accumulator& a, const D* p, int64_t n) {
    double sum = a.sum, squares = a.squares;
    float mx = a.max, mn = a.min;
    for (int64_t i = 0; i < n; ++i) {
        const auto v = static_cast<float>(p[i]);
        const auto dv = static_cast<double>(v);
        sum += dv;
        squares += dv * dv;
        // NaN fails both comparisons, so it never becomes the maximum or minimum.
        if (v > mx) mx = v;
        if (v < mn) mn = v;
    }
    a.sum = sum;
    a.squares = squares;
    a.max = mx;
    a.min = mn;
    a.count += n;
}

bool HasAllExtents(const RegionInfo& r) { return r.dx >= 1 && r.dy >= 1 && r.dz >= 1; }

// The long documentation text and the per-item texts.
const char* const kSummary =
    "Compute pixel statistics: average, variance, maximum, and minimum of gray value over image pixels.";
const char* const kExplanation =
    "For every label of the second input image the gray values of the first input image at the pixels carrying "
    "that label (the foreground pixels) are summarized. The features are:\n"
    "Mean grey level over foreground pixels\n"
    "Variance over foreground pixels (divisor n)\n"
    "Max gray level over foreground pixels\n"
    "Min gray level over foreground pixels\n"
    "Sum over foreground pixels (only with extended)\n"
    "Sum over squared foreground pixels (only with extended)\n"
    "Count of foreground pixels (only with extended)\n"
    "Rows of label numbers that do not occur hold 0 in every column.";
const char* const kExtendedShortDoc = "return also extended features: sum(fg), sum(fg*fg), count(fg)";
const char* const kExtendedDoc =
    "The type of this parameter is of type bool. If set to TRUE, result contains more features, see above. By "
    "default it is set to \\a false.";
const char* const kVerboseDoc =
    "The type of this parameter is of type bool.  Prints function feedback to log area. By default it is set to "
    "\\a false.\n";
}  // namespace

CPStatistics::CPStatistics() = default;
CPStatistics::~CPStatistics() = default;

void CPStatistics::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.identity = {{"namespace", "KELO::features"}};
    s.verbose = verbose;
    s.addParameters = [](CValueMap& params) {
        params.Entry("verbose")->Meta().SetEntry("gui/boolean", new CValueString("togglebutton"));
        // The host offers the switch off by default, whatever this node's member holds.
        auto ext = std::make_unique<CValueBool>(false);
        ext->Meta().SetEntry("desc", new CValueString(kExtendedShortDoc));
        ext->Meta().SetEntry("gui/boolean", new CValueString("togglebutton"));
        params.SetEntry("extended", ext.release());
    };
    s.pluginSubType = "Statistics FeaturePlugin";
    s.featureNamesSize = kExtendedFeatures;
    s.featureNames.assign(kFeatureNames, kFeatureNames + (extended ? kExtendedFeatures : kBasicFeatures));
    s.descriptionHead = std::string("BRIEF\n") + kSummary + "\n\n" + kExplanation + "\n\n\n";
    s.inputDocs[0] = std::string("First input image, must be of type ") + kTypeList;
    s.inputDocs[1] = std::string("Optional second input label image. must be of type ") + kTypeList +
                     "\nWithout a second input image the features are computed for all pixels of the first image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(= number of rows, 1 without a label image) and \\f$m\\f$ the number of features (= number of columns, 4 "
        "or 7 with extended). Its attributes describe it as a table.";
    s.outputDocs[1] =
        "Value vector with four entries with vectors of the same information. subvectors are empty if no region was "
        "found.";
    s.parameterDocs = {{"extended", kExtendedDoc},
                       {"verbose", kVerboseDoc},
                       {"data", "pointer to the data of the feature image"}};
    s.input1Optional = true;
    s.keywords = {"grayvalue statistics", "pixel statistics", "features", "average", "mean", "variance",
                  "standard deviation",   "sdev",             "minimum",  "maximum", "sum",  "foreground",
                  "count"};
    frame::DescribeSetup(setup, s);
}

void CPStatistics::ReadParameters() {
    verbose = Parameters().EntryBool("verbose", verbose);
    extended = Parameters().EntryBool("extended", extended);
}

void CPStatistics::ReportRegionCount(std::size_t nRegions, bool verbose) {
    const std::string where = frame::RunLocation(kName);
    if (verbose) std::cout << where << ": The number of regions is: " << nRegions << std::endl;
    if (nRegions > kExactLabelLimit)
        std::cout << where << ": WARNING! label values greater " << kExactLabelLimit
                  << " occure, those values are inexact due to floating point precision." << std::endl;
}

template <class D, class L>
void CPStatistics::CalcStatistics(const CImage& data, const L* labels, const std::vector<RegionInfo>& table,
                                  float* matrix, std::size_t& nonEmpty, bool extended) {
    const CSize size = data.Size();
    const int64_t W = size.x, H = size.y, Z = size.z;
    const D* pixels = data.Pixels<D>();
    const bool wholeImage = table.empty() || labels == nullptr;
    const std::size_t nAcc = wholeImage ? 1 : table.size();

    std::vector<Accumulator> acc(nAcc);
    nonEmpty = 0;
    for (std::size_t r = 0; r < nAcc; ++r) {
        const bool live = wholeImage || HasAllExtents(table[r]);
        const float inf = std::numeric_limits<float>::infinity();
        acc[r] = {0.0, 0.0, live ? -inf : 0.0f, live ? inf : 0.0f, 0};
        if (!wholeImage && live) ++nonEmpty;
    }

    if (wholeImage) {
        if (W > 0 && H > 0 && Z > 0) Accumulate(acc[0], pixels, W * H * Z);
    } else {
        // The box holding every record's box (empty records start at W / 0 and so
        // change nothing), each upper end one past its maximum and clipped.
        uint32_t x0 = table[0].xmin, x1 = table[0].xmax, y0 = table[0].ymin, y1 = table[0].ymax;
        uint32_t z0 = table[0].zmin, z1 = table[0].zmax;
        for (const RegionInfo& r : table) {
            x0 = std::min(x0, r.xmin);
            x1 = std::max(x1, r.xmax);
            y0 = std::min(y0, r.ymin);
            y1 = std::max(y1, r.ymax);
            z0 = std::min(z0, r.zmin);
            z1 = std::max(z1, r.zmax);
        }
        const int64_t xe = std::min<int64_t>(int64_t(x1) + 1, W), ye = std::min<int64_t>(int64_t(y1) + 1, H);
        const int64_t ze = std::min<int64_t>(int64_t(z1) + 1, Z);
        Accumulator* a = acc.data();
        constexpr int64_t kPixelsPerLine = static_cast<int64_t>(64 / sizeof(D));
        constexpr int64_t kFetchAhead = 8 * kPixelsPerLine;
        for (int64_t z = z0; z < ze; ++z)
            for (int64_t y = y0; y < ye; ++y) {
                const std::size_t base = static_cast<std::size_t>((z * H + y) * W);
                const L* lrow = labels + base;
                const D* drow = pixels + base;
                // Runs of one label value go to one accumulator at a time.
                int64_t x = x0;
                // The data row is read only inside labelled runs, which the hardware
                // does not see as a stream; fetch its lines a little ahead of the scan.
                int64_t fetched = x0;
                while (x < xe) {
                    for (; fetched < x + kFetchAhead && fetched < xe; fetched += kPixelsPerLine)
                        __builtin_prefetch(drow + fetched);
                    // A run of one label value has one row (the region table's runs).
                    const int64_t end = RunEnd(lrow, x, xe);
                    const uint64_t row = RowOf(lrow[x]);
                    if (row < nAcc) Accumulate(a[row], drow + x, end - x);
                    x = end;
                }
            }
    }

    const std::size_t nF = extended ? kExtendedFeatures : kBasicFeatures;
    for (std::size_t r = 0; r < nAcc; ++r) {
        const Accumulator& s = acc[r];
        float* out = matrix + r * nF;
        if (extended) {
            out[4] = static_cast<float>(s.sum);
            out[5] = static_cast<float>(s.squares);
            out[6] = static_cast<float>(s.count);
        }
        if (s.count > 0) {
            const double n = static_cast<double>(s.count);
            const double mean = s.sum / n;
            const double variance = s.squares / n - mean * mean;  // not clamped: may round below 0
            out[0] = static_cast<float>(mean);
            out[1] = static_cast<float>(variance);
        } else {
            out[0] = 0.0f;
            out[1] = 0.0f;
        }
        out[2] = s.max;
        out[3] = s.min;
    }
}

void CPStatistics::Run() {
    const frame::Thrower fail{frame::RunLocation(kName), std::nullopt};
    const std::string& where = fail.location;

    CValue* in0 = GetStackInput(0, false);
    CValue* in1 = GetStackInput(1, false);
    if (!in0) fail("First input image is NULL");
    const CImage* data = UnwrapImage(in0);
    if (!Supported(data->Type())) fail(std::string("The first input image is not of type ") + kTypeList);
    const CImage* labels = nullptr;
    if (in1) {
        labels = UnwrapImage(in1);
        if (!Supported(labels->Type())) fail(std::string("The label image is not of type ") + kTypeList);
        const CSize s0 = data->Size(), s1 = labels->Size();
        if (s0.x != s1.x || s0.y != s1.y || s0.z != s1.z)
            fail(CString("Input and label image have differing sizes: %1 vs %2")
                     .Arg(CPos(s0).ToString())
                     .Arg(CPos(s1).ToString()));
    }

    const int64_t nF = extended ? kExtendedFeatures : kBasicFeatures;
    const CSize size = data->Size();

    std::vector<RegionInfo> table;
    // The table, the accumulators and both outputs must fit before the table is made.
    const TableCheck check = [&](uint32_t largest) { frame::CheckRunMemory(largest, nF, sizeof(Accumulator), fail); };
    if (labels)
        WithPixelType(labels->Type(), [&](auto tag) {
            GetZoneList(labels->Pixels<decltype(tag)>(), size.x, size.y, size.z, table, check);
        });
    const std::size_t nRegions = table.size();
    ReportRegionCount(nRegions, verbose);

    if (labels && nRegions == 0) {
        if (verbose) std::cout << where << ": the number of regions is zero!" << std::endl;
        auto matrix = std::make_unique<CImage>(IMAGE_GREY_F, CSize(nF, 0, 1), CSize(0, 0, 0));
        auto out0 = std::make_unique<CValueOwnedPointer<CImage>>(matrix.get(), 1);
        matrix.release();
        auto out1 = std::make_unique<CValueVector>(static_cast<std::size_t>(nF));
        SetStackOutput(0, out0.release());
        SetStackOutput(1, out1.release());
        return;
    }

    const std::size_t nRows = labels ? nRegions : 1;
    auto matrix = std::make_unique<CImage>(IMAGE_GREY_F, CSize(nF, static_cast<int64_t>(nRows), 1), CSize(0, 0, 0));
    float* m = matrix->Pixels<float>();

    std::size_t nonEmpty = 0;
    WithPixelType(data->Type(), [&](auto dataTag) {
        using D = decltype(dataTag);
        if (!labels) {
            CalcStatistics<D, float>(*data, nullptr, table, m, nonEmpty, extended);
            return;
        }
        WithPixelType(labels->Type(), [&](auto labelTag) {
            using L = decltype(labelTag);
            CalcStatistics<D, L>(*data, labels->Pixels<L>(), table, m, nonEmpty, extended);
        });
    });

    if (verbose) {
        std::cout << where << ": There are " << nonEmpty << " non-empty regions." << std::endl;
        if (nonEmpty != nRegions)
            std::cout << where << " Warning: There are " << (nRegions - nonEmpty) << " empty regions!!!\n"
                      << "By (re-)labeling the second input image before using this plugin, "
                      << "empty region labels are removed." << std::endl;
    }

    auto values = std::make_unique<CValueVector>(static_cast<std::size_t>(nF));
    frame::FillValueVector(m, values.get(), static_cast<unsigned>(nRows), nF,
                           [](int64_t f) { return kFeatureNames[f]; });

    CValueMap& attributes = matrix->Attributes();
    frame::Store(attributes, "Image/ContentType", new CValueString("table"));
    frame::Store(attributes, "Image/featurename", new CValueString("statistics"));
    frame::Store(attributes, "Image/y-name", new CValueString("label"));
    frame::Store(attributes, "Image/x-name", new CValueString("statistics"));
    frame::Store(attributes, "Image/f-name", new CValueString("value"));
    auto keys = std::make_unique<CValueVector>(static_cast<std::size_t>(nF));
    auto types = std::make_unique<CValueVector>(static_cast<std::size_t>(nF));
    for (int64_t f = 0; f < nF; ++f) {
        keys->SetEntry(static_cast<long long>(f), new CValueString(kFeatureNames[f]));
        types->SetEntry(static_cast<long long>(f), new CValueString("numeric"));
    }
    frame::Store(attributes, "Image/x-keys", keys.release());
    frame::Store(attributes, "Image/x-types", types.release());

    auto out0 = std::make_unique<CValueOwnedPointer<CImage>>(matrix.get(), 1);
    matrix.release();
    SetStackOutput(0, out0.release());
    SetStackOutput(1, values.release());
}

}  // namespace KELO::features
