// regionfeat: runs the region feature nodes of the feature module on image
// files, as a host would. See Commands.h for the commands, Errors.h for the
// exit statuses.
#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>
#include <limits>
#include <string>

#include "Commands.h"
#include "OrderedWork.h"
#include "BatchCommand.h"
#include "TableCommand.h"
#include "ImageIO.h"
#include "ModuleLoader.h"
#include "TempFiles.h"
#include "kelo/Graph.h"
#include "kelo/Memory.h"

namespace {

// Every failure is reported as exactly one line on standard error.
int Report(int status, const std::string& message) {
    std::cout.flush();
    std::cerr << "error: " << regionfeat::OneLine(message) << std::endl;
    return status;
}

// The first argument that is neither an option nor the value of --module.
std::string CommandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--module") {
            ++i;
            continue;
        }
        if (!a.empty() && a[0] == '-') continue;
        return a;
    }
    return "";
}


// The options of the commands that read images for nodes: --native,
// --max-pixels and --max-memory (one string for every command: only one runs).
void AddImageOptions(CLI::App* cmd, bool& native, regionfeat::ReadLimits& limits, std::string& maxMemory) {
    using namespace regionfeat;
    cmd->add_flag("--native", native, "Hand the images over in their stored pixel type instead of 32-bit float.");
    cmd->add_option("--max-pixels", limits.maxPixels,
                    "Refuse an image of more pixels (width x height x depth) than this; default: what this "
                    "machine's memory holds (" +
                        std::to_string(DefaultMaxPixels()) + ")")
        ->check([](const std::string& text) {
            // Digits only, within range: the conversion alone would take "-3" as 2^64 - 3.
            uint64_t n = 0;
            const char* end = text.data() + text.size();
            const auto res = std::from_chars(text.data(), end, n);
            const bool ok =
                !text.empty() && text[0] != '-' && text[0] != '+' && res.ec == std::errc() && res.ptr == end && n > 0;
            return ok ? std::string()
                      : "takes a whole number from 1 to " + std::to_string(std::numeric_limits<uint64_t>::max()) +
                            ", not '" + text + "'";
        });
    cmd->add_option("--max-memory", maxMemory,
                    "Memory a node may plan for its region table and outputs, in bytes or with a suffix K, M or G "
                    "(powers of 1024); default: this machine's memory. A label image that needs more is refused.")
        ->check([](const std::string& text) {
            return ParseByteCount(text) ? std::string() : "takes a size such as 512M or 2G, not '" + text + "'";
        });
}

// The node selection and outputs of table and batch.
void AddTableOptions(CLI::App* cmd, regionfeat::TableOptions& o, std::string& maxMemory) {
    cmd->add_option("--nodes", o.selection.nodes, "Nodes to run, in this order: A,B,...")->allow_extra_args(false);
    cmd->add_flag("--all", o.selection.all,
                  "Run every node the module lists (FromGraph only with -p FromGraph.graph=FILE).");
    cmd->add_option("-p,--param", o.selection.parameters,
                    "Parameter of a node: NODE.KEY=VALUE, or NODE.KEY:TYPE=VALUE for an unlisted key")
        ->allow_extra_args(false);
    cmd->add_option("-o,--output", o.outputs, "Output file; the extension picks the format")->allow_extra_args(false);
    cmd->add_flag("--keep-going", o.keepGoing, "Leave out what fails (with a warning) instead of stopping.");
    cmd->add_flag("--timings", o.timings, "Print the read, run and write times on standard error.");
    AddImageOptions(cmd, o.native, o.limits, maxMemory);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace regionfeat;
    CLI::App app{"Computes region features of labelled images with the nodes of the feature module.", "regionfeat"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string modulePath;
    app.add_option("--module", modulePath,
                   "Module to load (default: $REGIONFEAT_MODULE, else ../lib/libplugalg_features.so beside the "
                   "executable)");

    bool listAll = false;
    CLI::App* list = app.add_subcommand("list", "Print the names of the nodes the module lists, one per line.");
    list->add_flag("--all", listAll, "Also print the names that create a node although they are not listed.");

    std::string describeNode;
    bool describeJson = false;
    CLI::App* describe = app.add_subcommand("describe", "Print a node's parameters, inputs, outputs and features.");
    describe->add_option("NODE", describeNode, "Node name")->required();
    describe->add_flag("--json", describeJson, "Print the whole setup description as JSON.");

    RunOptions run;
    CLI::App* runCmd = app.add_subcommand(
        "run",
        "Run a node on a grey-value image and a label image. Images: TIFF (multi-page = 3-D), PNG (grey), NPY. "
        "Output by extension: .csv, .tsv, .npy, .tif/.tiff, .json; without -o a CSV table goes to standard output.");
    runCmd->add_option("NODE", run.node, "Node name")->required();
    runCmd->add_option("IMAGE", run.image, "Grey-value image (input 0)")->required();
    runCmd->add_option("LABELS", run.labels, "Label image (input 1); optional for nodes that accept none");
    runCmd->add_option("-p,--param", run.parameters, "Parameter KEY=VALUE, or KEY:TYPE=VALUE for an unlisted key")
        ->allow_extra_args(false);
    runCmd->add_option("-o,--output", run.outputs, "Output file; the extension picks the format")
        ->allow_extra_args(false);
    std::string maxMemory;
    AddImageOptions(runCmd, run.native, run.limits, maxMemory);
    runCmd->add_flag("--verbose", run.verbose, "Set the node's parameter \"verbose\" to true.");
    runCmd->add_flag("--timings", run.timings,
                     "Print the seconds spent reading, running and writing as one line on standard error.");

    TableOptions table;
    std::string tableImage, tableLabels;
    CLI::App* tableCmd = app.add_subcommand(
        "table",
        "Run several nodes on one image pair, read once, and write one table: label, then each node's columns "
        "named Node.feature. Output by extension as for run; without -o CSV on standard output.");
    tableCmd->add_option("IMAGE", tableImage, "Grey-value image (input 0)")->required();
    tableCmd->add_option("LABELS", tableLabels, "Label image (input 1)")->required();
    AddTableOptions(tableCmd, table, maxMemory);

    BatchOptions batch;
    CLI::App* batchCmd = app.add_subcommand(
        "batch",
        "Run several nodes on many image pairs, in parallel, and write one long table: image, label, then each "
        "node's columns, rows in the order of the input. Output as for table.");
    batchCmd->add_option("LIST", batch.list, "List file (CSV) with the columns image and labels");
    batchCmd->add_option("--images", batch.imageGlob, "Images to take instead of a list, as a glob (quote it)");
    batchCmd->add_option("--labels", batch.labelPattern,
                         "With --images: each image's label file, from the placeholders {dir}, {name}, {stem} and "
                         "{ext}, such as {dir}/{stem}_labels{ext}");
    batchCmd
        ->add_option("--jobs", batch.jobs,
                     "Images worked on at once, each by its own set of nodes; default: every core (" +
                         std::to_string(DefaultJobs()) + "). --max-memory holds for each node run, so N jobs may "
                         "plan up to N times as much.")
        ->check(CLI::Range(1u, 4096u));
    batchCmd->add_option("--progress", batch.progress,
                         "auto (a bar on a terminal, else a line per image), bar, lines or none");
    AddTableOptions(batchCmd, batch.table, maxMemory);

    std::string graphFile;
    CLI::App* graphCmd = app.add_subcommand("graph", "Work with graph files (see README, \"Graphs\").");
    graphCmd->require_subcommand(1);
    CLI::App* graphCheck =
        graphCmd->add_subcommand("check", "Read and check a graph file against the module's nodes without running it.");
    graphCheck->add_option("FILE", graphFile, "Graph file (JSON)")->required();

    InstallInterruptCleanup();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        if (app.get_subcommands().empty()) {
            const std::string word = CommandWord(argc, argv);
            if (word.empty())
                return Report(kExitUsage,
                              "a command is required: list, describe, run, table, batch or graph (see --help)");
            return Report(kExitUsage,
                          "unknown command '" + word + "' (commands: list, describe, run, table, batch, graph)");
        }
        return Report(kExitUsage, e.what());
    }

    try {
        const Module module = Module::Load(ResolveModulePath(modulePath, argc > 0 ? argv[0] : nullptr));
        // Graphs (FromGraph, graph check) create the module's nodes by name, as the command line does.
        KELO::graph::SetNodeFactory([&module](const std::string& name) { return module.Create(name).release(); });
        if (!maxMemory.empty()) KELO::SetMemoryLimit(*ParseByteCount(maxMemory));
        if (*list)
            ListCommand(module, listAll, std::cout);
        else if (*describe)
            DescribeCommand(module, describeNode, describeJson, std::cout);
        else if (*tableCmd)
            TableCommand(module, table, tableImage, tableLabels, std::cout, std::cerr);
        else if (*batchCmd)
            BatchCommand(module, batch, std::cout, std::cerr);
        else if (*graphCheck)
            GraphCheckCommand(graphFile, std::cout);
        else
            RunCommand(module, run, std::cout, std::cerr);
        std::cout.flush();
        if (!std::cout) return Report(kExitUsage, "cannot write to standard output");
        return 0;
    } catch (const OutOfMemory& e) {
        return Report(kExitOutOfMemory, e.what());
    } catch (const NodeError& e) {
        return Report(kExitNodeFailed, e.what());
    } catch (const std::bad_alloc&) {
        return Report(kExitOutOfMemory, "out of memory");
    } catch (const std::exception& e) {
        // UsageError, ImageIOError, ModuleError: the command line or an input is at fault.
        return Report(kExitUsage, e.what());
    } catch (...) {
        return Report(kExitUsage, "unexpected failure");
    }
}
