#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "ThreePartsRelNbhHist": per region, the relative frequencies of the 27 ternary
// codes of the region's bounding box (see NeighbourRelations.h). Every pixel of
// the box but the last column and row, whatever its label, is compared with its
// right, lower and lower-right neighbour: digit 2 when the neighbour is brighter
// by 2 or more, 1 when the two differ by less than 2, 0 otherwise (darker by 2
// or more, or NaN). Column c = right + 3 * lower + 9 * lower-right; the columns
// of a box at least 2 x 2 sum to 1, a thinner box gives all 0.
//
// Input 0 may be float or 8-bit; 8-bit grey values are read one by one as the
// float of the same value, so an 8-bit image gives the features of its float
// copy. Input 1 is required although its type is checked only when it is
// connected: a missing label image leaves no region table to build from and is
// refused with "Label image is NULL" at the place of the type check.
class CPThreePartsRelNbhHist : public CPNode {
public:
    CPThreePartsRelNbhHist();
    ~CPThreePartsRelNbhHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Mask form: grey is the whole input 0 (IMAGE_GREY_F or IMAGE_GREY_8, plane 0
    // read); of mask only the width and height are used, the box's extents at
    // (x0, y0) in grey. Writes features[0 .. 26]. A box that does not lie inside
    // grey or a grey image of another type throws CException; fewer than 27
    // features throw std::out_of_range.
    virtual void ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                               std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 27;
};

}  // namespace KELO
