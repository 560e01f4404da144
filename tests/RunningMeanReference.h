// A plain reference of the masked running mean for the tests, written from the
// window's description rather than from the running-end search: the window of a
// region pixel x is the set of region pixels in x - r .. x + r, without the
// first of them when x - r - 1 lies in the line but outside the region; an empty
// window keeps the value. Sums are differences of running sums over the line's
// region pixels in order (so that float results match exactly), indexed here by
// the region pixels' ranks.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace test {

// One pass over a line; line[i] are the values, inside[i] whether i is a region pixel.
inline void ReferenceMeanLine(std::vector<float>& line, const std::vector<bool>& inside, int r) {
    std::vector<int64_t> pos;   // region pixels in order
    std::vector<float> upTo;    // running sum up to and including pos[k]
    float acc = 0.0f;
    for (int64_t i = 0; i < static_cast<int64_t>(line.size()); ++i)
        if (inside[static_cast<std::size_t>(i)]) {
            acc += line[static_cast<std::size_t>(i)];
            pos.push_back(i);
            upTo.push_back(acc);
        }
    std::vector<float> out = line;
    const auto n = static_cast<int64_t>(pos.size());
    for (int64_t k = 0; k < n; ++k) {
        const int64_t x = pos[k];
        int64_t first = k, last = k;  // ranks of the window's region pixels
        while (first > 0 && pos[first - 1] >= x - r) --first;
        while (last + 1 < n && pos[last + 1] <= x + r) ++last;
        const int64_t gap = x - r - 1;
        if (gap >= 0 && !inside[static_cast<std::size_t>(gap)]) ++first;
        if (first > last) continue;  // empty window
        const float sum = first == 0 ? upTo[last] : upTo[last] - upTo[first - 1];
        out[static_cast<std::size_t>(x)] = sum / static_cast<float>(last - first + 1);
    }
    line = out;
}

// Whole-image form: image holds W-wide rows; the box x0, y0, w, h is smoothed
// along its rows and then along its columns, one pass each, inside the region
// given by inRegion(x, y) in image coordinates.
inline void ReferenceSmooth(std::vector<float>& image, int64_t W, int64_t x0, int64_t y0, int64_t w, int64_t h, int r,
                            const std::function<bool(int64_t, int64_t)>& inRegion) {
    for (int64_t y = y0; y < y0 + h; ++y) {
        std::vector<float> line;
        std::vector<bool> inside;
        for (int64_t x = x0; x < x0 + w; ++x) {
            line.push_back(image[static_cast<std::size_t>(y * W + x)]);
            inside.push_back(inRegion(x, y));
        }
        ReferenceMeanLine(line, inside, r);
        for (int64_t x = x0; x < x0 + w; ++x)
            image[static_cast<std::size_t>(y * W + x)] = line[static_cast<std::size_t>(x - x0)];
    }
    for (int64_t x = x0; x < x0 + w; ++x) {
        std::vector<float> line;
        std::vector<bool> inside;
        for (int64_t y = y0; y < y0 + h; ++y) {
            line.push_back(image[static_cast<std::size_t>(y * W + x)]);
            inside.push_back(inRegion(x, y));
        }
        ReferenceMeanLine(line, inside, r);
        for (int64_t y = y0; y < y0 + h; ++y)
            image[static_cast<std::size_t>(y * W + x)] = line[static_cast<std::size_t>(y - y0)];
    }
}

}  // namespace test
