#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "BinNbhHistPlusXYEntropy": per region, the 16 binary 2 x 2 configuration
// frequencies of BinNbhHist followed by the two positional measures of
// XYEntropy (dark set, then bright set), 18 columns. Both halves keep to the
// region more strictly than those nodes:
//   - only 2 x 2 blocks whose four pixels all lie in the region count (see
//     BinaryConfigurations.h);
//   - the threshold histogram and the two sets take only the region's pixels,
//     not the whole bounding box (see AutoThreshold.h), so pixels of other
//     labels inside the box change neither half.
//
// Grey values: the configurations accept any float value as BinNbhHist does;
// the thresholds and sets treat values below 0 as 0 and of 256 and more as 255,
// and NaN as in neither set, as XYEntropy does.
class CPBinNbhHistPlusXYEntropy : public CPNode {
public:
    CPBinNbhHistPlusXYEntropy();
    ~CPBinNbhHistPlusXYEntropy() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Mask form: grey is the whole input 0 (float, plane 0 used); mask is the
    // region's mask crop, whose pixel (i, j) lies at (x0 + i, y0 + j) of grey.
    // Writes the 18 features; leaves all of them untouched when the working copy
    // of the box cannot be allocated, and a set's measure untouched when its
    // position list cannot. A grey image or mask that is not float, or a box
    // that does not lie inside grey, is refused with a CException; fewer than 18
    // features throw std::out_of_range (Run never hands any of these).
    virtual void ComputeRegion(const CImage& grey, const CImage& mask, int64_t x0, int64_t y0,
                               std::vector<double>& features);
    // Output 1: one inner vector per column, each named "feature".
    virtual void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions);

private:
    bool verbose = false;
    int32_t m_nFeatures = 18;
};

}  // namespace KELO
