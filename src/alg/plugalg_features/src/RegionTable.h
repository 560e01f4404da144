// The region table: one record per label number 1 .. largest label, holding the
// label's bounding box over all planes of the label image.
#pragma once

#include <cstdint>
#include <vector>

namespace KELO {

struct RegionInfo {
    uint32_t label;
    uint32_t xmin, xmax;
    uint32_t ymin, ymax;
    uint32_t zmin, zmax;
    int32_t dx, dy, dz;

    // A label that never occurs keeps its start box, whose x or y extent is < 1.
    bool IsEmpty() const { return dx <= 0 || dy <= 0; }
};

// Builds the table from a float label image of W x H x D pixels (x fastest).
// A pixel's label is its value truncated toward zero. Values that do not truncate
// to a number in 1 .. 2^32 - 1 (negative, NaN, infinite or too large) are treated
// as background, so every pixel that is counted has its record in the table.
// Returns the number of records.
uint32_t GetZoneList(const float* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table);

// The same for unsigned integer label images (8, 16 or 32 bits).
uint32_t GetZoneList(const uint8_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table);
uint32_t GetZoneList(const uint16_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table);
uint32_t GetZoneList(const uint32_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table);

// The label number of a float label pixel, or 0 for background (see GetZoneList).
inline uint32_t LabelOf(float v) {
    // The comparison is false for NaN, which therefore is background too.
    return (v >= 1.0f && v < 4294967296.0f) ? static_cast<uint32_t>(v) : 0u;
}
inline uint32_t LabelOf(uint32_t v) { return v; }
inline uint32_t LabelOf(uint16_t v) { return v; }
inline uint32_t LabelOf(uint8_t v) { return v; }

}  // namespace KELO
