#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "AveragePhi": the plane around the centre (w / 2, h / 2) of a region's bounding
// box is cut into "pieces" equal angular sectors, like the pieces of a cake;
// column k is the mean grey value (float) of the region's pixels whose direction
// from the centre falls into sector k (PolarSectors.h), 0 for a sector without
// region pixels. Background and other labels in the box are ignored; there is
// no limit on the distance from the centre. Every column name is empty.
//
// Decisions of ours:
// - "pieces" must lie in 0 .. 65536: ReadParameters refuses a negative value
//   ("pieces has to be >= 0") and a larger one ("pieces has to be <= 65536") with
//   the node's location and keeps the member as it was. A negative count cannot
//   size the columns; more than 65536 sectors are narrower than the pixels of
//   any region up to ten thousand pixels across, while an absurd count would
//   size every row, the setup's names and the output vectors. pieces = 0 runs
//   and yields no columns.
// - Input 0 of type IMAGE_GREY_8 is accepted and its pixels are converted to
//   float values for the grey-value crop.
// - ComputeRegion with a null grey crop does nothing, like a null mask; crops
//   of different width or height accumulate nothing (the sectors stay 0).
class CPAveragePhi : public CPNode {
public:
    CPAveragePhi();
    ~CPAveragePhi() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Two crops of the region's box: the grey-value crop and the mask crop.
    // Returns at once for a null image or pieces < 1; otherwise resizes features
    // to pieces entries (new ones 0.0) and writes the mean of every sector that
    // holds a region pixel. Images that are not float, or pieces above 65536,
    // throw CException.
    virtual void ComputeRegion(const CImage* grey, const CImage* mask, std::vector<double>& features,
                               int64_t pieces);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t pieces = 80;
};

}  // namespace KELO
