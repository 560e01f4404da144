// The three commands of regionfeat: list, describe and run.
//
// Exit status: 0 on success; 1 when the node fails (NodeError); 2 for usage
// and input problems (UsageError, ImageIOError, ModuleError).
#pragma once

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ModuleLoader.h"
#include "kelo/Value.h"

namespace regionfeat {

// Wrong use of the command line: unknown node, bad parameter, unknown output
// extension, unwritable output location.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The node threw. The message is the whole line after "error: ":
// "<location>: <message>" for a host exception, what() for a standard one.
class NodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RunOptions {
    std::string node;
    std::string image;
    std::string labels;                   // empty: input 1 stays unconnected
    std::vector<std::string> parameters;  // KEY=VALUE or KEY:TYPE=VALUE
    std::vector<std::string> outputs;     // files; none: CSV on standard output
    bool native = false;
    bool verbose = false;
};

// The listed names in ListPlugins order, one per line; with all, followed by
// the registry names that create a node although they are not listed.
void ListCommand(const Module& module, bool all, std::ostream& out);

// The node's setup description, readable, or with json in the JSON form.
void DescribeCommand(const Module& module, const std::string& node, bool json, std::ostream& out);

// Runs a node on the given images and writes its result.
void RunCommand(const Module& module, const RunOptions& options, std::ostream& out);

// One -p argument typed from the node's described parameters. A KEY:TYPE=VALUE
// form (TYPE bool, long, double or string) also passes keys the description
// does not list; for a listed key TYPE must agree with the described type.
// Throws UsageError naming the valid keys or what does not parse.
struct ParameterSetting {
    std::string key;
    std::unique_ptr<KELO::CValue> value;
};
ParameterSetting ParseParameter(const std::string& argument, const KELO::CValueMap* described,
                                const std::string& nodeName);

}  // namespace regionfeat
