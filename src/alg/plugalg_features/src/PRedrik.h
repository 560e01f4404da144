#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Redrik": the profile of the rows of each region's grey-value crop. In every
// row the maximum m is found (starting from 0, strictly greater wins, so the
// first position of the maximum counts and a row without positive values has
// m = 0 at position 0), then the minimum l left of it and the minimum r right of
// it, both starting from m. Feature 0 = mean m - mean l, feature 1 = mean m -
// mean r, over all rows of the crop, in single precision. The crop is unmasked:
// background and other labels inside the bounding box take part.
//
// NaN grey values are never taken as the maximum, and std::min keeps the running
// minimum when the value compared is NaN, so NaN pixels are passed over.
// Input 0 may be float or 8-bit; the crop of an 8-bit image holds its values
// converted one by one to float.
class CPRedrik : public CPNode {
public:
    CPRedrik();
    ~CPRedrik() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Region form: region is the grey-value crop (IMAGE_GREY_F, plane 0 read).
    // Writes features[0] and features[1]; both 0 when region is null. A crop of
    // another type throws CException; fewer than 2 features throw
    // std::out_of_range.
    virtual void ComputeRegion(const CImage* region, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 2;
};

}  // namespace KELO
