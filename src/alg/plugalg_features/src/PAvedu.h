#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Avedu": the average grey value of each region's own pixels in two corner
// windows of its clipped bounding box (plane 0): the top-left window of
// x-Position x y-Position pixels (feature 0) and the bottom-right window of the
// same size (feature 1). A window larger than the box is cut to the box; a
// window with no pixel of the region, or of no pixels at all (a size of 0 or
// less), gives 0.0.
//
// Departures from the common frame: Run builds both the grey-value crop and the
// mask crop of each region, in one pass, and hands both over with the window
// sizes.
//
// Decisions of ours:
// - An 8-bit input 0 is read by converting each byte to its float value while
//   cropping, so it gives what the same image stored as floats gives.
// - The window sizes are not checked: they never size an allocation, and the
//   window limits are formed in 64 bits, so any 32-bit value is safe.
class CPAvedu : public CPNode {
public:
    CPAvedu();
    ~CPAvedu() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // grey and mask: the region's two crops of equal size (IMAGE_GREY_F; plane 0
    // is read). Writes the two window averages into features[0] and features[1];
    // fewer than two values throw std::out_of_range, crops that are not float or
    // differ in width or height throw CException, absent crops give 0.0 twice.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features,
                               int yPosition, int xPosition);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 2;
    int32_t m_yPosition = 50;  // "y-Position": height of each window
    int32_t m_xPosition = 50;  // "x-Position": width of each window
};

}  // namespace KELO
