// The matrix the straightforward kernels read in each cycle.
#pragma once

#include <algorithm>

#include "compute.hpp"
#include "../run/cycle_loop.hpp"
#include "../run/scratch.hpp"
#include "../stats/rank.hpp"
#include "../stats/tally.hpp"

namespace corrshift {

// The data, or under "spearman" every row ranked over group 1's columns and
// then over group 2's (by the call's rules), in a K x P matrix.
struct reference_matrix {
    const checked_inputs* in;
    const call_options* options;
    scratch<float> ranks;

    reference_matrix(const checked_inputs& inputs, const call_options& call) : in(&inputs), options(&call) {
        if (call.spearman) ranks = make_scratch<float>(static_cast<size_t>(in->features) * in->samples);
    }

    // The matrix the cycle's workers read.
    const float* for_cycle(const cycle_view& v) {
        if (!options->spearman) return in->data;
        for (const auto& [columns, n] : {std::pair{v.group1, in->n1}, std::pair{v.group2, in->n2}})
            rank_transform(in->data, ranks.get(), in->samples, in->features, columns, n, options->threads,
                           options->rules);
        return ranks.get();
    }
};

// The straightforward tally of one cycle on the calling thread: the counts
// zeroed in the observed cycle, then each permuted statistic compared with
// the observed one (and, under sound rules, counted when undefined).
inline void tally_cycle(const call_options& o, int32_t cycle, const float* observed, const float* permuted,
                        uint32_t* extreme, uint32_t* undefined, int32_t n) {
    if (cycle == 0) {
        std::fill_n(extreme, n, 0u);
        if (undefined != nullptr) std::fill_n(undefined, n, 0u);
        return;
    }
    tally_extremes(o.alternative, observed, permuted, extreme, n);
    if (undefined != nullptr) tally_undefined(permuted, undefined, n);
}

}  // namespace corrshift
