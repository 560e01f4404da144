#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "NbhSpHist": per region, the histograms of the cosine similarities of the
// neighbourhoods of its darkest and of its brightest pixels.
//
// The region's pixels are those of its bounding box, less the outermost rows
// and columns, whose label equals the region's (so all 8 neighbours lie in the
// box). Two automatic thresholds come from their grey levels with the pixel
// count m_nNumberOfPixels (see AutoThreshold.h); the dark set holds the region
// pixels below the lower one, the bright set those above the upper one. Each
// pixel p is described by a(p), the 8 differences g(q) - g(p) to its neighbours
// q (upper left, above, upper right, left, right, lower left, below, lower
// right). For every ordered pair (i, j) of a set, i = j included, the cosine
// s = a_i . a_j / (|a_j| |a_i|) (s = a_i . a_j when a norm is 0), all in single
// precision, falls in bin trunc(5 s + 5), limited to 0 .. 9; each bin is then
// divided by m^2 for a set of m pixels. Columns 0 .. 9: dark set, 10 .. 19:
// bright set.
//
// The cosine of a pair depends only on the two vectors, and the same for both
// orders; so pixels with bit-identical vectors are taken together and each pair
// of distinct vectors once. A flat region (every vector 0) thus costs one pair,
// not m^2. Bins are counted exactly and hold what a float raised by 1.0 per
// pair would hold (exact up to 2^24, where such a float stops growing).
//
// Run refuses a grey image with any value outside [0, 256) or NaN, anywhere in
// the image. ComputeRegion itself reads any float value; grey values outside
// [0, 256) are saturated for the thresholds and sets (AutoThreshold.h).
class CPNbhSpHist : public CPNode {
public:
    CPNbhSpHist();
    ~CPNbhSpHist() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // The 20 bins of the region with the given label whose box is x0 .. x0 + w -
    // 1, y0 .. y0 + h - 1 of plane 0 of grey and labels (both IMAGE_GREY_F, of
    // one size), written to features[0 .. 19]. A box outside the images or
    // images of another type or size are refused with a CException; fewer than
    // 20 features throw std::out_of_range. A set whose list cannot be allocated
    // leaves its bins 0.
    virtual void ComputeRegion(const CImage& grey, const CImage& labels, int64_t x0, int64_t y0, int64_t w, int64_t h,
                               std::vector<double>& features, uint32_t label);
    // Output 1: one inner vector per column; only column 0 is named, with "".
    virtual void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions);

private:
    bool verbose = false;
    int32_t m_nFeatures = 20;
    int64_t m_nNumberOfPixels = 30;
};

}  // namespace KELO
