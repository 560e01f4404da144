#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "LBPHist": per region, the histogram of 8-neighbour local binary pattern codes
// of the grey-value image, 256 bins. Each bin is the share of the region's counted
// pixels with that code, scaled by a weight that depends only on the number k of
// set bits of the code: 9 * C(8, k).
//
// A pixel of the region is counted when it is not on the outermost row or column
// of the region's bounding box; its code has one bit per neighbour, clockwise from
// the upper left (1, 2, 4 above, 8 right, 16, 32, 64 below, 128 left), set when
// the neighbour's grey value is greater than or equal to the pixel's. Neighbours
// are read whatever their label. A region with no counted pixel (a box narrower
// or lower than 3) gets NaN in all 256 columns.
//
// Grey values: the histogram is indexed by the pattern code, never by a grey
// value, so grey values of any magnitude (negative, 256 and more, infinite) are
// taken as they are and compared. A comparison involving NaN is false, so a NaN
// neighbour leaves its bit clear and a NaN centre gets code 0.
class CPLBPHist : public CPNode {
public:
    CPLBPHist();
    ~CPLBPHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Overwrites features[0 .. 255] with the weighted pattern histogram of the
    // region given by mask (IMAGE_GREY_F, 1.0 inside the region); mask pixel (i, j)
    // lies at (x0 + i, y0 + j) of plane 0 of grey (IMAGE_GREY_F). A mask that does
    // not lie inside grey throws CException; fewer than 256 features throw
    // std::out_of_range.
    virtual void ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                               std::vector<double>& features);
    // Output 1: one inner vector of nRegions values per feature column, no
    // "FeatureName" metas.
    virtual void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions);

private:
    float m_weights[256];  // by pattern code, set by the constructor
    bool verbose = false;
    int32_t m_nFeatures = 256;
};

}  // namespace KELO
