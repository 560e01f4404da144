#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FeatureFrame.h"
#include "kelo/Node.h"

namespace KELO {

// "HoughEntropy": how peaked the grey-value-weighted Hough histogram of straight
// lines (20 angles x 20 distances) of each region is. The region's histogram is
// divided cell by cell by the histogram of a uniform 20 x 20 square (the
// reference, rebuilt by every Run) and reduced to four measures: maximum over
// sum, sum of squared probabilities, Shannon entropy and the maximum itself.
//
// Decisions where the behaviour is ours to choose:
// - Votes: a pixel votes with its grey value when that value is greater than 0
//   (NaN, zero and negative values cast none). An infinite grey value, or finite
//   votes whose sum passes the float range, make their cells infinite; the row
//   then holds inf and NaN (no undefined behaviour, but such a row means nothing).
// - Distance bins: a vote lands in bin trunc(n_d * rho / diag) + n_d / 2. The
//   geometry keeps that inside 0 .. n_d - 1, but single-precision rounding can
//   push a corner pixel of a box of millions of pixels per side one bin past
//   either end; such a vote is counted in the outermost bin (DistanceBin), so
//   no vote is lost and nothing is written outside the histogram.
// - Images of several planes: Run builds each region's mask over the box's whole
//   z extent (plane p of the mask holds label plane zmin + p) and the Hough fill
//   reads the first plane of that mask against plane 0 of the grey image, as the
//   node's documented behaviour has it; the other mask planes are not read. For
//   images of one plane this is the plain 2-D computation.
// - HoughFill is a public operation and checks its arguments: all three images
//   must be IMAGE_GREY_F and the mask must lie inside plane 0 of the grey image,
//   else it throws a CException before touching the histogram. A histogram or
//   mask without pixels gets no votes.
// - ComputeRegion needs the reference of a Run; called without one (before the
//   first Run or after ReadParameters released it) it throws
//   "m_pHoughHistRef is NULL".
class CPHoughEntropy : public CPNode {
public:
    CPHoughEntropy();
    ~CPHoughEntropy() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // grey: the whole input 0; mask: the region's mask crop (1.0 inside, any
    // depth, first plane read) whose pixel (i, j) lies at (x0 + i, y0 + j) of
    // grey plane 0; features: 4 values written.
    virtual void ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                               std::vector<double>& features);
    virtual void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    // Clears hist (n_d = its width, n_a = its height, plane 0) and adds the votes
    // of the mask's pixels, column by column, read against grey at (x0, y0).
    void HoughFill(const CImage& grey, CImage& hist, const CImage& mask, int64_t x0, int64_t y0);

    // The reference histogram of the last Run, or null.
    const CImage* HoughHistRef() const { return m_pHoughHistRef.get(); }

    // The distance bin of a vote: trunc(nd * rho / diag) + nd / 2 in single
    // precision, held inside 0 .. nd - 1 (see the class comment). nd >= 1.
    static int32_t DistanceBin(float rho, float diag, int32_t nd) {
        const float q = static_cast<float>(nd) * rho / diag;
        const int32_t half = nd / 2;
        // Clamping q to the integer bounds first gives the same bin as clamping
        // its truncation, and keeps the conversion to an integer defined (NaN
        // goes to the lower bound).
        const auto lo = static_cast<float>(-half);
        const auto hi = static_cast<float>(nd - 1 - half);
        const float qc = !(q >= lo) ? lo : (q > hi ? hi : q);
        const int32_t d = static_cast<int32_t>(qc) + half;
        return d > nd - 1 ? nd - 1 : d;  // hi may round up for nd beyond 2^24
    }

private:
    // Rebuilds the reference histogram (the Hough fill of an all-ones square);
    // an allocation failure is reported through fail.
    void BuildReference(const frame::Thrower& fail);
    // The sine and cosine tables of n_a angles; rebuilt only when n_a changes.
    void PrepareAngles(int64_t nAngles);

    bool verbose = false;
    int32_t m_nFeatures = 4;
    std::unique_ptr<CImage> m_pHoughHistRef;

    std::vector<float> m_sin, m_cos;
    std::vector<float> m_xcos;      // per column: xc * cos(theta_k)
    std::vector<int64_t> m_rowBase;  // first cell of each angle row
    std::vector<int32_t> m_bins;     // per pixel: the distance bin of each angle
};

}  // namespace KELO
