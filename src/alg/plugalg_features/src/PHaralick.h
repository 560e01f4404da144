#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Haralick": thirteen second-order texture statistics of each region, derived
// from a grey-level co-occurrence matrix of m_glcm_size x m_glcm_size cells.
//
// Pairs: with m_dx = m_dy = 0 every region pixel with a full 3 x 3 neighbourhood
// inside the region's box is paired with each of its eight neighbours; otherwise
// every region pixel whose partner at (m_dx, m_dy) lies inside the box is paired
// with that partner. Only the first pixel has to belong to the region.
//
// Levels: a grey value v has the level trunc(|v / q|) with q = 256 div G
// (G = m_glcm_size), so with G dividing 256 the grey values 0 .. 255 fill the
// levels 0 .. G - 1 exactly. For values the matrix has no cell for:
// - G is limited to 1 .. 256: ReadParameters refuses a larger value with
//   "m_glcm_size has to be <= 256" (q would be 0 and no grey value would have a
//   level; the matrix would also grow without bound). A refused value, too small
//   or too large, leaves m_glcm_size as it was, so the node never runs with it.
// - A level of G or more (grey values of 256 and above, the upper grey values
//   when G does not divide 256, infinities, and their negatives, which count by
//   magnitude) is clamped to the top level G - 1: such values saturate, as they
//   would when the image is brought to the quantiser's range, and every pair of
//   the region is still counted.
// - A NaN grey value has no level at all: every pair it takes part in, as first
//   pixel or as partner, is left out of the matrix, of N and of S.
// No memory outside the G x G matrix and the region's box is ever touched.
//
// p = count / N, so a region whose pairs all fall into one cell has p = 1 exactly
// and its Correlation and first information measure are 0/0 = NaN for every N.
// N and S (the sum of the first pixels' levels) are 64-bit counts: in 32 bits S
// would wrap for a region of a few million pixels and give a wrong Variance.
//
// Failures of Run carry a source location; an empty label image is an error only
// when "verbose" is set, otherwise the outputs have no rows.
class CPHaralick : public CPNode {
public:
    CPHaralick();
    ~CPHaralick() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Writes the 13 features of one region into features (at least 13 values).
    // data is the whole grey image, mask the region's mask crop (non-zero = region)
    // whose pixel (0, 0) lies at (xOffset, yOffset) of data.
    virtual void ComputeRegion(const CImage* data, CImage* mask, long xOffset, long yOffset,
                               std::vector<double>& features);

private:
    struct Work;
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    int32_t m_dx = 0;
    int32_t m_dy = 0;
    int32_t m_nFeatures = 13;
    int64_t m_glcm_size = 64;
    bool verbose = false;
    // The work arrays of the Run in progress (null outside Run): allocated once
    // per run and reused by every region.
    Work* m_work = nullptr;
};

}  // namespace KELO
