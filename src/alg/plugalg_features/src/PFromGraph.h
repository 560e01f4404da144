#pragma once

#include <cstdint>
#include <string>

#include "kelo/Node.h"

namespace KELO {

// "FromGraph": computes no feature itself. For every non-empty region it runs the
// host graph named by "graph" on the region's grey values and mask (both over
// the region's box across all its planes) and collects the one-row image the
// graph returns as the region's row. The number and names of the features are
// the graph's: the first region's "feature_names" attribute names the columns.
class CPFromGraph : public CPNode {
public:
    CPFromGraph();
    ~CPFromGraph() override;
    void GetPluginSetup(CValueMap& setup) override;
    void ReadParameters() override;
    void Run() override;

private:
    bool verbose = false;
    int64_t m_nFeatures = 2;  // the width of the last run's feature image
    std::string graph = "NULL";
};

}  // namespace KELO
