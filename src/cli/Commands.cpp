#include "Commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "CommandSupport.h"
#include "ImageIO.h"
#include "NpyIO.h"
#include "Output.h"
#include "TiffIO.h"
#include "Timings.h"
#include "ValueJson.h"
#include "kelo/Graph.h"
#include "kelo/Image.h"

namespace regionfeat {

using namespace KELO;

namespace {

std::string Dump(const Json& j) { return j.dump(2, ' ', false, Json::error_handler_t::replace); }

std::string StringAt(const CValueContainerBase& map, const char* key) {
    const CValue* v = map.Entry(key);
    return v && v->Type() == EValueType::String ? v->String() : std::string();
}

std::string MetaString(const CValue& value, const char* key) {
    const CValueMap* meta = value.MetaIfAny();
    return meta ? StringAt(*meta, key) : std::string();
}

// A scalar for people: true, 3, 0.5, "text"; containers by their kind.
std::string ShortText(const CValue& v) {
    switch (v.Type()) {
        case EValueType::Bool: return v.Bool() ? "true" : "false";
        case EValueType::Long: return std::to_string(v.Long());
        case EValueType::Double: return FormatDouble(v.Double());
        case EValueType::String: {
            std::string quoted(1, '"');
            quoted += v.String();
            quoted += '"';
            return quoted;
        }
        default: return ValueTypeName(v.Type());
    }
}

// Each line of text, indented; trailing blank lines dropped.
void Indented(std::ostream& out, const std::string& text, const std::string& indent) {
    std::string t = text;
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
    std::istringstream lines(t);
    std::string line;
    while (std::getline(lines, line)) out << indent << line << '\n';
}

void DescribeText(const std::string& name, const CValueMap& setup, const Module& module, std::ostream& out) {
    out << name << '\n';
    if (const std::string s = StringAt(setup, "Description"); !s.empty()) out << "  " << s << '\n';
    std::string kind = StringAt(setup, "pluginType");
    if (const std::string sub = StringAt(setup, "PluginSubType"); !sub.empty())
        kind += (kind.empty() ? "" : ", ") + sub;
    if (!kind.empty()) out << "  plugin type: " << kind << '\n';

    out << "\nParameters:\n";
    const CValueMap* params = MapAt(setup, "parameters");
    if (!params || params->Size() == 0) out << "  (none)\n";
    if (params)
        for (const auto& [key, value] : params->Entries()) {
            if (!value) continue;
            out << "  " << key << "  " << ValueTypeName(value->Type()) << "  default: " << ShortText(*value) << '\n';
            if (const std::string doc = MetaString(*value, "desc"); !doc.empty()) Indented(out, doc, "      ");
        }

    for (const char* section : {"inputs", "outputs"}) {
        out << '\n' << (section[0] == 'i' ? "Inputs:" : "Outputs:") << '\n';
        const CValueMap* items = MapAt(setup, section);
        if (!items || items->Size() == 0) out << "  (none)\n";
        if (items)
            for (const auto& [key, value] : items->Entries()) {
                if (!value) continue;
                out << "  " << key << "  " << ValueTypeName(value->Type());
                if (const std::string label = MetaString(*value, "label"); !label.empty()) out << "  " << label;
                const CValueMap* meta = value->MetaIfAny();
                const CValue* optional = meta ? meta->Entry("optional") : nullptr;
                if (optional && optional->Type() == EValueType::Bool && optional->Bool()) out << "  (optional)";
                out << '\n';
            }
    }

    const CValue* names = setup.Entry("FeatureNames");
    if (names && names->Type() == EValueType::Vector) {
        const auto& slots = static_cast<const CValueVector*>(names)->Vector();
        out << "\nFeatures (" << slots.size() << "):\n";
        for (std::size_t i = 0; i < slots.size(); ++i)
            out << "  " << i << "  " << (slots[i] && slots[i]->Type() == EValueType::String ? slots[i]->String() : "")
                << '\n';
    } else {
        out << "\nFeatures: not described (the run's output names them)\n";
    }

    const CValue* keywords = setup.Entry("keywords");
    if (keywords && keywords->Type() == EValueType::Vector) {
        std::vector<std::string> words;
        for (const auto& w : static_cast<const CValueVector*>(keywords)->Vector())
            if (w && w->Type() == EValueType::String) words.push_back(w->String());
        out << "\nKeywords: " << Joined(words, ", ") << '\n';
    }
    out << "\nDocumentation: " << StringAt(setup, "__zorvatDocumentation") << '\n';

    const std::time_t loaded = static_cast<std::time_t>(module.LoadingTimestamp());
    char when[32] = "unknown time";
    std::tm tm{};
    if (gmtime_r(&loaded, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    out << "Module: " << module.Path() << " (loaded " << when << ")\n";
}

// ---------------------------------------------------------------- parameters

std::optional<EValueType> TypeFromName(const std::string& s) {
    if (s == "bool") return EValueType::Bool;
    if (s == "long") return EValueType::Long;
    if (s == "double") return EValueType::Double;
    if (s == "string") return EValueType::String;
    return std::nullopt;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The whole of text as a number, with an optional leading '+'; false when it
// is empty, has anything left over or is out of range for T.
template <class T>
bool ParseNumber(const std::string& text, T& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first;
    const auto res = std::from_chars(first, last, value);
    return first != last && res.ec == std::errc() && res.ptr == last;
}

std::unique_ptr<CValue> ParseValue(EValueType type, const std::string& key, const std::string& text) {
    auto bad = [&](const char* expected) -> std::unique_ptr<CValue> {
        throw UsageError("parameter '" + key + "': '" + text + "' is not " + expected);
    };
    switch (type) {
        case EValueType::Bool: {
            const std::string t = Lower(text);
            if (t == "true" || t == "1" || t == "yes" || t == "on") return std::make_unique<CValueBool>(true);
            if (t == "false" || t == "0" || t == "no" || t == "off") return std::make_unique<CValueBool>(false);
            return bad("a bool (true or false)");
        }
        case EValueType::Long: {
            long long v = 0;
            if (!ParseNumber(text, v) || v < std::numeric_limits<int32_t>::min() ||
                v > std::numeric_limits<int32_t>::max())
                return bad("a long (a whole number from -2147483648 to 2147483647)");
            return std::make_unique<CValueLong>(static_cast<int32_t>(v));
        }
        case EValueType::Double: {
            double v = 0;
            if (!ParseNumber(text, v)) return bad("a double (a number)");
            return std::make_unique<CValueDouble>(v);
        }
        case EValueType::String: return std::make_unique<CValueString>(text);
        default: break;
    }
    return bad("a value of a settable type");
}

// ---------------------------------------------------------------- outputs

}  // namespace

ParameterSetting ParseParameter(const std::string& argument, const CValueMap* described, const std::string& nodeName) {
    const std::size_t eq = argument.find('=');
    if (eq == std::string::npos)
        throw UsageError("parameter '" + argument + "' is not of the form KEY=VALUE or KEY:TYPE=VALUE");
    std::string key = argument.substr(0, eq);
    const std::string text = argument.substr(eq + 1);
    std::optional<EValueType> given;
    if (const std::size_t colon = key.rfind(':'); colon != std::string::npos) {
        given = TypeFromName(key.substr(colon + 1));
        if (!given)
            throw UsageError("parameter '" + argument + "': unknown type '" + key.substr(colon + 1) +
                             "' (use bool, long, double or string)");
        key.resize(colon);
    }
    if (key.empty()) throw UsageError("parameter '" + argument + "' has no key");
    // The host reads "a/b" as a path into nested maps; no node has such parameters.
    if (key.find('/') != std::string::npos) throw UsageError("parameter key '" + key + "' must not contain '/'");

    const CValue* listed = nullptr;
    std::vector<std::string> keys;
    if (described)
        for (const auto& [k, v] : described->Entries()) {
            keys.push_back(k);
            if (k == key) listed = v.get();
        }
    EValueType type;
    if (listed) {
        type = listed->Type();
        if (!TypeFromName(ValueTypeName(type)))
            throw UsageError("parameter '" + key + "' is a " + ValueTypeName(type) +
                             " and cannot be set from the command line");
        if (given && *given != type)
            throw UsageError("parameter '" + key + "' of " + nodeName + " is a " + ValueTypeName(type) + ", not a " +
                             ValueTypeName(*given));
    } else if (given) {
        type = *given;
    } else {
        throw UsageError("unknown parameter '" + key + "' for " + nodeName +
                         " (valid keys: " + (keys.empty() ? std::string("none") : Joined(keys, ", ")) +
                         "; other keys need a type: -p KEY:TYPE=VALUE)");
    }
    return {key, ParseValue(type, key, text)};
}

void ListCommand(const Module& module, bool all, std::ostream& out) {
    const std::vector<std::string> listed = module.Listed();
    for (const std::string& name : listed) out << name << '\n';
    if (!all) return;
    for (const char* name : kRegistryNames) {
        if (std::find(listed.begin(), listed.end(), name) != listed.end()) continue;
        bool creates = false;
        try {
            creates = module.Create(name) != nullptr;
        } catch (...) {
            // A name whose node cannot be made is not offered.
        }
        if (creates) out << name << '\n';
    }
}

void DescribeCommand(const Module& module, const std::string& name, bool json, std::ostream& out) {
    const std::unique_ptr<CPNode> node = CreateNode(module, name);
    CValueMap setup;
    {
        CoutToCerr redirect(true);
        CallNode("describing " + name, [&] { node->GetPluginSetup(setup); });
    }
    if (json)
        out << Dump(ValueToJson(setup)) << '\n';
    else
        DescribeText(name, setup, module, out);
}

void RunCommand(const Module& module, const RunOptions& o, std::ostream& out, std::ostream& err) {
    std::vector<std::string> inputs = FilesNamedBy(o.parameters);
    inputs.push_back(o.image);
    inputs.push_back(o.labels);
    const std::vector<OutputFile> outputs = CheckOutputs(o.outputs, inputs);
    const std::unique_ptr<CPNode> node = CreateNode(module, o.node);
    CValueMap setup;
    {
        CoutToCerr redirect(outputs.empty());
        CallNode("describing " + o.node, [&] { node->GetPluginSetup(setup); });
    }

    std::vector<ParameterSetting> settings;
    const CValueMap* described = MapAt(setup, "parameters");
    for (const std::string& p : o.parameters) settings.push_back(ParseParameter(p, described, o.node));
    if (o.verbose) settings.push_back({"verbose", std::make_unique<CValueBool>(true)});

    // The read phase starts here: describing the node and checking outputs
    // take no time worth reporting.
    Timings timings;
    CValueOwnedPointer<CImage> grey(LoadNodeImage(o.image, o.native, o.limits, false, err).release(), 1);
    CValueOwnedPointer<CImage> labels(
        o.labels.empty() ? nullptr : LoadNodeImage(o.labels, o.native, o.limits, true, err).release(), 1);
    timings.Mark("read");

    for (ParameterSetting& s : settings) node->Parameters().SetEntry(s.key, s.value.release());
    node->SetStackInput(0, &grey);
    if (!o.labels.empty()) node->SetStackInput(1, &labels);
    {
        CoutToCerr redirect(outputs.empty());
        CallNode("running " + o.node, [&] {
            node->ReadParameters();
            node->Run();
        });
    }
    node->SetStackInput(0, nullptr);
    node->SetStackInput(1, nullptr);
    // Column names from the node as the run left it: a node whose names follow
    // its parameters (a feature count) describes them only after ReadParameters.
    CValueMap named;
    {
        CoutToCerr redirect(outputs.empty());
        CallNode("describing " + o.node, [&] { node->GetPluginSetup(named); });
    }
    const std::unique_ptr<CValue> out0(node->TakeStackOutput(0));
    const std::unique_ptr<CValue> out1(node->TakeStackOutput(1));
    timings.Mark("run");
    const auto reportTimings = [&] {
        timings.Mark("write");
        if (o.timings) timings.Print(err);
    };

    // FromGraph gives rows only for the labels that occur, in order; the table says which.
    const auto tableOf = [&](const CImage& m) {
        Table t = MakeTable(m, out1.get(), named);
        if (o.node == "FromGraph" && labels.Get()) t.labels = LabelsPresent(*labels.Get(), t.rows);
        return t;
    };
    const bool needsTable = outputs.empty() || std::any_of(outputs.begin(), outputs.end(), [](const OutputFile& f) {
                                return f.kind != OutputKind::Json;
                            });
    const CImage* matrix =
        out0 && out0->Type() == EValueType::Image ? static_cast<const CValueImageBase&>(*out0).Get() : nullptr;
    if (needsTable && !matrix) throw NodeError(o.node + " set no feature image at output 0");

    if (outputs.empty()) {
        WriteDelimited(out, tableOf(*matrix), ',');
        out.flush();
        reportTimings();
        return;
    }
    FileSet files;
    for (const OutputFile& f : outputs) {
        switch (f.kind) {
            case OutputKind::Csv:
            case OutputKind::Tsv: {
                const char separator = f.kind == OutputKind::Csv ? ',' : '\t';
                files.Add(f.path, [&, separator](const std::string& temp) {
                    // Straight into the file: the text of a large table is never held whole.
                    std::ofstream text(temp, std::ios::binary | std::ios::trunc);
                    if (!text) throw ImageIOError(temp + ": cannot create: " + std::strerror(errno));
                    WriteDelimited(text, tableOf(*matrix), separator);
                    text.close();
                    if (!text) throw ImageIOError(temp + ": cannot write");
                });
                break;
            }
            case OutputKind::Npy:
                files.Add(f.path, [&](const std::string& temp) { WriteNpy(temp, FloatRasterOf(*matrix)); });
                break;
            case OutputKind::Tiff:
                files.Add(f.path, [&](const std::string& temp) { WriteTiff(temp, FloatRasterOf(*matrix)); });
                break;
            case OutputKind::Json:
                files.Add(f.path, [&](const std::string& temp) {
                    Json doc = Json::object();
                    doc["node"] = o.node;
                    doc["output0"] = out0 ? ValueToJson(*out0) : Json(nullptr);
                    doc["output1"] = out1 ? ValueToJson(*out1) : Json(nullptr);
                    WriteTextFile(temp, Dump(doc) + "\n");
                });
                break;
        }
    }
    files.Commit();
    reportTimings();
}

void GraphCheckCommand(const std::string& path, std::ostream& out) {
    const graph::Summary s = graph::Describe(*graph::Load(path));
    out << path << ": a graph of " << s.nodes.size() << (s.nodes.size() == 1 ? " node" : " nodes") << '\n'
        << "  arguments: " << (s.arguments.empty() ? "(none)" : Joined(s.arguments, ", ")) << '\n'
        << "  runs:      " << Joined(s.nodes, ", ") << '\n'
        << "  results:   " << Joined(s.results, ", ") << '\n';
}

std::optional<uint64_t> ParseByteCount(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    uint64_t n = 0;
    const char* end = text.data() + text.size();
    const auto res = std::from_chars(text.data(), end, n);
    if (res.ec != std::errc() || n == 0) return std::nullopt;
    int shift = 0;
    if (res.ptr != end) {
        if (res.ptr + 1 != end) return std::nullopt;
        switch (*res.ptr) {
            case 'K': case 'k': shift = 10; break;
            case 'M': case 'm': shift = 20; break;
            case 'G': case 'g': shift = 30; break;
            default: return std::nullopt;
        }
    }
    if (shift && n > (UINT64_MAX >> shift)) return std::nullopt;
    return n << shift;
}

}  // namespace regionfeat
