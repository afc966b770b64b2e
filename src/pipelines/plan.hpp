#pragma once

#include <string>

#include "inputs.hpp"
#include "../run/cycle_loop.hpp"
#include "../run/scratch.hpp"
#include "../stats/options.hpp"
#include "../stats/rank.hpp"

namespace corrshift {

// Which implementation of the kernels a pipeline runs: the fast one, or the
// straightforward one that the tests compare it with.
enum class engine { fast, reference };

inline cycle_plan make_plan(const checked_inputs& in, int32_t permutations) {
    return cycle_plan{in.samples, in.group1, in.n1, in.group2, in.n2, permutations};
}

// The rank matrix of the straightforward path: under "spearman" every row
// ranked over group 1's columns and then over group 2's, in a K x P matrix.
struct reference_matrix {
    const checked_inputs* in;
    bool spearman;
    int32_t threads;
    scratch<float> ranks;

    reference_matrix(const checked_inputs& inputs, bool spearman_method, int32_t worker_count)
        : in(&inputs), spearman(spearman_method), threads(worker_count) {
        if (spearman) ranks = make_scratch<float>(static_cast<size_t>(in->features) * in->samples);
    }

    // The matrix the cycle's workers read.
    const float* for_cycle(const cycle_view& v) {
        if (!spearman) return in->data;
        rank_transform(in->data, ranks.get(), in->samples, in->features, v.group1, in->n1, threads);
        rank_transform(in->data, ranks.get(), in->samples, in->features, v.group2, in->n2, threads);
        return ranks.get();
    }
};

}  // namespace corrshift
