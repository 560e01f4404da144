#include "AxisDistance.h"

namespace KELO::axis {

template <class Real>
MaskMoments<Real> GatherMoments(const float* mask, int64_t w, int64_t h) {
    MaskMoments<Real> m;
    for (int64_t y = 0; y < h; ++y) {
        const float* row = mask + y * w;
        for (int64_t x = 0; x < w; ++x)
            if (row[x] != 0.0f) m.Add(x, y);
    }
    return m;
}

template <class Real>
Spread<Real> CentralMoments(const MaskMoments<Real>& m) {
    Spread<Real> s;
    if (m.n > 0) {
        const auto n = static_cast<Real>(m.n);
        s.mx = m.sx / n;
        s.my = m.sy / n;
        s.a = m.sxx / n - s.mx * s.mx;
        s.b = m.sxy / n - s.my * s.mx;
        s.c = m.syy / n - s.my * s.my;
    }
    return s;
}

template <class Real>
MainAxis<Real> FindMainAxis(const Spread<Real>& s) {
    MainAxis<Real> axis;
    axis.mx = s.mx;
    axis.my = s.my;
    // The root of the eigenvalue equation in double, from the Real moments (the
    // float form rounds it back; b * b is formed in Real).
    const Real d = s.a - s.c;
    const auto D = static_cast<Real>(std::sqrt(static_cast<double>(d) * 0.25 * static_cast<double>(d) +
                                               static_cast<double>(s.b * s.b)));
    if (s.b != 0) {
        // (b, lambda_min - a) / D: with b != 0, D >= |b| > 0.
        axis.ex = static_cast<Real>(static_cast<double>(s.b) / static_cast<double>(D));
        axis.ey = static_cast<Real>(static_cast<double>(s.c - s.a) * 0.5 / static_cast<double>(D) - 1.0);
    } else if (s.a >= s.c) {
        axis.ex = 0;
        axis.ey = 1;
    } else {
        axis.ex = 1;
        axis.ey = 0;
    }
    const Real r = std::sqrt(axis.ey * axis.ey + axis.ex * axis.ex);
    if (r > 0) {
        axis.ex /= r;
        axis.ey /= r;
    }
    return axis;
}

template <class Real>
MainAxis<Real> FindMainAxis(const float* mask, int64_t w, int64_t h) {
    return FindMainAxis(CentralMoments(GatherMoments<Real>(mask, w, h)));
}

template <class Real>
void AxisDistances(const float* mask, int64_t w, int64_t h, float* out) {
    const MainAxis<Real> axis = FindMainAxis<Real>(mask, w, h);
    for (int64_t y = 0; y < h; ++y) {
        float* row = out + y * w;
        for (int64_t x = 0; x < w; ++x) row[x] = Distance(axis, x, y);
    }
}

template MaskMoments<float> GatherMoments<float>(const float*, int64_t, int64_t);
template MaskMoments<double> GatherMoments<double>(const float*, int64_t, int64_t);
template Spread<float> CentralMoments<float>(const MaskMoments<float>&);
template Spread<double> CentralMoments<double>(const MaskMoments<double>&);
template MainAxis<float> FindMainAxis<float>(const Spread<float>&);
template MainAxis<double> FindMainAxis<double>(const Spread<double>&);
template MainAxis<float> FindMainAxis<float>(const float*, int64_t, int64_t);
template MainAxis<double> FindMainAxis<double>(const float*, int64_t, int64_t);
template void AxisDistances<float>(const float*, int64_t, int64_t, float*);
template void AxisDistances<double>(const float*, int64_t, int64_t, float*);

}  // namespace KELO::axis
