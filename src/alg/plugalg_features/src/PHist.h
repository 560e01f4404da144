#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Hist": the normalised 256-bin grey-level histogram of each region's own
// pixels, over every plane of the region's box.
//
// Grey values are expected in [0, 256). A pixel of the region outside that range
// (negative, 256 or more, NaN) belongs to no bin but still counts as one of the
// region's pixels, so every bin stays the fraction of the region's pixels that
// fall into it and such a region's bins sum to less than 1.
class CPHist : public CPNode {
public:
    CPHist();
    ~CPHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Fills histogram (at least 256 values) from the grey values of input 0 at the
    // voxels where mask is not 0; mask voxel (i, j, k) lies at (x0 + i, y0 + j, z0 + k).
    // Both images must be IMAGE_GREY_F and the mask's box must lie inside the grey
    // image; otherwise CException.
    void RegionHistogram(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0, int64_t z0,
                         std::vector<double>& histogram) const;

    // What Run computes instead, in one pass over the nVoxels voxels of the grey
    // and the label image: the histograms of the regions with labels first ..
    // first + n - 1 into rows (n rows of 256 floats, all zero on entry), row r
    // equal bit for bit to RegionHistogram with the 3-D mask of label first + r
    // over its box. Rows of labels that no voxel holds stay zero.
    static void AllRegionHistograms(const float* grey, const float* labels, int64_t nVoxels, uint32_t first,
                                    uint32_t n, float* rows);

private:
    bool verbose = false;
    int32_t m_nFeatures = 256;
};

}  // namespace KELO
