#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "RelnbhHist": per region, the relative frequencies of the 8 neighbour relation
// codes of the region's grey-value crop (see NeighbourRelations.h). Every pixel of
// the bounding box but the last column and row, whatever its label, is compared
// with its right, lower and lower-right neighbour; a neighbour differs when the
// grey values differ by more than 5 (a NaN difference does not).
// Column c = right + 2 * lower + 4 * lower-right; the share is count / N with
// N = (w - 1) * (h - 1) formed in single precision, so a box narrower or lower
// than 2 gives all 0.
//
// Input 0 may be float or 8-bit; the crop of an 8-bit image holds its values
// converted one by one to float, so it gives the features of its float copy.
class CPRelnbhHist : public CPNode {
public:
    CPRelnbhHist();
    ~CPRelnbhHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Region form: region is the grey-value crop (IMAGE_GREY_F, plane 0 read).
    // Writes features[0 .. 7]; all 0 when region is null. A crop of another type
    // throws CException; fewer than 8 features throw std::out_of_range.
    virtual void ComputeRegion(const CImage* region, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    CValueVector m_values;  // kept empty; part of the node's layout only
    bool verbose = false;
    int32_t m_nFeatures = 8;
};

}  // namespace KELO
