#include "RegionTable.h"

namespace KELO {

namespace {

template <class T>
uint32_t LargestLabel(const T* labels, std::size_t n) {
    uint32_t max = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t l = LabelOf(labels[i]);
        if (l > max) max = l;
    }
    return max;
}

// Float labels: the label is a non-decreasing function of the value over the
// values that have one, so the largest label is the label of the largest such
// value. Eight running maxima without branches or conversions keep the loop from
// waiting on one long chain of comparisons, and let the compiler vectorise it.
template <>
uint32_t LargestLabel(const float* labels, std::size_t n) {
    constexpr std::size_t kLanes = 8;
    float lane[kLanes] = {};
    // False for NaN; values of 2^32 and more have no label (see LabelOf).
    const auto counted = [](float v) { return v < 4294967296.0f ? v : 0.0f; };
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t k = 0; k < kLanes; ++k) {
            const float c = counted(labels[i + k]);
            lane[k] = c > lane[k] ? c : lane[k];
        }
    float max = 0.0f;
    for (; i < n; ++i) max = counted(labels[i]) > max ? counted(labels[i]) : max;
    for (float m : lane) max = m > max ? m : max;
    return LabelOf(max);
}

template <class T>
uint32_t Build(const T* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
               const TableCheck& check) {
    table.clear();
    if (!labels || W <= 0 || H <= 0 || D <= 0) return 0;
    const std::size_t n = static_cast<std::size_t>(W) * static_cast<std::size_t>(H) * static_cast<std::size_t>(D);
    const uint32_t max = LargestLabel(labels, n);
    if (max == 0) return 0;
    if (check) check(max);

    table.resize(max);
    for (uint32_t i = 0; i < max; ++i) {
        RegionInfo& r = table[i];
        r.label = i + 1;
        r.xmin = static_cast<uint32_t>(W);
        r.ymin = static_cast<uint32_t>(H);
        r.zmin = static_cast<uint32_t>(D);
        r.xmax = r.ymax = r.zmax = 0;
    }

    // Runs of equal labels along a row update x once at each end and y, z once,
    // which keeps the pass close to a plain read of the image for blob-like labels.
    const T* p = labels;
    for (int64_t z = 0; z < D; ++z) {
        const auto uz = static_cast<uint32_t>(z);
        for (int64_t y = 0; y < H; ++y, p += W) {
            const auto uy = static_cast<uint32_t>(y);
            int64_t x = 0;
            while (x < W) {
                const int64_t end = RunEnd(p, x, W);
                const uint32_t l = LabelOf(p[x]);
                if (l != 0) {
                    RegionInfo& r = table[l - 1];
                    const auto x0 = static_cast<uint32_t>(x);
                    const auto x1 = static_cast<uint32_t>(end - 1);
                    if (r.xmin > x0) r.xmin = x0;
                    if (r.xmax < x1) r.xmax = x1;
                    if (r.ymin > uy) r.ymin = uy;
                    if (r.ymax < uy) r.ymax = uy;
                    if (r.zmin > uz) r.zmin = uz;
                    if (r.zmax < uz) r.zmax = uz;
                }
                x = end;
            }
        }
    }

    for (RegionInfo& r : table) {
        r.dx = static_cast<int32_t>(r.xmax - r.xmin + 1u);
        r.dy = static_cast<int32_t>(r.ymax - r.ymin + 1u);
        r.dz = static_cast<int32_t>(r.zmax - r.zmin + 1u);
    }
    return max;
}

}  // namespace

uint32_t GetZoneList(const float* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check) {
    return Build(labels, W, H, D, table, check);
}
uint32_t GetZoneList(const uint8_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check) {
    return Build(labels, W, H, D, table, check);
}
uint32_t GetZoneList(const uint16_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check) {
    return Build(labels, W, H, D, table, check);
}
uint32_t GetZoneList(const uint32_t* labels, int64_t W, int64_t H, int64_t D, std::vector<RegionInfo>& table,
                     const TableCheck& check) {
    return Build(labels, W, H, D, table, check);
}

}  // namespace KELO
