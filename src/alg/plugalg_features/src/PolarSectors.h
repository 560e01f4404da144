// The angular sector of a pixel around a centre, shared by AveragePhi and
// AveragePolar.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace KELO::polar {

// Sector of the direction (dx, dy) (dy grows with the row index) among `count`
// equal sectors, counted from the -x direction through -y (the rows above):
// theta = atan2(dy, dx), t = (theta + 3.1415926) / 6.2831852 * count, clamped to
// [0, count - 1] and truncated. The constants are the measure's own, so the
// sector edges lie where the measure puts them: straight left (theta = pi)
// falls into the last sector and the centre itself (atan2(0, 0) = 0) into
// sector trunc(count / 2). Clamping before or after truncating gives the same
// sector, so one routine serves both nodes. count >= 1.
inline int64_t Sector(int64_t dx, int64_t dy, int64_t count) {
    const double theta = std::atan2(static_cast<double>(dy), static_cast<double>(dx));
    const double t = (theta + 3.1415926) / 6.2831852 * static_cast<double>(count);
    return static_cast<int64_t>(std::min(static_cast<double>(count - 1), std::max(0.0, t)));
}

}  // namespace KELO::polar
