#include "BatchCommand.h"

#include <chrono>
#include <cstdio>
#include <sstream>

#include "BatchInputs.h"
#include "CommandSupport.h"
#include "OrderedWork.h"
#include "Progress.h"
#include "TableWriter.h"
#include "Timings.h"

namespace regionfeat {

using namespace KELO;

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What one image pair gave: the node blocks, ready to be written, and the
// warnings its label image drew.
struct ImageResult {
    uint32_t largest = 0;
    std::vector<NodeBlock> blocks;
    std::string warnings;
    double readSeconds = 0, runSeconds = 0;
};

// A failed image: what went wrong and the warnings printed before it.
class ImageFailure : public std::exception {
public:
    ImageFailure(std::exception_ptr cause, std::string warnings)
        : m_cause(std::move(cause)), m_warnings(std::move(warnings)) {}
    const char* what() const noexcept override { return "image failed"; }
    const std::exception_ptr& Cause() const { return m_cause; }
    const std::string& Warnings() const { return m_warnings; }

private:
    std::exception_ptr m_cause;
    std::string m_warnings;
};

// An error as the command line reports it: its exit status kind and message.
struct Failure {
    enum Kind { Node, Memory, Usage } kind = Usage;
    std::string message;
};

Failure Classify(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const NodeError& e) {
        return {Failure::Node, e.what()};
    } catch (const OutOfMemory& e) {
        return {Failure::Memory, e.what()};
    } catch (const std::bad_alloc&) {
        return {Failure::Memory, "out of memory"};
    } catch (const std::exception& e) {
        return {Failure::Usage, e.what()};
    } catch (...) {
        return {Failure::Usage, "unexpected failure"};
    }
}

[[noreturn]] void Throw(const Failure& f) {
    switch (f.kind) {
        case Failure::Node: throw NodeError(f.message);
        case Failure::Memory: throw OutOfMemory(f.message);
        case Failure::Usage: break;
    }
    throw UsageError(f.message);
}

void EachLine(const std::string& text, Progress& progress) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) progress.Message(line);
}

std::vector<ImagePair> Pairs(const BatchOptions& o) {
    const bool glob = !o.imageGlob.empty() || !o.labelPattern.empty();
    if (!o.list.empty() && glob) throw UsageError("give a list file or --images with --labels, not both");
    if (o.list.empty() && !glob) throw UsageError("no images: give a list file (CSV) or --images GLOB --labels PATTERN");
    if (glob && (o.imageGlob.empty() || o.labelPattern.empty()))
        throw UsageError("--images and --labels go together: --images GLOB --labels PATTERN");
    std::vector<ImagePair> pairs = o.list.empty() ? PairsFromGlob(o.imageGlob, o.labelPattern) : ReadPairList(o.list);
    CheckPairsExist(pairs);
    return pairs;
}

}  // namespace

void BatchCommand(const Module& module, const BatchOptions& o, std::ostream& out, std::ostream& err) {
    const Clock::time_point start = Clock::now();
    const std::optional<ProgressMode> mode = ParseProgressMode(o.progress);
    if (!mode) throw UsageError("--progress takes auto, bar, lines or none, not '" + o.progress + "'");
    const std::vector<ImagePair> pairs = Pairs(o);
    if (pairs.empty()) throw UsageError("no image pairs to work on");
    std::vector<std::string> inputs = FilesNamedByParameters(o.table.selection);
    for (const ImagePair& p : pairs) inputs.insert(inputs.end(), {p.image, p.labels});
    inputs.push_back(o.list);
    const std::vector<OutputFile> outputs = CheckOutputs(o.table.outputs, inputs);
    const std::vector<PlannedNode> plan = PlanNodes(module, o.table.selection, err);

    // One node set per worker, made here so that a failure to make one is
    // reported before any image is read.
    const unsigned jobs = static_cast<unsigned>(
        std::min<std::size_t>(o.jobs ? o.jobs : DefaultJobs(), pairs.size()));
    std::vector<std::unique_ptr<NodeSet>> sets;
    for (unsigned j = 0; j < jobs; ++j) sets.push_back(std::make_unique<NodeSet>(module, plan));

    std::ostream tableOut(out.rdbuf());
    CoutToCerr redirect(outputs.empty());
    TableWriter writer(outputs, tableOut);
    Progress progress(err, *mode, pairs.size());
    const TableOptions& t = o.table;

    auto work = [&](unsigned worker, std::size_t item) -> ImageResult {
        const ImagePair& pair = pairs[item];
        std::ostringstream warnings;
        ImageResult result;
        try {
            Clock::time_point mark = Clock::now();
            const std::unique_ptr<CImage> grey = LoadNodeImage(pair.image, t.native, t.limits, false, warnings);
            const std::unique_ptr<CImage> labels = LoadNodeImage(pair.labels, t.native, t.limits, true, warnings);
            result.readSeconds = Since(mark);
            mark = Clock::now();
            result.largest = LargestLabel(*labels);
            std::vector<uint32_t> present;
            NodeSet& nodes = *sets[worker];
            // With --keep-going too, a node that fails fails the image: the
            // columns of the table must not change from image to image.
            for (std::size_t i = 0; i < nodes.Size(); ++i)
                result.blocks.push_back(nodes.Run(i, *grey, *labels, result.largest, present));
            result.runSeconds = Since(mark);
        } catch (...) {
            throw ImageFailure(std::current_exception(), warnings.str());
        }
        result.warnings = warnings.str();
        return result;
    };

    double readSeconds = 0, runSeconds = 0, writeSeconds = 0;
    std::size_t written = 0, skipped = 0;
    std::optional<Failure> stop, firstSkipped;

    // Skips the image with --keep-going, else records why the batch stops.
    auto imageFailed = [&](std::size_t item, const Failure& f) {
        // A reader's message names its file already; the image is not named twice.
        const std::string& image = pairs[item].image;
        Failure named{f.kind, f.message.rfind(image + ": ", 0) == 0 ? f.message : image + ": " + f.message};
        if (!t.keepGoing) {
            stop = named;
            return false;
        }
        progress.ItemSkipped(pairs[item].image, "skipped " + named.message);
        if (!firstSkipped) firstSkipped = named;
        ++skipped;
        return true;
    };

    auto deliver = [&](std::size_t item, ImageResult&& result) {
        EachLine(result.warnings, progress);
        std::vector<std::string> columns;
        for (const NodeBlock& b : result.blocks) columns.insert(columns.end(), b.columns.begin(), b.columns.end());
        if (!writer.Begun()) {
            // The total size is unknown while the table is written, so a TIFF
            // output is always BigTIFF: a classic TIFF that reached 4 GiB at
            // the end would lose the whole batch.
            writer.Begin({true, columns, true});
        } else if (columns != writer.Shape().features) {
            // A node whose feature count follows the input cannot share the
            // first image's columns.
            const std::string message = "its columns differ from those of the first image written (" +
                                        std::to_string(columns.size()) + " against " +
                                        std::to_string(writer.Shape().features.size()) + ")";
            if (!imageFailed(item, {Failure::Node, message})) Throw(*stop);
            return;
        }
        const Clock::time_point mark = Clock::now();
        RowAssembler rows(result.blocks, result.largest);
        for (uint32_t label = 1; label <= result.largest && label != 0; ++label)
            writer.Row(pairs[item].image, item, label, rows.Row(label));
        writeSeconds += Since(mark);
        readSeconds += result.readSeconds;
        runSeconds += result.runSeconds;
        ++written;
        progress.ItemDone(pairs[item].image);
    };

    auto failed = [&](std::size_t item, std::exception_ptr error) {
        Failure f;
        try {
            std::rethrow_exception(error);
        } catch (const ImageFailure& e) {
            EachLine(e.Warnings(), progress);
            f = Classify(e.Cause());
        } catch (...) {
            f = Classify(std::current_exception());
        }
        return imageFailed(item, f);
    };

    // A small window of finished images waits for its turn: enough to keep
    // every worker busy while a slow image holds up the order.
    RunOrdered<ImageResult>(pairs.size(), jobs, std::size_t{2} * jobs, work, deliver, failed);
    if (stop) Throw(*stop);
    if (written == 0) {
        // Nothing to write: the failure of the first image is the batch's.
        Failure f = *firstSkipped;
        f.message = "every image was skipped, no table written (the first: " + f.message + ")";
        Throw(f);
    }
    const Clock::time_point mark = Clock::now();
    for (const std::string& warning : writer.Finish()) progress.Message("warning: " + warning);
    writeSeconds += Since(mark);
    progress.Finish();
    if (o.table.timings) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "timings: read %.3f s, run %.3f s (both summed over %u jobs), write %.3f s, wall %.3f s", readSeconds,
                      runSeconds, jobs, writeSeconds, Since(start));
        err << line;
        if (const long kib = Timings::PeakMemoryKiB(); kib >= 0) err << ", peak memory " << (kib + 512) / 1024 << " MiB";
        err << std::endl;
    }
}

}  // namespace regionfeat
