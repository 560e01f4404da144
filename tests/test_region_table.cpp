// Region table: one record per label number, bounding boxes over all planes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "RegionTable.h"

using namespace KELO;

namespace {
std::vector<RegionInfo> Table(const std::vector<float>& px, int64_t W, int64_t H, int64_t D = 1) {
    std::vector<RegionInfo> t;
    const uint32_t n = GetZoneList(px.data(), W, H, D, t);
    EXPECT_EQ(n, t.size());
    return t;
}

// {xmin, xmax, ymin, ymax, zmin, zmax, dx, dy, dz}
using Box = std::array<int64_t, 9>;
Box BoxOf(const RegionInfo& r) { return {r.xmin, r.xmax, r.ymin, r.ymax, r.zmin, r.zmax, r.dx, r.dy, r.dz}; }
}  // namespace

TEST(RegionTable, MissingLabelKeepsStartBoxWithNonPositiveExtents) {
    // Labels {0, 1, 3} in 4 x 3.
    auto t = Table({0, 1, 1, 0,  //
                    0, 0, 3, 3,  //
                    0, 0, 0, 3},
                   4, 3);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].label, 2u);
    EXPECT_EQ(BoxOf(t[1]), (Box{4, 0, 3, 0, 1, 0, -3, -2, 0}));
    EXPECT_TRUE(t[1].IsEmpty());
    EXPECT_EQ(BoxOf(t[0]), (Box{1, 2, 0, 0, 0, 0, 2, 1, 1}));
    EXPECT_EQ(BoxOf(t[2]), (Box{2, 3, 1, 2, 0, 0, 2, 2, 1}));
}

TEST(RegionTable, SinglePixelSplitLabelsAndAllPlanes) {
    EXPECT_EQ(BoxOf(Table({1.0f}, 1, 1).at(0)), (Box{0, 0, 0, 0, 0, 0, 1, 1, 1}));
    // One label in two separate places: one box spanning both.
    auto split = Table({1, 0, 0, 0, 0,  //
                        0, 0, 0, 0, 0,  //
                        0, 0, 0, 0, 1},
                       5, 3);
    ASSERT_EQ(split.size(), 1u);
    EXPECT_EQ(BoxOf(split[0]), (Box{0, 4, 0, 2, 0, 0, 5, 3, 1}));
    // 2 x 2 x 5: label 2 only in plane 4, label 1 in planes 0 and 2.
    std::vector<float> px(20, 0.0f);
    px[0 * 4 + 3] = 1;
    px[2 * 4 + 0] = 1;
    px[4 * 4 + 1] = 2;
    auto t = Table(px, 2, 2, 5);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(BoxOf(t[1]), (Box{1, 1, 0, 0, 4, 4, 1, 1, 1}));
    EXPECT_EQ(BoxOf(t[0]), (Box{0, 1, 0, 1, 0, 2, 2, 2, 3}));
}

TEST(RegionTable, TruncatesTowardZeroAndTreatsOutOfRangeAsBackground) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 1.0 and 1.9 are label 1, 2.7 is label 2, 0.99 and -0.5 background; values
    // with no record (negative beyond -1, infinite, NaN, >= 2^32) are background too.
    auto t = Table({1.0f, 1.9f, 0.99f, -0.5f, 2.7f, -3.0f, inf, nan, 5e9f}, 9, 1);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(BoxOf(t[0]), (Box{0, 1, 0, 0, 0, 0, 2, 1, 1}));
    EXPECT_EQ(BoxOf(t[1]), (Box{4, 4, 0, 0, 0, 0, 1, 1, 1}));
}

TEST(RegionTable, EmptyForBackgroundOrNoPixelsAndRebuiltFromScratch) {
    std::vector<RegionInfo> t(5);
    std::vector<float> zeros(6, 0.5f);
    EXPECT_EQ(GetZoneList(zeros.data(), 3, 2, 1, t), 0u);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(GetZoneList(zeros.data(), 0, 2, 1, t), 0u);
}

TEST(RegionTable, IntegerLabelTypesGiveTheSameTable) {
    const std::vector<uint8_t> l8{0, 2, 2, 0, 0, 5};
    const std::vector<uint16_t> l16(l8.begin(), l8.end());
    const std::vector<uint32_t> l32(l8.begin(), l8.end());
    std::vector<RegionInfo> a, b, c;
    GetZoneList(l8.data(), 3, 2, 1, a);
    GetZoneList(l16.data(), 3, 2, 1, b);
    GetZoneList(l32.data(), 3, 2, 1, c);
    auto f = Table(std::vector<float>(l8.begin(), l8.end()), 3, 2);
    ASSERT_EQ(a.size(), 5u);
    for (const std::vector<RegionInfo>* other : {&b, &c, &f}) {
        ASSERT_EQ(other->size(), a.size());
        for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(BoxOf((*other)[i]), BoxOf(a[i])) << i;
    }
    EXPECT_EQ(BoxOf(a[4]), (Box{2, 2, 1, 1, 0, 0, 1, 1, 1}));
}

TEST(RegionTable, MatchesPixelByPixelReferenceOnRandomLabels) {
    // Runs of equal labels are folded; an independent per-pixel scan must agree.
    const int64_t W = 37, H = 23, D = 3;
    std::vector<float> px(W * H * D);
    uint32_t seed = 12345;
    for (auto& v : px) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<float>((seed >> 16) % 9);  // runs happen often
    }
    auto t = Table(px, W, H, D);
    for (uint32_t l = 1; l <= t.size(); ++l) {
        int64_t x0 = W, x1 = -1, y0 = H, y1 = -1, z0 = D, z1 = -1;
        for (int64_t z = 0; z < D; ++z)
            for (int64_t y = 0; y < H; ++y)
                for (int64_t x = 0; x < W; ++x)
                    if (static_cast<uint32_t>(px[(z * H + y) * W + x]) == l) {
                        x0 = std::min(x0, x), x1 = std::max(x1, x);
                        y0 = std::min(y0, y), y1 = std::max(y1, y);
                        z0 = std::min(z0, z), z1 = std::max(z1, z);
                    }
        EXPECT_EQ(BoxOf(t[l - 1]), (Box{x0, x1, y0, y1, z0, z1, x1 - x0 + 1, y1 - y0 + 1, z1 - z0 + 1})) << l;
    }
}

TEST(RegionTable, CheckSeesTheLargestLabelBeforeTheTableIsMade) {
    std::vector<RegionInfo> t(3);
    const std::vector<float> px{0, 7.5f, 2, 0};
    uint32_t seen = 0;
    EXPECT_EQ(GetZoneList(px.data(), 2, 2, 1, t, [&](uint32_t largest) { seen = largest; }), 7u);
    EXPECT_EQ(seen, 7u);
    // A check that refuses leaves the table empty; an all-background image is never checked.
    EXPECT_THROW(GetZoneList(px.data(), 2, 2, 1, t, [](uint32_t) { throw std::length_error("no"); }),
                 std::length_error);
    EXPECT_TRUE(t.empty());
    const std::vector<uint16_t> none(4, 0);
    EXPECT_EQ(GetZoneList(none.data(), 2, 2, 1, t, [](uint32_t) { ADD_FAILURE() << "checked"; }), 0u);
}

namespace {
// RunEnd against a pixel-by-pixel scan by bits, for rows of any label type: long
// runs, runs that end on and off the four-pixel steps, -0 beside 0, NaN beside NaN.
template <class T>
void RunEndsMatchPlainScan(const std::vector<T>& values, uint32_t seed) {
    std::vector<T> row(53);
    for (int round = 0; round < 200; ++round) {
        for (auto& v : row) {
            seed = seed * 1103515245u + 12345u;
            v = (seed >> 28) < 11 && &v != row.data() ? *(&v - 1) : values[(seed >> 16) % values.size()];
        }
        for (int64_t x = 0; x < int64_t(row.size()); ++x) {
            int64_t end = x + 1;
            while (end < int64_t(row.size()) && std::memcmp(&row[end], &row[x], sizeof(T)) == 0) ++end;
            ASSERT_EQ(RunEnd(row.data(), x, int64_t(row.size())), end) << "round " << round << " at " << x;
            ASSERT_EQ(RunEnd(row.data(), x, x + 1), x + 1);
        }
    }
}
}  // namespace

TEST(RegionTable, RunsEndWhereThePixelBitsChange) {
    RunEndsMatchPlainScan<float>({0.0f, -0.0f, 1.0f, 1.5f, std::numeric_limits<float>::quiet_NaN(), 16777216.0f}, 1);
    RunEndsMatchPlainScan<uint8_t>({0, 1, 255}, 2);
    RunEndsMatchPlainScan<uint16_t>({0, 1, 65535}, 3);
    RunEndsMatchPlainScan<uint32_t>({0, 1, 4000000000u}, 4);
}
