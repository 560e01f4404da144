// The result of a run as a table and as files: number formatting, CSV/TSV,
// column names, and files that appear complete or not at all.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ImageIO.h"
#include "kelo/Value.h"

namespace regionfeat {

// Shortest text that reads back (strtof) as the same float: "0.1", "1e+20",
// and "nan", "inf", "-inf" for the non-finite values (any NaN is "nan").
std::string FormatFloat(float value);
// The same for a double.
std::string FormatDouble(double value);

// Output 0 as a table: one row per label (row r is label r + 1), one column per
// feature. A 3-D output stacks its planes as further rows.
struct Table {
    int64_t rows = 0, columns = 0;
    std::vector<float> values;  // row-major
    std::vector<std::string> names;
    // The label of each row, where the rows are not labels 1, 2, ... in turn.
    std::vector<uint32_t> labels;
};

// Column names: output 1's "FeatureName" metas, else the setup description's
// "FeatureNames", else f0, f1, ... The choice is made per column, so a node
// that publishes an empty or missing name for one feature still gets a header
// without holes.
std::vector<std::string> ColumnNames(const KELO::CValue* output1, const KELO::CValueMap& setup, int64_t columns);

Table MakeTable(const KELO::CImage& matrix, const KELO::CValue* output1, const KELO::CValueMap& setup);

// A CSV field, quoted when it holds a comma, quote or line break; a TSV
// field, with tabs and line breaks turned into blanks.
std::string CsvField(const std::string& text);
std::string TsvField(std::string text);

// Header "label" and the column names, then one line per row, fields separated
// by separator (',' or '\t'). CSV fields that hold a comma, quote or line break
// are quoted; in TSV such characters become blanks.
void WriteDelimited(std::ostream& out, const Table& table, char separator);

// Output files staged under temporary names and renamed into place together,
// for writers that stream into several files at once. Each temporary file is
// ".NAME.tmp-XXXXXX" in its target's directory, registered for removal on
// the signals of TempFiles.h; whatever was not published is
// removed when the object ends.
class StagedOutputs {
public:
    StagedOutputs() = default;
    ~StagedOutputs();
    StagedOutputs(const StagedOutputs&) = delete;
    StagedOutputs& operator=(const StagedOutputs&) = delete;

    // Creates the temporary file of target, with the mode a finished file
    // gets, and returns its path. Throws ImageIOError naming the target.
    std::string Stage(const std::string& target);
    // Renames every staged file onto its target; a signal waits until all are
    // in place. Throws ImageIOError naming the target that failed.
    void Publish();
    // Removes the temporary files not yet published.
    void Discard();
    // A message that starts with a temporary path, told with its target instead.
    std::string InTermsOfTargets(const std::string& message) const;

private:
    std::vector<std::string> m_targets, m_temps;  // a published file's temp is ""
};

// Files that appear completely or not at all. Each is written to a temporary
// file in its own directory; only when every one has been written are they
// renamed into place. On any failure, and on SIGINT, SIGTERM, SIGHUP or SIGPIPE (see
// TempFiles.h), the temporary files are removed and the targets are left as
// they were.
class FileSet {
public:
    // writer writes the whole content to the temporary path it is given.
    void Add(const std::string& path, std::function<void(const std::string& tempPath)> writer);
    // Throws ImageIOError (the message names the file) on failure, OutOfMemory
    // when a writer runs out of memory.
    void Commit();

private:
    struct Item {
        std::string path;
        std::function<void(const std::string&)> writer;
    };
    std::vector<Item> m_items;
};

// The directory part of a file path: "." for a bare name, "/" for "/name".
std::string DirectoryOf(const std::string& path);

// Writes text to path (plain, not atomic); throws ImageIOError.
void WriteTextFile(const std::string& path, const std::string& text);

}  // namespace regionfeat
