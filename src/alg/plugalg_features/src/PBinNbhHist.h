#pragma once

#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "BinNbhHist": the normalised histogram of the 16 binary 2 x 2 configurations
// (pixel, right, lower and lower-right neighbour) of each region. A pixel is on
// when its grey value differs by more than 5 from the masked running mean of
// radius 10 of the region's grey values (along rows, then along columns);
// neighbours outside the region count as off. Column k = b0 + 2 b1 + 4 b2 + 8 b3.
//
// Only the region's bounding box of the grey image is copied and smoothed: the
// running means read and change nothing outside the box, and the
// configurations read the smoothed values only inside it.
//
// Grey values: any float value is accepted, also negative ones, values of 256
// and more, infinities and NaN. They enter the running sums as they are, and a
// pixel whose comparison |g - s| > 5 involves a NaN is off. A non-finite value
// therefore reaches far beyond its own bit: the running sums carry a NaN to the
// end of its row of the box, and the pass along columns carries it on to the
// bottom of every column it reached, so every region pixel from 10 positions
// before it (in its row, then in those columns) to the right and bottom edges
// of the box gets a NaN mean and is off; one NaN near the top left corner of a
// compact region switches off all its bits. An infinity gives the pixels whose
// window holds it an infinite mean (on, unless the pixel is the infinity itself)
// and those past it inf - inf = NaN (off). A configuration is always one of the
// 16 columns, so no grey value can make the node count outside its histogram.
//
// When the scratch memory of the running means cannot be had, there is no local
// mean to compare with: the region's features stay 0, as when the working copy
// of the box cannot be allocated.
class CPBinNbhHist : public CPNode {
public:
    CPBinNbhHist();
    ~CPBinNbhHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Mask form: grey is the whole input 0 (float, plane 0 used); mask is the
    // region's mask crop, whose pixel (i, j) lies at (x0 + i, y0 + j) of grey.
    // Writes the 16 configuration frequencies to features[0 .. 15]; leaves them
    // untouched when the working copy of the box cannot be allocated. A grey
    // image or mask that is not float, or a box that does not lie inside grey,
    // throws std::invalid_argument or std::out_of_range (Run never hands one).
    virtual void ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                               std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    CValueVector m_values;  // kept empty; part of the node's layout only
    bool verbose = false;
    int32_t m_nFeatures = 16;
};

}  // namespace KELO
