#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Abis": the grey values of one selected region resampled to a raster of
// "width" x "height" cells, so that regions of any size become comparable
// pictures. Output 0 is that raster (width columns, height rows, cell
// (tx, ty) at pixel tx + ty * width); output 1 holds one single-value vector
// per cell, each with an empty "FeatureName".
//
// The region's grey-value crop (its clipped bounding box in plane 0 of input 0,
// background and other labels included) is max-pooled: crop pixel (x, y) goes
// to cell (trunc(x * width / w), trunc(y * height / h)), computed in float,
// and a cell keeps the largest value it gets (cells start at 0, so negative
// pixels leave a cell at 0). Where the crop is smaller than the raster in a
// direction, cells that got no pixel take the mean of their filled neighbours:
// left and right when only the width is short, above and below when only the
// height is, all eight when both are; a gap with no filled neighbour stays 0.
//
// A selected label above the number of regions falls back to label 1 (the
// parameter member becomes 1 until the parameters are read again); a label that
// does not occur gives a raster of zeros.
//
// Run departs from the frame: it uses the frame's input checks and region
// table, then resamples the one region itself; it writes the verbose "The
// number of regions is: " line but not the summary of non-empty and empty
// regions.
//
// Decisions of ours:
// - ReadParameters refuses, with a CException at "(feature plugins) Abis::Run",
//   a width below 1 ("width has to be > 0"), a height below 1 ("height has to
//   be > 0"), a raster of more than kMaxCells = 1,048,576 cells (1024 x 1024 or
//   any other shape of that many cells: "width * height has to be <= 1048576")
//   and a selected label below 1 ("selected label has to be > 0"), checked in
//   that order. A refused read changes no parameter, so the node keeps a valid
//   raster and the setup description never has to list absurdly many feature
//   names. The cap keeps a run's memory (the raster, its work arrays and one
//   value vector per cell in output 1) to a few hundred megabytes at most.
// - Input 1 missing gives "Label image is NULL"; an input value that holds no
//   image gives "First input is not an image" or "Second input is not an
//   image", all at the node's location. Check order: input 0 missing, input 0
//   no image, input 0 type, input 1 missing, input 1 no image, input 1 type,
//   then no region at all.
// - An 8-bit input 0 passes the type check and its crop holds its pixel values
//   converted to float (0 .. 255).
// - A cell index that float rounding brings to width or height (possible only
//   for crops of more than 2^24 pixels in a direction) goes into the last cell.
class CPAbis : public CPNode {
public:
    // Largest number of raster cells, width * height.
    static constexpr int64_t kMaxCells = int64_t(1) << 20;

    CPAbis();
    ~CPAbis() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Resamples a grey-value crop (plane 0, IMAGE_GREY_F) to width x height
    // cells written to features[0 .. width * height - 1] (all set to 0 first).
    // A null crop returns at once. An invalid width or height throws the
    // CException of ReadParameters, a non-float crop "The grey-value crop is not
    // of type IMAGE_GREY_F", a vector shorter than the raster std::out_of_range.
    virtual void ComputeRegion(const CImage* crop, std::vector<double>& features, int64_t width,
                               int64_t height) const;

private:
    bool verbose = false;
    int64_t m_nFeatures = 100;
    int64_t width = 10;
    int64_t height = 10;
    int64_t selectedLabel = 1;
};

}  // namespace KELO
