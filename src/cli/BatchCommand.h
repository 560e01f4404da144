// `regionfeat batch`: the table of `table` for many image pairs, one long
// table with the image first, computed in parallel over images and written in
// the order of the input.
#pragma once

#include <ostream>
#include <string>

#include "ModuleLoader.h"
#include "TableCommand.h"

namespace regionfeat {

struct BatchOptions {
    TableOptions table;       // nodes, parameters, outputs, --keep-going, reading
    std::string list;         // LIST.csv with image and labels columns, or
    std::string imageGlob;    // --images GLOB together with
    std::string labelPattern; // --labels PATTERN ({dir} {name} {stem} {ext})
    unsigned jobs = 0;        // 0: DefaultJobs()
    std::string progress = "auto";
};

// Runs the selected nodes on every image pair, each worker thread with its own
// node instances, and writes the rows image by image in list order. The
// columns are those of the first image written; every later image must give
// the same. A failing image (unreadable, a node fails, other columns) stops
// the batch with "<image>: <error>" and the error's status, writing nothing;
// with keepGoing it is reported as skipped and left out, and only a batch in
// which every image failed is an error. Usage errors, missing files and
// outputs that would overwrite an input (any image or label file, the list)
// are refused before any image is read.
void BatchCommand(const Module& module, const BatchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace regionfeat
