#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "VSlope": per region, the mean vote over all pairs of region pixels five rows
// apart in the same column: +1 when the lower pixel is brighter, -1 otherwise
// (ties and NaN comparisons count -1). The feature lies in [-1, 1]; a region
// with no such pair (less than 6 rows high, or no pair whose both pixels carry
// the label) gives 0. Sum and count are single precision, so past 2^24 pairs
// they stop growing as such counters do.
//
// Input 0 may be float or 8-bit; the crop of an 8-bit image holds its values
// converted one by one to float.
class CPVSlope : public CPNode {
public:
    CPVSlope();
    ~CPVSlope() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // grey: the grey-value crop, mask: the mask crop (both IMAGE_GREY_F, plane 0
    // read). Writes features[0]; 0 when either is null or their widths or heights
    // differ. A crop of another type throws CException; an empty vector throws
    // std::out_of_range.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 1;
};

}  // namespace KELO
