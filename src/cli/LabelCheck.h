// Warnings about a label image whose results a user would not expect. They
// never change what the node computes; the command line prints each as one
// line on standard error before the node runs.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ImageIO.h"

namespace regionfeat {

// One pass over the labels as the node will see them (converted to float, or
// in their stored type with native):
// - label values of 1 and more that are not whole numbers: the region table
//   truncates them toward zero, while nodes that build a region mask compare
//   pixel == label, so such pixels are missing from those masks;
// - whole numbers from 2^24 + 1 to 2^32 - 1 that conversion to float changes
//   (integer files of 32 or 64 bits, float64 files), so that distinct labels
//   may merge (and the largest ones round up to 2^32, background);
// - regions whose bounding boxes add up to more than 16 times the image, the
//   pixels that nodes working per box must visit.
// The box check keeps one box per label number and is skipped when the
// largest label exceeds max(2^20, pixels / 4), so that its table never costs
// more than 16 MiB or the label image's own size.
// Each warning is one line without the file name and without a line end.
std::vector<std::string> LabelWarnings(const Raster& labels, bool native);

// The same checks over samples that arrive in pieces, in memory order, as a
// reader delivers them: Add each piece, then ask for Warnings.
class LabelScan {
public:
    LabelScan(SampleType type, int64_t width, int64_t height, int64_t depth, bool native);
    ~LabelScan();
    LabelScan(const LabelScan&) = delete;
    LabelScan& operator=(const LabelScan&) = delete;
    // The next count samples of the stored type, machine byte order.
    void Add(const void* samples, std::size_t count);
    std::vector<std::string> Warnings() const;

private:
    struct State;
    std::unique_ptr<State> m;
};

}  // namespace regionfeat
