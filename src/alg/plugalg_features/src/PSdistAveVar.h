#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "SdistAveVar": how the grey values of a region's bounding box spread across the
// region's main axis. Every pixel of the box (of the region or not) is put into
// a bin by its distance from the main axis, bin k holding the distances in
// [2k, 2k + 2); per bin the node reports the mean (column 2k) and the population
// variance (column 2k + 1) of the grey values, in single precision. There are
// number_of_features / 2 bins; pixels farther out are left out. With an odd
// number_of_features the last column has no name and stays 0.
//
// The axis comes from the mask's moments in single precision (the shared axis
// distance routine, AxisDistance.h); without foreground the centre is (0, 0) and
// the axis horizontal, so each pixel's distance is its row in the box.
//
// Decisions of ours:
// - "number_of_features" must lie in 0 .. 65536: ReadParameters refuses a
//   negative value ("number_of_features has to be >= 0") and a larger one
//   ("number_of_features has to be <= 65536") with the node's location, and a
//   refused value leaves the member as it was. 65536 columns already reach
//   65536 pixels from the axis, far beyond any use, while an absurd count would
//   size every row, the setup's names and the output vectors.
// - Input 1 not connected: "Second input image is NULL"; either input holding
//   no image: "First input image is NULL" / "The label image is NULL", all with
//   the node's location, before the label image's type is looked at.
// - Bin counts are 64-bit; a distance that is not a number falls in no bin.
class CPSdistAveVar : public CPNode {
public:
    CPSdistAveVar();
    ~CPSdistAveVar() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Mask form: grey is the whole input 0 (float, plane 0 used), mask the
    // region's mask crop whose pixel (i, j) lies over (x0 + i, y0 + j) of grey.
    // A null image leaves features untouched. Writes columns 0 .. 2 * bins - 1;
    // a shorter vector throws std::out_of_range, images that are not float or a
    // mask that does not lie inside grey throw CException.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0,
                               std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t number_of_features = 20;
    // Work arrays reused from region to region and released when Run ends.
    std::vector<float> m_distances;
    std::vector<float> m_sum, m_sumSquares;
    std::vector<int64_t> m_count;
};

}  // namespace KELO
