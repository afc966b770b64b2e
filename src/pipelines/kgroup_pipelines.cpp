// The cycles of the test across k groups. Each cycle packs the rows of
// two groups per fast_call (groups 0 and 1, 2 and 3, ...; an odd last
// group shares a call with group 0, whose correlations that call does not
// write again) and writes every group's correlations of all pairs; one
// fork-join over ranges of pairs then forms Q (and the contrasts) and
// tallies them, and with feature scores one over the features aggregates
// each feature's Q values and tallies its score.
#include "kgroups.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "fast_call.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/ties.hpp"
#include "../stats/fast/kernel_select.hpp"
#include "../stats/score.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

// The variance factor of Fisher's z of Spearman's coefficient.
constexpr double kSpearmanVariance = 1.5;

// Moves a threshold below the observed Q by far more than the rounding of
// Q's double sums, so that the error bound alone decides near ties.
constexpr double kSumRounding = 1e-12;
// The same for a feature's score, a sum of up to K - 1 such values.
constexpr double kScoreRounding = 1e-9;

// Two groups whose rows one fast_call packs and correlates per cycle; the
// calls after the first read the first's copies of the data.
struct group_couple {
    int32_t first = 0, second = 0;
    bool second_written = true;
    checked_inputs in{};
    fast_call rows;
    pair_job job{};
};

std::vector<std::unique_ptr<group_couple>> make_couples(const checked_inputs& in, const group_layout& groups,
                                                        const call_options& o) {
    std::vector<std::unique_ptr<group_couple>> couples;
    const int32_t k = groups.count();
    for (int32_t g = 0; g < k; g += 2) {
        auto c = std::make_unique<group_couple>();
        c->first = g;
        c->second_written = g + 1 < k;
        c->second = c->second_written ? g + 1 : 0;
        c->in = in;
        c->in.group1 = groups.columns[static_cast<size_t>(c->first)];
        c->in.n1 = groups.sizes[static_cast<size_t>(c->first)];
        c->in.group2 = groups.columns[static_cast<size_t>(c->second)];
        c->in.n2 = groups.sizes[static_cast<size_t>(c->second)];
        make_fast_call(c->rows, c->in, o, couples.empty() ? nullptr : &couples.front()->rows);
        c->job = pair_job_for(c->rows, c->in);
        couples.push_back(std::move(c));
    }
    return couples;
}

// Writes every group's correlations of the cycle's groups at corr (k x N).
void correlate_groups(const std::vector<std::unique_ptr<group_couple>>& couples, const cycle_view& view,
                      float* corr, int64_t n) {
    for (const auto& c : couples) {
        pack_cycle_rows(c->rows, {view.cycle, view.groups[c->first], view.groups[c->second]});
        pair_writes w{};
        w.corr1 = corr + c->first * n;
        w.corr2 = c->second_written ? corr + c->second * n : nullptr;
        w.alternative = tail::two_sided;
        w.se = 1.0f;
        const pair_job* job = &c->job;
        const rule_kernels* kernels = c->rows.by_rules;
        const timed_phase timing(phase::pairs);
        run_pair_workers(c->rows, [=](int32_t, int32_t begin, int32_t end) { kernels->write_pairs(*job, w, begin, end); });
    }
}

// Pairs taken at a time by a worker: each group's correlations of that many
// pairs transformed at once.
constexpr int32_t kBlockPairs = 512;

// The values of a block of pairs across the groups, in a worker's scratch:
// group g's correlation and Fisher transform of the block's pair i at
// g * kBlockPairs + i, and one pair's at a time gathered in group order.
struct pair_block {
    int32_t k;
    const kernel_table* kernels;
    std::vector<float> r, bounded, z;
    std::vector<float> pair_r, pair_z, sorted;
    std::vector<double> q, mean;  // Q of the block's pairs, and scratch
    pair_block(int32_t groups, const kernel_table* table)
        : k(groups),
          kernels(table),
          r(static_cast<size_t>(groups) * kBlockPairs),
          bounded(kBlockPairs),
          z(static_cast<size_t>(groups) * kBlockPairs),
          pair_r(static_cast<size_t>(groups)),
          pair_z(static_cast<size_t>(groups)),
          sorted(static_cast<size_t>(groups) * kBlockPairs),
          q(kBlockPairs),
          mean(kBlockPairs) {}

    // Pairs [first, first + count) from corr (k x N), count <= kBlockPairs.
    void load(const float* corr, int64_t n, int64_t first, int32_t count) {
        for (int32_t g = 0; g < k; ++g) {
            const float* from = corr + g * n + first;
            float* to = r.data() + static_cast<size_t>(g) * kBlockPairs;
            for (int32_t i = 0; i < count; ++i) {
                to[i] = from[i];
                bounded[static_cast<size_t>(i)] = bound_correlation(from[i], sound_rules::fisher_bound);
            }
            kernels->fisher_block(bounded.data(), z.data() + static_cast<size_t>(g) * kBlockPairs, count);
        }
    }

    // Q of the loaded pairs into q.
    void homogeneities(const homogeneity_form& form, int32_t count) {
        form(z.data(), kBlockPairs, count, q.data(), sorted.data(), mean.data());
    }

    // The block's pair i into pair_r and pair_z.
    void gather(int32_t i) {
        for (int32_t g = 0; g < k; ++g) {
            pair_r[static_cast<size_t>(g)] = r[static_cast<size_t>(g) * kBlockPairs + i];
            pair_z[static_cast<size_t>(g)] = z[static_cast<size_t>(g) * kBlockPairs + i];
        }
    }
};

// Runs body(p, q) for every pair p of [begin, end), q its Q, its values
// gathered in `block` when `gather`.
template <class Body>
void over_blocks(pair_block& block, const homogeneity_form& form, const float* corr, int64_t n, int32_t begin,
                 int32_t end, bool gather, const Body& body) {
    for (int32_t first = begin; first < end; first += kBlockPairs) {
        const int32_t count = std::min(kBlockPairs, end - first);
        block.load(corr, n, first, count);
        block.homogeneities(form, count);
        for (int32_t i = 0; i < count; ++i) {
            if (gather) block.gather(i);
            body(int64_t{first} + i, block.q[static_cast<size_t>(i)]);
        }
    }
}

// The contrasts (i, j), i < j, in order.
std::vector<std::pair<int32_t, int32_t>> contrast_groups(int32_t k) {
    std::vector<std::pair<int32_t, int32_t>> c;
    for (int32_t i = 0; i < k; ++i)
        for (int32_t j = i + 1; j < k; ++j) c.emplace_back(i, j);
    return c;
}

}  // namespace

double group_weight(int32_t n, bool spearman) {
    const double w = static_cast<double>(n) - 3.0;
    return spearman ? w / kSpearmanVariance : w;
}

homogeneity_form::homogeneity_form(const std::vector<double>& group_weights) {
    const auto k = static_cast<int32_t>(group_weights.size());
    for (int32_t g = 0; g < k; ++g) by_weight.push_back(g);
    std::stable_sort(by_weight.begin(), by_weight.end(),
                     [&](int32_t a, int32_t b) { return group_weights[a] < group_weights[b]; });
    for (int32_t g = 0; g < k; ++g) {
        weights.push_back(group_weights[by_weight[g]]);
        total += weights.back();
        if (g > 0 && weights[g] != weights[g - 1]) run_ends.push_back(g);
    }
    run_ends.push_back(k);
}

void homogeneity_form::operator()(const float* z, int32_t stride, int32_t count, double* q, float* sorted,
                                  double* mean) const {
    const auto k = static_cast<int32_t>(by_weight.size());
    const auto row = [&](float* rows, int32_t g) { return rows + static_cast<int64_t>(g) * stride; };
    for (int32_t g = 0; g < k; ++g) std::copy_n(z + static_cast<int64_t>(by_weight[g]) * stride, count, row(sorted, g));
    // Each run of equal weights in ascending order of z: odd-even
    // transposition, its exchanges as min and max (no branch on the data).
    int32_t start = 0;
    for (const int32_t end : run_ends) {
        for (int32_t pass = 0; pass < end - start; ++pass)
            for (int32_t g = start + (pass & 1); g + 1 < end; g += 2) {
                float* a = row(sorted, g);
                float* b = row(sorted, g + 1);
                for (int32_t i = 0; i < count; ++i) {
                    const float low = std::min(a[i], b[i]);
                    b[i] = std::max(a[i], b[i]);
                    a[i] = low;
                }
            }
        start = end;
    }
    std::fill_n(mean, count, 0.0);
    for (int32_t g = 0; g < k; ++g) {
        const float* zg = row(sorted, g);
        const double w = weights[g];
        for (int32_t i = 0; i < count; ++i) mean[i] += w * static_cast<double>(zg[i]);
    }
    for (int32_t i = 0; i < count; ++i) mean[i] /= total;
    std::fill_n(q, count, 0.0);
    for (int32_t g = 0; g < k; ++g) {
        const float* zg = row(sorted, g);
        const double w = weights[g];
        for (int32_t i = 0; i < count; ++i) {
            const double d = static_cast<double>(zg[i]) - mean[i];
            q[i] += w * d * d;
        }
    }
    // min and max pass NaN on in one operand only: an undefined transform
    // makes Q undefined, whatever the exchanges did with it.
    for (int32_t g = 0; g < k; ++g) {
        const float* zg = z + static_cast<int64_t>(g) * stride;
        for (int32_t i = 0; i < count; ++i)
            if (std::isnan(zg[i])) q[i] = std::nan("");
    }
}

double homogeneity_threshold(double q, const double* weights, const float* r, const int32_t* sizes, int32_t k) {
    if (std::isnan(q)) return q;
    double total = 0.0;
    for (int32_t g = 0; g < k; ++g) total += weights[g];
    double moved = 0.0;
    for (int32_t g = 0; g < k; ++g) {
        // Two computations of z_g, each within half the two-group bound of one group's pair.
        const double error = tie_tolerance(r[g], r[g], sizes[g], sizes[g]) / 2.0;
        moved += error * std::sqrt(std::max(weights[g] * (1.0 - weights[g] / total), 0.0));
    }
    const double root = std::max(std::sqrt(q) - moved, 0.0);
    return root * root * (1.0 - kSumRounding);
}

namespace {

// The mean or median of the gathered values that are numbers (NaN when none is).
double gathered_score(bool mean, std::vector<double>& scratch) {
    scratch.erase(std::remove_if(scratch.begin(), scratch.end(), [](double v) { return std::isnan(v); }),
                  scratch.end());
    if (scratch.empty()) return std::nan("");
    if (mean) {
        double sum = 0.0;
        for (const double v : scratch) sum += v;
        return sum / static_cast<double>(scratch.size());
    }
    const auto middle = scratch.begin() + static_cast<int64_t>(quantile_index(static_cast<int32_t>(scratch.size()),
                                                                               kMedianQuantile));
    std::nth_element(scratch.begin(), middle, scratch.end());
    return *middle;
}

}  // namespace

double feature_score(const double* values, int32_t features, int32_t f, bool mean, std::vector<double>& scratch) {
    scratch.clear();
    const auto at = [&](int64_t i, int64_t j) { return i * features - i * (i + 1) / 2 + (j - i - 1); };
    for (int32_t i = 0; i < f; ++i) scratch.push_back(values[at(i, f)]);
    const double* after = values + at(f, f + 1);
    scratch.insert(scratch.end(), after, after + (features - 1 - f));
    return gathered_score(mean, scratch);
}

double range_score(const double* values, int32_t begin, int32_t end, bool mean, std::vector<double>& scratch) {
    scratch.assign(values + begin, values + std::max(begin, end));
    return gathered_score(mean, scratch);
}

void compute_kgroups(const checked_inputs& in, const group_layout& groups, const call_options& o,
                     const kgroup_outputs& out) {
    const int32_t k = groups.count();
    const int64_t n = in.pairs;
    if (n == 0) return;
    std::vector<double> weights;
    for (const int32_t size : groups.sizes) weights.push_back(group_weight(size, o.spearman));
    const homogeneity_form homogeneity(weights);
    const auto couples = make_couples(in, groups, o);
    const auto contrasts = out.contrast_z != nullptr ? contrast_groups(k) : std::vector<std::pair<int32_t, int32_t>>{};
    const auto permuted = make_scratch<float>(static_cast<size_t>(k * n));
    const auto threshold = make_scratch<double>(static_cast<size_t>(n));
    const auto contrast_threshold = make_scratch<float>(contrasts.size() * static_cast<size_t>(n));
    const double* w = weights.data();
    const bool scores = out.score != nullptr;
    const auto qs = make_scratch<double>(scores ? static_cast<size_t>(n) : 0);
    // Scores of the features, or of the units of listed pairs.
    const pair_units* units = out.units;
    const int32_t scored = units != nullptr ? static_cast<int32_t>(units->start.size()) : in.features;
    const auto score_of = [&](const double* values, int32_t u, std::vector<double>& scratch) {
        if (units == nullptr) return feature_score(values, in.features, u, out.score_mean, scratch);
        return range_score(values, units->start[u], units->end[u], out.score_mean, scratch);
    };
    const auto score_threshold = make_scratch<double>(scores ? static_cast<size_t>(scored) : 0);
    const int32_t* sizes = groups.sizes.data();

    const kernel_table* table = couples.front()->rows.kernels;

    // The observed cycle: Q and the contrasts, what later cycles compare with, counts zeroed.
    const auto observe = [&](int32_t begin, int32_t end) {
        pair_block v(k, table);
        over_blocks(v, homogeneity, out.corr, n, begin, end, true, [&](int64_t p, double q) {
            out.chi2[p] = q;
            threshold[p] = homogeneity_threshold(q, w, v.pair_r.data(), sizes, k);
            if (scores) qs[p] = q;
            out.extreme[p] = out.valid[p] = 0;
            for (size_t c = 0; c < contrasts.size(); ++c) {
                const auto [i, j] = contrasts[c];
                const int64_t at = static_cast<int64_t>(c) * n + p;
                const float d = v.pair_z[i] - v.pair_z[j];
                out.contrast_z[at] = d;
                float moved = 0.0f;  // the observed difference moved towards 0, its sign kept
                tie_thresholds(tail::two_sided, &d, &v.pair_r[i], &v.pair_r[j], sizes[i], sizes[j], &moved, 1);
                contrast_threshold[at] = std::fabs(moved);
                out.contrast_extreme[at] = out.contrast_valid[at] = 0;
            }
        });
    };
    // A permutation cycle: each defined statistic counted, and counted as
    // extreme when it reaches its threshold.
    const auto tally = [&](int32_t begin, int32_t end) {
        pair_block v(k, table);
        over_blocks(v, homogeneity, permuted.get(), n, begin, end, !contrasts.empty(), [&](int64_t p, double q) {
            if (scores) qs[p] = q;
            if (!std::isnan(q)) {
                out.valid[p] += 1;
                out.extreme[p] += q >= threshold[p];
            }
            for (size_t c = 0; c < contrasts.size(); ++c) {
                const auto [i, j] = contrasts[c];
                const int64_t at = static_cast<int64_t>(c) * n + p;
                const float d = v.pair_z[i] - v.pair_z[j];
                if (std::isnan(d)) continue;
                out.contrast_valid[at] += 1;
                out.contrast_extreme[at] += std::fabs(d) >= contrast_threshold[at];
            }
        });
    };

    // Feature scores: the observed ones and, from the pairs' thresholds, what
    // permuted scores are compared with (a permuted score equal to the
    // observed one in exact arithmetic has every pair's Q at least its
    // threshold, so the mean or median at least theirs); then each cycle's.
    const auto observe_scores = [&](int32_t begin, int32_t end) {
        std::vector<double> scratch;
        for (int32_t f = begin; f < end; ++f) {
            out.score[f] = score_of(qs.get(), f, scratch);
            score_threshold[f] = score_of(threshold.get(), f, scratch) * (1.0 - kScoreRounding);
            out.score_extreme[f] = out.score_valid[f] = 0;
        }
    };
    const auto tally_scores = [&](int32_t begin, int32_t end) {
        std::vector<double> scratch;
        for (int32_t f = begin; f < end; ++f) {
            const double score = score_of(qs.get(), f, scratch);
            if (std::isnan(score)) continue;
            out.score_valid[f] += 1;
            out.score_extreme[f] += score >= score_threshold[f];
        }
    };

    cycle_plan plan = make_plan(in, o);
    plan.group_count = k;
    plan.group_columns = groups.columns.data();
    plan.group_sizes = groups.sizes.data();
    plan.group1 = groups.columns[0];
    plan.n1 = groups.sizes[0];
    plan.group2 = groups.columns[1];
    plan.n2 = groups.sizes[1];
    run_cycles(
        plan,
        [&](const cycle_view& view) {
            const bool observed = view.cycle == 0;
            correlate_groups(couples, view, observed ? out.corr : permuted.get(), n);
            const timed_phase timing(phase::pairs);
            if (observed)
                run_workers(static_cast<int32_t>(n), o.threads, observe);
            else
                run_workers(static_cast<int32_t>(n), o.threads, tally);
            if (scores && observed) run_workers(scored, o.threads, observe_scores);
            if (scores && !observed) run_workers(scored, o.threads, tally_scores);
        },
        [](int32_t) {});
}

}  // namespace corrshift
