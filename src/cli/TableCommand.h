// `regionfeat table`: every selected node on one image pair, one wide table
// with a row per label and the nodes' columns side by side (FeatureTable.h),
// written as it is made (TableWriter.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "FeatureTable.h"
#include "ImageIO.h"
#include "ModuleLoader.h"

namespace regionfeat {

// What `table` and `batch` share.
struct TableOptions {
    NodeSelection selection;
    std::vector<std::string> outputs;  // files; none: CSV on standard output
    bool keepGoing = false;            // leave out what fails instead of stopping
    bool native = false;               // images in their stored type, as for run
    bool timings = false;              // read, run and write times on standard error
    ReadLimits limits;                 // for every image
};

// Reads the image pair once, runs every selected node on it and writes the
// table. A node that fails stops the command with "<Node>: <message>" (its
// NodeError or OutOfMemory), or with keepGoing is left out with a warning on
// err; every node left out is a NodeError. Usage errors (PlanNodes,
// CheckOutputs) come before any image is read.
void TableCommand(const Module& module, const TableOptions& options, const std::string& image,
                  const std::string& labels, std::ostream& out, std::ostream& err);

}  // namespace regionfeat
