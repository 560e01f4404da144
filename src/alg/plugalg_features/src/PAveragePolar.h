#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "AveragePolar": the disc of radius R = min(w / 2, h / 2) around the centre
// (w / 2, h / 2) of a region's bounding box is cut into m angular sectors
// (PolarSectors.h) times p rings of equal width; column m * ring + sector is the
// mean grey value (float) of the region's pixels in that section, 0 for a
// section without region pixels. Pixels outside the disc, background and other
// labels are ignored. Every column name is empty.
//
// "pieces" is the number of sections n = m * p; m is the divisor of n nearest to
// "angles" (ties to the larger divisor), and the run fails with "Invalid number
// of radii, choose different number of 'pieces' and 'angles'" when that divisor
// is n itself, when n < 1, or when no rings remain. The split is checked once per
// run, after the region count.
//
// Decisions of ours:
// - "pieces" above 65536 is refused by ReadParameters ("pieces has to be <=
//   65536", the node's location) and leaves the member as it was: an absurd
//   count would size every row, the setup's names and the output vectors, and
//   make the divisor scan long. Zero and negative counts pass ReadParameters and
//   fail the run with the split message; the setup then lists no names.
// - The distances |d - angles| of the divisor scan are formed in 64 bits, so
//   any 32-bit "angles" is compared without overflow (a negative or zero
//   request picks m = 1).
// - Input 0 of type IMAGE_GREY_8 is accepted and its pixels are converted to
//   float values for the grey-value crop.
// - ComputeRegion with a null grey crop does nothing, like a null mask; crops
//   of different width or height accumulate nothing.
class CPAveragePolar : public CPNode {
public:
    CPAveragePolar();
    ~CPAveragePolar() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Two crops of the region's box: the grey-value crop and the mask crop.
    // Returns at once for a null image or n < 1; otherwise resizes features to
    // n entries (new ones 0.0) and writes the mean of every section that holds
    // a region pixel. Images that are not float, or a split that does not fit
    // (m < 1, p < 1, m * p > n or n above 65536), throw CException.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features, int64_t n,
                               int64_t m, int64_t p);

    // The number of sectors m for n sections: the divisor of n nearest to
    // angles, or 0 when there is no valid split.
    static int64_t SplitSectors(int64_t n, int64_t angles);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t pieces = 100;
    int64_t angles = 20;
};

}  // namespace KELO
