#include "fast_scores.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "score.hpp"
#include "../pipelines/tally.hpp"

namespace corrshift {

namespace {

constexpr int32_t kFeatureBlock = 16;

int64_t row_start(int32_t i, int32_t features) {
    return static_cast<int64_t>(i) * (2 * static_cast<int64_t>(features) - i - 1) / 2;
}

// Whether the median of the count values (magnitudes under `magnitude`,
// NaN ordered after every number) is at least as extreme as the observed
// score o, decided by counting instead of selecting: with k the median's
// index, the k-th smallest value m satisfies m >= t exactly when at most k
// values lie below t and more than k are numbers, and m <= o exactly when
// more than k values are not above o.
bool median_counts(const float* v, int32_t count, bool magnitude, tail alternative, float o) {
    if (count == 0) {
        const float zero = 0.0f;
        uint32_t hit = 0;
        tally_extremes(alternative, &o, &zero, &hit, 1);
        return hit != 0;
    }
    const auto k = static_cast<int64_t>(quantile_index(count, kMedianQuantile));
    int64_t below = 0, numbers = 0, not_above = 0;
    switch (alternative) {
        case tail::two_sided:
        case tail::greater: {
            const float t = alternative == tail::two_sided ? std::fabs(o) : o;
            if (std::isnan(t)) return false;
            if (magnitude)
                for (int32_t i = 0; i < count; ++i) below += std::fabs(v[i]) < t;
            else
                for (int32_t i = 0; i < count; ++i) below += v[i] < t;
            for (int32_t i = 0; i < count; ++i) numbers += v[i] == v[i];
            return below <= k && numbers > k;
        }
        case tail::less:
            if (magnitude)
                for (int32_t i = 0; i < count; ++i) not_above += std::fabs(v[i]) <= o;
            else
                for (int32_t i = 0; i < count; ++i) not_above += v[i] <= o;
            return not_above > k;
        case tail::unknown: break;
    }
    return false;
}

// Unit u from its values in member order; `values` may be reordered.
void settle(const score_job& job, int32_t u, float* values, int32_t count) {
    if (job.observed == nullptr) {
        job.scores[u] = job.mean ? mean_of_magnitudes(values, count)
                                 : select_quantile(values, count, kMedianQuantile, job.magnitude);
        job.counts[u] = 0;
        return;
    }
    if (job.mean) {
        const float score = mean_of_magnitudes(values, count);
        tally_extremes(job.alternative, job.observed + u, &score, job.counts + u, 1);
    } else if (median_counts(values, count, job.magnitude, job.alternative, job.observed[u])) {
        job.counts[u] += 1;
    }
}

}  // namespace

void feature_scores(const score_job& job, float* scratch, int32_t begin, int32_t end) {
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
