// What the permutation cycles compare their statistics with.
#pragma once

#include <cstdint>

#include "compute.hpp"
#include "../run/scratch.hpp"

namespace corrshift {

// Classic rules: the observed statistics themselves. Sound rules (with
// permutation cycles to come): the observed statistics moved towards the
// null by the arithmetic's error bound (stats/ties.hpp), which the
// pipeline writes into `moved` after the observed cycle, so that ties that
// exact arithmetic makes count as at least as extreme.
struct tie_targets {
    scratch<float> moved;
    const float* observed;

    tie_targets(const call_options& o, const float* observed_values, int32_t n)
        : moved(o.rules == statistics::sound && o.permutations > 0 ? make_scratch<float>(static_cast<size_t>(n))
                                                                    : scratch<float>()),
          observed(moved ? moved.get() : observed_values) {}
};

}  // namespace corrshift
