// Graph execution: the host runs a graph of nodes described in a JSON file, or a
// single plugin, on values handed over as `value` arguments.
//
// A graph file names nodes of the loaded modules and the host's own plugins
// "utility::CopyImage" and "manipulation::Append", wires the graph's arguments
// and node outputs to node inputs, sets parameters, and names the values the
// graph returns (format: README, "Graphs").
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "kelo/Image.h"
#include "kelo/Node.h"
#include "kelo/Value.h"

namespace KELO {

namespace RP {
// While set, image values report what they point at and hand over to value::vekout.
extern bool run_plugin_verbose;
}  // namespace RP

// One argument of RunZorvatGraph and RunPlugin, or one returned value. It owns
// the value it holds; an image made from a bare CImage* is borrowed unless
// asked to own it.
class value {
public:
    value(const char* text);
    value(const std::string& text);
    value(CImage* image, bool owned = false);
    // Takes ownership of v (null allowed).
    explicit value(CValue* v);
    value(value&& other) noexcept;
    value& operator=(value&& other) noexcept;
    value(const value&) = delete;
    value& operator=(const value&) = delete;
    ~value();

    // Releases the image from the value: the caller owns it from then on (a
    // borrowed image stays its owner's). Throws CException "invalid pointer
    // conversion ..." when the value holds no image.
    operator CImage*();

    // The placeholder of an unused argument position: the string "NULL".
    bool IsNull() const;
    const CValue* Get() const { return m_value.get(); }
    CValue* Take() { return m_value.release(); }

    // Where the diagnostics of RP::run_plugin_verbose go (standard output unless set).
    static std::ostream* vekout;

private:
    std::unique_ptr<CValue> m_value;
};

using value_list = std::vector<value>;

// Runs the graph in the file a1 names on the arguments a2, a3, ... that are not
// "NULL", bound to the graph's arguments in order. Returns the graph's results in
// the order the file lists them. Failures of the file or of its wiring throw
// CException naming the file and the problem; a node's own failure passes through.
value_list RunZorvatGraph(value a1, value a2 = "NULL", value a3 = "NULL", value a4 = "NULL", value a5 = "NULL",
                          value a6 = "NULL", value a7 = "NULL", value a8 = "NULL", value a9 = "NULL",
                          value a10 = "NULL", value a11 = "NULL", value a12 = "NULL", value a13 = "NULL",
                          value a14 = "NULL", value a15 = "NULL", value a16 = "NULL", value a17 = "NULL",
                          value a18 = "NULL", value a19 = "NULL", value a20 = "NULL", value a21 = "NULL",
                          value a22 = "NULL", value a23 = "NULL", value a24 = "NULL", value a25 = "NULL",
                          value a26 = "NULL", value a27 = "NULL", value a28 = "NULL", value a29 = "NULL",
                          value a30 = "NULL");

// Runs one plugin: a1 the image that receives output 0 (or "NULL"), a2 the
// plugin's path, whose part after the last '/' names it; then its input images
// in order, then "key", "value" pairs of parameters. Returns the plugin's outputs
// (output 0 borrowing a1's image when the result went there).
value_list RunPlugin(value a1, value a2, value a3 = "NULL", value a4 = "NULL", value a5 = "NULL",
                     value a6 = "NULL", value a7 = "NULL", value a8 = "NULL", value a9 = "NULL", value a10 = "NULL",
                     value a11 = "NULL", value a12 = "NULL", value a13 = "NULL", value a14 = "NULL",
                     value a15 = "NULL", value a16 = "NULL", value a17 = "NULL", value a18 = "NULL",
                     value a19 = "NULL", value a20 = "NULL", value a21 = "NULL", value a22 = "NULL",
                     value a23 = "NULL", value a24 = "NULL", value a25 = "NULL", value a26 = "NULL",
                     value a27 = "NULL", value a28 = "NULL", value a29 = "NULL", value a30 = "NULL");

namespace graph {

// Where nodes of loaded modules come from: a new node for a name, or null. The
// host that loads a module registers it; the host's own plugins are always known.
using NodeFactory = std::function<CPNode*(const std::string& name)>;
void SetNodeFactory(NodeFactory factory);

// A new node of the host's own plugins or of the registered factory, or null.
std::unique_ptr<CPNode> CreateNode(const std::string& name);

// A loaded and checked graph.
struct Graph;

// What a check of a graph file found.
struct Summary {
    std::vector<std::string> arguments;
    std::vector<std::string> nodes;    // "id (plugin)" in the order they run
    std::vector<std::string> results;  // the references the graph returns
};

// Reads and checks a graph file without running it: the JSON, the plugin names,
// parameter names and types, the wiring and the absence of cycles. Throws
// CException naming the file and the first problem.
std::shared_ptr<const Graph> Load(const std::string& path);
Summary Describe(const Graph& graph);

// Runs a loaded graph on borrowed argument values, one per graph argument.
value_list Run(const Graph& graph, const std::vector<const CValue*>& arguments);

}  // namespace graph

}  // namespace KELO
