#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Geometry": eight shape measures of each region, computed on its binary mask
// (the mask crop of the region's bounding box, plane 0): area, major and minor
// axis length (square roots of the eigenvalues of the coordinate covariance),
// orientation of the main axis, eccentricity, border length counted on 2x2
// windows, fragility and the least-squares regression slope. Grey values of
// input 0 are never read; input 0 only gives the image size.
//
// Departures from the common frame:
// - Both inputs are unwrapped to images as soon as both are connected, before
//   either pixel type is looked at, so a value that holds no image is reported
//   by the host ahead of a wrong pixel type of input 0. The checks "First input
//   image is NULL" (for the image) and "The label image is NULL" therefore
//   never fire: unwrapping already refuses a value without an image.
// - No region at all: "empty_image_exception" (default true) is read straight
//   from the parameter map. True throws; false prints a warning and outputs
//   8 x 0 pixels and 8 empty, named value vectors.
//
// Decisions of ours:
// - ComputeRegion called directly with a mask that is not IMAGE_GREY_F throws
//   "The mask image is not of type IMAGE_GREY_F" with the node's one location,
//   "(feature plugins) Geometry::Run", instead of reading bytes as floats.
// - The moment sums add one double per foreground pixel in scan order, each
//   coordinate product formed exactly in integers. The measure's 32-bit
//   products would overflow for a box wider or taller than 46340 pixels; we
//   form them in 64 bits there, so such regions get their true moments.
// - The border count is kept in 64 bits; it equals the 32-bit count for every
//   box below about a billion pixels.
class CPGeometry : public CPNode {
public:
    CPGeometry();
    ~CPGeometry() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Fills the eight columns from a mask crop (foreground: pixel != 0.0). A null
    // mask leaves features untouched; a vector shorter than eight entries ends in
    // std::out_of_range after the columns before the missing one were written.
    virtual void ComputeRegion(const CImage* mask, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 8;
};

}  // namespace KELO
