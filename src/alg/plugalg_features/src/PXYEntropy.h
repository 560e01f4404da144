#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "XYEntropy": how concentrated the positions of the darkest and of the
// brightest pixels of each region's bounding box are. The two automatic
// thresholds come from a 256-level histogram of every pixel of the box (the
// region mask is not consulted, so pixels of other labels and of the background
// inside the box count too); the dark set is the box's pixels below the lower
// threshold, the bright set those above the upper one (see AutoThreshold.h).
// Feature 0 (dark set) and feature 1 (bright set) are the mean of
// exp(-0.1 * d^2) over all ordered pixel pairs of the set, d their distance:
// 1 for a set in one spot, towards 0 for a scattered set, 0 for an empty set.
//
// Grey values outside [0, 256) have no histogram counter. They are neither
// rejected nor skipped but saturated: below 0 counts and compares as 0, 256 and
// above as 255, so such an image gives the features of the same image clipped
// to [0, 255]. NaN counts nowhere and belongs to neither set.
class CPXYEntropy : public CPNode {
public:
    CPXYEntropy();
    ~CPXYEntropy() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // The two features of one region. grey is the whole input 0 (float, plane 0
    // is read); mask is the region's mask crop, of which only the width and
    // height are used; (x0, y0) is the crop's origin in grey. With grey or mask
    // absent both features stay 0. A box that does not lie inside grey, or a
    // grey image that is not IMAGE_GREY_F, is refused with a CException.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0,
                               std::vector<double>& features) const;

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 2;
};

}  // namespace KELO
