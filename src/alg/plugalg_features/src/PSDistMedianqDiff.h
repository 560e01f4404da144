#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "SDistMedianqDiff": the robust counterpart of SdistAveVar. Every pixel of a
// region's bounding box (of the region or not) goes into distance bin
// k = trunc(d), d its distance from the region's main axis (the shared axis
// distance routine in double precision, AxisDistance.h); bins 0 .. 9 are kept.
// Per bin of n values s0 <= ... <= s(n-1): column 2k = s[n / 2] (the median) and
// column 2k + 1 = s[3n / 4] - s[n / 4] (the 75 % - 25 % quantile difference, in
// float). Empty bins give 0 and 0.
//
// The values of all bins share one buffer, each bin a slice of it sized by a
// counting pass; the buffer and the distance array are reused from region to
// region and released when Run ends. Only the three order statistics are
// needed, so each bin is partially ordered (nth_element) instead of sorted; the
// values at those ranks are the same as after a full ascending sort.
//
// Decisions of ours:
// - NaN grey values rank above every number (a total order), so a bin's
//   statistics take them as its largest values instead of depending on where a
//   sort happens to leave them.
// - Input 0 of type IMAGE_GREY_8 is accepted and its pixels are converted to
//   float values for the grey-value crop.
// - ComputeRegion with images that are not float throws CException with the
//   node's location; crops of different sizes leave features untouched.
class CPSDistMedianqDiff : public CPNode {
public:
    CPSDistMedianqDiff();
    ~CPSDistMedianqDiff() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Two crops of the region's box: the grey-value crop and the mask crop. Null
    // images or crops of different width or height leave features untouched;
    // otherwise columns 0 .. 19 are set (a shorter vector throws std::out_of_range).
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t m_nFeatures = 20;
    // Work arrays reused from region to region and released when Run ends.
    std::vector<float> m_distances;
    std::vector<float> m_values;
};

}  // namespace KELO
