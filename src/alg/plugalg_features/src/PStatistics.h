#pragma once

#include <cstddef>
#include <vector>

#include "RegionTable.h"
#include "kelo/Node.h"

namespace KELO::features {

// "Statistics": mean, variance (divisor n), maximum and minimum of the grey values
// of each label's pixels, and with "extended" also their sum, sum of squares and
// count. Both inputs may be float, 8-, 16- or 32-bit unsigned grey or binary
// images; without a label image every pixel of input 0 (all planes) forms one
// region and the output has one row. Run makes one pass over the box that holds
// all labelled pixels, with one accumulator set per row.
//
// Label pixels that have no row:
// - A float label is the row (label - 1.0f) truncated toward zero, so a value in
//   (0, 1) counts for row 0 where it lies inside the scanned box (the box is taken
//   from the region table, which sees such values as background).
// - Float labels that are negative, NaN, infinite, or whose row lies beyond the
//   region table (2^32 and above, or a large label whose float row rounds past the
//   last record) are skipped like background: they add to no row, and nothing
//   outside the accumulator arrays is touched.
// Pixel counts are kept in 64 bits, so a region of more than 2^31 pixels cannot
// overflow its counter.
class CPStatistics : public CPNode {
public:
    CPStatistics();
    ~CPStatistics() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Above this many regions the labels (read as float) no longer map one to one
    // onto rows, which Run reports whether or not verbose is set.
    static constexpr std::size_t kExactLabelLimit = 16777216;

    // The lines Run prints once the region table is built: the region count when
    // verbose, and the warning about inexact large labels always.
    static void ReportRegionCount(std::size_t nRegions, bool verbose);

private:
    // The accumulation pass for data pixels of type D and label pixels of type L
    // (labels null: whole-image mode). Writes nF columns per row into matrix and
    // sets nonEmpty to the number of records whose three extents are all >= 1.
    template <class D, class L>
    static void CalcStatistics(const CImage& data, const L* labels, const std::vector<RegionInfo>& table,
                               float* matrix, std::size_t& nonEmpty, bool extended);

    bool verbose = false;
    bool extended = false;
};

}  // namespace KELO::features
