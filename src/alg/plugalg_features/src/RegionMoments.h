// Moments of a region's pixel positions, shared by the shape nodes (Geometry,
// Border): the raw sums over the region's pixels and the means and covariance
// of their coordinates. Coordinates are the pixel indices of the region's mask
// crop, x = column and y = row, with no half-pixel offset.
#pragma once

#include <cstdint>

namespace KELO::moments {

// Count, Σx, Σy, Σx², Σy² and Σx·y over a set of pixels. Each coordinate
// product is formed exactly in 64-bit integers and added as one double, so the
// sums are exact as long as they stay below 2^53, and a given order of pixels
// always gives the same bits.
struct Sums {
    uint64_t n = 0;
    double sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0;

    void Add(int64_t x, int64_t y) {
        ++n;
        sx += static_cast<double>(x);
        sy += static_cast<double>(y);
        sxx += static_cast<double>(x * x);
        syy += static_cast<double>(y * y);
        sxy += static_cast<double>(x * y);
    }
};

// Means and population covariance of the coordinates:
//   mx = Σx/n, my = Σy/n, a = Σx²/n − mx², c = Σy²/n − my², b = Σx·y/n − my·mx.
// Unguarded: with n = 0 every field is 0/0 = NaN.
struct Covariance {
    double mx = 0.0, my = 0.0;
    double a = 0.0;  // variance of x
    double b = 0.0;  // covariance of x and y
    double c = 0.0;  // variance of y
};

inline Covariance CovarianceOf(const Sums& s) {
    const double n = static_cast<double>(s.n);
    Covariance cv;
    cv.mx = s.sx / n;
    cv.my = s.sy / n;
    cv.a = s.sxx / n - cv.mx * cv.mx;
    cv.c = s.syy / n - cv.my * cv.my;
    cv.b = s.sxy / n - cv.my * cv.mx;
    return cv;
}

// The sums of the foreground of a float mask of w x h pixels (row stride w):
// every pixel not equal to 0.0 (a NaN counts as foreground), in scan order.
Sums MaskSums(const float* mask, int64_t w, int64_t h);

}  // namespace KELO::moments
