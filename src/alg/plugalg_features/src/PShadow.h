#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Shadow": the grey values just beside each region along its rows. For every
// region pixel, the pixels 1 to 5 columns to its left and to its right that lie
// inside the bounding box but outside the region (background or another label)
// are averaged per side and distance: columns 0-4 left at distances 1-5,
// columns 5-9 right at distances 1-5 (float sums and counts in scan order).
// A distance with no such pixel, or whose mean is exactly 0, takes the value of
// the next nearer distance on its side (columns 1-4 from 0-3 and 6-9 from 5-8,
// cascading outwards); distance 1 is never filled.
//
// Columns 10 and 11 measure how far nine consecutive columns depart from a
// straight line: with the nine values g placed at -4 .. 4, the smaller
// eigenvalue of the scatter matrix [[60, T], [T, S]] (S = Σ(g - mean)²,
// T = Σp·(g - mean)), that is (S + 60)/2 - sqrt(4T² + (60 - S)²)/2, which is 0
// for values on a line. A window holding a 0 (no outside pixel at that
// distance on that side, even after filling) is incomplete and measures 0.
// Column 10 is the window of columns 0-8, column 11 that of columns 1-9.
//
// Decisions of ours:
// - Column 11 is always the measure of its own window, columns 1-9, whether or
//   not column 10's window is complete. The window of column 10 can be
//   incomplete while column 11's is complete only when the left mean at
//   distance 1 is exactly 0 (grey values of 0 there); column 11 then still
//   tells how straight columns 1-9 are, on the same scale as ever, rather than
//   a number on another scale left over from the computation of column 10.
// - An 8-bit input 0 passes the type check and its crop holds its pixel values
//   converted to float (0 .. 255), so 8-bit and float images of the same
//   values give the same features.
// - ComputeRegion, called directly: a crop that is not IMAGE_GREY_F is refused
//   with "The grey-value crop is not of type IMAGE_GREY_F" or "The mask image is
//   not of type IMAGE_GREY_F" at "(feature plugins) Shadow::Run".
class CPShadow : public CPNode {
public:
    CPShadow();
    ~CPShadow() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Sets features[0..11] to 0, then fills them from the region's grey-value
    // crop and mask crop (region: pixel != 0.0, a NaN counts; outside: == 0.0);
    // plane 0 of each is read. A null crop, crops of differing width or height,
    // or a crop of no plane leave the zeros. A vector shorter than twelve throws
    // std::out_of_range.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) const;

    // The line-fit measure of g[0..8] (0 when one of them is 0).
    static double LineFit(const double* g);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t m_nFeatures = 12;
};

}  // namespace KELO
