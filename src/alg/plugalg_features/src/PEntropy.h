#pragma once

#include <cstdint>
#include <vector>

#include "kelo/Node.h"

namespace KELO {

// "Entropy": the Shannon entropy (natural logarithm) of the normalised histogram
// of the integer grey levels 1 .. 255 in each region's bounding box, plane 0. The
// histogram covers every pixel of the box whatever its label; values below 1
// (background 0 among them) and above 255 are not counted.
//
// Decisions of ours:
// - An 8-bit input 0 reaches the computation as the frame's float crop, each
//   byte converted to its float value, so it gives what the same image stored as
//   floats gives.
// - A NaN grey value has no grey level and is left out like a value below 1.
class CPEntropy : public CPNode {
public:
    CPEntropy();
    ~CPEntropy() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

    // Writes the entropy of the pixels of plane 0 of region into features[0]. An
    // empty vector throws std::out_of_range; a null region gives 0.0; a region
    // image that is not IMAGE_GREY_F throws CException.
    virtual void ComputeRegion(const CImage* region, std::vector<double>& features);

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int64_t m_nFeatures = 1;
};

}  // namespace KELO
