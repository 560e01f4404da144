// The three commands of regionfeat: list, describe and run. Their failures
// and exit statuses: Errors.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Errors.h"
#include "ImageIO.h"
#include "ModuleLoader.h"
#include "kelo/Value.h"

namespace regionfeat {

struct RunOptions {
    std::string node;
    std::string image;
    std::string labels;                   // empty: input 1 stays unconnected
    std::vector<std::string> parameters;  // KEY=VALUE or KEY:TYPE=VALUE
    std::vector<std::string> outputs;     // files; none: CSV on standard output
    bool native = false;
    bool verbose = false;
    bool timings = false;  // one line of read, run and write times on the error stream
    ReadLimits limits;  // for both images
};

// The listed names in ListPlugins order, one per line; with all, followed by
// the registry names that create a node although they are not listed.
void ListCommand(const Module& module, bool all, std::ostream& out);

// The node's setup description, readable, or with json in the JSON form.
void DescribeCommand(const Module& module, const std::string& node, bool json, std::ostream& out);

// Runs a node on the given images and writes its result: without output files
// the table goes to out. Warnings about the label image go to err, and with
// options.timings the line of Timings.h once everything is written.
void RunCommand(const Module& module, const RunOptions& options, std::ostream& out, std::ostream& err);

// Reads and checks a graph file (its JSON, plugins, parameters, wiring, cycles)
// and prints what it found; a graph with a fault throws its CException, which
// names the file and the problem.
void GraphCheckCommand(const std::string& path, std::ostream& out);

// "4096", "512K", "64M", "2G" (powers of 1024) as bytes; nullopt for anything
// else, zero and sizes beyond 64 bits included.
std::optional<uint64_t> ParseByteCount(const std::string& text);

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
