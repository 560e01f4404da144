#include "AutoThreshold.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

namespace KELO::autothreshold {

// ----------------------------------------------------------------- thresholds

float LevelHistogram::Counter(int level) const {
    // A float counter raised by 1.0 is exact up to 2^24 and then stays there
    // (2^24 + 1 rounds back to 2^24).
    constexpr uint64_t kFloatCounterLimit = uint64_t{1} << 24;
    return static_cast<float>(std::min(m_counts[static_cast<std::size_t>(level)], kFloatCounterLimit));
}

Thresholds FindThresholds(const LevelHistogram& histogram, float limit) {
    Thresholds t;
    float sum = 0.0f;
    for (int k = 0; k < kLevels; ++k) {
        sum += histogram.Counter(k);
        if (sum > limit) {
            t.lower = static_cast<float>(k + 1);
            break;
        }
    }
    sum = 0.0f;
    for (int k = kLevels - 1; k >= 0; --k) {
        sum += histogram.Counter(k);
        if (sum > limit) {
            t.upper = static_cast<float>(k - 1);
            break;
        }
    }
    return t;
}

// ----------------------------------------------------------------- sets

void CountBox(const GreyBox& box, const float* mask, LevelHistogram& histogram) {
    // Locals, so that the counter writes cannot be taken to change the box.
    const int64_t w = box.w, h = box.h, stride = box.stride;
    const float* const origin = box.origin;
    LevelHistogram counts = histogram;
    for (int64_t y = 0; y < h; ++y) {
        const float* row = origin + y * stride;
        if (mask) {
            const float* mrow = mask + y * w;
            for (int64_t x = 0; x < w; ++x)
                if (mrow[x] != 0.0f) counts.Add(row[x]);
        } else {
            for (int64_t x = 0; x < w; ++x) counts.Add(row[x]);
        }
    }
    histogram = counts;
}

namespace {
template <class InSet>
void Collect(const GreyBox& box, const float* mask, InSet inSet, std::vector<Position>& set) {
    const int64_t w = box.w, h = box.h, stride = box.stride;
    const float* const origin = box.origin;
    for (int64_t y = 0; y < h; ++y) {
        const float* row = origin + y * stride;
        const float* mrow = mask ? mask + y * w : nullptr;
        for (int64_t x = 0; x < w; ++x)
            if ((!mrow || mrow[x] != 0.0f) && inSet(row[x]))
                set.push_back({static_cast<int32_t>(x), static_cast<int32_t>(y)});
    }
}
}  // namespace

bool CollectSet(const GreyBox& box, const float* mask, const Thresholds& t, Side side, std::vector<Position>& set) {
    constexpr int64_t kMaxExtent = std::numeric_limits<int32_t>::max();
    if (box.w > kMaxExtent || box.h > kMaxExtent)
        throw std::length_error("autothreshold::CollectSet: box too large for 32-bit positions");
    set.clear();
    try {
        if (side == Side::Dark)
            Collect(box, mask, [&t](float g) { return InDarkSet(g, t); }, set);
        else
            Collect(box, mask, [&t](float g) { return InBrightSet(g, t); }, set);
    } catch (const std::bad_alloc&) {
        std::vector<Position>().swap(set);
        return false;
    }
    return true;
}

// ----------------------------------------------------------------- pair measure

namespace {

// The kernel term of a squared distance d2, as the measure forms it: d2 in
// single precision, widened, times -0.1, double exponential, rounded to float.
float KernelTerm(float d2) { return static_cast<float>(std::exp(static_cast<double>(d2) * -0.1)); }

// The sum starts with the pair (0, 0), whose term is 1, so from then on it is at
// least 1 and a term below 2^-24 (half a unit in the last place of 1) cannot
// change it under round-to-nearest. Such terms are exactly those with d2 >= cut
// (the terms fall with d2); the measure skips them without changing a bit of
// the result. Only pairs less than `reach` rows apart, and at a row distance dy
// less than columnReach[dy] columns apart, can count, which bounds the pairs
// visited for large sets.
struct Kernel {
    std::vector<float> term;  // term[d2] for d2 < cut; term[cut] = 0
    int64_t cut = 0;
    int64_t reach = 0;                 // largest row distance r with r * r < cut
    std::vector<int64_t> columnReach;  // for dy <= reach: largest c with c * c + dy * dy < cut
};

const Kernel& GetKernel() {
    static const Kernel kernel = [] {
        Kernel k;
        const float negligible = std::ldexp(1.0f, -24);
        for (int64_t d2 = 0;; ++d2) {
            const float t = KernelTerm(static_cast<float>(d2));
            if (t < negligible) {
                k.cut = d2;
                break;
            }
            k.term.push_back(t);
        }
        k.term.push_back(0.0f);
        while ((k.reach + 1) * (k.reach + 1) < k.cut) ++k.reach;
        for (int64_t dy = 0; dy <= k.reach; ++dy) {
            int64_t c = 0;
            while ((c + 1) * (c + 1) + dy * dy < k.cut) ++c;
            k.columnReach.push_back(c);
        }
        return k;
    }();
    return kernel;
}

bool InScanOrder(const std::vector<Position>& set) {
    return std::is_sorted(set.begin(), set.end(),
                          [](const Position& a, const Position& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
}

// Every ordered pair, in order; for positions in any order.
float SumAllPairs(const std::vector<Position>& set, const Kernel& k) {
    const float* term = k.term.data();
    const auto cut = static_cast<uint64_t>(k.cut);
    // A coordinate distance this large is far beyond the cut; limiting it keeps
    // the squares well inside 64 bits for any 32-bit positions.
    constexpr uint64_t kFar = uint64_t{1} << 16;
    float sum = 0.0f;
    for (const Position& p : set)
        for (const Position& q : set) {
            const auto ax = std::min(static_cast<uint64_t>(std::abs(int64_t{q.x} - p.x)), kFar);
            const auto ay = std::min(static_cast<uint64_t>(std::abs(int64_t{q.y} - p.y)), kFar);
            const uint64_t d2 = ax * ax + ay * ay;
            sum += term[d2 < cut ? d2 : cut];
        }
    return sum;
}

// The same sum for positions in scan order, visiting for each pixel only the
// rows within reach and, in each of them, the columns within that row's reach.
// Within a row the columns rise, so one cursor per row of the window finds the
// first column in reach. The pairs that count are still visited in the order of
// the plain loop (i outer, j inner, both ascending), so the float sum is the same.
float SumNearPairs(const std::vector<Position>& set, const Kernel& k) {
    const std::size_t n = set.size();
    std::vector<std::size_t> rowStart;  // first index of every row of the set, then n
    for (std::size_t i = 0; i < n; ++i)
        if (i == 0 || set[i].y != set[i - 1].y) rowStart.push_back(i);
    const std::size_t rows = rowStart.size();
    rowStart.push_back(n);

    const float* term = k.term.data();
    std::vector<std::size_t> cursor;
    float sum = 0.0f;
    std::size_t lo = 0, hi = 0;  // the rows lo .. hi - 1 lie within reach of row r
    for (std::size_t r = 0; r < rows; ++r) {
        const int64_t y = set[rowStart[r]].y;
        while (set[rowStart[lo]].y < y - k.reach) ++lo;
        hi = std::max(hi, r + 1);
        while (hi < rows && set[rowStart[hi]].y <= y + k.reach) ++hi;
        cursor.assign(rowStart.begin() + static_cast<std::ptrdiff_t>(lo),
                      rowStart.begin() + static_cast<std::ptrdiff_t>(hi));
        for (std::size_t i = rowStart[r]; i < rowStart[r + 1]; ++i) {
            const int64_t x = set[i].x;
            for (std::size_t q = lo; q < hi; ++q) {
                const int64_t dy = set[rowStart[q]].y - y;
                const int64_t reach = k.columnReach[static_cast<std::size_t>(dy < 0 ? -dy : dy)];
                const std::size_t end = rowStart[q + 1];
                std::size_t& j = cursor[q - lo];
                while (j < end && set[j].x < x - reach) ++j;
                for (std::size_t m = j; m < end && set[m].x <= x + reach; ++m) {
                    const int64_t dx = set[m].x - x;
                    sum += term[dx * dx + dy * dy];
                }
            }
        }
    }
    return sum;
}

}  // namespace

float PairMeasure(const std::vector<Position>& set) {
    const std::size_t n = set.size();
    if (n == 0) return 0.0f;
    const Kernel& k = GetKernel();
    const float sum = InScanOrder(set) ? SumNearPairs(set, k) : SumAllPairs(set, k);
    const auto n2 = static_cast<float>(static_cast<int64_t>(n) * static_cast<int64_t>(n));
    return sum / n2;
}

void MeasureExtremeSets(const GreyBox& box, const float* mask, float limit, double& dark, double& bright) {
    LevelHistogram histogram;
    CountBox(box, mask, histogram);
    const Thresholds t = FindThresholds(histogram, limit);
    std::vector<Position> set;
    if (CollectSet(box, mask, t, Side::Dark, set)) dark = PairMeasure(set);
    if (CollectSet(box, mask, t, Side::Bright, set)) bright = PairMeasure(set);
}

}  // namespace KELO::autothreshold
