#include "Registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PArea.h"
#include "PBinNbhHist.h"
#include "PFromGraph.h"
#include "PGeometry.h"
#include "PHaralick.h"
#include "PHist.h"
#include "PHoughEntropy.h"
#include "PLBPHist.h"
#include "PStatistics.h"
#include "PXYEntropy.h"

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
    {"HoughEntropy", &Make<CPHoughEntropy>, 6},
    {"XYEntropy", &Make<CPXYEntropy>, 9},
    {"Area", &Make<CPArea>, 15},
    {"Statistics", &Make<features::CPStatistics>, 20},
    {"FromGraph", &Make<CPFromGraph>, 27},
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
