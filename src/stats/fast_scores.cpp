#include "fast_scores.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "correlation.hpp"
#include "score.hpp"
#include "ztest.hpp"
#include "tally.hpp"

namespace corrshift {

namespace {

int64_t row_start(int32_t i, int32_t features) {
    return static_cast<int64_t>(i) * (2 * static_cast<int64_t>(features) - i - 1) / 2;
}

// Whether the median of count values is at least as extreme as the observed
// score o, from counts over the values (magnitudes under `magnitude`, NaN
// ordered after every number) instead of a selection: with k the median's
// index, the k-th smallest value m satisfies m >= t exactly when at most k
// values lie below t (`hits`) and more than k are numbers; under "less",
// m <= o exactly when more than k values are not above o (`hits`).
bool median_extreme(int64_t hits, int64_t numbers, int32_t count, tail alternative, float o) {
    if (std::isnan(o)) return false;  // no value is at least as extreme as NaN
    if (count == 0) {
        const float zero = 0.0f;
        uint32_t hit = 0;
        tally_extremes(alternative, &o, &zero, &hit, 1);
        return hit != 0;
    }
    const auto k = static_cast<int64_t>(quantile_index(count, kMedianQuantile));
    switch (alternative) {
        case tail::two_sided:
        case tail::greater: return hits <= k && numbers > k;
        case tail::less: return hits > k;
        case tail::unknown: break;
    }
    return false;
}

// What a unit's differences are counted against: |o| under "two-sided"
// (its differences count by magnitude), o otherwise.
float median_threshold(tail alternative, float o) { return alternative == tail::two_sided ? std::fabs(o) : o; }

// Unit u from its values in member order; `values` may be reordered. Of the
// permutation cycles only mean scores come here: permuted medians are
// counted in the pair kernel (settle_feature_medians, settle_run_medians).
void settle(const score_job& job, int32_t u, float* values, int32_t count) {
    const bool sound = job.rules == statistics::sound;
    if (job.observed == nullptr) {
        job.scores[u] = job.mean ? mean_of_magnitudes(values, count, job.rules)
                        : sound  ? select_defined_quantile(values, count, kMedianQuantile, job.magnitude)
                                 : select_quantile(values, count, kMedianQuantile, job.magnitude);
        job.counts[u] = 0;
        if (sound) job.undefined[u] = 0;
        return;
    }
    const float score = mean_of_magnitudes(values, count, job.rules);
    if (sound && score != score) {
        job.undefined[u] += 1;
        return;
    }
    tally_extremes(job.alternative, job.observed + u, &score, job.counts + u, 1);
}

// A permuted median from its unit's counts: classic rules over all `count`
// differences; sound rules over the `numbers` that are defined, and a cycle
// without any counts for nothing.
void settle_median(const score_job& job, int32_t u, int64_t hits, int64_t numbers, int32_t count) {
    if (job.rules == statistics::sound) {
        if (numbers == 0) {
            job.undefined[u] += 1;
            return;
        }
        count = static_cast<int32_t>(numbers);
    }
    if (median_extreme(hits, numbers, count, job.alternative, job.observed[u])) job.counts[u] += 1;
}

}  // namespace

namespace {

// The rectangle's features: a row of the first set has its differences side
// by side; a row of the second set gathers one from each row of the first.
void rectangle_feature_scores(const score_job& job, float* scratch, int32_t begin, int32_t end) {
    const int32_t a = job.between;
    const int32_t width = job.features - a;
    const float* z = job.z_diff;
    for (int32_t f = begin; f < end; ++f) {
        if (f < a) {
            const float* row = z + static_cast<int64_t>(f) * width;
            if (job.observed == nullptr && !job.mean) {
                std::memcpy(scratch, row, static_cast<size_t>(width) * sizeof(float));
                settle(job, f, scratch, width);
            } else {
                settle(job, f, const_cast<float*>(row), width);
            }
            continue;
        }
        for (int32_t i = 0; i < a; ++i) scratch[i] = z[static_cast<int64_t>(i) * width + (f - a)];
        settle(job, f, scratch, a);
    }
}

}  // namespace

int32_t feature_pair_count(const score_job& job, int32_t feature) {
    if (job.between == 0) return job.features - 1;
    return feature < job.between ? job.features - job.between : job.between;
}

void feature_scores(const score_job& job, float* scratch, int32_t begin, int32_t end) {
    if (job.between > 0) {
        rectangle_feature_scores(job, scratch, begin, end);
        return;
    }
    const int32_t k = job.features;
    const float* z = job.z_diff;
    for (int32_t f0 = begin; f0 < end; f0 += kFeatureBlock) {
        const int32_t nf = std::min(end - f0, kFeatureBlock);
        // Feature f0 + l gathers its differences into scratch + l * K: with
        // every j < f0 from row j (the block's entries lie side by side
        // there), then the rows inside the block, then its own row.
        for (int32_t j = 0; j < f0; ++j) {
            const float* row = z + row_start(j, k) - j - 1;
            for (int32_t l = 0; l < nf; ++l) scratch[static_cast<int64_t>(l) * k + j] = row[f0 + l];
        }
        for (int32_t l = 0; l < nf; ++l) {
            const int32_t i = f0 + l;
            float* list = scratch + static_cast<int64_t>(l) * k;
            for (int32_t j = f0; j < i; ++j) list[j] = z[row_start(j, k) + i - j - 1];
            std::memcpy(list + i, z + row_start(i, k), static_cast<size_t>(k - 1 - i) * sizeof(float));
            settle(job, i, list, k - 1);
        }
    }
}

void median_thresholds(const score_job& job, int32_t units, float* threshold, float* tanh_threshold, int32_t padded) {
    for (int32_t f = 0; f < padded; ++f) {
        const float t = f < units ? median_threshold(job.alternative, job.observed[f]) : 0.0f;
        threshold[f] = t;
        // A NaN score decides nothing (median_extreme), so its lanes are
        // never sent to the exact transform.
        tanh_threshold[f] = std::isnan(t) ? std::numeric_limits<float>::infinity() : tanh_of_difference(t);
    }
}

void settle_feature_medians(const score_job& job, const uint32_t* hits, const uint32_t* numbers, int32_t workers,
                            int32_t stride, int32_t begin, int32_t end) {
    for (int32_t f = begin; f < end; ++f) {
        int64_t h = 0, n = 0;
        for (int32_t w = 0; w < workers; ++w) {
            h += hits[static_cast<int64_t>(w) * stride + f];
            n += numbers[static_cast<int64_t>(w) * stride + f];
        }
        settle_median(job, f, h, n, feature_pair_count(job, f));
    }
}

void settle_run_medians(const score_job& job, const uint32_t* hits, const uint32_t* numbers, const int32_t* start,
                        const int32_t* stop, int32_t begin, int32_t end) {
    for (int32_t g = begin; g < end; ++g) {
        settle_median(job, g, hits[g], numbers[g], std::max(stop[g] - start[g], 0));
    }
}

void run_scores(const score_job& job, const int32_t* start, const int32_t* stop, float* scratch, int32_t begin,
                int32_t end) {
    for (int32_t g = begin; g < end; ++g) {
        const int32_t count = std::max(stop[g] - start[g], 0);
        const float* values = job.z_diff + start[g];
        if (job.observed == nullptr && !job.mean) {
            std::memcpy(scratch, values, static_cast<size_t>(count) * sizeof(float));
            settle(job, g, scratch, count);
        } else {
            settle(job, g, const_cast<float*>(values), count);
        }
    }
}

}  // namespace corrshift
