#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "MaskedRunningMean.h"

using namespace KELO;
using V = std::vector<float>;

// Hand-computed lines. Each runs once as a row (image n + 3 wide, 3 high, line at
// x0 = 2, y0 = 1) and once as a column (3 wide, n + 3 high, x0 = 1, y0 = 2) of an
// image holding -7 everywhere else: the line must come out as expected and no
// pixel off it may change.
TEST(MaskedRunningMean, WindowRuleAlongRowsAndColumns) {
    struct Case {
        V values, mask;
        int radius, passes;
        V expected;
    };
    const V ramp{1, 2, 3, 4, 5, 6, 7}, all(7, 1.0f);
    const Case cases[] = {
        {ramp, all, 1, 1, {1.5f, 2, 3, 4, 5, 6, 6.5f}},  // the ends average the two pixels left in the line
        {ramp, all, 100, 1, V(7, 4.0f)},                  // window beyond the line: the line's mean
        {ramp, all, 1, 2, {1.75f, 6.5f / 3, 3, 4, 5, 17.5f / 3, 6.25f}},  // second pass over the first's result
        {ramp, all, 1, 0, ramp},                                         // no pass
        // 99s are outside. Pixel 3: x - r - 1 = 1 is outside, so the first region
        // pixel after it (3 itself) is left out: 4. Pixel 4: 3 left out: (4 + 6) / 2.
        // Pixel 5: left end 3 is in the region: (4 + 6) / 2. Pixel 7: 8 alone.
        {{10, 99, 99, 2, 4, 6, 99, 8}, {1, 0, 0, 1, 1, 1, 0, 1}, 1, 1, {10, 99, 99, 4, 5, 5, 99, 8}},
        // x - r - 1 < 0 for pixel 2: no left end, nothing left out: (3 + 6 + 9) / 3.
        {{99, 99, 3, 6, 9}, {0, 0, 1, 1, 1}, 2, 1, {99, 99, 6, 7.5f, 7.5f}},
        // Pixel 3 has an outside pixel at x - r - 1 = 0, no region pixel between and
        // none within r to its right: its count is 0 and it keeps 7 (no 0 / 0).
        // Pixel 6 has its left end on pixel 3: 100 alone.
        {{-1, -1, -1, 7, -1, -1, 100}, {0, 0, 0, 1, 0, 0, 1}, 2, 1, {-1, -1, -1, 7, -1, -1, 100}},
        {{1, 2, 3, 4}, {1, 0, 1, 1}, -3, 1, {1, 2, 3, 4}},  // a negative radius counts as 0
    };
    for (const Case& c : cases) {
        const auto n = static_cast<int64_t>(c.values.size());
        for (const bool rows : {true, false}) {
            SCOPED_TRACE(testing::Message() << (rows ? "row " : "column ") << testing::PrintToString(c.values));
            const int64_t W = rows ? n + 3 : 3, H = rows ? 3 : n + 3, x0 = rows ? 2 : 1, y0 = rows ? 1 : 2;
            V image(static_cast<std::size_t>(W * H), -7.0f);
            auto at = [&](int64_t i) -> float& {
                return image[static_cast<std::size_t>(rows ? y0 * W + x0 + i : (y0 + i) * W + x0)];
            };
            for (int64_t i = 0; i < n; ++i) at(i) = c.values[static_cast<std::size_t>(i)];
            const float* m = c.mask.data();
            EXPECT_EQ(rows ? MaskedRunningMeanRows(image.data(), W, c.passes, c.radius, m, n, 1, x0, y0)
                           : MaskedRunningMeanColumns(image.data(), W, c.passes, c.radius, m, 1, n, x0, y0),
                      kRunningMeanOk);
            V line;
            for (int64_t i = 0; i < n; ++i) line.push_back(std::exchange(at(i), -7.0f));
            EXPECT_EQ(line, c.expected);
            EXPECT_EQ(image, V(image.size(), -7.0f));
        }
    }
}
