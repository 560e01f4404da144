#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Border": the two halves of each region's bounding box on either side of the
// region's main axis. The axis runs through the centroid of the region's mask
// along the direction of largest spread of its pixel positions; every pixel of
// the box (background and other labels too) whose signed distance from the axis
// is above 0 counts on side 1, below 0 on side 2, on the axis on neither. The
// three columns are the difference of the side means (never negative), the
// larger and the smaller mean.
//
// The direction is (t - c, t - a) with t = λ1 + b, the sum of the two usual
// forms of the eigenvector of the larger eigenvalue λ1 of the covariance
// [[a, b], [b, c]] (axis::CentralMoments). It has length 0 exactly when a = c
// and b <= 0 (a disc, a square, a single pixel): such a region has no main
// axis, and its three columns are 0. A mask without foreground has all
// moments 0, so no main axis either, and gives 0 in all three columns as well.
//
// Per region Run passes both crops of the clipped box, grey-value crop first.
// Side sums and counts are floats, added in scan order; a float count stops
// growing at 2^24 pixels, so sides beyond about 16.7 million pixels are
// averaged over that count (kept as the measure defines it).
//
// Decisions of ours:
// - An 8-bit input 0 passes the type check and its crop holds its pixel values
//   converted to float (0 .. 255), so 8-bit and float images of the same
//   values give the same features.
// - ComputeRegion, called directly: a grey-value crop of another height than
//   the mask returns like one of another width (all three columns 0) instead
//   of reading past the smaller image; a crop that is not IMAGE_GREY_F is
//   refused with "The grey-value crop is not of type IMAGE_GREY_F" or "The mask
//   image is not of type IMAGE_GREY_F" at "(feature plugins) Border::Run".
class CPBorder : public CPNode {
public:
    CPBorder();
    ~CPBorder() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Sets features[0..2] to 0, then fills them from the region's grey-value crop
    // and mask crop (foreground: pixel != 0.0) of equal extents; plane 0 of each
    // is read. A null crop, crops of differing width or height, or a crop of no
    // plane leave the zeros. A vector shorter than three throws std::out_of_range.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features) const;

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t m_nFeatures = 3;
};

}  // namespace KELO
