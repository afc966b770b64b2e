// Storage and phases of the fast path that every pipeline shares: each
// cycle's rows packed into panels (ranked first under "spearman"), and the
// pair kernel over ranges of pair positions.
#pragma once

#include <cstdint>
#include <vector>

#include "compute.hpp"
#include "inputs.hpp"
#include "../run/cycle_loop.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/fast/jobs.hpp"

namespace corrshift {

// Everything the packing needs for one call, allocated once.
struct fast_call {
    const kernel_table* kernels;
    const rule_kernels* by_rules;  // the kernels of the call's rules
    int32_t threads;
    int32_t blocks;  // panel blocks of kernels->width rows
    // The blocks a cycle packs: [first_block, last_block). Listed pairs:
    // only those holding a row of some pair (a chunk of the condensed order
    // uses the rows from its first one on); otherwise all.
    int32_t first_block = 0, last_block = 0;
    large_scratch<float> panel1, panel2;
    scratch<float> moments;
    scratch<float> rank_rows, values;
    scratch<int32_t> order, ranks;
    scratch<uint8_t> seen;
    scratch<uint64_t> keys, block_starts;
    scratch<int32_t> sample_order;
    scratch<uint8_t> distinct, member;
    large_scratch<float> by_sample;
    std::vector<prepare_scratch> workers;
    std::vector<float> zeros;  // one row of P zeros
    prepare_job job{};
    // Listed pairs: where each stretch of pairs with one first row and
    // consecutive second rows begins, then the pair count; found once.
    scratch<int32_t> segment_starts;
    int32_t segments = 0;
    // The pair phase's workers and their ranges of pair positions:
    // worker w takes [pair_cuts[w], pair_cuts[w + 1]).
    int32_t pair_workers = 1;
    std::vector<int32_t> pair_cuts;
};

// Allocates the panels (K x (n1 + n2) floats, rounded up to whole blocks),
// the rows' moments and each worker's ranking scratch. Under "spearman",
// when the groups are large next to the sample count and cycles follow,
// each row's order over all samples is found once (K x P ints), so that a
// cycle ranks a row without ties in one pass over its samples.
// `same_data`: another call over the same data, rows and pairs (another two
// of the groups of a test across groups), whose sample-major copy and row
// orders this call reads instead of making its own.
void make_fast_call(fast_call& rows, const checked_inputs& in, const call_options& options,
                    const fast_call* same_data = nullptr);

// Fork-join of the pair phase: body(worker, begin, end) over each worker's
// range of pair positions.
template <class Body>
void run_pair_workers(const fast_call& rows, const Body& body) {
    run_cut_workers(rows.pair_cuts.data(), rows.pair_workers, body);
}

// Listed pairs counted per unit (a stretch of the pair kernel is counted
// for one unit): the stretches also begin at each of the `count` units'
// first positions `starts`. Refresh the call's pair_job afterwards.
void break_segments_at(fast_call& rows, const int32_t* starts, int32_t count);

// Fork-join over the panel blocks: packs the rows of the call's pairs
// (whole blocks) for the cycle's groups.
void pack_cycle_rows(fast_call& rows, const cycle_view& view);

// The pairs of the call over the packed rows: the geometry every mode of
// the pair kernel shares (its outputs are the mode's, see jobs.hpp).
pair_job pair_job_for(const fast_call& rows, const checked_inputs& in);

}  // namespace corrshift
