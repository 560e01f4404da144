#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Covbin": how elongated the set of a region's pixels is. From the column and
// row indices of the foreground pixels of the region's mask crop it forms the
// 2x2 covariance matrix [[a, b], [b, c]] and reports (a + c) - sqrt((a - c)^2 +
// 4 b^2) and (a + c) + sqrt(...), twice its two eigenvalues in ascending order.
// A small first value marks pixels along a line. Everything is single
// precision: float sums of the indices, of their squares and of their products,
// each product formed exactly as an integer before it is added. Grey values of
// input 0 are never read; input 0 only gives the image size.
//
// Decisions of ours:
// - An image value of input 0 or input 1 that holds no image is refused with
//   the node's location: "First input is not an image" (checked right after the
//   null check of input 0) and "Second input is not an image" (right before the
//   type check of the label image). A value that is no image at all meets the
//   host's own unwrapping failure at the same points.
// - The foreground count is kept in 64 bits; it equals a 32-bit count for every
//   mask below two billion pixels and cannot overflow for larger ones.
// - ComputeRegion refuses a mask that is not IMAGE_GREY_F with a CException
//   instead of reading its bytes as floats; only its first plane is read.
class CPCovbin : public CPNode {
public:
    CPCovbin();
    ~CPCovbin() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Sets features[0] and features[1] to 0 (fewer than two entries throw
    // std::out_of_range), then returns when mask is null, has no rows or no
    // foreground pixel (value != 0.0, NaN included); otherwise writes both.
    virtual void ComputeRegion(const CImage* mask, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t m_nFeatures = 2;
};

}  // namespace KELO
