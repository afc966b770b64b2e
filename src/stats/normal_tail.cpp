#include "normal_tail.hpp"

#include <cmath>

namespace corrshift {

namespace {

struct scalar_lanes {
    static float upper_tail(float x) { return normal_upper_tail(x); }
    static float magnitude(float d) { return std::fabs(d); }
};

}  // namespace

float normal_upper_tail(float x) {
    return static_cast<float>(normal_tail::upper_tail_lanes(static_cast<double>(x), exp_lanes::pow2_scalar));
}

float sound_normal_pvalue(tail alternative, float d, float se) {
    return normal_tail::pvalue_lanes(alternative, d, se, scalar_lanes{});
}

}  // namespace corrshift
