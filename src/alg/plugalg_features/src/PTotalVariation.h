#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "TotalVariation": the discrete total variation of the grey-value image over
// each region's own voxels, over every plane of the region's box: the sum of the
// lengths of the forward-difference gradients. A difference is left out only
// where the neighbour lies beyond the region's clipped box; inside the box it is
// read from the grey image whatever label the neighbour has.
//
// Departures from the common frame: the region's 3-D mask over its clipped box
// instead of a plane-0 crop, and grey values read from input 0 at the box's
// offsets.
class CPTotalVariation : public CPNode {
public:
    CPTotalVariation();
    ~CPTotalVariation() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Writes the total variation of the voxels where mask is not 0.0 into
    // features[0]; mask voxel (i, j, k) lies at (x0 + i, y0 + j, z0 + k) of grey.
    // A null image or a mask of no voxels gives 0.0. Both images must be
    // IMAGE_GREY_F and the mask's box must lie inside grey, otherwise CException;
    // an empty vector throws std::out_of_range.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0, int64_t z0,
                               std::vector<double>& features);
    // Output 1: one inner vector named "Mean grey level".
    virtual void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions);

private:
    bool verbose = false;
    int32_t m_nFeatures = 1;
};

}  // namespace KELO
