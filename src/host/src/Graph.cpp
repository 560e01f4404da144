#include "kelo/Graph.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

namespace KELO {

namespace RP {
bool run_plugin_verbose = false;
}  // namespace RP

// ---------------------------------------------------------------- value

std::ostream* value::vekout = &std::cout;

value::value(const char* text) : m_value(new CValueString(text ? text : "NULL")) {}
value::value(const std::string& text) : m_value(new CValueString(text)) {}

value::value(CImage* image, bool owned) {
    if (owned)
        m_value.reset(new CValueOwnedPointer<CImage>(image, 1));
    else
        m_value.reset(new CValuePointer<CImage>(image));
    if (RP::run_plugin_verbose)
        *vekout << (owned ? "created owned pointer " : "created non owned pointer ") << static_cast<const void*>(image)
                << " of type CImage in " << static_cast<const void*>(this) << std::endl;
}

value::value(CValue* v) : m_value(v) {}
value::value(value&& other) noexcept = default;
value& value::operator=(value&& other) noexcept = default;
value::~value() = default;

value::operator CImage*() {
    auto* held = dynamic_cast<CValueImageBase*>(m_value.get());
    if (!held || !held->Get())
        throw CException("value", std::string("invalid pointer conversion ") +
                                      (m_value ? std::string("of a ") + ValueTypeName(m_value->Type()) +
                                                     (held ? " value that holds no image" : " value to CImage*")
                                               : "of an empty value to CImage*"),
                         nullptr);
    CImage* image = held->Get();
    // An owning value gives its image up; a borrowing one never owned it.
    if (auto* owner = dynamic_cast<CValueOwnedPointer<CImage>*>(held)) owner->Release();
    if (RP::run_plugin_verbose)
        *vekout << "released " << static_cast<const void*>(image) << " in " << static_cast<const void*>(this)
                << std::endl;
    m_value.reset();
    return image;
}

bool value::IsNull() const {
    const auto* s = dynamic_cast<const CValueString*>(m_value.get());
    return !m_value || (s && s->Text() == "NULL");
}

namespace graph {

namespace {

// ---------------------------------------------------------------- the host's own plugins

// "utility::CopyImage": output 0 is a copy of input 0, attributes included.
class CopyImageNode : public CPNode {
public:
    void GetPluginSetup(CValueMap& setup) override {
        setup.SetEntry("pluginType", new CValueString("image"));
        setup.SetEntry("parameters", new CValueMap());
        setup.SetEntry("inputs/0", new CValuePointer<CImage>(nullptr));
        setup.SetEntry("outputs/0", new CValuePointer<CImage>(nullptr));
    }
    void Run() override {
        const CImage* in = UnwrapImage(GetStackInput(0, true));
        SetStackOutput(0, new CValueOwnedPointer<CImage>(new CImage(*in), 1));
    }
};

// "manipulation::Append": output 0 holds its inputs one after the other, below
// each other ("along" = "Y", rows) or side by side ("X", columns). All inputs
// share the pixel type, and the extents across the joining direction. The
// result carries the first input's attributes; joined along X, its
// "feature_names" are those of the inputs in turn, a column whose image names
// none being named by its column number.
class AppendNode : public CPNode {
public:
    void GetPluginSetup(CValueMap& setup) override {
        setup.SetEntry("pluginType", new CValueString("image"));
        const CValue_Key along("parameters/along");  // a key too long to be kept inline: made before the value
        setup.SetEntry(along, new CValueString(m_along));
        for (int i = 0; i < 2; ++i) setup.SetEntry("inputs/" + std::to_string(i), new CValuePointer<CImage>(nullptr));
        setup.SetEntry("outputs/0", new CValuePointer<CImage>(nullptr));
    }
    void ReadParameters() override { m_along = Parameters().EntryString("along", m_along); }
    void Run() override {
        const char* where = "manipulation::Append::Run";
        if (m_along != "X" && m_along != "Y")
            throw CException(where, "\"along\" must be \"X\" or \"Y\", not \"" + m_along + "\"", nullptr);
        std::vector<const CImage*> in;
        for (int i = 0; HasStackInput(i); ++i) in.push_back(UnwrapImage(GetStackInput(i, true)));
        if (in.empty()) throw CException(where, "no image to append", nullptr);
        const bool alongX = m_along == "X";
        CSize total = in[0]->Size();
        for (std::size_t i = 1; i < in.size(); ++i) {
            const CSize s = in[i]->Size();
            if (in[i]->Type() != in[0]->Type())
                throw CException(where, std::string("cannot append an image of type ") + in[i]->Type().Name() +
                                            " to one of type " + in[0]->Type().Name(), nullptr);
            const bool fits = alongX ? (s.y == total.y && s.z == total.z) : (s.x == total.x && s.z == total.z);
            if (!fits)
                throw CException(where, "cannot append an image of size " + CPos(s).ToString() + " along " + m_along +
                                            " to one of size " + CPos(in[0]->Size()).ToString(), nullptr);
            (alongX ? total.x : total.y) += alongX ? s.x : s.y;
        }
        auto out = std::make_unique<CImage>(in[0]->Type(), total, CSize(0, 0, 0));
        const std::size_t e = in[0]->Type().ElementSize();
        auto* dst = static_cast<unsigned char*>(out->Data());
        for (int64_t k = 0; k < total.z; ++k) {
            if (alongX) {
                for (int64_t j = 0; j < total.y; ++j)
                    for (const CImage* im : in) {
                        const CSize s = im->Size();
                        const std::size_t bytes = static_cast<std::size_t>(s.x) * e;
                        if (bytes == 0) continue;
                        std::memcpy(dst, static_cast<const unsigned char*>(im->Data()) + ((k * s.y + j) * s.x) * e,
                                    bytes);
                        dst += bytes;
                    }
            } else {
                for (const CImage* im : in) {
                    const CSize s = im->Size();
                    const std::size_t bytes = static_cast<std::size_t>(s.x * s.y) * e;
                    if (bytes == 0) continue;
                    std::memcpy(dst, static_cast<const unsigned char*>(im->Data()) + k * bytes, bytes);
                    dst += bytes;
                }
            }
        }
        for (const auto& [key, v] : in[0]->Attributes().Entries())
            if (v) out->Attributes().SetEntry(key, v->Clone());
        if (alongX) JoinNames(in, *out);
        SetStackOutput(0, new CValueOwnedPointer<CImage>(out.release(), 1));
    }

    // Appends along Y into target in place when target is the first input and the
    // others are single-plane rows of its type and width that are not target
    // itself: the same image as Run would make, without copying target's rows
    // again for every call (FromGraph collects its rows so, one call per region).
    // False, with nothing done, when that does not apply.
    bool AppendInPlace(CImage& target) {
        if (m_along != "Y" || target.Size().z != 1 || !HasStackInput(0)) return false;
        const auto* first = dynamic_cast<const CValueImageBase*>(GetStackInput(0, true));
        if (!first || first->Get() != &target) return false;
        std::vector<const CImage*> rows;
        for (int i = 1; HasStackInput(i); ++i) {
            const auto* v = dynamic_cast<const CValueImageBase*>(GetStackInput(i, true));
            const CImage* im = v ? v->Get() : nullptr;
            if (!im || im == &target || im->Type() != target.Type() || im->Size().x != target.Size().x ||
                im->Size().z != 1)
                return false;
            rows.push_back(im);
        }
        for (const CImage* im : rows) target.AppendRows(*im);
        return true;
    }

private:
    static void JoinNames(const std::vector<const CImage*>& in, CImage& out) {
        bool any = false;
        for (const CImage* im : in) any = any || im->Attributes().HasEntry("feature_names");
        if (!any) return;
        auto names = std::make_unique<CValueVector>();
        long long column = 0;
        for (const CImage* im : in) {
            const auto* own = dynamic_cast<const CValueVector*>(im->Attributes().Entry("feature_names"));
            for (int64_t i = 0; i < im->Size().x; ++i, ++column) {
                const CValue* name = own && static_cast<std::size_t>(i) < own->Size()
                                         ? own->Vector()[static_cast<std::size_t>(i)].get()
                                         : nullptr;
                names->SetEntry(column, name ? name->Clone() : new CValueString(std::to_string(column)));
            }
        }
        out.Attributes().SetEntry("feature_names", names.release());
    }

    std::string m_along = "Y";
};

const char* const kCopyImage = "utility::CopyImage";
const char* const kAppend = "manipulation::Append";

std::mutex g_mutex;
NodeFactory g_factory;

// The graphs read so far by path, with the text each was parsed from. The
// generation counts changes of the factory, so that a graph checked against an
// earlier factory is not cached after the cache was cleared.
struct CacheEntry {
    std::string text;
    struct stat file {};  // the file as it was when text was read
    bool settled = false;  // its last change was well before that read
    std::shared_ptr<const Graph> graph;
};
std::map<std::string, CacheEntry> g_cache;
unsigned long long g_generation = 0;

bool IsBuiltin(const std::string& name) { return name == kCopyImage || name == kAppend; }

}  // namespace

void SetNodeFactory(NodeFactory factory) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_factory = std::move(factory);
    g_cache.clear();  // what the names resolve to has changed
    ++g_generation;
}

std::unique_ptr<CPNode> CreateNode(const std::string& name) {
    if (name == kCopyImage) return std::make_unique<CopyImageNode>();
    if (name == kAppend) return std::make_unique<AppendNode>();
    NodeFactory factory;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        factory = g_factory;
    }
    return std::unique_ptr<CPNode>(factory ? factory(name) : nullptr);
}

// ---------------------------------------------------------------- graphs

namespace {
// A wire: argument `index` of the graph (node < 0) or output `index` of a node.
struct Ref {
    int node = -1;
    int index = 0;
};
}  // namespace

struct Graph {
    struct Node {
        std::string id, plugin;
        std::vector<Ref> inputs;
        std::vector<std::pair<std::string, std::unique_ptr<CValue>>> parameters;
        bool builtin = false;
    };
    std::string path;
    // The file, however its path was spelled: a graph that runs itself is refused.
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::string> arguments;
    std::vector<Node> nodes;  // in an order in which every node comes after those it reads
    std::vector<Ref> results;
    std::vector<std::string> resultNames;
};

namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& path, const std::string& problem) {
    throw CException("graph " + path, problem, nullptr);
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// A node's id when the file gives none: its plugin's name, without the
// "utility::"-style prefix of the host's own plugins (a wire's ':' picks an output).
std::string DefaultId(const std::string& plugin) {
    const auto colons = plugin.rfind("::");
    return colons == std::string::npos ? plugin : plugin.substr(colons + 2);
}

// A JSON parameter value as the value the node's description gives it.
CValue* ParameterValue(const json& j, const CValue& declared, const std::string& where, const std::string& path) {
    switch (declared.Type()) {
        case EValueType::Bool:
            if (j.is_boolean()) return new CValueBool(j.get<bool>());
            break;
        case EValueType::Long:
            if (j.is_number_integer()) {
                const auto v = j.get<long long>();
                if (v < INT32_MIN || v > INT32_MAX) Fail(path, where + " does not fit in a 32-bit long");
                return new CValueLong(static_cast<int32_t>(v));
            }
            break;
        case EValueType::Double:
            if (j.is_number()) return new CValueDouble(j.get<double>());
            break;
        case EValueType::String:
            if (j.is_string()) return new CValueString(j.get<std::string>());
            break;
        default:
            Fail(path, where + " is of a kind a graph cannot set (" + ValueTypeName(declared.Type()) + ")");
    }
    Fail(path, where + " must be a " + ValueTypeName(declared.Type()) + ", not " + j.dump());
}

// The same from the text of a RunPlugin argument.
CValue* ParameterFromText(const std::string& text, const CValue& declared, const std::string& where) {
    const auto fail = [&]() -> CValue* {
        throw CException("RunPlugin", where + " must be a " + ValueTypeName(declared.Type()) + ", not \"" + text + "\"",
                         nullptr);
    };
    char* end = nullptr;
    errno = 0;
    switch (declared.Type()) {
        case EValueType::Bool:
            if (text == "true" || text == "1") return new CValueBool(true);
            if (text == "false" || text == "0") return new CValueBool(false);
            return fail();
        case EValueType::Long: {
            const long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end || errno || v < INT32_MIN || v > INT32_MAX) return fail();
            return new CValueLong(static_cast<int32_t>(v));
        }
        case EValueType::Double: {
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end) return fail();
            return new CValueDouble(v);
        }
        case EValueType::String:
            return new CValueString(text);
        default:
            return fail();
    }
}

// How many inputs a node takes: at least the ones its description does not
// call optional, at most all it describes (the host's Append takes any number).
struct InputCount {
    std::size_t least = 0, most = 0;
};
InputCount CountInputs(const std::string& plugin, const CValueMap& setup) {
    if (plugin == kAppend) return {1, SIZE_MAX};
    InputCount c;
    if (const auto* inputs = dynamic_cast<const CValueMap*>(setup.Entry("inputs"))) {
        c.most = inputs->Size();
        for (const auto& [key, v] : inputs->Entries()) {
            const CValueMap* meta = v ? v->MetaIfAny() : nullptr;
            const bool optional = meta && meta->EntryBool("optional", false);
            if (!optional) ++c.least;
        }
    }
    return c;
}

std::shared_ptr<const Graph> Parse(const std::string& path, const std::string& text) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        Fail(path, std::string("not valid JSON: ") + e.what());
    }
    if (!doc.is_object()) Fail(path, "a graph is a JSON object with \"arguments\", \"nodes\" and \"results\"");
    for (const auto& [key, v] : doc.items())
        if (key != "arguments" && key != "nodes" && key != "results" && key != "comment")
            Fail(path, "unknown key " + Quoted(key) + " (a graph has \"arguments\", \"nodes\", \"results\")");

    auto g = std::make_shared<Graph>();
    g->path = path;
    if (struct stat st {}; ::stat(path.c_str(), &st) == 0) g->device = st.st_dev, g->inode = st.st_ino;
    std::map<std::string, int> names;  // argument names (-1 - index) and node ids (index)
    const auto addName = [&](const std::string& name, int id, const char* what) {
        if (name.empty() || name.find(':') != std::string::npos)
            Fail(path, std::string(what) + " " + Quoted(name) + " must be a non-empty name without ':'");
        if (!names.emplace(name, id).second) Fail(path, "the name " + Quoted(name) + " is used twice");
    };
    const json& args = doc.value("arguments", json::array());
    if (!args.is_array()) Fail(path, "\"arguments\" must be a list of names");
    for (const json& a : args) {
        if (!a.is_string()) Fail(path, "\"arguments\" must be a list of names");
        addName(a.get<std::string>(), -1 - static_cast<int>(g->arguments.size()), "the argument");
        g->arguments.push_back(a.get<std::string>());
    }
    if (!doc.contains("nodes") || !doc["nodes"].is_array() || doc["nodes"].empty())
        Fail(path, "\"nodes\" must be a non-empty list of nodes");
    const json& nodes = doc["nodes"];
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const json& n = nodes[i];
        const std::string at = "node " + std::to_string(i + 1);
        if (!n.is_object() || !n.contains("plugin") || !n["plugin"].is_string())
            Fail(path, at + " must be an object with a \"plugin\" name");
        for (const auto& [key, v] : n.items())
            if (key != "id" && key != "plugin" && key != "inputs" && key != "parameters")
                Fail(path, at + ": unknown key " + Quoted(key) + " (a node has \"id\", \"plugin\", \"inputs\", "
                                                                 "\"parameters\")");
        const std::string plugin = n["plugin"].get<std::string>();
        if (n.contains("id") && !n["id"].is_string()) Fail(path, at + ": \"id\" must be a string");
        const std::string id = n.value("id", DefaultId(plugin));
        addName(id, static_cast<int>(i), "the node id");
    }

    // Wires by name, then the nodes themselves: plugin, parameters, input count.
    const auto resolve = [&](const json& j, const std::string& where) {
        if (!j.is_string()) Fail(path, where + " must be the name of an argument or a node, not " + j.dump());
        std::string text = j.get<std::string>(), index = "0";
        if (const auto colon = text.find(':'); colon != std::string::npos)
            index = text.substr(colon + 1), text.resize(colon);
        const auto it = names.find(text);
        if (it == names.end())
            Fail(path, where + " is wired to " + Quoted(j.get<std::string>()) +
                           ", which is neither an argument nor a node of the graph");
        Ref r;
        r.node = it->second < 0 ? -1 : it->second;
        r.index = it->second < 0 ? -1 - it->second : 0;
        if (r.node >= 0) {
            char* end = nullptr;
            const long k = std::strtol(index.c_str(), &end, 10);
            if (index.empty() || *end || k < 0 || k > 1)
                Fail(path, where + ": " + Quoted(j.get<std::string>()) + " names no output (outputs are :0 and :1)");
            r.index = static_cast<int>(k);
        } else if (index != "0") {
            Fail(path, where + ": the argument " + Quoted(text) + " has no outputs to choose from");
        }
        return r;
    };

    std::vector<Graph::Node> parsed(nodes.size());
    // The outputs each node describes: a wire to one it does not have would hand
    // the reading node nothing at run time.
    std::vector<std::array<bool, 2>> outputs(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const json& n = nodes[i];
        Graph::Node& node = parsed[i];
        node.plugin = n["plugin"].get<std::string>();
        node.id = n.value("id", DefaultId(node.plugin));
        node.builtin = IsBuiltin(node.plugin);
        const std::string at = "node " + Quoted(node.id);
        std::unique_ptr<CPNode> instance = CreateNode(node.plugin);
        if (!instance) Fail(path, at + ": unknown plugin " + Quoted(node.plugin));
        CValueMap setup;
        instance->GetPluginSetup(setup);
        outputs[i] = {setup.HasEntry("outputs/0"), setup.HasEntry("outputs/1")};
        const auto* declared = dynamic_cast<const CValueMap*>(setup.Entry("parameters"));
        const json& params = n.value("parameters", json::object());
        if (!params.is_object()) Fail(path, at + ": \"parameters\" must be an object");
        for (const auto& [key, v] : params.items()) {
            const CValue* d = declared ? declared->Entry(CValue_Key(key)) : nullptr;
            if (!d || key.find('/') != std::string::npos)
                Fail(path, at + ": " + node.plugin + " has no parameter " + Quoted(key));
            // Owned before anything else can fail, so a failing allocation loses nothing.
            std::unique_ptr<CValue> value(ParameterValue(v, *d, at + ": parameter " + Quoted(key), path));
            node.parameters.emplace_back(key, std::move(value));
        }
        const json& inputs = n.value("inputs", json::array());
        if (!inputs.is_array()) Fail(path, at + ": \"inputs\" must be a list");
        for (std::size_t k = 0; k < inputs.size(); ++k)
            node.inputs.push_back(resolve(inputs[k], at + " input " + std::to_string(k)));
        const InputCount count = CountInputs(node.plugin, setup);
        if (node.inputs.size() < count.least)
            Fail(path, at + " input " + std::to_string(node.inputs.size()) + " is wired to nothing (" + node.plugin +
                           " needs " + std::to_string(count.least) + ")");
        if (node.inputs.size() > count.most)
            Fail(path, at + ": " + node.plugin + " takes at most " + std::to_string(count.most) + " inputs, not " +
                           std::to_string(node.inputs.size()));
    }

    const json& results = doc.value("results", json::array());
    if (!results.is_array() || results.empty()) Fail(path, "\"results\" must be a non-empty list of wires");
    std::vector<Ref> resultRefs;
    for (std::size_t k = 0; k < results.size(); ++k) {
        resultRefs.push_back(resolve(results[k], "result " + std::to_string(k)));
        g->resultNames.push_back(results[k].get<std::string>());
    }
    const auto checkOutput = [&](const Ref& r, const std::string& where) {
        if (r.node < 0 || outputs[static_cast<std::size_t>(r.node)][static_cast<std::size_t>(r.index)]) return;
        const Graph::Node& from = parsed[static_cast<std::size_t>(r.node)];
        Fail(path, where + " is wired to output " + std::to_string(r.index) + " of " + Quoted(from.id) + ", which " +
                       from.plugin + " does not have");
    };
    for (const Graph::Node& node : parsed)
        for (std::size_t k = 0; k < node.inputs.size(); ++k)
            checkOutput(node.inputs[k], "node " + Quoted(node.id) + " input " + std::to_string(k));
    for (std::size_t k = 0; k < resultRefs.size(); ++k) checkOutput(resultRefs[k], "result " + std::to_string(k));

    // Order: a node runs once every node it reads has run. What never becomes
    // ready lies on a cycle or behind one.
    const std::size_t n = parsed.size();
    std::vector<int> order, position(n, -1);
    std::vector<bool> done(n, false);
    for (bool progress = true; progress && order.size() < n;) {
        progress = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (done[i]) continue;
            const bool ready = std::all_of(parsed[i].inputs.begin(), parsed[i].inputs.end(),
                                           [&](const Ref& r) { return r.node < 0 || done[static_cast<std::size_t>(r.node)]; });
            if (!ready) continue;
            done[i] = true, progress = true;
            position[i] = static_cast<int>(order.size());
            order.push_back(static_cast<int>(i));
        }
    }
    if (order.size() < n) {
        std::string stuck;
        for (std::size_t i = 0; i < n; ++i)
            if (!done[i]) stuck += (stuck.empty() ? "" : ", ") + Quoted(parsed[i].id);
        Fail(path, "the nodes " + stuck + " wait on each other (a cycle)");
    }
    const auto renumber = [&](Ref r) {
        if (r.node >= 0) r.node = position[static_cast<std::size_t>(r.node)];
        return r;
    };
    for (int i : order) {
        Graph::Node node = std::move(parsed[static_cast<std::size_t>(i)]);
        for (Ref& r : node.inputs) r = renumber(r);
        g->nodes.push_back(std::move(node));
    }
    for (const Ref& r : resultRefs) g->results.push_back(renumber(r));
    return g;
}

// The names of a module node's features as "id.name" in the "feature_names"
// attribute of its output image, so that columns joined from several nodes still
// say where they come from. A column without a name is named by its number.
void NameColumns(const std::string& id, CValue* out0, const CValue* out1) {
    auto* holder = dynamic_cast<CValueImageBase*>(out0);
    CImage* image = holder ? holder->Get() : nullptr;
    const auto* features = dynamic_cast<const CValueVector*>(out1);
    // Only feature nodes (a value vector beside the image) have columns to name.
    if (!image || !features || image->Attributes().HasEntry("feature_names")) return;
    auto names = std::make_unique<CValueVector>();
    for (int64_t f = 0; f < image->Size().x; ++f) {
        std::string name = std::to_string(f);
        if (static_cast<std::size_t>(f) < features->Size())
            if (const CValue* inner = features->Vector()[static_cast<std::size_t>(f)].get())
                if (const CValueMap* meta = inner->MetaIfAny())
                    if (const auto* s = dynamic_cast<const CValueString*>(meta->Entry("FeatureName"))) name = s->Text();
        names->SetEntry(static_cast<long long>(f), new CValueString(id + "." + name));
    }
    image->Attributes().SetEntry("feature_names", names.release());
}

// The caller owns what a graph returns, images included (converting a result to
// CImage* hands the image over). An image value that only borrows its image (a
// graph argument returned as it is, or a node output that points at one) is
// therefore returned as an owned copy, made while what it points at still lives.
std::unique_ptr<CValue> Owning(std::unique_ptr<CValue> v) {
    const auto* held = dynamic_cast<const CValueImageBase*>(v.get());
    if (!held) return v;
    if (const auto* owner = dynamic_cast<const CValueOwnedPointer<CImage>*>(held); owner && owner->Owned()) return v;
    std::unique_ptr<CImage> copy(held->Get() ? new CImage(*held->Get()) : nullptr);
    auto owned = std::make_unique<CValueOwnedPointer<CImage>>(copy.get(), 1);
    copy.release();
    return owned;
}

// The whole text of a graph file, and the file's status when it was read.
std::string ReadFile(const std::string& path, struct stat& st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(path, std::string("cannot read the file: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0) Fail(path, std::string("cannot read the file: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) Fail(path, "is a directory, not a graph file");
    std::string text;
    text.reserve(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(path, std::string("cannot read the file: ") + std::strerror(errno));
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}
bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && SameTime(a.st_mtim, b.st_mtim) &&
           SameTime(a.st_ctim, b.st_ctim);
}

}  // namespace

std::shared_ptr<const Graph> Load(const std::string& path) {
    // FromGraph runs the same graph for every region, so a graph is parsed and
    // checked once and reused while the file's text stays the same. File times
    // are coarse: a file rewritten right after it was read can keep its size and
    // times. The status of the file alone therefore vouches for the cached text
    // only when the file's last change (ctime, which no one can set back) lay
    // well before the text was read: any later change moves it. Otherwise the
    // text is read and compared.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Fail(path, std::string("cannot read the file: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) Fail(path, "is a directory, not a graph file");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_cache.find(path);
        if (it != g_cache.end() && it->second.settled && SameFile(it->second.file, st)) return it->second.graph;
    }
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::string text = ReadFile(path, st);
    const bool settled = st.st_ctim.tv_sec + 2 < now.tv_sec;
    unsigned long long generation = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_cache.find(path);
        if (it != g_cache.end() && it->second.text == text) {
            it->second.file = st;
            it->second.settled = settled;
            return it->second.graph;
        }
        generation = g_generation;
    }
    std::shared_ptr<const Graph> g = Parse(path, text);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (generation == g_generation) g_cache[path] = CacheEntry{std::move(text), st, settled, g};
    return g;
}

Summary Describe(const Graph& graph) {
    Summary s;
    s.arguments = graph.arguments;
    for (const Graph::Node& n : graph.nodes) s.nodes.push_back(n.id + " (" + n.plugin + ")");
    s.results = graph.resultNames;
    return s;
}

namespace {
// The graphs running on this thread, outermost first. A node that runs graphs
// (FromGraph) may name the graph it is part of, directly or through others; that
// would run the same graph on the same crops without end, so it is refused.
thread_local std::vector<const Graph*> t_running;

struct Running {
    explicit Running(const Graph& graph) {
        for (const Graph* g : t_running)
            if (g == &graph || (g->inode != 0 && g->device == graph.device && g->inode == graph.inode))
                Fail(graph.path, "the graph runs itself while it runs (through a node that runs graphs)");
        t_running.push_back(&graph);
    }
    ~Running() { t_running.pop_back(); }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
};
}  // namespace

value_list Run(const Graph& graph, const std::vector<const CValue*>& arguments) {
    if (arguments.size() != graph.arguments.size())
        Fail(graph.path, "the graph takes " + std::to_string(graph.arguments.size()) + " arguments, not " +
                             std::to_string(arguments.size()));
    const Running running(graph);
    // Every node's outputs live until the graph has run; inputs are borrowed.
    std::vector<std::unique_ptr<CValue>> outputs(graph.nodes.size() * 2);
    const auto wire = [&](const Ref& r) -> CValue* {
        // Nodes only read their inputs; the host's values are not changed through them.
        return r.node < 0 ? const_cast<CValue*>(arguments[static_cast<std::size_t>(r.index)])
                          : outputs[static_cast<std::size_t>(r.node) * 2 + static_cast<std::size_t>(r.index)].get();
    };
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
        const Graph::Node& n = graph.nodes[i];
        std::unique_ptr<CPNode> node = CreateNode(n.plugin);
        if (!node) Fail(graph.path, "node " + Quoted(n.id) + ": unknown plugin " + Quoted(n.plugin));
        for (const auto& [key, v] : n.parameters) {
            const CValue_Key k(key);  // made first: once cloned, the value belongs to SetEntry
            node->Parameters().SetEntry(k, v->Clone());
        }
        node->ReadParameters();
        for (std::size_t k = 0; k < n.inputs.size(); ++k) node->SetStackInput(static_cast<int>(k), wire(n.inputs[k]));
        node->Run();
        outputs[i * 2].reset(node->TakeStackOutput(0));
        outputs[i * 2 + 1].reset(node->TakeStackOutput(1));
        if (!n.builtin) NameColumns(n.id, outputs[i * 2].get(), outputs[i * 2 + 1].get());
    }
    value_list results;
    results.reserve(graph.results.size());
    for (std::size_t k = 0; k < graph.results.size(); ++k) {
        const Ref& r = graph.results[k];
        const bool again = std::any_of(graph.results.begin() + static_cast<std::ptrdiff_t>(k) + 1,
                                       graph.results.end(),
                                       [&](const Ref& o) { return o.node == r.node && o.index == r.index; });
        std::unique_ptr<CValue> v;
        if (r.node >= 0 && !again)
            v = std::move(outputs[static_cast<std::size_t>(r.node) * 2 + static_cast<std::size_t>(r.index)]);
        else if (const CValue* w = wire(r))
            v.reset(w->Clone());
        results.emplace_back(Owning(std::move(v)).release());
    }
    return results;
}

}  // namespace graph

// ---------------------------------------------------------------- entry points

namespace {
std::string TextOf(const value& v, const char* what) {
    const auto* s = dynamic_cast<const CValueString*>(v.Get());
    if (!s) throw CException(what, "the first argument must be a path", nullptr);
    return s->Text();
}
}  // namespace

value_list RunZorvatGraph(value a1, value a2, value a3, value a4, value a5, value a6, value a7, value a8, value a9,
                          value a10, value a11, value a12, value a13, value a14, value a15, value a16, value a17,
                          value a18, value a19, value a20, value a21, value a22, value a23, value a24, value a25,
                          value a26, value a27, value a28, value a29, value a30) {
    const value* rest[] = {&a2,  &a3,  &a4,  &a5,  &a6,  &a7,  &a8,  &a9,  &a10, &a11, &a12, &a13, &a14, &a15, &a16,
                           &a17, &a18, &a19, &a20, &a21, &a22, &a23, &a24, &a25, &a26, &a27, &a28, &a29, &a30};
    const std::string path = TextOf(a1, "RunZorvatGraph");
    std::vector<const CValue*> arguments;
    for (const value* v : rest)
        if (!v->IsNull()) arguments.push_back(v->Get());
    return graph::Run(*graph::Load(path), arguments);
}

value_list RunPlugin(value a1, value a2, value a3, value a4, value a5, value a6, value a7, value a8, value a9,
                     value a10, value a11, value a12, value a13, value a14, value a15, value a16, value a17, value a18,
                     value a19, value a20, value a21, value a22, value a23, value a24, value a25, value a26, value a27,
                     value a28, value a29, value a30) {
    const value* rest[] = {&a3,  &a4,  &a5,  &a6,  &a7,  &a8,  &a9,  &a10, &a11, &a12, &a13, &a14,
                           &a15, &a16, &a17, &a18, &a19, &a20, &a21, &a22, &a23, &a24, &a25, &a26,
                           &a27, &a28, &a29, &a30};
    std::string name = TextOf(a2, "RunPlugin");
    if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    std::unique_ptr<CPNode> node = graph::CreateNode(name);
    if (!node) throw CException("RunPlugin", "unknown plugin \"" + name + "\"", nullptr);
    CValueMap setup;
    node->GetPluginSetup(setup);
    // Input values first, then "key", "value" pairs; "NULL" fills unused places.
    int nInputs = 0;
    std::string key;
    for (const value* v : rest) {
        if (v->IsNull()) continue;
        const auto* text = dynamic_cast<const CValueString*>(v->Get());
        if (!text && key.empty()) {
            node->SetStackInput(nInputs++, const_cast<CValue*>(v->Get()));
            continue;
        }
        if (!text) throw CException("RunPlugin", "parameter \"" + key + "\" of " + name + " must be text", nullptr);
        if (key.empty()) {
            key = text->Text();
            continue;
        }
        const CValue* declared = setup.Entry("parameters/" + key);
        if (!declared || key.find('/') != std::string::npos)
            throw CException("RunPlugin", name + " has no parameter \"" + key + "\"", nullptr);
        std::unique_ptr<CValue> value(graph::ParameterFromText(text->Text(), *declared, "parameter \"" + key + "\""));
        const CValue_Key k(key);  // made before the value is handed over: SetEntry owns it from then on
        node->Parameters().SetEntry(k, value.release());
        key.clear();
    }
    if (!key.empty()) throw CException("RunPlugin", "parameter \"" + key + "\" of " + name + " has no value", nullptr);
    node->ReadParameters();
    value_list outputs;
    outputs.reserve(2);
    auto* target = dynamic_cast<const CValueImageBase*>(a1.Get());
    if (auto* append = dynamic_cast<graph::AppendNode*>(node.get());
        append && target && target->Get() && append->AppendInPlace(*target->Get())) {
        outputs.emplace_back(new CValuePointer<CImage>(target->Get()));
        outputs.emplace_back(static_cast<CValue*>(nullptr));
        return outputs;
    }
    node->Run();
    std::unique_ptr<CValue> out0(node->TakeStackOutput(0));
    // The plugin's result goes into the image handed over first, where there is one.
    auto* result = dynamic_cast<CValueImageBase*>(out0.get());
    if (target && target->Get() && result && result->Get()) {
        target->Get()->Swap(*result->Get());
        outputs.emplace_back(new CValuePointer<CImage>(target->Get()));
    } else {
        outputs.emplace_back(out0.release());
    }
    outputs.emplace_back(node->TakeStackOutput(1));
    return outputs;
}

}  // namespace KELO
