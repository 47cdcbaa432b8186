// Metres to the millimetres the colour map is indexed with:
// trunc(1000 * metres) with a single-precision product. Values beyond the
// int range saturate and a NaN becomes the caller's choice, so that no
// conversion is ever undefined.
#pragma once

#include <climits>
#include <cmath>

namespace tarvo::cmap_mm {

inline int from_metres(float metres, int if_nan) {
    const float mm = metres * 1000.0f;
    if (std::isnan(mm)) return if_nan;
    if (mm >= 2147483648.0f) return INT_MAX;
    if (mm < -2147483648.0f) return INT_MIN;
    // In range, the conversion truncates toward zero (and costs no call
    // to trunc on targets without a rounding instruction).
    return static_cast<int>(mm);
}

}  // namespace tarvo::cmap_mm
