#pragma once

#include <cstdint>
#include <vector>

#include "AutoThreshold.h"
#include "kelo/Node.h"

namespace KELO {

// "XYInteractionHist": per region, for the darkest and for the brightest pixels
// of the bounding box (the sets of XYEntropy: thresholds from every pixel of the
// box, whatever its label; see AutoThreshold.h), the 5-bin histogram of the
// interaction exp(-0.05 d^2) over all ordered pixel pairs of the set, d their
// distance. Bin b holds the pairs with trunc(5 exp(-0.05 d^2)) = b (at most 4),
// divided by n^2 for a set of n pixels. Columns 0 .. 4: dark set, 5 .. 9: bright
// set; an empty set leaves its five columns 0.
//
// A pair's bin depends only on the offset between its two pixels, and only
// offsets with d^2 <= 32 fall in bins 1 to 4. The pairs are therefore counted
// per offset within that reach, on the set as rows of bits, and bin 0 gets all
// remaining pairs: n^2 minus the others. The cost follows the box area, not
// n^2. The counts are exact integers; the bins hold what a double raised by 1.0
// per pair would hold (exact up to 2^53 pairs, where such a double stops
// growing), divided by float(n)^2 widened to double.
//
// Grey values outside [0, 256) are saturated (below 0 as 0, 256 and above as
// 255) and NaN belongs to neither set, as in XYEntropy.
class CPXYInteractionHist : public CPNode {
public:
    CPXYInteractionHist();
    ~CPXYInteractionHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // The 10 features of one region, written over features[0 .. 9]. grey is the
    // whole input 0 (float, plane 0 read); mask is the region's mask crop, of
    // which only the width and height are used; (x0, y0) is the crop's origin in
    // grey. With grey or mask absent all 10 are 0. A box that does not lie
    // inside grey, or a grey image that is not IMAGE_GREY_F, is refused with a
    // CException. A set whose position list or bit rows cannot be allocated
    // leaves its five features 0.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, int64_t x0, int64_t y0,
                               std::vector<double>& features) const;

    // The ordered pairs of a set per bin (see the class comment): positions
    // relative to a w x h box, in any order, each at most once. counts[b] gets
    // the exact number of pairs in bin b. Throws std::bad_alloc when the bit
    // rows of the box cannot be allocated.
    static void CountPairsByBin(const std::vector<autothreshold::Position>& set, int64_t w, int64_t h,
                                uint64_t counts[5]);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 10;
};

}  // namespace KELO
