// Moments of a region mask and the distance of every pixel of the region's box
// from the region's main axis, shared by the shape nodes.
//
// Everything is a template over the precision Real of the sums and of the axis:
// SdistAveVar works in float; SDistMedianqDiff, and the moments and covariance
// of Geometry and Border, in double. Both forms run the same statements; where the float form evaluates a
// step in double and rounds back, the double form evaluates the same expression
// in double, so the two never drift apart.
//
// Mask convention: a float array of w x h pixels, x fastest; a pixel is
// foreground when it is not equal to 0.0 (a NaN counts as foreground); x is the
// column and y the row, both counted from 0 in the mask's own box.
#pragma once

#include <cmath>
#include <cstdint>

namespace KELO::axis {

// Sums over the foreground pixels: the count and the first and second moments.
template <class Real>
struct MaskMoments {
    int64_t n = 0;
    Real sx{}, sy{}, sxx{}, syy{}, sxy{};

    // One foreground pixel. The coordinate products are formed exactly in 64-bit
    // integers and then converted to Real before they are added.
    void Add(int64_t x, int64_t y) {
        ++n;
        sx += static_cast<Real>(x);
        sy += static_cast<Real>(y);
        sxx += static_cast<Real>(x * x);
        syy += static_cast<Real>(y * y);
        sxy += static_cast<Real>(x * y);
    }
};

// The moments of a mask, pixels added in scan order (row by row).
template <class Real>
MaskMoments<Real> GatherMoments(const float* mask, int64_t w, int64_t h);

// Centre (mx, my) and second central moments: a the variance of x, c that of y,
// b their covariance. All five are 0 when there is no foreground (n = 0), so the
// centre is then (0, 0).
template <class Real>
struct Spread {
    Real mx{}, my{}, a{}, b{}, c{};
};

template <class Real>
Spread<Real> CentralMoments(const MaskMoments<Real>& m);

// The main axis of a region: the line through the centre (mx, my) along the
// direction of largest spread, given by its unit normal (ex, ey), which is the
// eigenvector of the smaller eigenvalue of [[a, b], [b, c]]. Without covariance
// (b = 0) the axis is horizontal when a >= c (so also for a square, a disc, a
// single pixel or no foreground at all) and vertical when a < c.
template <class Real>
struct MainAxis {
    Real mx{}, my{}, ex{}, ey{1};
};

template <class Real>
MainAxis<Real> FindMainAxis(const Spread<Real>& s);

// The axis of a mask: its moments, their centre and the normal.
template <class Real>
MainAxis<Real> FindMainAxis(const float* mask, int64_t w, int64_t h);

// Distance of pixel (x, y) from the axis, |(x - mx) ex + (y - my) ey|, formed in
// Real and stored as float.
template <class Real>
inline float Distance(const MainAxis<Real>& axis, int64_t x, int64_t y) {
    const Real s = (static_cast<Real>(x) - axis.mx) * axis.ex + (static_cast<Real>(y) - axis.my) * axis.ey;
    return static_cast<float>(std::abs(s));
}

// The axis distance routine: the distance of every pixel of the mask's box,
// foreground or not, from the mask's main axis, into out[y * w + x] (w * h floats).
template <class Real>
void AxisDistances(const float* mask, int64_t w, int64_t h, float* out);

}  // namespace KELO::axis
