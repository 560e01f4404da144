#include "Registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PAbis.h"
#include "PArea.h"
#include "PAvedu.h"
#include "PAveragePhi.h"
#include "PAveragePolar.h"
#include "PBinNbhHist.h"
#include "PBinNbhHistPlusXYEntropy.h"
#include "PBorder.h"
#include "PCovbin.h"
#include "PEntropy.h"
#include "PFromGraph.h"
#include "PGeometry.h"
#include "PHaralick.h"
#include "PHist.h"
#include "PHoughEntropy.h"
#include "PLBPHist.h"
#include "PMedian.h"
#include "PNbhSpHist.h"
#include "PRedrik.h"
#include "PRelnbhHist.h"
#include "PRotHistVar.h"
#include "PRough.h"
#include "PSDistMedianqDiff.h"
#include "PSdistAveVar.h"
#include "PShadow.h"
#include "PShiftHistVar.h"
#include "PStatistics.h"
#include "PThreePartsRelNbhHist.h"
#include "PTotalVariation.h"
#include "PVSlope.h"
#include "PXYEntropy.h"
#include "PXYInteractionHist.h"

namespace KELO::registry {

namespace {
template <class T>
CPNode* Make() {
    return new T();
}

// Test order of the names; a node lands here with its own row. Listing keys are
// fixed per name, so later nodes slot into their places without renumbering.
const Row kRows[] = {
    {"Geometry", &Make<CPGeometry>, 0},
    {"Haralick", &Make<CPHaralick>, 1},
    {"Hist", &Make<CPHist>, 2},
    {"LBPHist", &Make<CPLBPHist>, 3},
    {"BinNbhHist", &Make<CPBinNbhHist>, 4},
    {"BinNbhHistPlusXYEntropy", &Make<CPBinNbhHistPlusXYEntropy>, 5},
    {"HoughEntropy", &Make<CPHoughEntropy>, 6},
    {"SdistAveVar", &Make<CPSdistAveVar>, 7},
    {"ThreePartsRelNbhHist", &Make<CPThreePartsRelNbhHist>, 8},
    {"XYEntropy", &Make<CPXYEntropy>, 9},
    {"XYInteractionHist", &Make<CPXYInteractionHist>, 10},
    {"NbhSpHist", &Make<CPNbhSpHist>, 11},
    {"TotalVariation", &Make<CPTotalVariation>, 13},
    {"Covbin", &Make<CPCovbin>, 14},
    {"Abis", &Make<CPAbis>, -1},
    {"Area", &Make<CPArea>, 15},
    {"Avedu", &Make<CPAvedu>, -1},
    {"AveragePhi", &Make<CPAveragePhi>, 16},
    {"AveragePolar", &Make<CPAveragePolar>, 17},
    {"Border", &Make<CPBorder>, 18},
    {"Entropy", &Make<CPEntropy>, 19},
    {"Statistics", &Make<features::CPStatistics>, 20},
    {"Redrik", &Make<CPRedrik>, -1},
    {"RelnbhHist", &Make<CPRelnbhHist>, 21},
    {"RotHistVar", &Make<CPRotHistVar>, 22},
    {"Rough", &Make<CPRough>, 23},
    {"SDistMedianqDiff", &Make<CPSDistMedianqDiff>, 24},
    {"Shadow", &Make<CPShadow>, 25},
    {"ShiftHistVar", &Make<CPShiftHistVar>, 12},
    {"VSlope", &Make<CPVSlope>, 26},
    {"FromGraph", &Make<CPFromGraph>, 27},
    {"Median", &Make<CPMedian>, 28},
};
}  // namespace

const Row* Rows(std::size_t& count) {
    count = std::size(kRows);
    return kRows;
}

CPNode* Create(const char* name) {
    if (!name) return nullptr;
    const std::string wanted(name);
    for (const Row& row : kRows)
        if (wanted.size() == std::strlen(row.name) && std::memcmp(wanted.data(), row.name, wanted.size()) == 0)
            return row.create();
    // An unknown name is not an error of the module's: the caller gets null and
    // decides what to tell its user.
    return nullptr;
}

CValueVector* List() {
    std::vector<const Row*> listed;
    for (const Row& row : kRows)
        if (row.listKey >= 0) listed.push_back(&row);
    std::sort(listed.begin(), listed.end(), [](const Row* a, const Row* b) { return a->listKey < b->listKey; });
    auto out = std::make_unique<CValueVector>();  // nothing is left behind when an allocation fails
    for (const Row* row : listed) out->SetEntry(row->listKey, new CValueString(row->name));
    return out.release();
}

}  // namespace KELO::registry
