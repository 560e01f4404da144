#include "PAbis.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "FeatureFrame.h"
#include "RegionTable.h"

namespace KELO {

namespace {
const char* const kName = "Abis";
const char* const kWidthDoc = "The type of this parameter is of type long. wanted width of the label";
const char* const kHeightDoc = "The type of this parameter is of type long. wanted height of the label";
const char* const kVerboseDoc = "The type of this parameter is of type bool. print function feedback to log area";
// Documented under "selected", a key no parameter has, so it is never attached.
const char* const kSelectedDoc = "label The type of this parameter is of type long. label to be changed\n";

// The raster's extents, checked wherever they are taken in.
void CheckRaster(int64_t width, int64_t height) {
    const std::string location = frame::RunLocation(kName);
    if (width < 1) throw CException(location, "width has to be > 0", nullptr);
    if (height < 1) throw CException(location, "height has to be > 0", nullptr);
    // Both are at least 1 here, so the quotient tells without overflow.
    if (width > CPAbis::kMaxCells / height)
        throw CException(location, "width * height has to be <= 1048576", nullptr);
}

// The cell of position c along an axis of `extent` pixels and `cells` cells:
// trunc(c * cells / extent) in float, product first. Float rounding can bring
// the quotient up to `cells` for extents beyond 2^24; such a position goes into
// the last cell.
inline int64_t CellOf(int64_t c, int64_t cells, int64_t extent) {
    const float q = (static_cast<float>(c) * static_cast<float>(cells)) / static_cast<float>(extent);
    const auto t = static_cast<int64_t>(q);
    return t < cells ? t : cells - 1;
}

struct Neighbour {
    int64_t offset;  // j - i
    int64_t row;     // row of j minus row of i
};
}  // namespace

CPAbis::CPAbis() = default;
CPAbis::~CPAbis() = default;

void CPAbis::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [this](CValueMap& params) {
        // Members hold only values ReadParameters accepted, so they fit a long.
        params.SetEntry("width", new CValueLong(static_cast<int32_t>(width)));
        params.SetEntry("height", new CValueLong(static_cast<int32_t>(height)));
        params.SetEntry("selected label", new CValueLong(static_cast<int32_t>(selectedLabel)));
    };
    s.pluginSubType = "AbisFeaturePlugin";
    s.shortDescription = "shrinks the selected label to (width)x(height) pixels";
    s.featureNamesSize = static_cast<std::size_t>(m_nFeatures);
    s.featureNames.assign(static_cast<std::size_t>(m_nFeatures), "");
    s.descriptionHead =
        "BRIEF\nThis node shrinks the selected label to (width)x(height) pixels.\n\n"
        "Shrinks the selected label to (width)x(height) pixels.\n\n\n";
    s.inputDocs[0] = "Input image of type IMAGE_GREY_F.";
    s.inputDocs[1] =
        "Input label image. Each gray value is interpreted as a label class,\npixel with the same gray value therefore "
        "belong to one class.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe width (= number of "
        "columns) and \\f$m\\f$ is the height (= number of rows)\nof the shrinked selected label.";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"width", kWidthDoc}, {"height", kHeightDoc}, {"verbose", kVerboseDoc},
                       {"selected", kSelectedDoc}};
    frame::DescribeSetup(setup, s);
}

void CPAbis::ReadParameters() {
    const CValueMap& p = Parameters();
    const bool v = p.EntryBool("verbose", verbose);
    const int64_t w = p.EntryLong("width", static_cast<int32_t>(width));
    const int64_t h = p.EntryLong("height", static_cast<int32_t>(height));
    const int64_t label = p.EntryLong("selected label", static_cast<int32_t>(selectedLabel));
    // Our choice: refuse what gives no raster, too large a raster, or no record;
    // nothing is kept from a refused read.
    CheckRaster(w, h);
    if (label < 1) throw CException(frame::RunLocation(kName), "selected label has to be > 0", nullptr);
    verbose = v;
    width = w;
    height = h;
    selectedLabel = label;
    m_nFeatures = h * w;
}

void CPAbis::ComputeRegion(const CImage* crop, std::vector<double>& features, int64_t width,
                           int64_t height) const {
    if (!crop) return;
    CheckRaster(width, height);
    const int64_t cells = width * height;
    if (features.size() < static_cast<std::size_t>(cells)) throw std::out_of_range("invalid vector<T> subscript");
    if (crop->Type() != IMAGE_GREY_F)
        throw CException(frame::RunLocation(kName), "The grey-value crop is not of type IMAGE_GREY_F", nullptr);
    std::fill(features.begin(), features.begin() + cells, 0.0);
    const CSize size = crop->Size();
    const int64_t w = size.z > 0 && size.y > 0 ? size.x : 0;
    const int64_t h = size.z > 0 && size.x > 0 ? size.y : 0;

    // Maximum pooling. The cell column depends on x alone, so it is worked out
    // once per crop column.
    std::vector<uint8_t> filled(static_cast<std::size_t>(cells), 0);
    std::vector<uint32_t> column(static_cast<std::size_t>(w));  // cells < 2^20
    for (int64_t x = 0; x < w; ++x) column[x] = static_cast<uint32_t>(CellOf(x, width, w));
    const float* px = crop->Pixels<float>();
    for (int64_t y = 0; y < h; ++y) {
        const int64_t rowStart = CellOf(y, height, h) * width;
        const float* row = px + y * w;
        for (int64_t x = 0; x < w; ++x) {
            const int64_t i = rowStart + column[x];
            const double value = row[x];
            if (value > features[i]) features[i] = value;  // a NaN never raises a cell
            filled[i] = 1;
        }
    }

    // Gap filling, only where the crop is smaller than the raster.
    const bool narrow = w < width, flat = h < height;
    if (!narrow && !flat) return;
    const std::vector<Neighbour> leftRight = {{-1, 0}, {1, 0}};
    const std::vector<Neighbour> upDown = {{-width, -1}, {width, 1}};
    const std::vector<Neighbour> all = {{-width - 1, -1}, {-width, -1}, {-width + 1, -1}, {-1, 0},
                                        {1, 0},           {width - 1, 1}, {width, 1},     {width + 1, 1}};
    const std::vector<Neighbour>& neighbours = narrow && flat ? all : narrow ? leftRight : upDown;
    std::vector<double> sum(static_cast<std::size_t>(cells), 0.0);
    std::vector<int64_t> count(static_cast<std::size_t>(cells), 0);
    for (int64_t i = 0; i < cells; ++i) {
        if (!filled[i]) continue;
        const int64_t row = i / width;
        for (const Neighbour& n : neighbours) {
            const int64_t j = i + n.offset;
            if (j < 0 || j >= cells || filled[j] || j / width != row + n.row) continue;
            sum[j] += features[i];
            ++count[j];
        }
    }
    for (int64_t j = 0; j < cells; ++j)
        if (!filled[j]) features[j] = sum[j] / static_cast<double>(count[j] == 0 ? 1 : count[j]);
}

void CPAbis::Run() {
    const frame::Thrower fail{frame::RunLocation(kName), std::nullopt};
    frame::InputPlan plan;
    plan.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                   {frame::Check::GreyImage, "First input is not an image"},
                   {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F or IMAGE_GREY_8"},
                   {frame::Check::LabelNull, "Label image is NULL"},
                   {frame::Check::LabelImage, "Second input is not an image"},
                   {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    plan.greyTypes = {IMAGE_GREY_F, IMAGE_GREY_8};
    const frame::Inputs in = frame::FetchInputs(*this, fail, plan);

    std::vector<RegionInfo> table;
    // Only the table grows with the largest label: the raster's size is the parameters'.
    GetZoneList(in.labels->Pixels<float>(), in.W, in.H, in.D, table,
                [&](uint32_t largest) { frame::CheckRunMemory(largest, 0, 0, fail); });
    const auto nRegions = static_cast<int64_t>(table.size());
    if (verbose) std::cout << "The number of regions is: " << nRegions << std::endl;
    if (nRegions == 0) fail("The number of regions is zero!!");

    auto raster = std::make_unique<CImage>(IMAGE_GREY_F, CSize(width, height, 1), CSize(0, 0, 0));
    float* out = raster->Pixels<float>();
    std::fill(out, out + m_nFeatures, 0.0f);

    if (selectedLabel > nRegions) {
        selectedLabel = 1;
        if (verbose) std::cout << "label > number of regions! " << std::endl;
    }
    if (verbose) std::cout << "selected label: " << selectedLabel << std::endl;

    const auto index = static_cast<unsigned>(selectedLabel - 1);
    const RegionInfo& info = table[index];
    if (!info.IsEmpty()) {
        const frame::RegionView view = frame::ClipRegion(info, index, in, false);
        const std::unique_ptr<CImage> crop(frame::MakeGreyCrop(in, view.x0, view.y0, view.w, view.h));
        std::vector<double> features(static_cast<std::size_t>(m_nFeatures), 0.0);
        ComputeRegion(crop.get(), features, width, height);
        for (int64_t i = 0; i < m_nFeatures; ++i) out[i] = static_cast<float>(features[i]);
    }

    // One single-value vector per cell: the frame's value vector of one row.
    auto values = std::make_unique<CValueVector>(static_cast<std::size_t>(m_nFeatures));
    frame::FillValueVector(out, values.get(), 1, m_nFeatures, [](int64_t) { return ""; });
    SetStackOutput(0, new CValueOwnedPointer<CImage>(raster.release(), 1));
    SetStackOutput(1, values.release());
}

}  // namespace KELO
