// Classes of change of correlation pairs, decided by bounds on |r|.
#pragma once

#include <cstdint>

namespace corrshift {

// A group's test of r = 0 is significant where |r| > above, not where
// |r| <= below; between the two only its p-value can tell.
struct side_bounds {
    float below, above;
};

// Each group's side of a correlation: "-" 0, "0" 1, "+" 2, NaN 3.
constexpr int8_t kSides = 4;
// The code of a pair whose side in some group the bounds leave open.
constexpr int8_t kUndecided = -1;

// codes[k] = kSides * side(r1[k]) + side(r2[k]) for k < n, or kUndecided
// where either correlation lies within its group's bounds; on `threads`
// threads (the codes do not depend on their number).
void change_codes(const float* r1, const float* r2, int64_t n, side_bounds b1, side_bounds b2, int8_t* codes,
                  int32_t threads);

}  // namespace corrshift
