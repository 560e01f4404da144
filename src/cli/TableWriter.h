// The feature table written row by row into every output as the rows are
// made, so that no copy of the whole table is ever held.
//
// Formats by extension, as for `run`:
// - .csv / .tsv: a header line, then one line per row; numbers as FormatFloat
//   writes them ("nan", "inf", "-inf" included).
// - .json: {"columns": [...], "rows": [[...], ...]}, streamed; labels are
//   integers, the image is a string, a value that is not finite is null (JSON
//   has no NaN or infinity; the other formats keep them).
// - .npy: a float32 matrix with the same columns as the CSV, the image as its
//   0-based index in the batch's list. The shape is patched into the header
//   once the row count is known. float32 holds labels exactly only up to
//   2^24; above that a warning says so (the CSV, TSV and JSON stay exact).
// - .tif / .tiff: the same float32 matrix as one page (TiffRowWriter); BigTIFF
//   when the caller says the table may pass 4 GiB.
// Without output files the CSV goes to the given stream.
//
// Files appear whole or not at all: each is written under a temporary name
// beside its target and renamed into place by Finish (StagedOutputs).
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CommandSupport.h"
#include "Output.h"

namespace regionfeat {

// The columns of a table: "label" (batch: "image", "label"), then features.
struct TableShape {
    bool withImage = false;
    std::vector<std::string> features;
    bool bigTiff = false;  // write a TIFF output as BigTIFF
};

class TableWriter {
public:
    // files as CheckOutputs returned them; none: CSV on out.
    TableWriter(const std::vector<OutputFile>& files, std::ostream& out);
    // An unfinished table removes its temporary files.
    ~TableWriter();
    TableWriter(const TableWriter&) = delete;
    TableWriter& operator=(const TableWriter&) = delete;

    // Creates the outputs and writes their headers. Throws ImageIOError.
    void Begin(const TableShape& shape);
    bool Begun() const { return m_begun; }
    const TableShape& Shape() const { return m_shape; }
    // One row: features holds Shape().features.size() values. image and
    // imageIndex are used only when the shape has the image column.
    void Row(const std::string& image, uint64_t imageIndex, uint32_t label, const float* features);
    // Completes every output and renames the files into place. Returns the
    // warnings about the written files, one line each without "warning: ".
    // Throws ImageIOError naming the target, OutOfMemory.
    std::vector<std::string> Finish();

    class Sink;

private:
    std::vector<OutputFile> m_files;
    std::ostream& m_out;
    TableShape m_shape;
    bool m_begun = false;
    StagedOutputs m_staged;
    std::vector<std::unique_ptr<Sink>> m_sinks;
};

// The header of an NPY file of a float32 matrix of rows x columns, padded to
// 128 bytes so that any row count fits when it is patched in at the end.
std::string NpyMatrixHeader(uint64_t rows, uint64_t columns);

}  // namespace regionfeat
