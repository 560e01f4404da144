#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "ShiftHistVar": how well each region's grey values agree with themselves after
// a shift. Every region pixel is paired with the pixel shift_x columns to its
// right (column 0) and, separately, shift_y rows below it (column 1); negative
// shifts look left or up. A pair counts when both pixels belong to the region
// and neither grey value is 0 or 255. Each column is
// (Va + Vb) - sqrt(4 C^2 + (Va - Vb)^2), twice the smaller eigenvalue of the
// covariance matrix of the pairs (a, b), or 0 when the direction has no pair.
//
// The node has no ComputeRegion: its Run calls one of two workers, chosen by the
// pixel type of input 0 (float or 8-bit), which read the grey values straight
// from input 0 at the region's mask crop. After the y-direction pass of every
// region with a pair, the worker writes "nCounter <pairs>" to standard output,
// whether or not verbose is set.
//
// Decisions of ours:
// - Shifts of any size and sign are accepted. The pixel range of each row (or
//   the row range of the box) that has its partner inside the box is worked out
//   once per direction in 64-bit arithmetic, so no pixel is tested against the
//   box edge and nothing outside the box is ever read; a shift of at least the
//   box's width (height) leaves that column 0.
// - Grey values are used as they are: only exact 0 and 255 are left out. A NaN or
//   infinite grey value in a pair makes its column NaN (or infinite), in the
//   same way as it would spoil any other sum.
// - The workers are public and check what they are handed: the data image must
//   be of the worker's pixel type, the mask IMAGE_GREY_F, and the mask's box
//   must lie inside plane 0 of the data image; otherwise they throw a
//   CException with the node's location. A null data image is treated like a
//   null mask.
class CPShiftHistVar : public CPNode {
public:
    CPShiftHistVar();
    ~CPShiftHistVar() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // The workers: data is the whole input 0 (IMAGE_GREY_F, respectively
    // IMAGE_GREY_8; plane 0 is read), mask the region's mask crop whose pixel
    // (i, j) lies at (x0 + i, y0 + j) of data. A null mask returns at once and
    // leaves features untouched; otherwise features[0] and features[1] are
    // written (0 for a direction without a pair). Fewer than two features throw
    // std::out_of_range.
    void WorkerFloat(const CImage* data, const CImage* mask, std::vector<double>& features, int64_t x0,
                     int64_t y0) const;
    void Worker8(const CImage* data, const CImage* mask, std::vector<double>& features, int64_t x0,
                 int64_t y0) const;

private:
    template <class T>
    void Worker(const CImage* data, const CImage* mask, std::vector<double>& features, int64_t x0, int64_t y0,
                CPixelType type) const;
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    int32_t m_nFeatures = 2;
    int32_t shift_x = 0;
    int32_t shift_y = 0;
    bool verbose = false;
};

}  // namespace KELO
