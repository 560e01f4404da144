#pragma once

#include "kelo/Node.h"

namespace KELO {

// "Area": the area of each region's bounding box (width times height), an
// approximation of its pixel count. Reads no pixel beyond the region table.
class CPArea : public CPNode {
public:
    CPArea();
    ~CPArea() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

private:
    void BuildValueVector(const float* matrix, CValueVector* output, unsigned nRegions) const;

    bool verbose = false;
    int32_t m_nFeatures = 1;
};

}  // namespace KELO
