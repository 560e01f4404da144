// The frame shared by the feature nodes: input checks, the Run skeleton over the
// region table with its region images, the feature value vector and the setup
// description. A node keeps only its own texts, parameters and per-region
// computation and hands them to these routines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "RegionTable.h"
#include "kelo/Node.h"

namespace KELO::frame {

// "(feature plugins) <name>::Run", the location of every failure of a node's Run.
std::string RunLocation(const char* registryName);

// The checks of a ComputeRegion that reads the grey image around a region
// mask placed at (x0, y0): both images IMAGE_GREY_F, the mask's box inside the
// grey image. Only misuse from outside Run can fail them; they throw the
// node's CException located at "(feature plugins) <name>::ComputeRegion".
void CheckMaskInGrey(const char* registryName, const CImage& grey, const CImage& mask, int64_t x0, int64_t y0);

// The source-location record of a failure raised in function (named as the
// node's messages name it) at the caller's line, with the module's build stamp.
// Every source-location failure of the module takes its record from here.
Impl::StExLocation SourceSite(const char* function, const void* object = nullptr,
                              std::source_location at = std::source_location::current());

// Throws a node's CException: with its plain location string, or in the
// source-location form when a record is given.
struct Thrower {
    std::string location;
    std::optional<Impl::StExLocation> source;
    // line: the source line of the failing check, when it has its own.
    [[noreturn]] void operator()(const std::string& message, int line = 0) const;
};

// ----------------------------------------------------------------- inputs

// Unwrap: both inputs are unwrapped to images at this point (nodes that unwrap
// both before checking either type); UnwrapGrey: input 0 alone (nodes that
// unwrap it right after its null check); otherwise an input is unwrapped at its
// type check. GreyImage / LabelImage: the connected value must hold an image
// (nodes that name that failure themselves; otherwise the host's unwrapping
// failure applies). GreyEmpty / LabelEmpty: the host unwraps the value (its
// failure stays for a value that is not an image), but an image value holding
// no image is refused with the node's message.
enum class Check {
    GreyNull, GreyType, LabelNull, LabelType, Unwrap, UnwrapGrey, GreyImage, LabelImage, GreyEmpty, LabelEmpty
};
struct InputCheck {
    Check what;
    std::string message;
    int line = 0;  // the check's own source line, for the source-location form
    // The check's own location, for nodes whose checks name different places;
    // empty: the plan's.
    std::string location = {};
};

struct InputPlan {
    std::vector<InputCheck> checks;  // in the node's order
    // Accepted by the GreyType check; the grey-value crop reads only these two.
    std::vector<CPixelType> greyTypes{IMAGE_GREY_F};
};

// The checks most nodes that read 8-bit grey images as well make, in their order:
// "First input image is NULL", "The first input image is not of type IMAGE_GREY_F
// or IMAGE_GREY_8", "Label image is NULL", "The label image is not of type
// IMAGE_GREY_F"; grey types float and 8-bit.
InputPlan FloatOrByteGreyInputs();

struct Inputs {
    const CImage* grey = nullptr;
    const CImage* labels = nullptr;
    int64_t W = 0, H = 0, D = 0;  // extents of input 0
};

// The four input checks in the node's order; the LabelType check accepts only
// IMAGE_GREY_F. The label image is then read with the extents of input 0, so a
// label image of another size is refused with "Input and label image have
// differing sizes: (x, y, z) vs (x, y, z)" rather than read past its end or only
// in part.
Inputs FetchInputs(CPNode& node, const Thrower& fail, const InputPlan& plan);

// ----------------------------------------------------------------- regions

// A non-empty region as Run hands it to the node's computation.
struct RegionView {
    unsigned index = 0;  // record r, label r + 1
    const RegionInfo* info = nullptr;
    int64_t x0 = 0, y0 = 0, z0 = 0;  // box origin in input 0
    int64_t w = 0, h = 0, d = 1;     // box clipped to input 0 (d > 1 only for the 3-D mask)
    const Inputs* inputs = nullptr;
    const CImage* grey = nullptr;  // grey-value crop of plane 0, when requested
    const CImage* mask = nullptr;  // mask crop (plane 0, or every plane of the box for Crop::Mask3D)
};

// GreyAndMask fills both crops in one pass over the box.
enum class Crop { None, Grey, Mask, GreyAndMask, Mask3D };

// How a run goes on when the label image has no region at all.
enum class NoRegions {
    Throw,        // "The number of regions is zero!!"
    EmptyRows,    // the skeleton goes on with no rows: matrix of nF x 0, value vector
                  // of nF empty inner vectors, and the verbose summary of 0 regions
    EmptyVector,  // at once matrix of nF x 0 and a value vector built with size nF
                  // and no entries; no summary lines
};

// A grey-value crop (pixels of input 0 unchanged) and a mask crop (1.0 where the
// label image holds label, else 0.0) of plane 0 over x0 .. x0+w-1, y0 .. y0+h-1.
CImage* MakeGreyCrop(const Inputs& in, int64_t x0, int64_t y0, int64_t w, int64_t h);
CImage* MakeMaskCrop(const Inputs& in, uint32_t label, int64_t x0, int64_t y0, int64_t z0, int64_t w, int64_t h,
                     int64_t d);
// Both crops of plane 0 filled in one pass over the box; the same pixels as the
// two functions above.
void MakeGreyAndMaskCrops(const Inputs& in, uint32_t label, int64_t x0, int64_t y0, int64_t w, int64_t h,
                          std::unique_ptr<CImage>& grey, std::unique_ptr<CImage>& mask);

// Asks for the cache lines of the n floats from p on. A node that walks a
// region's box in input 0 row by row calls it for a row a few rows ahead: the
// boxes lie scattered over the image, and without it each row waits on memory.
inline void PrefetchRow(const float* p, int64_t n) {
    for (int64_t i = 0; i < n; i += 16) __builtin_prefetch(p + i);
}
// Rows ahead for PrefetchRow.
constexpr int64_t kPrefetchRows = 4;

using ComputeFn = std::function<void(const RegionView&, std::vector<double>&)>;
using ValueVectorFn = std::function<void(const float* matrix, CValueVector* output, unsigned nRegions)>;

// The per-region call of a node whose ComputeRegion takes the mask form: the
// whole input 0, the region's mask crop, the crop's origin, the features.
template <class Node>
ComputeFn MaskFormCall(Node* node) {
    return [node](const RegionView& r, std::vector<double>& features) {
        node->ComputeRegion(*r.inputs->grey, *r.mask, r.x0, r.y0, features);
    };
}

// Output 1 built by a node's own BuildValueVector (matrix, output, nRegions),
// public or not: ValueVectorCall(this, &CPName::BuildValueVector).
template <class Node, class Member>
ValueVectorFn ValueVectorCall(Node* node, Member build) {
    return [node, build](const float* matrix, CValueVector* output, unsigned nRegions) {
        (node->*build)(matrix, output, nRegions);
    };
}

struct RunPlan {
    Thrower fail;
    InputPlan inputs;
    int64_t nFeatures = 0;
    bool verbose = false;
    // With verbose: whether the region count line is written, and its text.
    bool reportRegionCount = true;
    std::string regionCountText = "The number of regions is: ";
    Crop crop = Crop::None;
    // Called once the inputs passed their checks, before the region table is
    // built: the place for a node's own preparation and its failures.
    std::function<void(const Inputs&)> afterInputs;
    // Called when the table is empty; prints its own text if any and says how
    // to shape the outputs. Unset: throw "The number of regions is zero!!".
    std::function<NoRegions()> onNoRegions;
    // Called once the region count has passed (after onNoRegions when there are
    // none), before the matrix and the first region: the place for a node's
    // per-run preparation whose failure comes after "The number of regions is zero!!".
    std::function<void()> beforeRegions;
    ComputeFn compute;
    // Instead of compute: one call that fills the rows of every region itself
    // (nodes that gather all regions in one pass over the images). The matrix
    // is all zero when it is called; the frame still counts the non-empty regions.
    std::function<void(const Inputs&, const std::vector<RegionInfo>& table, float* matrix)> computeAll;
    ValueVectorFn buildValueVector;
    // Bytes per region of the node's own working data that live as long as the
    // outputs do; counted by the memory check before the region table is built.
    uint64_t bytesPerRegion = 0;
};

// The Run skeleton: inputs, region table, matrix, one call per non-empty region,
// verbose report, value vector, both stack outputs. Nothing is output on failure.
void Run(CPNode& node, const RunPlan& plan);

// Clips a record's box to input 0 (the 3-D depth only when withDepth).
RegionView ClipRegion(const RegionInfo& r, unsigned index, const Inputs& in, bool withDepth);

// The verbose lines after the region loop.
void ReportRegions(std::size_t nonEmpty, std::size_t nRegions);

// ----------------------------------------------------------------- memory

// What a run holds at once for nRegions regions of nFeatures features: the
// region table, the float matrix, output 1's value objects (each a slot in its
// inner vector and a CValueDouble as the heap hands it out) and extraPerRegion
// bytes of the node's own per region. Saturates at UINT64_MAX instead of wrapping.
uint64_t RunMemory(uint64_t nRegions, int64_t nFeatures, uint64_t extraPerRegion);

// The check every run makes once the largest label is known and before the
// region table is allocated: when RunMemory for that many regions exceeds
// AvailableMemory() (the machine's memory, or the host's limit), fail throws
// "Largest label <n> needs <size> for the region table and outputs, more than
// the <size> of memory available". A label image of one stray huge value thus ends in a
// message that names it, not in an allocation failure after minutes of paging.
void CheckRunMemory(uint32_t largestLabel, int64_t nFeatures, uint64_t extraPerRegion, const Thrower& fail);

// A byte count for messages: "512 bytes", "1.5 KB", "1.2 GB" (units of 1024).
std::string MemoryText(uint64_t bytes);

// ----------------------------------------------------------------- value vector

// Stores value under key in container, owning value from the call on. In
// container.SetEntry("a long key", new X) the key's text may be allocated after
// X, and when that allocation fails X is lost; here the key is made only once
// value is held.
void Store(CValueContainerBase& container, std::string_view key, CValue* value);

// Name of feature f, or null for no "FeatureName" meta at all.
using NameFn = std::function<const char*(int64_t f)>;

// Outer vector by feature, inner vectors by region holding the matrix values
// widened to double; meta "FeatureName" from names when given.
void FillValueVector(const float* matrix, CValueVector* output, unsigned nRegions, int64_t nFeatures,
                     const NameFn& names);

// ----------------------------------------------------------------- setup description

struct ItemDoc {
    std::string key;   // parameter key, or "" for inputs/outputs
    std::string text;
};

struct SetupPlan {
    std::string registryName;  // gives the documentation link
    std::string pluginType = "image";
    // String entries written right after "pluginType" (Hist: "subType", "name").
    std::vector<std::pair<std::string, std::string>> identity;
    bool verbose = false;
    // Adds the node's own entries to "parameters" after "verbose" (before it with verboseLast).
    std::function<void(CValueMap&)> addParameters;
    bool verboseLast = false;
    std::string inputLabels[2] = {"Data Image", "Label Image"};
    std::string outputLabels[2] = {"Calculated features output as image", "Calculated features as CValueVector"};
    std::optional<std::string> pluginSubType;
    std::optional<std::string> shortDescription;
    // "FeatureNames": built with featureNamesSize slots, the names stored under 0 .. names.size()-1.
    bool hasFeatureNames = true;
    std::size_t featureNamesSize = 0;
    std::vector<std::string> featureNames;
    // The long text: head (BRIEF line, explanation and notes), then sections.
    std::string descriptionHead;
    std::string descriptionTail;  // closing sections such as KEYWORDS
    // When set, the long text as it stands instead of the composed one.
    std::optional<std::string> longDescription;
    std::string inputDocs[2];
    std::string outputDocs[2];
    std::vector<ItemDoc> parameterDocs;  // in documentation order
    bool input1Optional = false;
    std::vector<std::string> keywords;
};

// The long "description": head, then the INPUT, OUTPUT and PARAMETER sections.
std::string Description(const SetupPlan& s);
// One section: heading line, text, blank lines.
std::string Section(const std::string& heading, const std::string& text);

// Fills the setup description in the frame's order.
void DescribeSetup(CValueMap& setup, const SetupPlan& s);

// The documentation text of a "verbose" parameter used by most nodes.
extern const char* const kVerboseDoc;

}  // namespace KELO::frame
