#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "RotHistVar": the rotational counterpart of ShiftHistVar. Every region pixel
// is paired with the pixel at its position rotated by 10 degrees about the
// centre (w div 2, h div 2) of the region's bounding box, the rotated position
// truncated toward zero. A pair counts when the partner lies in the box and in
// the region and neither grey value is 0 or 255. The one feature is
// (Va + Vb) - sqrt(4 C^2 + (Va - Vb)^2), twice the smaller eigenvalue of the
// covariance matrix of the pairs, or 0 without a pair.
//
// Decisions of ours:
// - Input 0 of type IMAGE_GREY_8 is accepted: its grey-value crop is made of
//   the 8-bit values converted to float, so an 8-bit image gives exactly the
//   features of the same values in a float image.
// - Grey values are used as they are: only exact 0 and 255 are left out; a NaN
//   or infinite grey value in a pair makes the feature NaN (or infinite).
// - ComputeRegion checks what it is handed: both region images must be
//   IMAGE_GREY_F, else it throws a CException with the node's location. Only
//   their first plane is read.
class CPRotHistVar : public CPNode {
public:
    CPRotHistVar();
    ~CPRotHistVar() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // grey: the region's grey-value crop, mask: its mask crop (pixel != 0 is
    // the region). Sets features[0] to 0 first and stops there when an image is
    // missing or their x or y sizes differ. Fewer than one feature throws
    // std::out_of_range.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 1;
};

}  // namespace KELO
