// What `table` and `batch` share: the node selection and its parameters
// (checked before any image is read), a set of node instances run in turn on
// one image pair, and the joining of their outputs into rows by label.
//
// A row of the table is a label 1..n, n the largest label of the label image,
// as `run` gives them. The node outputs are kept as the nodes made them; rows
// are put together one at a time only as they are written (TableWriter.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ImageIO.h"
#include "ModuleLoader.h"
#include "kelo/Image.h"
#include "kelo/Node.h"

namespace regionfeat {

// The node selection as given on the command line.
struct NodeSelection {
    std::vector<std::string> nodes;       // --nodes, each entry "A" or "A,B,..."
    bool all = false;                     // --all
    std::vector<std::string> parameters;  // -p NODE.KEY=VALUE or NODE.KEY:TYPE=VALUE
};

// A selected node and its own -p settings ("KEY=VALUE", "KEY:TYPE=VALUE"),
// already checked against the node's described parameters.
struct PlannedNode {
    std::string name;
    std::vector<std::string> settings;
};

// Checks the selection against the module and returns the nodes in selection
// order (for --all the module's listing order). Throws UsageError for an
// unknown node (listing the nodes), a node named twice, --nodes together with
// --all or neither, a parameter without "NODE.", for a node not selected, or
// with a key or value the node does not take. Under --all, FromGraph is
// selected only when -p FromGraph.graph=FILE is given, else left out with a
// note on err.
std::vector<PlannedNode> PlanNodes(const Module& module, const NodeSelection& selection, std::ostream& err);

// The existing files that -p values name (FromGraph's graph file): inputs of
// the run, which an output must never replace.
std::vector<std::string> FilesNamedByParameters(const NodeSelection& selection);

// The column names of one node in the table: "Node.feature" for each of its
// features (names as `run` gives them, see ColumnNames in Output.h), a name
// that occurs again within the node suffixed "#2", "#3", ... so that the
// result is unique and depends only on the names given.
std::vector<std::string> NodeColumns(const std::string& node, const std::vector<std::string>& features);

// One node's result on one image pair: its output 0 as it made it, and how
// its rows map onto labels.
struct NodeBlock {
    std::string node;
    std::unique_ptr<KELO::CImage> matrix;  // width = columns, height = rows
    std::vector<std::string> columns;      // NodeColumns of its features
    // Empty: row r is label r + 1. Otherwise the label of each row, ascending
    // (a node that gives rows only for the labels present).
    std::vector<uint32_t> rowLabels;
};

// The labels of a label image as the region table sees them: a float pixel
// truncated toward zero, integer pixels as they are; 1 .. 2^32 - 1.
uint32_t LargestLabel(const KELO::CImage& labels);
// The labels that occur, ascending; one bit per label number of scratch.
std::vector<uint32_t> PresentLabels(const KELO::CImage& labels, uint32_t largest);

// One instance of each planned node with its parameters set. A worker owns
// its own set; instances are never shared between threads.
class NodeSet {
public:
    NodeSet(const Module& module, const std::vector<PlannedNode>& plan);
    ~NodeSet();
    NodeSet(const NodeSet&) = delete;
    NodeSet& operator=(const NodeSet&) = delete;

    std::size_t Size() const { return m_nodes.size(); }
    const std::string& Name(std::size_t i) const { return m_plan[i].name; }

    // Runs node i on the images and takes its output. A failure (the node
    // throws, gives no feature image, or rows that cannot be joined by label)
    // is a NodeError or OutOfMemory whose message starts with "<Node>: ".
    // largest is LargestLabel(labels); present is filled on first need.
    NodeBlock Run(std::size_t i, const KELO::CImage& grey, const KELO::CImage& labels, uint32_t largest,
                  std::vector<uint32_t>& present);

private:
    std::vector<PlannedNode> m_plan;
    std::vector<std::unique_ptr<KELO::CPNode>> m_nodes;
};

// The rows of one image pair: label 1..largest, the blocks' columns side by
// side; a block that has no row for a label gives NaN there.
class RowAssembler {
public:
    RowAssembler(const std::vector<NodeBlock>& blocks, uint32_t largest);
    std::size_t Columns() const { return m_row.size(); }
    uint32_t Rows() const { return m_largest; }
    // Fills and returns the values of the row of label (called with labels
    // 1, 2, ... in turn).
    const float* Row(uint32_t label);

private:
    struct Source {
        const KELO::CImage* matrix;
        const std::vector<uint32_t>* labels;
        std::size_t offset, width, cursor;
    };
    std::vector<Source> m_sources;
    std::vector<float> m_row;
    uint32_t m_largest;
};

}  // namespace regionfeat
