// The table of the module's nodes: registry name, how to create it, and its key
// in the listing (or none for nodes that can be created but are not listed).
#pragma once

#include <cstddef>

#include "kelo/Node.h"

namespace KELO::registry {

struct Row {
    const char* name;
    CPNode* (*create)();
    int listKey;  // -1: not listed
};

// Rows in the order names are tested.
const Row* Rows(std::size_t& count);

// A new node for the exact (case-sensitive, whole) name, or null.
CPNode* Create(const char* name);

// The listed names under their keys, a new vector the caller owns.
CValueVector* List();

}  // namespace KELO::registry
