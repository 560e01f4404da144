#include "PShiftHistVar.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>

#include "FeatureFrame.h"

namespace KELO {

namespace {
const char* const kName = "ShiftHistVar";
const char* const kFeatureNames[2] = {"Min var of 2d histogram of original and shifted image in x-direction",
                                      "Min var of 2d histogram of original and shifted image in y-direction"};
const char* const kDocShiftX =
    "The type of this parameter is of type long. Number of pixels to shift the input image in x-direction.";
const char* const kDocShiftY =
    "The type of this parameter is of type long. Number of pixels to shift the input image in y-direction.";
const char* const kDescriptionHead =
    "Provides the histogram over the variance of an image and its shifted version.\n\n"
    "Every pixel of a label is paired with the pixel \\a shift_x columns to its right (first feature)\n"
    "and with the pixel \\a shift_y rows below it (second feature), where both pixels belong to the\n"
    "label and neither gray value is 0 or 255. The pairs of original and shifted gray values form a\n"
    "2d histogram; its variance along the minor axis is\n"
    "\\f$Var(A) + Var(B) - \\sqrt{4 \\cdot Var(AB)^2 + (Var(A) - Var(B))^2}\\f$\n"
    "for an image A and its shifted version B.\n\n\n";

// A worker's refusal of what it was handed.
[[noreturn]] void Refuse(const std::string& message) {
    throw CException(frame::RunLocation(kName), message, nullptr);
}

// The running sums of the pairs of one direction, all in double.
struct PairSums {
    double n = 0.0, a = 0.0, b = 0.0, aa = 0.0, bb = 0.0, ab = 0.0;
};

// A grey value takes part unless it is exactly 0 or 255.
inline bool Usable(float v) { return v != 0.0f && v != 255.0f; }
inline bool Usable(uint8_t v) { return v != 0 && v != 255; }
// Products in the data's own arithmetic: float for float data, integers for
// 8-bit data; both are then added as double.
inline float Product(float a, float b) { return a * b; }
inline int Product(uint8_t a, uint8_t b) { return int{a} * int{b}; }

template <class T>
inline void AddPair(T a, T b, PairSums& s) {
    if (!Usable(a) || !Usable(b)) return;
    s.n += 1.0;
    s.a += a;
    s.b += b;
    s.aa += Product(a, a);
    s.bb += Product(b, b);
    s.ab += Product(a, b);
}

// Twice the smaller eigenvalue of the pairs' covariance matrix; 0 without pairs.
double MinorVariance(const PairSums& s) {
    if (!(s.n > 0.0)) return 0.0;
    const double ma = s.a / s.n;
    const double mb = s.b / s.n;
    const double va = s.aa / s.n - ma * ma;
    const double vb = s.bb / s.n - mb * mb;
    const double c = s.ab / s.n - ma * mb;
    return (va + vb) - std::sqrt(4.0 * c * c + (va - vb) * (va - vb));
}

// The positions p of 0 .. extent-1 whose partner p + shift also lies in
// 0 .. extent-1: [lo, hi), empty when lo >= hi. 64-bit, so no shift overflows.
struct Span {
    int64_t lo, hi;
};
inline Span PartnerSpan(int64_t extent, int64_t shift) {
    return {std::max<int64_t>(0, -shift), std::min<int64_t>(extent, extent - shift)};
}
}  // namespace

CPShiftHistVar::CPShiftHistVar() = default;
CPShiftHistVar::~CPShiftHistVar() = default;

void CPShiftHistVar::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    // The shifts come first, "verbose" last.
    s.addParameters = [this](CValueMap& params) {
        params.SetEntry("shift_x", new CValueLong(shift_x));
        params.SetEntry("shift_y", new CValueLong(shift_y));
    };
    s.verboseLast = true;
    s.pluginSubType = "ShiftHistVarFeaturePlugin";
    s.shortDescription = "some geometric features computed on the mask image";
    s.featureNamesSize = 2;
    s.featureNames = {kFeatureNames[0], kFeatureNames[1]};
    s.descriptionHead = kDescriptionHead;
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of labels "
        "(=number of rows) and \\f$m\\f$ is the number of\nfeatures (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"shift_x", kDocShiftX}, {"shift_y", kDocShiftY}, {"verbose", frame::kVerboseDoc}};
    frame::DescribeSetup(setup, s);
}

void CPShiftHistVar::ReadParameters() {
    shift_x = Parameters().EntryLong("shift_x", shift_x);
    shift_y = Parameters().EntryLong("shift_y", shift_y);
    verbose = Parameters().EntryBool("verbose", verbose);
}

template <class T>
void CPShiftHistVar::Worker(const CImage* data, const CImage* mask, std::vector<double>& features, int64_t x0,
                            int64_t y0, CPixelType type) const {
    if (!mask || !data) return;
    if (features.size() < 2) throw std::out_of_range("invalid vector<T> subscript");
    if (data->Type() != type) Refuse(std::string("The data image is not of type ") + type.Name());
    if (mask->Type() != IMAGE_GREY_F) Refuse("The mask image is not of type IMAGE_GREY_F");
    features[0] = 0.0;
    features[1] = 0.0;
    const CSize ds = data->Size();
    const CSize ms = mask->Size();
    if (ms.Count() == 0) return;
    if (ds.Count() == 0 || x0 < 0 || y0 < 0 || ms.x > ds.x - x0 || ms.y > ds.y - y0)
        Refuse("The mask does not lie inside the data image");

    const int64_t W = ds.x, w = ms.x, h = ms.y;
    const T* grey = data->Pixels<T>() + y0 * W + x0;  // the box's corner in plane 0
    const float* m = mask->Pixels<float>();

    // The box's rows lie an image width apart, a stride the hardware does not
    // follow across pages: the first pass fetches the lines of each row a few
    // rows ahead of its scan (written out here, since a helper holding nothing
    // but prefetches may be dropped as free of effects), and the second pass
    // finds the box in the cache.
    constexpr int64_t kRowsAhead = 8;
    constexpr int64_t kPixelsPerLine = static_cast<int64_t>(64 / sizeof(T));

    // x-direction: each row's pixels whose partner lies in the same row of the box.
    PairSums sx;
    const int64_t dx = shift_x;
    const Span cols = PartnerSpan(w, dx);
    for (int64_t y = -kRowsAhead; y < h; ++y) {
        if (y + kRowsAhead < h) {
            const T* ahead = grey + (y + kRowsAhead) * W;
            for (int64_t x = 0; x < w; x += kPixelsPerLine) __builtin_prefetch(ahead + x);
            __builtin_prefetch(ahead + w - 1);
        }
        if (y < 0) continue;
        const float* mr = m + y * w;
        const T* g = grey + y * W;
        for (int64_t x = cols.lo; x < cols.hi; ++x)
            if (mr[x] != 0.0f && mr[x + dx] != 0.0f) AddPair(g[x], g[x + dx], sx);
    }
    features[0] = MinorVariance(sx);

    // y-direction: the rows whose partner row lies in the box.
    PairSums sy;
    const int64_t dy = shift_y;
    const Span rows = PartnerSpan(h, dy);
    for (int64_t y = rows.lo; y < rows.hi; ++y) {
        const float* m0 = m + y * w;
        const float* m1 = m + (y + dy) * w;
        const T* g0 = grey + y * W;
        const T* g1 = grey + (y + dy) * W;
        for (int64_t x = 0; x < w; ++x)
            if (m0[x] != 0.0f && m1[x] != 0.0f) AddPair(g0[x], g1[x], sy);
    }
    features[1] = MinorVariance(sy);
    // Written for every region with a pair, verbose or not.
    if (sy.n > 0.0) std::cout << "nCounter " << sy.n << std::endl;
}

void CPShiftHistVar::WorkerFloat(const CImage* data, const CImage* mask, std::vector<double>& features, int64_t x0,
                                 int64_t y0) const {
    Worker<float>(data, mask, features, x0, y0, IMAGE_GREY_F);
}

void CPShiftHistVar::Worker8(const CImage* data, const CImage* mask, std::vector<double>& features, int64_t x0,
                             int64_t y0) const {
    Worker<uint8_t>(data, mask, features, x0, y0, IMAGE_GREY_8);
}

void CPShiftHistVar::BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const {
    frame::FillValueVector(matrix, output, nRegions, m_nFeatures, [](int64_t f) { return kFeatureNames[f]; });
}

void CPShiftHistVar::Run() {
    frame::RunPlan plan;
    plan.fail = {frame::RunLocation(kName), std::nullopt};
    plan.inputs.checks = {
        {frame::Check::GreyNull, "First input image is NULL"},
        {frame::Check::LabelNull, "Second input image is NULL"},
        {frame::Check::GreyImage, "First input is not an image"},
        {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
        {frame::Check::LabelImage, "Second input is not an image"},
        {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.inputs.greyTypes = {IMAGE_GREY_F, IMAGE_GREY_8};
    plan.nFeatures = m_nFeatures;
    plan.verbose = verbose;
    plan.crop = frame::Crop::Mask;
    plan.compute = [this](const frame::RegionView& r, std::vector<double>& features) {
        if (r.inputs->grey->Type() == IMAGE_GREY_8)
            Worker8(r.inputs->grey, r.mask, features, r.x0, r.y0);
        else
            WorkerFloat(r.inputs->grey, r.mask, features, r.x0, r.y0);
    };
    plan.buildValueVector = frame::ValueVectorCall(this, &CPShiftHistVar::BuildValueVector);
    frame::Run(*this, plan);
}

}  // namespace KELO
