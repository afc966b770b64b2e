#pragma once

#include <string>

#include "inputs.hpp"
#include "../run/cycle_loop.hpp"
#include "../stats/options.hpp"

namespace corrshift {

inline cycle_plan make_plan(const checked_inputs& in, const std::string& method, int32_t permutations,
                            int32_t threads) {
    return cycle_plan{in.data, in.features, in.samples, in.group1, in.n1, in.group2, in.n2,
                      method == kSpearman, permutations, threads};
}

}  // namespace corrshift
