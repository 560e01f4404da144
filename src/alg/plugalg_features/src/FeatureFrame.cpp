#include "FeatureFrame.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "kelo/Memory.h"

namespace KELO::frame {

const char* const kVerboseDoc =
    "The type of this parameter is of type bool. Prints function feedback to log area. By default it is set to "
    "\\a false.\n";

std::string RunLocation(const char* registryName) {
    return std::string("(feature plugins) ") + registryName + "::Run";
}

void CheckMaskInGrey(const char* registryName, const CImage& grey, const CImage& mask, int64_t x0, int64_t y0) {
    const CSize gs = grey.Size();
    const CSize ms = mask.Size();
    const auto fail = [registryName](const std::string& message) {
        throw CException(std::string("(feature plugins) ") + registryName + "::ComputeRegion", message, nullptr);
    };
    if (grey.Type() != IMAGE_GREY_F || mask.Type() != IMAGE_GREY_F)
        fail("The grey image and the region mask must be of type IMAGE_GREY_F");
    if (x0 < 0 || y0 < 0 || gs.z < 1 || ms.x > gs.x - x0 || ms.y > gs.y - y0)
        fail(CString("The region mask %1 at (%2, %3) does not lie inside the grey image %4")
                 .Arg(CPos(ms).ToString())
                 .Arg(static_cast<long long>(x0))
                 .Arg(static_cast<long long>(y0))
                 .Arg(CPos(gs).ToString()));
}

Impl::StExLocation SourceSite(const char* function, const void* object, std::source_location at) {
    // The build stamp of the module: one for all of its source-location failures.
    static const char* const kBuildStamp = __DATE__ " " __TIME__;
    return {kBuildStamp, at.file_name(), function, static_cast<int>(at.line()), object};
}

void Thrower::operator()(const std::string& message, int line) const {
    if (source) {
        Impl::StExLocation where = *source;
        if (line > 0) where.line = line;
        throw CException(where, message);
    }
    throw CException(location, message, nullptr);
}

// ----------------------------------------------------------------- inputs

namespace {
bool OneOf(CPixelType t, const std::vector<CPixelType>& types) {
    return std::find(types.begin(), types.end(), t) != types.end();
}
// The image a value holds, or null when it is absent, not an image or empty.
const CImage* HeldImage(const CValue* v) {
    const auto* p = dynamic_cast<const CValueImageBase*>(v);
    return p ? p->Get() : nullptr;
}
// An image value that holds no image (a value of another kind is not one).
bool EmptyImageValue(const CValue* v) {
    const auto* p = dynamic_cast<const CValueImageBase*>(v);
    return p && !p->Get();
}
}  // namespace

InputPlan FloatOrByteGreyInputs() {
    InputPlan plan;
    plan.checks = {{Check::GreyNull, "First input image is NULL"},
                   {Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                   {Check::LabelNull, "Label image is NULL"},
                   {Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.greyTypes = {IMAGE_GREY_F, IMAGE_GREY_8};
    return plan;
}

Inputs FetchInputs(CPNode& node, const Thrower& fail, const InputPlan& plan) {
    CValue* v0 = node.GetStackInput(0, false);
    CValue* v1 = node.GetStackInput(1, false);
    Inputs in;
    const auto failAt = [&fail](const InputCheck& c) {
        if (c.location.empty()) fail(c.message, c.line);
        Thrower{c.location, fail.source}(c.message, c.line);
    };
    // Each input is unwrapped at its first check that needs the image, so the
    // host's own "holds no image" failure comes at the same point as the node's.
    for (const InputCheck& c : plan.checks) {
        switch (c.what) {
            case Check::GreyNull:
                if (!v0) failAt(c);
                break;
            case Check::LabelNull:
                if (!v1) failAt(c);
                break;
            case Check::GreyType:
                in.grey = UnwrapImage(v0);
                if (!OneOf(in.grey->Type(), plan.greyTypes)) failAt(c);
                break;
            case Check::LabelType:
                in.labels = UnwrapImage(v1);
                if (in.labels->Type() != IMAGE_GREY_F) failAt(c);
                break;
            case Check::Unwrap:
                in.grey = UnwrapImage(v0);
                in.labels = UnwrapImage(v1);
                break;
            case Check::UnwrapGrey:
                in.grey = UnwrapImage(v0);
                break;
            case Check::GreyImage:
                in.grey = HeldImage(v0);
                if (!in.grey) failAt(c);
                break;
            case Check::LabelImage:
                in.labels = HeldImage(v1);
                if (!in.labels) failAt(c);
                break;
            case Check::GreyEmpty:
                if (EmptyImageValue(v0)) fail(c.message, c.line);
                in.grey = UnwrapImage(v0);
                break;
            case Check::LabelEmpty:
                if (EmptyImageValue(v1)) fail(c.message, c.line);
                in.labels = UnwrapImage(v1);
                break;
        }
    }
    if (!in.grey) in.grey = UnwrapImage(v0);
    if (!in.labels) in.labels = UnwrapImage(v1);
    const CSize s = in.grey->Size();
    if (!(in.labels->Size() == s))
        fail(CString("Input and label image have differing sizes: %1 vs %2")
                 .Arg(CPos(s).ToString())
                 .Arg(CPos(in.labels->Size()).ToString()));
    in.W = s.x;
    in.H = s.y;
    in.D = s.z;
    return in;
}

// ----------------------------------------------------------------- regions

RegionView ClipRegion(const RegionInfo& r, unsigned index, const Inputs& in, bool withDepth) {
    RegionView v;
    v.index = index;
    v.info = &r;
    v.inputs = &in;
    v.x0 = r.xmin;
    v.y0 = r.ymin;
    v.z0 = r.zmin;
    v.w = (v.x0 + r.dx > in.W) ? in.W - v.x0 : r.dx;
    v.h = (v.y0 + r.dy > in.H) ? in.H - v.y0 : r.dy;
    v.d = withDepth ? ((v.z0 + r.dz > in.D) ? in.D - v.z0 : r.dz) : 1;
    return v;
}

CImage* MakeGreyCrop(const Inputs& in, int64_t x0, int64_t y0, int64_t w, int64_t h) {
    auto crop = std::make_unique<CImage>(IMAGE_GREY_F, CSize(w, h, 1), CSize(0, 0, 0));
    float* dst = crop->Pixels<float>();
    // Nodes that also accept 8-bit grey images get their crop as float all the same.
    if (in.grey->Type() == IMAGE_GREY_8) {
        const uint8_t* src = in.grey->Pixels<uint8_t>();
        for (int64_t j = 0; j < h; ++j)
            std::copy_n(src + (y0 + j) * in.W + x0, w, dst + j * w);
    } else {
        const float* src = in.grey->Pixels<float>();
        for (int64_t j = 0; j < h; ++j)
            std::copy_n(src + (y0 + j) * in.W + x0, w, dst + j * w);
    }
    return crop.release();
}

CImage* MakeMaskCrop(const Inputs& in, uint32_t label, int64_t x0, int64_t y0, int64_t z0, int64_t w, int64_t h,
                     int64_t d) {
    auto crop = std::make_unique<CImage>(IMAGE_GREY_F, CSize(w, h, d), CSize(0, 0, 0));
    float* dst = crop->Pixels<float>();
    const float* lab = in.labels->Pixels<float>();
    const auto fl = static_cast<float>(label);
    for (int64_t k = 0; k < d; ++k)
        for (int64_t j = 0; j < h; ++j) {
            const float* row = lab + ((z0 + k) * in.H + (y0 + j)) * in.W + x0;
            float* out = dst + (k * h + j) * w;
            for (int64_t i = 0; i < w; ++i) out[i] = (row[i] == fl) ? 1.0f : 0.0f;
        }
    return crop.release();
}

namespace {
template <class T>
void FillBothCrops(const T* src, const float* lab, int64_t W, float label, int64_t w, int64_t h, float* grey,
                   float* mask) {
    for (int64_t j = 0; j < h; ++j, src += W, lab += W, grey += w, mask += w)
        for (int64_t i = 0; i < w; ++i) {
            grey[i] = static_cast<float>(src[i]);
            mask[i] = (lab[i] == label) ? 1.0f : 0.0f;
        }
}
}  // namespace

void MakeGreyAndMaskCrops(const Inputs& in, uint32_t label, int64_t x0, int64_t y0, int64_t w, int64_t h,
                          std::unique_ptr<CImage>& grey, std::unique_ptr<CImage>& mask) {
    grey = std::make_unique<CImage>(IMAGE_GREY_F, CSize(w, h, 1), CSize(0, 0, 0));
    mask = std::make_unique<CImage>(IMAGE_GREY_F, CSize(w, h, 1), CSize(0, 0, 0));
    const int64_t origin = y0 * in.W + x0;
    const float* lab = in.labels->Pixels<float>() + origin;
    const auto fl = static_cast<float>(label);
    // As in MakeGreyCrop, an 8-bit input 0 is converted value by value.
    if (in.grey->Type() == IMAGE_GREY_8)
        FillBothCrops(in.grey->Pixels<uint8_t>() + origin, lab, in.W, fl, w, h, grey->Pixels<float>(),
                      mask->Pixels<float>());
    else
        FillBothCrops(in.grey->Pixels<float>() + origin, lab, in.W, fl, w, h, grey->Pixels<float>(),
                      mask->Pixels<float>());
}

void ReportRegions(std::size_t nonEmpty, std::size_t nRegions) {
    std::cout << "There are " << nonEmpty << " non-empty regions. " << std::endl;
    if (nonEmpty != nRegions) {
        std::cout << "Warning: There are " << (nRegions - nonEmpty) << " empty regions!!!" << std::endl;
        std::cout << "By (re-)labeling the second input image before using this plugin, "
                  << "there is no more empty region." << std::endl;
    }
}

// ----------------------------------------------------------------- memory

namespace {
// Saturating arithmetic: a sum or product past 2^64 only has to stay too large.
uint64_t AddSat(uint64_t a, uint64_t b) {
    uint64_t s = 0;
    return __builtin_add_overflow(a, b, &s) ? UINT64_MAX : s;
}
uint64_t MulSat(uint64_t a, uint64_t b) {
    uint64_t p = 0;
    return __builtin_mul_overflow(a, b, &p) ? UINT64_MAX : p;
}
// A heap block for a request of n bytes: a header word, rounded up to 16 bytes,
// 32 at least (the allocator of the C library on 64-bit systems).
constexpr uint64_t HeapBlock(uint64_t n) { return std::max<uint64_t>(32, (n + 8 + 15) / 16 * 16); }
// One entry of output 1: its slot in the inner vector and the value object. The
// value pool hands out smaller blocks than the heap; the heap's size is the one
// that holds whichever serves.
constexpr uint64_t kValueEntryBytes = sizeof(std::unique_ptr<CValue>) + HeapBlock(sizeof(CValueDouble));
}  // namespace

uint64_t RunMemory(uint64_t nRegions, int64_t nFeatures, uint64_t extraPerRegion) {
    const uint64_t nF = nFeatures > 0 ? static_cast<uint64_t>(nFeatures) : 0;
    const uint64_t perRegion =
        AddSat(AddSat(sizeof(RegionInfo), extraPerRegion), MulSat(nF, sizeof(float) + kValueEntryBytes));
    return MulSat(nRegions, perRegion);
}

std::string MemoryText(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double v = static_cast<double>(bytes) / 1024.0;
    int u = 0;
    while (v >= 1024.0 && u < 5) {
        v /= 1024.0;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
    return text;
}

void CheckRunMemory(uint32_t largestLabel, int64_t nFeatures, uint64_t extraPerRegion, const Thrower& fail) {
    const uint64_t needed = RunMemory(largestLabel, nFeatures, extraPerRegion);
    const uint64_t available = AvailableMemory();
    if (needed <= available) return;
    std::string need = MemoryText(needed), have = MemoryText(available);
    // Close figures that round alike are given in bytes, so the message never
    // claims that 1.0 GB is more than 1.0 GB.
    if (need == have) {
        need = std::to_string(needed) + " bytes";
        have = std::to_string(available) + " bytes";
    }
    fail("Largest label " + std::to_string(largestLabel) + " needs " + need +
         " for the region table and outputs, more than the " + have + " of memory available");
}

// ----------------------------------------------------------------- run

void Run(CPNode& node, const RunPlan& plan) {
    const Inputs in = FetchInputs(node, plan.fail, plan.inputs);
    const bool wantGrey = plan.crop == Crop::Grey || plan.crop == Crop::GreyAndMask;
    const bool wantMask = plan.crop == Crop::Mask || plan.crop == Crop::GreyAndMask || plan.crop == Crop::Mask3D;
    // The region table and the masks read the label image as floats, the grey-value
    // crop reads float or 8-bit pixels: also a plan that leaves out a type check
    // never has an image read as what it is not.
    if (in.labels->Type() != IMAGE_GREY_F) plan.fail("The label image is not of type IMAGE_GREY_F");
    if (wantGrey && in.grey->Type() != IMAGE_GREY_F && in.grey->Type() != IMAGE_GREY_8)
        plan.fail("The first input image is not of type IMAGE_GREY_F");
    if (plan.afterInputs) plan.afterInputs(in);

    std::vector<RegionInfo> table;
    GetZoneList(in.labels->Pixels<float>(), in.W, in.H, in.D, table, [&](uint32_t largest) {
        CheckRunMemory(largest, plan.nFeatures, plan.bytesPerRegion, plan.fail);
    });
    const auto nRegions = static_cast<unsigned>(table.size());
    if (plan.verbose && plan.reportRegionCount) std::cout << plan.regionCountText << nRegions << std::endl;

    const int64_t nF = plan.nFeatures;
    bool bare = false;  // outputs without inner vectors or summary lines
    if (nRegions == 0) {
        const NoRegions shape = plan.onNoRegions ? plan.onNoRegions() : NoRegions::Throw;
        if (shape == NoRegions::Throw) plan.fail("The number of regions is zero!!");
        bare = shape == NoRegions::EmptyVector;
    }
    if (plan.beforeRegions) plan.beforeRegions();

    auto matrix = std::make_unique<CImage>(IMAGE_GREY_F, CSize(nF, nRegions, 1), CSize(0, 0, 0));
    float* m = matrix->Pixels<float>();  // null when there are no rows

    std::size_t nonEmpty = 0;
    if (plan.computeAll) {
        for (const RegionInfo& info : table) nonEmpty += info.IsEmpty() ? 0 : 1;
        if (nRegions > 0) plan.computeAll(in, table, m);
    }
    std::vector<double> features;
    for (unsigned r = 0; r < nRegions && !plan.computeAll; ++r) {
        const RegionInfo& info = table[r];
        if (info.IsEmpty()) continue;
        ++nonEmpty;
        RegionView view = ClipRegion(info, r, in, plan.crop == Crop::Mask3D);
        std::unique_ptr<CImage> grey, mask;
        if (plan.crop == Crop::GreyAndMask) {
            MakeGreyAndMaskCrops(in, info.label, view.x0, view.y0, view.w, view.h, grey, mask);
        } else {
            if (wantGrey) grey.reset(MakeGreyCrop(in, view.x0, view.y0, view.w, view.h));
            if (wantMask)
                mask.reset(MakeMaskCrop(in, info.label, view.x0, view.y0, plan.crop == Crop::Mask3D ? view.z0 : 0,
                                        view.w, view.h, view.d));
        }
        view.grey = grey.get();
        view.mask = mask.get();
        features.assign(static_cast<std::size_t>(nF), 0.0);
        plan.compute(view, features);
        if (features.size() < static_cast<std::size_t>(nF)) throw std::out_of_range("invalid vector<T> subscript");
        float* row = m + static_cast<std::size_t>(r) * static_cast<std::size_t>(nF);
        for (int64_t f = 0; f < nF; ++f) row[f] = static_cast<float>(features[static_cast<std::size_t>(f)]);
    }

    if (plan.verbose && !bare) ReportRegions(nonEmpty, nRegions);

    auto values = std::make_unique<CValueVector>(static_cast<std::size_t>(nF));
    if (!bare) plan.buildValueVector(m, values.get(), nRegions);
    node.SetStackOutput(0, new CValueOwnedPointer<CImage>(matrix.release(), 1));
    node.SetStackOutput(1, values.release());
}

// ----------------------------------------------------------------- value vector

void Store(CValueContainerBase& container, std::string_view key, CValue* value) {
    std::unique_ptr<CValue> owned(value);
    const CValue_Key k{std::string(key)};
    container.SetEntry(k, owned.release());
}

void FillValueVector(const float* matrix, CValueVector* output, unsigned nRegions, int64_t nFeatures,
                     const NameFn& names) {
    for (int64_t f = 0; f < nFeatures; ++f) {
        auto inner = std::make_unique<CValueVector>(nRegions);
        for (unsigned r = 0; r < nRegions; ++r)
            inner->SetEntry(static_cast<long long>(r),
                            new CValueDouble(matrix[static_cast<std::size_t>(r) * nFeatures + f]));
        if (names)
            if (const char* name = names(f)) inner->Meta().SetEntry("FeatureName", new CValueString(name));
        output->SetEntry(static_cast<long long>(f), inner.release());
    }
}

// ----------------------------------------------------------------- setup description

std::string Section(const std::string& heading, const std::string& text) {
    return heading + "\n" + text + "\n\n\n";
}

std::string Description(const SetupPlan& s) {
    std::string d = s.descriptionHead;
    d += Section("INPUT 0", s.inputDocs[0]);
    d += Section("INPUT 1", s.inputDocs[1]);
    d += Section("OUTPUT 0", s.outputDocs[0]);
    d += Section("OUTPUT 1", s.outputDocs[1]);
    for (const ItemDoc& p : s.parameterDocs) d += Section("PARAMETER " + p.key, p.text);
    d += s.descriptionTail;
    return d;
}

void DescribeSetup(CValueMap& setup, const SetupPlan& s) {
    setup.SetEntry("pluginType", new CValueString(s.pluginType));
    for (const auto& [key, text] : s.identity) Store(setup, key, new CValueString(text));

    auto params = std::make_unique<CValueMap>();
    if (!s.verboseLast) params->SetEntry("verbose", new CValueBool(s.verbose));
    if (s.addParameters) s.addParameters(*params);
    if (s.verboseLast) params->SetEntry("verbose", new CValueBool(s.verbose));
    setup.SetEntry("parameters", params.release());

    auto inputs = std::make_unique<CValueMap>();
    auto outputs = std::make_unique<CValueMap>();
    for (int i = 0; i < 2; ++i) {
        auto in = std::make_unique<CValueOwnedPointer<CImage>>(nullptr, 1);
        in->Meta().SetEntry("label", new CValueString(s.inputLabels[i]));
        inputs->SetEntry(i, in.release());
    }
    auto out0 = std::make_unique<CValueOwnedPointer<CImage>>(nullptr, 1);
    out0->Meta().SetEntry("label", new CValueString(s.outputLabels[0]));
    outputs->SetEntry(0, out0.release());
    auto out1 = std::make_unique<CValueVector>();
    out1->Meta().SetEntry("label", new CValueString(s.outputLabels[1]));
    outputs->SetEntry(1, out1.release());
    setup.SetEntry("inputs", inputs.release());
    setup.SetEntry("outputs", outputs.release());

    if (s.pluginSubType) setup.SetEntry("PluginSubType", new CValueString(*s.pluginSubType));
    if (s.shortDescription) setup.SetEntry("Description", new CValueString(*s.shortDescription));
    if (s.hasFeatureNames) {
        auto names = std::make_unique<CValueVector>(s.featureNamesSize);
        for (std::size_t i = 0; i < s.featureNames.size(); ++i)
            names->SetEntry(static_cast<long long>(i), new CValueString(s.featureNames[i]));
        setup.SetEntry("FeatureNames", names.release());
    }
    setup.SetEntry("description", new CValueString(s.longDescription ? *s.longDescription : Description(s)));

    for (const ItemDoc& p : s.parameterDocs)
        if (CValue* entry = setup.Entry("parameters/" + p.key, false))
            entry->Meta().SetEntry("desc", new CValueString(p.text));

    for (int i = 0; i < 2; ++i) {
        if (CValue* entry = setup.Entry("inputs/" + std::to_string(i), false)) {
            CValueMap& meta = entry->Meta();
            if (!meta.HasEntry("label")) meta.SetEntry("label", new CValueString(s.inputDocs[i]));
            if (!meta.HasEntry("optional")) meta.SetEntry("optional", new CValueBool(i == 1 && s.input1Optional));
        }
    }
    for (int i = 0; i < 2; ++i)
        if (CValue* entry = setup.Entry("outputs/" + std::to_string(i), false)) {
            CValueMap& meta = entry->Meta();
            if (!meta.HasEntry("label")) meta.SetEntry("label", new CValueString(s.outputDocs[i]));
        }

    if (!s.keywords.empty()) {
        auto* kw = dynamic_cast<CValueVector*>(setup.Entry("keywords", false));
        if (!kw) {
            kw = new CValueVector();
            setup.SetEntry("keywords", kw);
        }
        for (const std::string& k : s.keywords) kw->SetEntry(static_cast<long long>(kw->Size()), new CValueString(k));
    }

    Store(setup, "__zorvatDocumentation",
          new CValueString("%KELODIR%/doc/zorvat/html/features/P" + s.registryName + "/index.html"));
}

}  // namespace KELO::frame
