#pragma once

#include <cstdint>

#include "kelo/Node.h"

namespace KELO {

// "Median": the median of the grey values of each region's own pixels in plane 0;
// for an even count the upper of the two middle values. Run collects the values
// of each region itself (there is no region image and no ComputeRegion) and picks
// the value by partial selection.
//
// Departures from the common frame:
// - No region at all: "empty_image_exception" (default true) is read straight
//   from the parameter map. True throws; false prints a warning and outputs
//   1 x 0 pixels and one empty value vector named "Median".
//
// Decisions of ours:
// - A region with no pixel in plane 0 (its label occurs only in later planes)
//   has no median; its row gets 0.0, the value of a label that does not occur.
// - NaN grey values take part as values above every number (+infinity
//   included), so a region keeps its pixel count and its median is NaN only
//   when NaN stands at or above the middle. Without NaN the result is that of
//   the ordinary less-than.
class CPMedian : public CPNode {
public:
    CPMedian();
    ~CPMedian() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 1;
};

}  // namespace KELO
