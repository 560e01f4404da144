#include "FeatureTable.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <unordered_set>

#include "CommandSupport.h"
#include "Commands.h"
#include "Output.h"

namespace regionfeat {

using namespace KELO;

namespace {

constexpr const char* kFromGraph = "FromGraph";

std::vector<std::string> SplitNames(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name.empty()) throw UsageError("--nodes '" + text + "': an empty node name (give names such as A,B,C)");
        names.push_back(std::move(name));
        if (comma == std::string::npos) return names;
        start = comma + 1;
    }
}

// "NODE.KEY=VALUE" split into the node and the rest; the node is what stands
// before the first '.' of the key part.
std::pair<std::string, std::string> SplitParameter(const std::string& argument) {
    const std::string head = argument.substr(0, argument.find('='));
    const std::size_t dot = head.find('.');
    if (dot == std::string::npos || dot == 0)
        throw UsageError("parameter '" + argument + "' does not name its node: use -p NODE.KEY=VALUE");
    return {argument.substr(0, dot), argument.substr(dot + 1)};
}

std::string KeyOf(const std::string& setting) { return setting.substr(0, setting.find_first_of(":=")); }

CValueMap SetupOf(CPNode& node, const std::string& name) {
    CValueMap setup;
    CallNode("describing " + name, [&] { node.GetPluginSetup(setup); });
    return setup;
}

// The labels of a pixel value as the region table reads it; 0 for background.
template <class T>
uint32_t LabelOf(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        return v >= 1.0f && v < 4294967296.0f ? static_cast<uint32_t>(v) : 0u;
    } else {
        return static_cast<uint32_t>(v);
    }
}

template <class Fn>
void ForEachLabel(const CImage& labels, Fn&& fn) {
    const int64_t n = labels.Size().Count();
    auto each = [&](const auto* p) {
        for (int64_t i = 0; i < n; ++i)
            if (const uint32_t l = LabelOf(p[i])) fn(l);
    };
    const CPixelType t = labels.Type();
    if (t == IMAGE_GREY_F)
        each(labels.Pixels<float>());
    else if (t == IMAGE_GREY_16)
        each(labels.Pixels<uint16_t>());
    else if (t == IMAGE_GREY_32)
        each(labels.Pixels<uint32_t>());
    else if (t == IMAGE_GREY_8 || t == IMAGE_BINARY_FG)
        each(labels.Pixels<uint8_t>());
}

// Output 0 as a float image of its own: taken over when the value owns it,
// else copied (and converted when it is not float).
std::unique_ptr<CImage> TakeMatrix(std::unique_ptr<CValue> out0) {
    if (!out0 || out0->Type() != EValueType::Image) return nullptr;
    auto& value = static_cast<CValueImageBase&>(*out0);
    if (!value.Get()) return nullptr;
    std::unique_ptr<CImage> image;
    if (auto* owned = dynamic_cast<CValueOwnedPointer<CImage>*>(&value); owned && owned->Owned())
        image.reset(owned->Release());
    else
        image = std::make_unique<CImage>(*value.Get());
    if (image->Type() == IMAGE_GREY_F) return image;
    const Raster r = FloatRasterOf(*image);
    auto converted = std::make_unique<CImage>(IMAGE_GREY_F, image->Size());
    std::copy(r.As<float>(), r.As<float>() + r.Count(), converted->Pixels<float>());
    return converted;
}

}  // namespace

std::vector<PlannedNode> PlanNodes(const Module& module, const NodeSelection& selection, std::ostream& err) {
    if (selection.all && !selection.nodes.empty())
        throw UsageError("--nodes and --all exclude each other; give one of them");
    if (!selection.all && selection.nodes.empty())
        throw UsageError("no nodes selected: give --nodes A,B,... or --all");

    // Parameters first split by node, so --all can tell whether FromGraph has its graph.
    std::vector<std::pair<std::string, std::string>> parameters;
    for (const std::string& p : selection.parameters) parameters.push_back(SplitParameter(p));

    std::vector<std::string> names;
    bool fromGraphLeftOut = false;
    if (selection.all) {
        // FromGraph needs a graph file, which --all cannot choose for it. Left
        // out without one, it does not make every --all table fail; named
        // with --nodes it runs and fails like any node that cannot run.
        const bool graphGiven = std::any_of(parameters.begin(), parameters.end(), [](const auto& p) {
            return p.first == kFromGraph && KeyOf(p.second) == "graph";
        });
        for (const std::string& name : module.Listed()) {
            if (name == kFromGraph && !graphGiven) {
                fromGraphLeftOut = true;
                continue;
            }
            names.push_back(name);
        }
    } else {
        for (const std::string& entry : selection.nodes)
            for (std::string& name : SplitNames(entry)) {
                if (std::find(names.begin(), names.end(), name) != names.end())
                    throw UsageError("node '" + name + "' is named twice in --nodes");
                names.push_back(std::move(name));
            }
    }

    std::vector<PlannedNode> plan;
    std::vector<CValueMap> setups;
    for (const std::string& name : names) {
        const std::unique_ptr<CPNode> node = CreateNode(module, name);  // UsageError listing the nodes
        setups.push_back(SetupOf(*node, name));
        plan.push_back({name, {}});
    }
    for (const auto& [node, setting] : parameters) {
        const auto it = std::find_if(plan.begin(), plan.end(), [&](const PlannedNode& p) { return p.name == node; });
        if (it == plan.end()) {
            CreateNode(module, node);  // an unknown node is named as such
            throw UsageError("parameter '" + node + "." + setting + "' is for " + node + ", which is not selected" +
                             (node == kFromGraph && selection.all ? " (under --all it needs -p FromGraph.graph=FILE)"
                                                                  : ""));
        }
        const std::size_t i = static_cast<std::size_t>(it - plan.begin());
        try {
            ParseParameter(setting, MapAt(setups[i], "parameters"), node);
        } catch (const UsageError& e) {
            throw UsageError(node + ": " + e.what());
        }
        it->settings.push_back(setting);
    }
    // Said once the selection holds, so that a usage error stays one line.
    if (fromGraphLeftOut) err << "note: FromGraph left out: it needs -p FromGraph.graph=FILE" << std::endl;
    return plan;
}

std::vector<std::string> FilesNamedByParameters(const NodeSelection& selection) {
    return FilesNamedBy(selection.parameters);
}

std::vector<std::string> NodeColumns(const std::string& node, const std::vector<std::string>& features) {
    std::vector<std::string> out;
    out.reserve(features.size());
    std::unordered_set<std::string> used;
    // Names are taken in order; a repeated one gets the first free suffix, so
    // "a", "a", "a#2" become a, a#2 and (a#2 being taken) a#2#2.
    for (const std::string& feature : features) {
        std::string name = node + "." + feature;
        if (used.count(name))
            for (int k = 2;; ++k) {
                std::string candidate = name + "#" + std::to_string(k);
                if (!used.count(candidate)) {
                    name = std::move(candidate);
                    break;
                }
            }
        used.insert(name);
        out.push_back(std::move(name));
    }
    return out;
}

uint32_t LargestLabel(const CImage& labels) {
    uint32_t largest = 0;
    ForEachLabel(labels, [&](uint32_t l) { largest = std::max(largest, l); });
    return largest;
}

std::vector<uint32_t> PresentLabels(const CImage& labels, uint32_t largest) {
    std::vector<bool> seen(static_cast<std::size_t>(largest) + 1, false);
    ForEachLabel(labels, [&](uint32_t l) {
        if (l <= largest) seen[l] = true;
    });
    std::vector<uint32_t> present;
    for (std::size_t l = 1; l < seen.size(); ++l)
        if (seen[l]) present.push_back(static_cast<uint32_t>(l));
    return present;
}

NodeSet::NodeSet(const Module& module, const std::vector<PlannedNode>& plan) : m_plan(plan) {
    for (const PlannedNode& p : m_plan) {
        std::unique_ptr<CPNode> node = CreateNode(module, p.name);
        const CValueMap setup = SetupOf(*node, p.name);
        for (const std::string& s : p.settings) {
            ParameterSetting setting = ParseParameter(s, MapAt(setup, "parameters"), p.name);
            node->Parameters().SetEntry(setting.key, setting.value.release());
        }
        m_nodes.push_back(std::move(node));
    }
}

NodeSet::~NodeSet() = default;

NodeBlock NodeSet::Run(std::size_t i, const CImage& grey, const CImage& labels, uint32_t largest,
                       std::vector<uint32_t>& present) {
    const std::string& name = m_plan[i].name;
    CPNode& node = *m_nodes[i];
    NodeBlock block;
    block.node = name;
    try {
        // The node borrows the images; it is disconnected again on every path.
        CValuePointer<CImage> greyValue(const_cast<CImage*>(&grey));
        CValuePointer<CImage> labelValue(const_cast<CImage*>(&labels));
        struct Connection {
            CPNode& node;
            ~Connection() {
                node.SetStackInput(0, nullptr);
                node.SetStackInput(1, nullptr);
            }
        } connection{node};
        node.SetStackInput(0, &greyValue);
        node.SetStackInput(1, &labelValue);
        std::unique_ptr<CValue> out0, out1;
        CallNode("running " + name, [&] {
            try {
                node.ReadParameters();
                node.Run();
            } catch (...) {
                // Whatever a failed run left is dropped, so the next image starts clean.
                delete node.TakeStackOutput(0);
                delete node.TakeStackOutput(1);
                throw;
            }
            out0.reset(node.TakeStackOutput(0));
            out1.reset(node.TakeStackOutput(1));
        });
        // Names as the node gives them once it has read its parameters, as in run.
        const CValueMap named = SetupOf(node, name);
        CallNode("taking the output of " + name, [&] { block.matrix = TakeMatrix(std::move(out0)); });
        if (!block.matrix) throw NodeError("set no feature image at output 0");
        const CSize size = block.matrix->Size();
        block.columns = NodeColumns(name, ColumnNames(out1.get(), named, size.x));
        // Output 1 (a value per region and feature) is freed here, on the
        // thread that made it, not carried to the writer.
        out1.reset();
        if (size.z == 1 && size.y == static_cast<int64_t>(largest)) return block;
        if (size.z == 1) {
            if (present.empty() && largest > 0) present = PresentLabels(labels, largest);
            if (size.y == static_cast<int64_t>(present.size())) {
                block.rowLabels = present;
                return block;
            }
        }
        throw NodeError("its output of " + std::to_string(size.y) + " rows" +
                        (size.z > 1 ? " x " + std::to_string(size.z) + " planes" : std::string()) +
                        " cannot be joined by label (one row per label 1.." + std::to_string(largest) +
                        " or per label present is needed)");
    } catch (const NodeError& e) {
        throw NodeError(name + ": " + e.what());
    } catch (const OutOfMemory& e) {
        throw OutOfMemory(name + ": " + e.what());
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(name + ": out of memory while taking its output");
    }
}

RowAssembler::RowAssembler(const std::vector<NodeBlock>& blocks, uint32_t largest) : m_largest(largest) {
    std::size_t offset = 0;
    for (const NodeBlock& b : blocks) {
        const auto width = static_cast<std::size_t>(b.matrix->Size().x);
        m_sources.push_back({b.matrix.get(), b.rowLabels.empty() ? nullptr : &b.rowLabels, offset, width, 0});
        offset += width;
    }
    m_row.resize(offset);
}

const float* RowAssembler::Row(uint32_t label) {
    for (Source& s : m_sources) {
        float* to = m_row.data() + s.offset;
        std::size_t row = label - 1;
        if (s.labels) {
            const std::vector<uint32_t>& labels = *s.labels;
            while (s.cursor < labels.size() && labels[s.cursor] < label) ++s.cursor;
            if (s.cursor == labels.size() || labels[s.cursor] != label) {
                std::fill(to, to + s.width, std::numeric_limits<float>::quiet_NaN());
                continue;
            }
            row = s.cursor;
        }
        const float* from = s.matrix->Pixels<float>() + row * s.width;
        std::copy(from, from + s.width, to);
    }
    return m_row.data();
}

}  // namespace regionfeat
