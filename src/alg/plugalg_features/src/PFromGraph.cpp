#include "PFromGraph.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include "FeatureFrame.h"
#include "kelo/Graph.h"

namespace KELO {

namespace {
const char* const kName = "FromGraph";
const char* const kNoNames = "no feature names defined by the graph.. :-(";
const char* const kGraphDoc = "The type of this parameter is of type string. Defining the path of the graph to be used.";

// Input 0's pixels over a region's clipped box, every plane of it, unmasked.
std::unique_ptr<CImage> DataCrop(const frame::Inputs& in, const frame::RegionView& v) {
    auto crop = std::make_unique<CImage>(IMAGE_GREY_F, CSize(v.w, v.h, v.d), CSize(0, 0, 0));
    const float* src = in.grey->Pixels<float>();
    float* dst = crop->Pixels<float>();
    for (int64_t k = 0; k < v.d; ++k)
        for (int64_t j = 0; j < v.h; ++j)
            std::copy_n(src + ((v.z0 + k) * in.H + v.y0 + j) * in.W + v.x0, v.w, dst + (k * v.h + j) * v.w);
    return crop;
}
}  // namespace

CPFromGraph::CPFromGraph() = default;
CPFromGraph::~CPFromGraph() = default;

void CPFromGraph::GetPluginSetup(CValueMap& setup) {
    frame::SetupPlan s;
    s.registryName = kName;
    s.verbose = verbose;
    s.addParameters = [this](CValueMap& p) { p.SetEntry("graph", new CValueString(graph)); };
    s.pluginSubType = "FromGraphFeaturePlugin";
    s.shortDescription = "generic plugin using a graph to compute features";
    s.featureNamesSize = 1;
    s.featureNames = {"the number and kind of features depend on the graph useed"};
    s.descriptionHead =
        "BRIEF\nCalculates region features on labels using another Zorvat graph.\n\n"
        "For every label the graph given by the parameter graph is run. The graph must accept two\n"
        "float images: first the image data, second the region mask. It must return a float image\n"
        "with one row containing the feature values. The feature names can be stored in the\n"
        "Attributes() map of that image as a vector under the key \"feature_names\".\n\n\n";
    s.inputDocs[0] = "First input image, must be of type IMAGE_GREY_F.";
    s.inputDocs[1] = "Second input label image, must be of type IMAGE_GREY_F.";
    s.outputDocs[0] =
        "Output image of type IMAGE_GREY_F with \\f$n \\times m\\f$ pixel, where \\f$n\\f$ is\nthe number of non-empty "
        "labels (=number of rows) and \\f$m\\f$ is the number of features (=number of columns).";
    s.outputDocs[1] = "Value vector with the same information.";
    s.parameterDocs = {{"graph", kGraphDoc},
                       {"verbose", frame::kVerboseDoc},
                       {"data", "pointer to the data of the feature image"}};
    frame::DescribeSetup(setup, s);
}

void CPFromGraph::ReadParameters() {
    verbose = Parameters().EntryBool("verbose", verbose);
    graph = Parameters().EntryString("graph", CString(graph));
}

void CPFromGraph::Run() {
    const frame::Thrower fail{frame::RunLocation(kName), std::nullopt};
    frame::InputPlan checks;
    checks.checks = {{frame::Check::GreyNull, "First input image is NULL"},
                     {frame::Check::UnwrapGrey, ""},
                     {frame::Check::LabelNull, "Label image is NULL"},
                     {frame::Check::GreyType, "The first input image is not of type IMAGE_GREY_F"},
                     {frame::Check::LabelType, "The label image is not of type IMAGE_GREY_F"}};
    const frame::Inputs in = frame::FetchInputs(*this, fail, checks);

    std::vector<RegionInfo> table;
    // The graph decides the row width, so only the table is known to grow with the largest label.
    GetZoneList(in.labels->Pixels<float>(), in.W, in.H, in.D, table,
                [&](uint32_t largest) { frame::CheckRunMemory(largest, 0, 0, fail); });
    const auto nRegions = static_cast<unsigned>(table.size());
    if (verbose) std::cout << "The number of regions is: " << nRegions << std::endl;
    if (nRegions == 0) fail("The number of regions is zero!!");

    auto accumulated = std::make_unique<CImage>(IMAGE_GREY_F, CSize(1, 1, 1), CSize(0, 0, 0));
    std::size_t nonEmpty = 0;
    int64_t width = 0;  // of the first region's row
    for (unsigned r = 0; r < nRegions; ++r) {
        const RegionInfo& info = table[r];
        if (info.dx < 1 || info.dy < 1) continue;
        ++nonEmpty;
        const frame::RegionView v = frame::ClipRegion(info, r, in, true);
        std::unique_ptr<CImage> data = DataCrop(in, v);
        std::unique_ptr<CImage> mask(frame::MakeMaskCrop(in, info.label, v.x0, v.y0, v.z0, v.w, v.h, v.d));

        value_list results = RunZorvatGraph(value(graph), value(data.get()), value(mask.get()));
        // A graph that returns nothing, or a row of another width than the first
        // region's, would leave rows that belong to no region or columns that mean
        // different things from row to row: both are refused, naming the label.
        if (results.empty())
            fail(CString("The graph %1 returned nothing for label %2").Arg(graph).Arg(info.label));
        std::unique_ptr<CImage> result(static_cast<CImage*>(results.front()));
        results.clear();
        const CSize rs = result->Size();
        if (result->Type() != IMAGE_GREY_F || rs.y != 1 || rs.z != 1 || rs.x < 1)
            fail(CString("The graph %1 returned an image of size %2 for label %3; a float image of one row is expected")
                     .Arg(graph)
                     .Arg(CPos(rs).ToString())
                     .Arg(info.label));
        if (nonEmpty == 1) {
            width = rs.x;
            RunPlugin(value(accumulated.get()), "%KELODIR%/bin/utility::CopyImage", value(result.get()));
            if (const CValue* names = result->Attributes().Entry("feature_names"))
                accumulated->Attributes().SetEntry("feature_names", names->Clone());
        } else {
            if (rs.x != width)
                fail(CString("The graph %1 returned %2 features for label %3, but %4 for the first region")
                         .Arg(graph)
                         .Arg(rs.x)
                         .Arg(info.label)
                         .Arg(width));
            RunPlugin(value(accumulated.get()), "%KELODIR%/bin/manipulation::Append", value(accumulated.get()),
                      value(result.get()), "along", "Y");
        }
    }

    if (verbose) {
        std::cout << "There are " << nonEmpty << " non-empty regions. " << std::endl;
        if (nonEmpty != nRegions) {
            std::cout << "Warning: There are " << (nRegions - nonEmpty) << " empty regions!!!" << std::endl;
            std::cout << "By labeling the second input image before using this plugin, "
                      << "there will be no more empty regions." << std::endl;
        }
    }

    m_nFeatures = accumulated->Size().x;
    const std::size_t nF = static_cast<std::size_t>(m_nFeatures);
    // Empty labels get no row, so the matrix may have fewer rows than the table has
    // records: each inner vector holds one value per matrix row, in row order, and
    // never reads past the last one.
    const auto rows = static_cast<std::size_t>(accumulated->Size().y);
    const float* m = accumulated->Pixels<float>();
    const auto* names = dynamic_cast<const CValueVector*>(accumulated->Attributes().Entry("feature_names"));
    auto values = std::make_unique<CValueVector>(nF);
    for (std::size_t f = 0; f < nF; ++f) {
        auto inner = std::make_unique<CValueVector>(rows);
        for (std::size_t r = 0; r < rows; ++r)
            inner->SetEntry(static_cast<long long>(r), new CValueDouble(m[r * nF + f]));
        const CValue* name = names && f < names->Size() ? names->Vector()[f].get() : nullptr;
        inner->Meta().SetEntry("FeatureName", name ? name->Clone() : new CValueString(kNoNames));
        values->SetEntry(static_cast<long long>(f), inner.release());
    }
    SetStackOutput(0, new CValueOwnedPointer<CImage>(accumulated.release(), 1));
    SetStackOutput(1, values.release());
}

}  // namespace KELO
