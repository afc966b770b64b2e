// The pair phase of one kernel build against the straightforward kernels,
// under each set of rules. The fast side packs each cycle's rows and runs
// the pair kernel over ranges of positions as the pipelines' workers do;
// the reference side ranks the matrix and correlates every pair sample by
// sample.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "suites.hpp"
#include "../../src/stats/tally.hpp"
#include "../../src/run/permutation.hpp"
#include "../../src/run/workers.hpp"
#include "../../src/stats/correlation.hpp"
#include "../../src/stats/fast_scores.hpp"
#include "../../src/stats/rank.hpp"
#include "../../src/stats/score.hpp"
#include "../../src/stats/ztest.hpp"

namespace engine_test {

namespace {

using namespace corrshift;

constexpr int32_t kPermutations = 3;

const std::string& tail_name(tail t) {
    return t == tail::two_sided ? kTwoSided : t == tail::greater ? kGreater : kLess;
}

const char* rules_name(statistics s) { return s == statistics::sound ? "sound rules" : "classic rules"; }

struct inputs {
    matrix data;
    std::vector<int32_t> group1, group2, first, second;
    int32_t n1, n2, pairs;
    bool spearman;
    statistics rules;
    tail alternative;
    bool sound() const { return rules == statistics::sound; }
    const int32_t* pair_first() const { return first.empty() ? nullptr : first.data(); }
    const int32_t* pair_second() const { return first.empty() ? nullptr : second.data(); }
};

// The tanh of an observed difference that the tally compares with: sound
// rules place an undefined difference beyond every permuted one.
float stored_tanh(const inputs& in, float z) {
    if (in.sound() && std::isnan(z))
        return in.alternative == tail::less ? -std::numeric_limits<float>::infinity()
                                            : std::numeric_limits<float>::infinity();
    return tanh_of_difference(z);
}

// Permutation counts of n statistics by the fast side and by the
// straightforward one. The fast counts start at 7: the observed cycle must
// zero them. The undefined counts are kept under sound rules only.
struct tallies {
    std::vector<uint32_t> counts, undefined, expected_counts, expected_undefined;

    explicit tallies(size_t n) : counts(n, 7u), undefined(n, 7u), expected_counts(n, 0u), expected_undefined(n, 0u) {}

    uint32_t* undefined_under(const inputs& in) { return in.sound() ? undefined.data() : nullptr; }

    // The straightforward tally of one permutation cycle.
    void expect(const inputs& in, const float* observed, const float* permuted) {
        const auto n = static_cast<int32_t>(counts.size());
        tally_extremes(in.alternative, observed, permuted, expected_counts.data(), n);
        if (in.sound()) tally_undefined(permuted, expected_undefined.data(), n);
    }

    void compare(const inputs& in, const char* counts_what, const char* undefined_what, report& r) const {
        const auto n = static_cast<int64_t>(counts.size());
        r.same(counts_what, counts.data(), expected_counts.data(), n);
        if (in.sound()) r.same(undefined_what, undefined.data(), expected_undefined.data(), n);
    }
};

// One aggregate's per-unit scores of the observed cycle and their tallies.
struct unit_results : tallies {
    bool mean;
    std::vector<float> scores, expected_scores;

    unit_results(bool by_mean, size_t units) : tallies(units), mean(by_mean), scores(units) {}
};

// Runs of listed pairs sharing their first feature, as the indexed score
// pipeline takes them: a pair whose first feature is not above the last
// run's belongs to no run.
struct runs {
    std::vector<int32_t> start, stop;
    int32_t count() const { return static_cast<int32_t>(start.size()); }
};

runs runs_of(const std::vector<int32_t>& first) {
    runs out;
    const auto n = static_cast<int32_t>(first.size());
    int32_t last = -1;
    for (int32_t k = 0; k < n;) {
        if (first[k] <= last) {
            ++k;
            continue;
        }
        last = first[k];
        out.start.push_back(k);
        while (k < n && first[k] == last) ++k;
        out.stop.push_back(k);
    }
    return out;
}

// Both groups' correlations, the Fisher differences and, with_p, the
// normal p-values of every pair by the straightforward kernels.
struct cycle_results {
    std::vector<float> corr1, corr2, z, p;
};

cycle_results reference_cycle(const inputs& in, const int32_t* g1, const int32_t* g2, bool with_p) {
    const matrix& m = in.data;
    std::vector<float> ranks;
    const float* values = m.values.data();
    if (in.spearman) {
        ranks.assign(m.values.size(), 0.0f);
        rank_transform(values, ranks.data(), m.samples, m.features, g1, in.n1, 1, in.rules);
        rank_transform(values, ranks.data(), m.samples, m.features, g2, in.n2, 1, in.rules);
        values = ranks.data();
    }
    const auto n = static_cast<size_t>(in.pairs);
    cycle_results out{std::vector<float>(n), std::vector<float>(n), std::vector<float>(n), std::vector<float>(n)};
    pair_statistics(values, m.samples, in.pair_first(), in.pair_second(), 0, in.pairs, m.features, g1, g2, in.n1,
                    in.n2, out.corr1.data(), out.corr2.data(), out.z.data(), with_p ? out.p.data() : nullptr,
                    in.alternative, difference_standard_error(in.n1, in.n2, in.spearman), in.rules);
    return out;
}

// The packed rows of the fast path and a pair job over them, set up as the
// pipelines set them up; the outputs of each mode are the caller's.
struct fast_rows {
    const kernel_table* kernels;
    const rule_kernels* by_rules;  // the kernels of the inputs' rules
    int32_t padded;  // rows rounded up to whole panel blocks
    std::vector<float> panel1, panel2, moments, rank_rows, values, zeros;
    std::vector<int32_t> order, ranks, row_orders, segment_starts;
    std::vector<uint8_t> seen, distinct, member;
    std::vector<uint64_t> keys, block_starts;
    prepare_scratch scratch{};
    prepare_job prepare{};
    pair_job job{};

    fast_rows(const kernel_table& k, const inputs& in, int32_t stretch) : kernels(&k), by_rules(&k.under(in.rules)) {
        const int32_t w = k.width, features = in.data.features, samples = in.data.samples;
        padded = (features + w - 1) / w * w;
        const auto most = static_cast<size_t>(std::max(in.n1, in.n2));
        panel1.resize(static_cast<size_t>(padded) * in.n1);
        panel2.resize(static_cast<size_t>(padded) * in.n2);
        moments.resize(static_cast<size_t>(padded) * 4);
        rank_rows.resize(static_cast<size_t>(k.lanes) * samples);
        zeros.assign(static_cast<size_t>(samples), 0.0f);
        values.resize(most);
        order.resize(most);
        ranks.resize(most);
        seen.resize(most);
        keys.resize(std::max(most, static_cast<size_t>(samples)));
        block_starts.resize(static_cast<size_t>(samples));
        scratch = {rank_rows.data(), values.data(), order.data(), ranks.data(), seen.data(), keys.data(),
                   block_starts.data()};
        float* m = moments.data();
        prepare.data = in.data.values.data();
        prepare.samples = samples;
        prepare.features = features;
        prepare.spearman = in.spearman;
        prepare.g1 = {panel1.data(), m, m + padded, in.n1};
        prepare.g2 = {panel2.data(), m + 2 * padded, m + 3 * padded, in.n2};
        prepare.scratch = &scratch;
        prepare.zeros = zeros.data();
        // Large groups next to the sample count: ranks from each row's order.
        const int64_t counting = int64_t{in.n1} * in.n1 + int64_t{in.n2} * in.n2;
        if (in.spearman && int64_t{samples} * 24 < counting) {
            row_orders.resize(static_cast<size_t>(features) * samples);
            distinct.resize(static_cast<size_t>(features));
            member.resize(static_cast<size_t>(samples));
            for (int32_t r = 0; r < features; ++r) {
                const int64_t at = static_cast<int64_t>(r) * samples;
                distinct[r] = sorted_distinct_order(prepare.data + at, samples, row_orders.data() + at, keys.data());
            }
            prepare.order = row_orders.data();
            prepare.distinct = distinct.data();
            prepare.member = member.data();
        }
        job.features = features;
        job.pair_first = in.pair_first();
        job.pair_second = in.pair_second();
        if (!in.first.empty()) {
            for (int32_t k = 0; k < in.pairs; ++k)
                if (k == 0 || in.first[k] != in.first[k - 1] || in.second[k] != in.second[k - 1] + 1)
                    segment_starts.push_back(k);
            job.segments = static_cast<int32_t>(segment_starts.size());
            segment_starts.push_back(in.pairs);
            job.segment_starts = segment_starts.data();
        }
        job.g1 = prepare.g1;
        job.g2 = prepare.g2;
        const int32_t cached = (512 * 1024) / std::max(4 * (in.n1 + in.n2), 1);
        job.l2_rows = stretch > 0 ? stretch : std::min(padded, cached);
    }

    // Packs the rows for the cycle's groups, in two ranges of blocks.
    void pack(const int32_t* g1, const int32_t* g2) {
        prepare.group1 = g1;
        prepare.group2 = g2;
        if (prepare.order != nullptr) {
            // Each column's group; not disjoint when one is listed twice.
            std::fill(member.begin(), member.end(), uint8_t{0});
            bool disjoint = true;
            auto mark = [&](const int32_t* g, int32_t count, uint8_t group) {
                for (int32_t k = 0; k < count; ++k) {
                    disjoint = disjoint && member[g[k]] == 0;
                    member[g[k]] = group;
                }
            };
            mark(g1, prepare.g1.n, 1);
            mark(g2, prepare.g2.n, 2);
            prepare.disjoint = disjoint;
        }
        const int32_t blocks = padded / kernels->width;
        by_rules->prepare_blocks(prepare, 0, 0, blocks / 2);
        by_rules->prepare_blocks(prepare, 0, blocks / 2, blocks);
    }

    // The pairs in `pieces` ranges, as the workers split them, by one
    // mode's entry point (write_pairs, tally_pairs, count_medians).
    template <class Mode>
    void run(void (*entry)(const pair_job&, const Mode&, int32_t, int32_t), const Mode& out, int32_t pairs,
             int32_t pieces) const {
        for (int32_t w = 0; w < pieces; ++w) {
            const unit_range r = split_range(pairs, pieces, w);
            entry(job, out, r.begin, r.end);
        }
    }
};

// Per-unit scores (features, or runs of listed pairs) of the Fisher
// differences z by the fast aggregation and by the straightforward one.
struct scorer {
    const inputs* in;
    runs units;
    int32_t count;

    explicit scorer(const inputs& i) : in(&i), units(runs_of(i.first)) {
        count = in->first.empty() ? in->data.features : units.count();
    }

    score_job job(unit_results& u) const {
        score_job j{};
        j.features = in->data.features;
        j.rules = in->rules;
        j.mean = u.mean;
        j.magnitude = in->alternative == tail::two_sided;
        j.alternative = in->alternative;
        j.scores = u.scores.data();
        j.counts = u.counts.data();
        j.undefined = u.undefined_under(*in);
        return j;
    }

    // The observed cycle's scores (counts zeroed) or, when permuted, the
    // tally of a permutation cycle of mean scores.
    void fast(const float* z, unit_results& u, bool permuted) const {
        std::vector<float> scratch(16 * static_cast<size_t>(in->pairs) + 16);
        score_job j = job(u);
        j.z_diff = z;
        if (permuted) j.observed = u.scores.data();
        if (in->first.empty())
            feature_scores(j, scratch.data(), 0, count);
        else
            run_scores(j, units.start.data(), units.stop.data(), scratch.data(), 0, count);
    }

    std::vector<float> reference(const float* z, bool mean) const {
        std::vector<float> scores(static_cast<size_t>(count));
        const score_rule rule = make_score_rule(mean, in->alternative, in->rules);
        if (in->first.empty())
            score_features(z, count, 0, count, scores.data(), rule);
        else
            score_runs(z, units.start.data(), units.stop.data(), 0, count, scores.data(), rule);
        return scores;
    }

    // Each unit's differences below its threshold (not above it under
    // "less"; magnitudes under "two-sided") and those that are numbers.
    void reference_counts(const float* z, const float* threshold, uint32_t* hits, uint32_t* numbers) const {
        const bool magnitude = in->alternative == tail::two_sided, not_above = in->alternative == tail::less;
        auto count_in = [&](int32_t u, float d) {
            const float key = magnitude ? std::fabs(d) : d;
            hits[u] += not_above ? key <= threshold[u] : key < threshold[u];
            numbers[u] += d == d;
        };
        if (in->first.empty()) {
            for (int32_t k = 0; k < in->pairs; ++k) {
                const feature_pair p = decode_pair(k, in->data.features);
                count_in(p.first, z[k]);
                count_in(p.second, z[k]);
            }
        } else {
            for (int32_t g = 0; g < count; ++g)
                for (int32_t k = units.start[g]; k < units.stop[g]; ++k) count_in(g, z[k]);
        }
    }

    // Tallies each unit's permuted median against its observed score, from
    // the hit counts.
    void settle(const uint32_t* hits, const uint32_t* numbers, unit_results& u, int32_t stride) const {
        score_job j = job(u);
        j.observed = u.scores.data();
        if (in->first.empty())
            settle_feature_medians(j, hits, numbers, 1, stride, 0, count);
        else
            settle_run_medians(j, hits, numbers, units.start.data(), units.stop.data(), 0, count);
    }
};

void check_alternative(const kernel_table& kernels, const pair_case& c, inputs& in, report& r) {
    const int32_t n = in.pairs;
    const auto size = static_cast<size_t>(n);
    fast_rows rows(kernels, in, c.stretch);
    scorer scores(in);

    // The observed cycle.
    const cycle_results ref = reference_cycle(in, in.group1.data(), in.group2.data(), true);
    cycle_results got{std::vector<float>(size), std::vector<float>(size), std::vector<float>(size),
                      std::vector<float>(size)};
    std::vector<float> tanh_z(size);
    tallies ztest(size);
    rows.pack(in.group1.data(), in.group2.data());
    pair_writes observed{};
    observed.corr1 = got.corr1.data();
    observed.corr2 = got.corr2.data();
    observed.z_diff = got.z.data();
    observed.p_normal = got.p.data();
    observed.z_tanh = tanh_z.data();
    observed.counts = ztest.counts.data();
    observed.undefined = ztest.undefined_under(in);
    observed.alternative = in.alternative;
    observed.se = difference_standard_error(in.n1, in.n2, in.spearman);
    rows.run(rows.by_rules->write_pairs, observed, n, c.pieces);
    r.same("corr1", got.corr1.data(), ref.corr1.data(), n);
    r.same("corr2", got.corr2.data(), ref.corr2.data(), n);
    r.same("z_diff", got.z.data(), ref.z.data(), n);
    r.same("p_normal", got.p.data(), ref.p.data(), n);
    std::vector<float> expected_tanh(size);
    for (size_t k = 0; k < size; ++k) expected_tanh[k] = stored_tanh(in, ref.z[k]);
    r.same("tanh of z_diff", tanh_z.data(), expected_tanh.data(), n);
    ztest.compare(in, "counts zeroed", "undefined zeroed", r);
    const auto units = static_cast<size_t>(scores.count);
    unit_results by_mean(true, units), by_median(false, units);
    for (unit_results* u : {&by_mean, &by_median}) {
        scores.fast(got.z.data(), *u, false);
        u->expected_scores = scores.reference(ref.z.data(), u->mean);
        r.same(u->mean ? "mean scores" : "median scores", u->scores.data(), u->expected_scores.data(), scores.count);
    }

    // Permutation cycles: the z-test tally, the mean scores' tally and the
    // median counts.
    const int32_t stride = in.first.empty() ? rows.padded : scores.count;
    std::vector<float> threshold(2 * static_cast<size_t>(stride));
    score_job median_job = scores.job(by_median);
    median_job.observed = by_median.scores.data();
    median_thresholds(median_job, scores.count, threshold.data(), threshold.data() + stride, stride);
    const pair_tally tally{got.z.data(), tanh_z.data(), ztest.counts.data(), ztest.undefined_under(in),
                           in.alternative};
    std::vector<float> permuted_z(size);
    pair_writes differences{};
    differences.z_diff = permuted_z.data();
    differences.alternative = tail::unknown;
    std::vector<uint32_t> hits(static_cast<size_t>(stride)), numbers(hits.size());
    median_counts counting{};
    counting.threshold = threshold.data();
    counting.tanh = threshold.data() + stride;
    counting.hits = hits.data();
    counting.numbers = numbers.data();
    counting.magnitude = in.alternative == tail::two_sided;
    counting.not_above = in.alternative == tail::less;
    if (!in.first.empty()) {
        counting.run_start = scores.units.start.data();
        counting.run_stop = scores.units.stop.data();
        counting.runs = scores.count;
    }
    std::vector<int32_t> order(static_cast<size_t>(in.data.samples)), dealt1(in.group1.size()), dealt2(in.group2.size());
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 engine(kPermutationSeed);
    for (int32_t cycle = 1; cycle <= kPermutations; ++cycle) {
        permute_groups(engine, order, in.n1, in.n2, dealt1.data(), dealt2.data());
        const cycle_results perm = reference_cycle(in, dealt1.data(), dealt2.data(), false);
        ztest.expect(in, ref.z.data(), perm.z.data());
        rows.pack(dealt1.data(), dealt2.data());
        rows.run(rows.by_rules->tally_pairs, tally, n, c.pieces);

        rows.run(rows.by_rules->write_pairs, differences, n, c.pieces);
        scores.fast(permuted_z.data(), by_mean, true);
        by_mean.expect(in, by_mean.expected_scores.data(), scores.reference(perm.z.data(), true).data());

        std::fill(hits.begin(), hits.end(), 0u);
        std::fill(numbers.begin(), numbers.end(), 0u);
        rows.run(rows.by_rules->count_medians, counting, n, c.pieces);
        std::vector<uint32_t> expected_hits(units, 0u), expected_numbers(units, 0u);
        scores.reference_counts(perm.z.data(), threshold.data(), expected_hits.data(), expected_numbers.data());
        // A NaN threshold decides nothing, whatever the hits.
        for (size_t u = 0; u < units; ++u)
            if (std::isnan(threshold[u])) hits[u] = expected_hits[u] = 0;
        r.same("median hits", hits.data(), expected_hits.data(), scores.count);
        r.same("median numbers", numbers.data(), expected_numbers.data(), scores.count);
        scores.settle(hits.data(), numbers.data(), by_median, stride);
        by_median.expect(in, by_median.expected_scores.data(), scores.reference(perm.z.data(), false).data());
    }
    ztest.compare(in, "z-test tallies", "z-test undefined", r);
    by_mean.compare(in, "mean tallies", "mean undefined", r);
    by_median.compare(in, "median tallies", "median undefined", r);
}

}  // namespace

void check_pair_case(const kernel_table& kernels, const pair_case& c, report& r) {
    inputs in;
    in.data = hard_matrix(c.features, c.samples, static_cast<uint32_t>(c.features * 131 + c.samples));
    make_groups(c.groups, c.samples, c.n1, c.n2, static_cast<uint32_t>(c.samples), in.group1, in.group2);
    make_pairs(c.pairs, c.features, static_cast<uint32_t>(c.features), in.first, in.second);
    in.n1 = static_cast<int32_t>(in.group1.size());
    in.n2 = static_cast<int32_t>(in.group2.size());
    in.pairs = in.first.empty() ? c.features * (c.features - 1) / 2 : static_cast<int32_t>(in.first.size());
    in.spearman = c.spearman;
    for (const statistics rules : {statistics::classic, statistics::sound})
        for (const tail t : {tail::two_sided, tail::greater, tail::less}) {
            in.rules = rules;
            in.alternative = t;
            r.where = std::string(c.name) + ", " + rules_name(rules) + ", " + tail_name(t);
            check_alternative(kernels, c, in, r);
        }
}

}  // namespace engine_test
