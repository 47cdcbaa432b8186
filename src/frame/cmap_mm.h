// Metres to the millimetres the colour map is indexed with:
// trunc(1000 * metres) with a single-precision product. Values beyond the
// int range saturate and a NaN becomes the caller's choice, so that no
// conversion is ever undefined.
#pragma once

#include <climits>
#include <cmath>

namespace tarvo::cmap_mm {

inline int from_metres(float metres, int if_nan) {
    const float t = std::trunc(metres * 1000.0f);
    if (std::isnan(t)) return if_nan;
    if (t >= 2147483648.0f) return INT_MAX;
    if (t < -2147483648.0f) return INT_MIN;
    return static_cast<int>(t);
}

}  // namespace tarvo::cmap_mm
