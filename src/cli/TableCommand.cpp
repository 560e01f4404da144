#include "TableCommand.h"

#include "CommandSupport.h"
#include "Progress.h"
#include "TableWriter.h"
#include "TiffIO.h"
#include "Timings.h"

namespace regionfeat {

using namespace KELO;

namespace {

// The message of a node failure without its "<Node>: " prefix.
std::string WithoutNode(const std::string& message, const std::string& node) {
    const std::string prefix = node + ": ";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

}  // namespace

void TableCommand(const Module& module, const TableOptions& o, const std::string& image, const std::string& labels,
                  std::ostream& out, std::ostream& err) {
    Timings timings;
    std::vector<std::string> inputs = FilesNamedByParameters(o.selection);
    inputs.insert(inputs.end(), {image, labels});
    const std::vector<OutputFile> outputs = CheckOutputs(o.outputs, inputs);
    const std::vector<PlannedNode> plan = PlanNodes(module, o.selection, err);
    NodeSet nodes(module, plan);

    // The table keeps the stream it was given; nodes' own text goes to
    // standard error while the table is on standard output.
    std::ostream tableOut(out.rdbuf());
    CoutToCerr redirect(outputs.empty());

    const std::unique_ptr<CImage> grey = LoadNodeImage(image, o.native, o.limits, false, err);
    const std::unique_ptr<CImage> labelImage = LoadNodeImage(labels, o.native, o.limits, true, err);
    timings.Mark("read");

    const uint32_t largest = LargestLabel(*labelImage);
    std::vector<uint32_t> present;
    std::vector<NodeBlock> blocks;
    for (std::size_t i = 0; i < nodes.Size(); ++i) {
        try {
            blocks.push_back(nodes.Run(i, *grey, *labelImage, largest, present));
        } catch (const NodeError& e) {
            if (!o.keepGoing) throw;
            err << "warning: " << nodes.Name(i) << " left out: " << OneLine(WithoutNode(e.what(), nodes.Name(i)))
                << std::endl;
        } catch (const OutOfMemory& e) {
            if (!o.keepGoing) throw;
            err << "warning: " << nodes.Name(i) << " left out: " << OneLine(WithoutNode(e.what(), nodes.Name(i)))
                << std::endl;
        }
    }
    if (blocks.empty()) throw NodeError("every selected node was left out; there is no table to write");
    timings.Mark("run");

    TableShape shape;
    for (const NodeBlock& b : blocks) shape.features.insert(shape.features.end(), b.columns.begin(), b.columns.end());
    // The row count is known here, so a TIFF is BigTIFF only where a classic one would not do.
    const uint64_t cells = (static_cast<uint64_t>(shape.features.size()) + 1) * largest;
    shape.bigTiff = NeedsBigTiff(cells * sizeof(float));

    TableWriter writer(outputs, tableOut);
    writer.Begin(shape);
    RowAssembler rows(blocks, largest);
    for (uint32_t label = 1; label <= largest && label != 0; ++label) writer.Row({}, 0, label, rows.Row(label));
    for (const std::string& warning : writer.Finish()) err << "warning: " << warning << std::endl;
    timings.Mark("write");
    if (o.timings) timings.Print(err);
}

}  // namespace regionfeat
