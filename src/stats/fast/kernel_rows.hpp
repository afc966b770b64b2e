// Row preparation of the fast kernels (see kernels_impl.hpp): ranks of
// rows without ties, and the values or ranks of each group's columns
// packed into the panels, with each row's mean and variance (classic
// rules) or standardised in place (sound rules).
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "../rank.hpp"
#include "jobs.hpp"
#include "kernel_pairs.hpp"
#include "kernel_vectors.hpp"

namespace {

using namespace corrshift;

// ---------------------------------------------------------------------------
// Ranks of a row without ties: rank of k = how many values are below it.

bool distinct_ranks(const float* values, int32_t m, int32_t* ranks, uint8_t* seen) {
    if (m <= 0) return true;
    for (int32_t k0 = 0; k0 < m; k0 += VL) {
        vf vk;
        for (int l = 0; l < VL; ++l) vk[l] = values[k0 + l < m ? k0 + l : k0];
        vi below = vi{};
        for (int32_t l = 0; l < m; ++l) below -= (vi)(splat(values[l]) < vk);
        for (int l = 0; l < VL && k0 + l < m; ++l) ranks[k0 + l] = below[l];
    }
    // Without ties and NaN the counts are a permutation of 0 .. m-1.
    std::memset(seen, 0, static_cast<size_t>(m));
    for (int32_t k = 0; k < m; ++k) {
        const int32_t r = ranks[k];
        if (r < 0 || r >= m || seen[r]) return false;
        seen[r] = 1;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Row preparation: values (or ranks) of each group's columns packed into
// the panels, with each row's mean and variance.

constexpr int32_t kCountingRanksMax = 512;

template <class S>
void rank_group(const float* row, const int32_t* columns, int32_t m, const prepare_scratch& sc, float* rank_row) {
    if (m <= 0) return;
    for (int32_t k = 0; k < m; ++k) sc.values[k] = row[columns[k]];
    const bool distinct = m <= kCountingRanksMax ? distinct_ranks(sc.values, m, sc.ranks, sc.seen)
                                                 : sorted_distinct_ranks(sc.values, m, sc.ranks, sc.keys);
    if (distinct) {
        for (int32_t k = 0; k < m; ++k) rank_row[columns[k]] = static_cast<float>(sc.ranks[k]);
    } else if constexpr (S::sound) {
        rank_row_average(row, rank_row, columns, m, sc.order);
    } else {
        rank_row_by_index_sort(row, rank_row, columns, m, sc.order);
    }
}

// The VL rows of a group's panel from row `first` on, whose values (or
// ranks) are rows[l][column]: sample by sample, so that the VL floats of
// one sample (adjacent in the panel) are written together and each cache
// line of the panel is filled while it is at hand.
void pack_vector(const float* const* rows, const int32_t* columns, const group_panel& g, int32_t first) {
    float* out = row_in_panel(g, first);
    for (int32_t s = 0; s < g.n; ++s) {
        const int32_t column = columns[s];
        float* at = out + static_cast<int64_t>(s) * W;
#pragma GCC unroll 16
        for (int l = 0; l < VL; ++l) at[l] = rows[l][column];
    }
}

// Mean and variance of every row of a packed block, VL rows per vector:
// each lane sums its row's values in sample order, as a scalar loop would.
// Padding rows hold zeros and get mean 0 and variance 0.
void block_moments(const group_panel& g, int32_t block) {
    const float* panel = block_in_panel(g, block);
    const float count = static_cast<float>(g.n);
    for (int c = 0; c < C; ++c) {
        vf sx = vf{}, sxx = vf{};
        for (int32_t s = 0; s < g.n; ++s) {
            const vf v = load(panel + static_cast<int64_t>(s) * W + c * VL);
            sx = sx + v;
            sxx = sxx + v * v;
        }
        const vf mean = sx / count;
        store(g.mean + block * W + c * VL, mean);
        store(g.var + block * W + c * VL, sxx / count - mean * mean);
    }
}

// Sound rules: every row of a packed block centred on its mean and scaled
// to a unit sum of squares, VL rows per vector (each lane in sample order,
// as standardised_row does for one row), so that a pair's sum of products
// is its correlation. A row whose values are all equal, or that holds a
// NaN, becomes NaN, and so does every correlation with it. Padding rows
// (zeros) become NaN.
void standardise_block(const group_panel& g, int32_t block) {
    float* panel = block_in_panel(g, block);
    const float count = static_cast<float>(g.n);
    for (int c = 0; c < C; ++c) {
        float* lanes = panel + c * VL;
        vf sx = vf{}, lo = splat(__builtin_inff()), hi = splat(-__builtin_inff());
        for (int32_t s = 0; s < g.n; ++s) {
            const vf v = load(lanes + static_cast<int64_t>(s) * W);
            sx = sx + v;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        const vf mean = sx / count;
        vf ss = vf{};
        for (int32_t s = 0; s < g.n; ++s) {
            const vf d = load(lanes + static_cast<int64_t>(s) * W) - mean;
            ss = ss + d * d;
        }
        const vi defined = (vi)(lo < hi) & (vi)(ss > 0.0f);
        const vf scale = defined ? 1.0f / CORRSHIFT_VSQRT(ss) : splat(__builtin_nanf(""));
        for (int32_t s = 0; s < g.n; ++s) {
            float* at = lanes + static_cast<int64_t>(s) * W;
            store(at, (load(at) - mean) * scale);
        }
    }
}

// What a row kRowsAhead rows on reads is asked for while a row is packed
// (its first kPrefetchRowBytes bytes): the matrix (or the rows' orders) is
// read once per cycle, so its rows come from beyond the core's caches.
constexpr int32_t kRowsAhead = 2;
constexpr int64_t kPrefetchRowBytes = 16384;

inline void prefetch_row(const void* row, int32_t samples) {
    const int64_t bytes = static_cast<int64_t>(samples) * 4;
    const char* p = static_cast<const char*>(row);
    for (int64_t b = 0; b < bytes && b < kPrefetchRowBytes; b += 64) prefetch(p + b);
}

// Whether a row's ranks come from its order (ranks_from_order), which reads
// the order and not the row's values.
inline bool ranked_from_order(const prepare_job& job, int32_t row) {
    return job.spearman && job.order != nullptr && job.disjoint && job.distinct[row];
}

// Asks for what row `row` will read: its order or its values.
inline void prefetch_inputs(const prepare_job& job, int32_t row) {
    if (ranked_from_order(job, row))
        prefetch_row(job.order + static_cast<int64_t>(row) * job.samples, job.samples);
    else
        prefetch_row(job.data + static_cast<int64_t>(row) * job.samples, job.samples);
}

// Ranks of a row without ties into rank_row: walking the row's samples in
// ascending order, a member of a group gets the count of its group's
// members met before it, which is its rank in the group (other columns get
// values no one reads). Branch-free, as membership is random from cycle to
// cycle: both counts live in one 64-bit word (group 1's in the low half,
// group 2's in the high half), and a column's group picks the half it
// reads and the half it adds to. Each half counts from the bits of the
// float 2^23, so that a half read is the float 2^23 + count as it stands
// (adding 1 to those bits adds 1 to the float while the count stays below
// 2^23) and no conversion is made per sample; one vector pass then takes
// 2^23 off every value, exactly.
constexpr uint32_t kBitsOfTwoTo23 = 0x4B000000u;
constexpr float kTwoTo23 = 0x1p23f;

void ranks_from_order(const prepare_job& job, int32_t row, float* __restrict rank_row) {
    static constexpr uint64_t kStep[3] = {0, 1, uint64_t{1} << 32};  // by group: none, 1, 2
    static constexpr uint8_t kHalf[3] = {0, 0, 32};
    const int32_t* __restrict order = job.order + static_cast<int64_t>(row) * job.samples;
    const uint8_t* __restrict member = job.member;
    uint64_t seen = kBitsOfTwoTo23 | uint64_t{kBitsOfTwoTo23} << 32;
    for (int32_t p = 0; p < job.samples; ++p) {
        const int32_t s = order[p];
        const uint32_t group = member[s];
        const auto bits = static_cast<uint32_t>(seen >> kHalf[group]);
        std::memcpy(rank_row + s, &bits, sizeof bits);
        seen += kStep[group];
    }
    map_lanes(rank_row, rank_row, job.samples, [](vf v) { return v - kTwoTo23; });
}

// Average ranks of a row with ties (sound rules) into rank_row, from its
// order: the order holds each block of tied values together, and a block's
// members of group g share the average of the positions it spans in the
// group, (i + j) / 2 over i .. j (as rank_row_average computes it), i the
// group's members before the block and j + 1 those up to its end. Two
// branch-free passes count both groups at once in one 64-bit word (group
// 1's in the low half, group 2's in the high half): forward, the counts
// where each position's block begins (block_starts, P words); backward,
// where it ends, and the rank.
void tied_ranks_from_order(const prepare_job& job, int32_t row, float* __restrict rank_row,
                           uint64_t* __restrict block_starts) {
    static constexpr uint64_t kStep[3] = {0, 1, uint64_t{1} << 32};  // by group: none, 1, 2
    static constexpr uint8_t kHalf[3] = {0, 0, 32};
    const auto* __restrict order =
        reinterpret_cast<const uint32_t*>(job.order + static_cast<int64_t>(row) * job.samples);
    const uint8_t* __restrict member = job.member;
    const int32_t samples = job.samples;
    uint64_t seen = 0, start = 0;
    for (int32_t p = 0; p < samples; ++p) {
        const uint32_t entry = order[p];
        start = (entry & kTiedToPrevious) != 0 ? start : seen;
        block_starts[p] = start;
        seen += kStep[member[entry & ~kTiedToPrevious]];
    }
    uint64_t end = seen;
    for (int32_t p = samples - 1; p >= 0; --p) {
        const uint32_t column = order[p] & ~kTiedToPrevious;
        const uint8_t g = member[column];
        const bool last = p == samples - 1 || (order[p + 1] & kTiedToPrevious) == 0;
        end = last ? seen : end;
        const auto before = static_cast<uint32_t>(block_starts[p] >> kHalf[g]);
        const auto through = static_cast<uint32_t>(end >> kHalf[g]);
        // Columns of neither group get values no one reads.
        rank_row[column] = static_cast<float>(before + through - 1u) * 0.5f;
        seen -= kStep[g];
    }
}

// Each group's columns of a block from the sample-major values: one copy
// of W floats per sample (rows past K are zero there, as in the panels).
void pack_block_by_sample(const prepare_job& job, int32_t block) {
    const float* values = job.by_sample + static_cast<int64_t>(block - job.by_sample_first) * job.samples * W;
    for (const auto& [g, columns] : {std::pair{&job.g1, job.group1}, std::pair{&job.g2, job.group2}}) {
        float* panel = block_in_panel(*g, block);
        for (int32_t s = 0; s < g->n; ++s)
            std::memcpy(panel + static_cast<int64_t>(s) * W, values + static_cast<int64_t>(columns[s]) * W,
                        W * sizeof(float));
    }
}

// Each group's columns of a block, VL rows at a time: values taken from
// each data row, or its ranks within each group under "spearman" (each row
// ranked into a row of its own in the worker's scratch); rows past K are
// zero.
template <class S>
void pack_block_by_rows(const prepare_job& job, const prepare_scratch& sc, int32_t block) {
    for (int c = 0; c < C; ++c) {
        const float* rows[VL];
        const int32_t first = block * W + c * VL;
        for (int l = 0; l < VL; ++l) {
            const int32_t row = first + l;
            if (row >= job.features) {
                rows[l] = job.zeros;
                continue;
            }
            const float* src = job.data + static_cast<int64_t>(row) * job.samples;
            if (row + kRowsAhead < job.features) prefetch_inputs(job, row + kRowsAhead);
            if (job.spearman) {
                float* ranks = sc.rank_rows + static_cast<int64_t>(l) * job.samples;
                if (ranked_from_order(job, row)) {
                    if (job.distinct[row] == static_cast<uint8_t>(row_order::tied))
                        tied_ranks_from_order(job, row, ranks, sc.block_starts);
                    else
                        ranks_from_order(job, row, ranks);
                } else {
                    // Group 2's ranks are written after group 1's, as into a
                    // shared rank matrix: a column in both groups keeps group 2's.
                    rank_group<S>(src, job.group1, job.g1.n, sc, ranks);
                    rank_group<S>(src, job.group2, job.g2.n, sc, ranks);
                }
                src = ranks;
            }
            rows[l] = src;
        }
        pack_vector(rows, job.group1, job.g1, first);
        pack_vector(rows, job.group2, job.g2, first);
    }
}

template <class S>
void prepare_blocks(const prepare_job& job, int32_t worker, int32_t begin, int32_t end) {
    for (int32_t block = begin; block < end; ++block) {
        if (job.by_sample != nullptr)
            pack_block_by_sample(job, block);
        else
            pack_block_by_rows<S>(job, job.scratch[worker], block);
        if constexpr (S::sound) {
            standardise_block(job.g1, block);
            standardise_block(job.g2, block);
        } else {
            block_moments(job.g1, block);
            block_moments(job.g2, block);
        }
    }
}

}  // namespace
