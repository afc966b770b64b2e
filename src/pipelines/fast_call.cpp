#include "fast_call.hpp"

#include <algorithm>

#include "../run/phase_clock.hpp"
#include "../run/workers.hpp"
#include "../stats/fast/kernel_select.hpp"
#include "../stats/rank.hpp"

namespace corrshift {

namespace {

// The pair kernel keeps both groups' panels of this many bytes of second
// rows in a core's cache while it passes over them.
constexpr int64_t kCachedPanelBytes = 512 * 1024;

// Whether ranking from each row's order (a pass over all P samples per row
// and cycle) beats counting within each group (about (n1^2 + n2^2) / 8
// vector steps per row and cycle), with cycles enough to repay the sort.
bool rank_from_order(const checked_inputs& in, int32_t permutations) {
    const int64_t counting = int64_t{in.n1} * in.n1 + int64_t{in.n2} * in.n2;
    // ranks_from_order counts in the bits of floats from 2^23 on.
    return permutations > 0 && int64_t{in.samples} * 24 < counting && in.samples < (int32_t{1} << 23);
}

// Each row's order over all samples. Sound rules keep the orders of rows
// with ties too (their average ranks follow from counts within each block
// of ties); classic rules rank ties in sort order, so only rows without
// ties are ranked from their order there.
void find_row_orders(fast_call& rows, const checked_inputs& in, int32_t threads, statistics rules) {
    const int32_t p = in.samples;
    const auto cells = static_cast<size_t>(in.features) * static_cast<size_t>(p);
    rows.sample_order = make_scratch<int32_t>(cells);
    rows.distinct = make_scratch<uint8_t>(static_cast<size_t>(in.features));
    rows.member = make_scratch<uint8_t>(static_cast<size_t>(p));
    const auto t = static_cast<size_t>(std::min(threads, std::max(in.features, 1)));
    auto keys = make_scratch<uint64_t>(t * static_cast<size_t>(p));
    const float* data = in.data;
    int32_t* order = rows.sample_order.get();
    uint8_t* distinct = rows.distinct.get();
    uint64_t* k = keys.get();
    const bool sound = rules == statistics::sound;
    run_numbered_workers(in.features, threads, [=](int32_t worker, int32_t begin, int32_t end) {
        for (int32_t r = begin; r < end; ++r) {
            const int64_t at = static_cast<int64_t>(r) * p;
            uint64_t* keys = k + static_cast<size_t>(worker) * p;
            const row_order found = sorted_order_marking_ties(data + at, p, order + at, keys);
            const bool usable = found == row_order::distinct || (found == row_order::tied && sound);
            distinct[r] = static_cast<uint8_t>(usable ? found : row_order::unusable);
        }
    });
    rows.job.order = order;
    rows.job.distinct = distinct;
    rows.job.member = rows.member.get();
}

// The row orders of another call over the same data: read from it, with
// this call's own membership scratch.
void share_row_orders(fast_call& rows, const fast_call& same_data, const checked_inputs& in) {
    rows.member = make_scratch<uint8_t>(static_cast<size_t>(in.samples));
    rows.job.order = same_data.job.order;
    rows.job.distinct = same_data.job.distinct;
    rows.job.member = rows.member.get();
}

// Each column's group in the cycle (1, 2, or 0 for none); false when a
// column is listed twice, in one group or in both.
bool find_members(fast_call& rows, const cycle_view& view) {
    uint8_t* member = rows.member.get();
    std::fill_n(member, rows.job.samples, uint8_t{0});
    for (int32_t k = 0; k < rows.job.g1.n; ++k) {
        uint8_t& m = member[view.group1[k]];
        if (m != 0) return false;
        m = 1;
    }
    for (int32_t k = 0; k < rows.job.g2.n; ++k) {
        uint8_t& m = member[view.group2[k]];
        if (m != 0) return false;
        m = 2;
    }
    return true;
}

// Splits the pair positions among the workers. Listed pairs: equal counts.
// The condensed order: at row boundaries, each row charged half a panel
// block on top of its pairs (its first block lies partly before the row's
// pairs, and the later rows are the short ones), so that the workers' work
// is about equal.
void split_pairs(fast_call& rows, const checked_inputs& in, int32_t threads) {
    const int32_t t = std::min(threads, std::max(in.pairs, 1));
    rows.pair_workers = t;
    rows.pair_cuts.assign(static_cast<size_t>(t) + 1, in.pairs);
    for (int32_t w = 0; w < t; ++w) rows.pair_cuts[static_cast<size_t>(w)] = split_range(in.pairs, t, w).begin;
    // Listed pairs and the rectangle's rows cost alike: equal counts.
    if (in.pair_first != nullptr || in.between > 0 || t == 1) return;
    std::fill(rows.pair_cuts.begin() + 1, rows.pair_cuts.end(), in.pairs);
    const int64_t k = in.features;
    const int64_t row_charge = rows.kernels->width / 2;
    const int64_t total = k * (k - 1) / 2 + k * row_charge;
    int64_t done = 0, position = 0;
    int32_t w = 1;
    for (int64_t i = 0; i < k && w < t; ++i) {
        // Row i begins at `position`; cut before it once the work so far
        // reaches worker w's share.
        while (w < t && done * t >= total * w) rows.pair_cuts[static_cast<size_t>(w++)] = static_cast<int32_t>(position);
        done += (k - 1 - i) + row_charge;
        position += k - 1 - i;
    }
}

// The largest sample-major copy a call makes: beyond it (many samples, as
// single-cell data has) the memory weighs more than the faster packing.
constexpr int64_t kMostBySampleBytes = int64_t{512} << 20;

// Whether the cycles pack from a sample-major copy of the values: for the
// values themselves (not ranks) when cycles follow, in corrshift's entry
// (the copy is as large as the rows it holds; `pipelines` keeps its
// memory to the panels and results).
bool by_sample_pays(const fast_call& rows, const checked_inputs& in, const call_options& options) {
    const int64_t bytes = static_cast<int64_t>(rows.last_block - rows.first_block) * rows.kernels->width *
                          in.samples * static_cast<int64_t>(sizeof(float));
    return !options.spearman && options.rules == statistics::sound && options.permutations > 0 && in.samples > 0 &&
           bytes <= kMostBySampleBytes;
}

// The sample-major copy of the rows of the blocks a cycle packs, one worker
// per range of blocks (after job.zeros is set).
void make_by_sample(fast_call& rows, const checked_inputs& in, int32_t threads) {
    const int32_t width = rows.kernels->width;
    const int32_t first = rows.first_block;
    const int64_t block_floats = static_cast<int64_t>(in.samples) * width;
    rows.by_sample = make_large_scratch<float>(static_cast<size_t>((rows.last_block - first) * block_floats));
    float* copy = rows.by_sample.get();
    run_workers(rows.last_block - first, threads, [&](int32_t begin, int32_t end) {
        for (int32_t b = begin; b < end; ++b) {
            float* block = copy + b * block_floats;
            for (int32_t r = 0; r < width; ++r) {
                const int64_t row = static_cast<int64_t>(first + b) * width + r;
                // Rows past K copy the padding rows' zeros, as the panels hold them.
                const float* values = row < in.features ? in.data + row * in.samples : rows.job.zeros;
                float* out = block + r;
                for (int32_t s = 0; s < in.samples; ++s) out[static_cast<int64_t>(s) * width] = values[s];
            }
        }
    });
    rows.job.by_sample = copy;
    rows.job.by_sample_first = first;
}

}  // namespace

void make_fast_call(fast_call& rows, const checked_inputs& in, const call_options& options,
                    const fast_call* same_data) {
    const bool spearman = options.spearman;
    const int32_t threads = options.threads;
    rows.kernels = &active_kernels();
    rows.by_rules = &rows.kernels->under(options.rules);
    rows.threads = threads;
    const int32_t width = rows.kernels->width;
    rows.blocks = (in.features + width - 1) / width;
    rows.first_block = 0;
    rows.last_block = rows.blocks;
    if (in.pair_first != nullptr && in.pairs > 0) {
        const auto [low1, high1] = std::minmax_element(in.pair_first, in.pair_first + in.pairs);
        const auto [low2, high2] = std::minmax_element(in.pair_second, in.pair_second + in.pairs);
        rows.first_block = std::min(*low1, *low2) / width;
        rows.last_block = std::max(*high1, *high2) / width + 1;
    }
    const int64_t padded = static_cast<int64_t>(rows.blocks) * width;
    rows.panel1 = make_large_scratch<float>(static_cast<size_t>(padded * in.n1));
    rows.panel2 = make_large_scratch<float>(static_cast<size_t>(padded * in.n2));
    rows.moments = make_scratch<float>(static_cast<size_t>(padded * 4));
    float* m = rows.moments.get();
    prepare_job& job = rows.job;
    job.data = in.data;
    job.samples = in.samples;
    job.features = in.features;
    job.spearman = spearman;
    job.g1 = {rows.panel1.get(), m, m + padded, in.n1};
    job.g2 = {rows.panel2.get(), m + 2 * padded, m + 3 * padded, in.n2};

    // A fork-join over the blocks starts at most one worker per block.
    const auto t = static_cast<size_t>(std::min(threads, std::max(rows.blocks, 1)));
    const auto most = static_cast<size_t>(std::max(in.n1, in.n2));
    rows.workers.assign(t, prepare_scratch{});
    rows.zeros.assign(static_cast<size_t>(in.samples), 0.0f);
    job.zeros = rows.zeros.data();
    if (spearman) {
        const size_t rank_floats = static_cast<size_t>(rows.kernels->lanes) * static_cast<size_t>(in.samples);
        rows.rank_rows = make_scratch<float>(t * rank_floats);
        rows.values = make_scratch<float>(t * most);
        rows.order = make_scratch<int32_t>(t * most);
        rows.ranks = make_scratch<int32_t>(t * most);
        rows.seen = make_scratch<uint8_t>(t * most);
        rows.keys = make_scratch<uint64_t>(t * most);
        const auto p = static_cast<size_t>(in.samples);
        rows.block_starts = make_scratch<uint64_t>(t * p);
        for (size_t w = 0; w < t; ++w)
            rows.workers[w] = {rows.rank_rows.get() + w * rank_floats, rows.values.get() + w * most,
                               rows.order.get() + w * most, rows.ranks.get() + w * most, rows.seen.get() + w * most,
                               rows.keys.get() + w * most, rows.block_starts.get() + w * p};
    }
    job.scratch = rows.workers.data();
    if (spearman && rank_from_order(in, options.permutations)) {
        if (same_data != nullptr && same_data->job.order != nullptr)
            share_row_orders(rows, *same_data, in);
        else
            find_row_orders(rows, in, threads, options.rules);
    }
    if (by_sample_pays(rows, in, options)) {
        if (same_data != nullptr && same_data->job.by_sample != nullptr) {
            rows.job.by_sample = same_data->job.by_sample;
            rows.job.by_sample_first = same_data->job.by_sample_first;
        } else {
            make_by_sample(rows, in, threads);
        }
    }
    split_pairs(rows, in, threads);

    if (in.pair_first != nullptr) {
        const int32_t* first = in.pair_first;
        const int32_t* second = in.pair_second;
        auto continues = [=](int32_t k) { return first[k] == first[k - 1] && second[k] == second[k - 1] + 1; };
        int32_t count = 0;
        for (int32_t k = 0; k < in.pairs; ++k) count += k == 0 || !continues(k);
        rows.segments = count;
        rows.segment_starts = make_scratch<int32_t>(static_cast<size_t>(count) + 1);
        int32_t* starts = rows.segment_starts.get();
        int32_t s = 0;
        for (int32_t k = 0; k < in.pairs; ++k)
            if (k == 0 || !continues(k)) starts[s++] = k;
        starts[s] = in.pairs;
    }
}

void break_segments_at(fast_call& rows, const int32_t* starts, int32_t count) {
    const int32_t* old = rows.segment_starts.get();
    const int32_t pairs = old[rows.segments];
    std::vector<int32_t> merged(old, old + rows.segments);
    for (int32_t u = 0; u < count; ++u)
        if (starts[u] < pairs) merged.push_back(starts[u]);
    std::sort(merged.begin(), merged.end());
    merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
    rows.segments = static_cast<int32_t>(merged.size());
    rows.segment_starts = make_scratch<int32_t>(merged.size() + 1);
    std::copy(merged.begin(), merged.end(), rows.segment_starts.get());
    rows.segment_starts.get()[rows.segments] = pairs;
}

void pack_cycle_rows(fast_call& rows, const cycle_view& view) {
    const timed_phase timing(phase::rows);
    rows.job.group1 = view.group1;
    rows.job.group2 = view.group2;
    if (rows.job.order != nullptr) rows.job.disjoint = find_members(rows, view);
    const prepare_job* job = &rows.job;
    const rule_kernels* kernels = rows.by_rules;
    const int32_t first = rows.first_block;
    run_numbered_workers(rows.last_block - first, rows.threads, [=](int32_t worker, int32_t begin, int32_t end) {
        kernels->prepare_blocks(*job, worker, first + begin, first + end);
    });
}

pair_job pair_job_for(const fast_call& rows, const checked_inputs& in) {
    pair_job job{};
    job.features = in.features;
    job.between = in.between;
    job.pair_first = in.pair_first;
    job.pair_second = in.pair_second;
    job.segment_starts = rows.segment_starts.get();
    job.segments = rows.segments;
    job.g1 = rows.job.g1;
    job.g2 = rows.job.g2;
    const int64_t row_bytes = static_cast<int64_t>(in.n1 + in.n2) * 4;
    const int64_t padded_rows = static_cast<int64_t>(rows.blocks) * rows.kernels->width;
    job.l2_rows = static_cast<int32_t>(std::min(padded_rows, kCachedPanelBytes / std::max<int64_t>(row_bytes, 1)));
    return job;
}

}  // namespace corrshift
