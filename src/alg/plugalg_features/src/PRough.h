#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Rough": per region, the number of pixels of the grey-value crop that lie more
// than 11 below the mean of the non-zero values in their 5 x 5 neighbourhood.
// The crop is unmasked, so other labels and the background inside the bounding
// box take part; the window is clipped at the crop's border, never at the
// image's. A pixel of value 0 is background: it is not smoothed (so never
// counts) and adds nothing to its neighbours' means.
//
// The window sums come from two single-precision summed-area tables, each built
// by running sums along the rows and then down the columns, and are read as
// S(right, bottom) - S(left - 1, bottom) - S(right, top - 1) + S(left - 1, top - 1)
// in that order, a corner outside the crop giving 0. Integer grey values
// therefore give exact sums as long as a table entry stays below 2^24.
//
// Grey values are taken as they are: NaN (or an infinity) is foreground and
// spoils every table entry below and right of it, so also windows that reach past
// it without holding it get a NaN mean (the differences of two NaN entries); their
// pixels do not count (a NaN comparison is false).
// Input 0 may be float or 8-bit; the crop of an 8-bit image holds its values
// converted one by one to float.
class CPRough : public CPNode {
public:
    CPRough();
    ~CPRough() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Region form: region is the grey-value crop (IMAGE_GREY_F, plane 0 read);
    // writes features[0], 0 when region is null. A crop of another type throws
    // CException; an empty vector throws std::out_of_range.
    virtual void ComputeRegion(const CImage* region, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 1;
};

}  // namespace KELO
