#include "classes.hpp"

#include <cmath>

#include "../run/workers.hpp"

namespace corrshift {

namespace {

// The side of r (NaN compares false everywhere: 1 + 2 = 3), and in `open`
// whether the bounds leave it open; branch-free, so that the loop below
// vectorises.
inline int side_of(float r, side_bounds b, int& open) {
    const float a = std::fabs(r);
    open |= static_cast<int>(a > b.below) & static_cast<int>(a <= b.above);
    return 1 + static_cast<int>(r > b.above) - static_cast<int>(r < -b.above) + 2 * static_cast<int>(r != r);
}

}  // namespace

void change_codes(const float* r1, const float* r2, int64_t n, side_bounds b1, side_bounds b2, int8_t* codes,
                  int32_t threads) {
    const int32_t t = item_workers(n, threads);
    run_numbered_workers(t, t, [&](int32_t w, int32_t, int32_t) {
        // Locals: stores through int8_t may alias anything, so values
        // reached through the closure would be read again for every pair.
        const float* const x = r1;
        const float* const y = r2;
        int8_t* const out = codes;
        const side_bounds bx = b1, by = b2;
        const item_range pairs = split_items(n, t, w);
        for (int64_t k = pairs.begin; k < pairs.end; ++k) {
            int open = 0;
            const int code = kSides * side_of(x[k], bx, open) + side_of(y[k], by, open);
            static_assert(kUndecided == -1, "an open pair's code is all bits set");
            out[k] = static_cast<int8_t>(code | -open);
        }
    });
}

}  // namespace corrshift
