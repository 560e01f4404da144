// The region table: one record per label number 1 .. largest label, holding the
// label's bounding box over all planes of the label image.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <type_traits>
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

// Called with the largest label once it is known, before the table takes any
// memory: the place to refuse a label image whose table and results would not
// fit (by throwing).
using TableCheck = std::function<void(uint32_t largestLabel)>;

// Builds the table from a float label image of W x H x D pixels (x fastest).
// A pixel's label is its value truncated toward zero. Values that do not truncate
// to a number in 1 .. 2^32 - 1 (negative, NaN, infinite or too large) are treated
// as background, so every pixel that is counted has its record in the table.
// Returns the number of records. check, when set, runs before the table grows
// (not for an all-background image).
uint32_t GetZoneList(const float* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check = {});

// The same for unsigned integer label images (8, 16 or 32 bits).
uint32_t GetZoneList(const uint8_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check = {});
uint32_t GetZoneList(const uint16_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check = {});
uint32_t GetZoneList(const uint32_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check = {});

// The end of the run of pixels that starts at row[x]: the first index in
// x + 1 .. end whose pixel differs bit for bit from row[x] (end if none). Equal
// bits give an equal label, so every pixel of a run has the label of its first
// one (values that differ but share a label, 1.0 and 1.5, merely start a new run).
// Four pixels are tested with one branch where they fit, which keeps long runs
// (background above all) close to a plain read of the row.
template <class T>
inline int64_t RunEnd(const T* row, int64_t x, int64_t end) {
    static_assert(std::is_arithmetic_v<T> && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4));
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, std::conditional_t<sizeof(T) == 2, uint16_t, uint8_t>>;
    const Bits first = std::bit_cast<Bits>(row[x]);
    int64_t i = x + 1;
    while (i + 4 <= end) {
        const Bits d = (std::bit_cast<Bits>(row[i]) ^ first) | (std::bit_cast<Bits>(row[i + 1]) ^ first) |
                       (std::bit_cast<Bits>(row[i + 2]) ^ first) | (std::bit_cast<Bits>(row[i + 3]) ^ first);
        if (d != 0) break;
        i += 4;
    }
    while (i < end && std::bit_cast<Bits>(row[i]) == first) ++i;
    return i;
}

// The label number of a float label pixel, or 0 for background (see GetZoneList).
inline uint32_t LabelOf(float v) {
    // The comparison is false for NaN, which therefore is background too.
    return (v >= 1.0f && v < 4294967296.0f) ? static_cast<uint32_t>(v) : 0u;
}
inline uint32_t LabelOf(uint32_t v) { return v; }
inline uint32_t LabelOf(uint16_t v) { return v; }
inline uint32_t LabelOf(uint8_t v) { return v; }

}  // namespace KELO
