#include "score.hpp"

#include <algorithm>
#include <cmath>

#include "options.hpp"

namespace corrshift {

namespace {

// Mean of |z_diff[p]| over the positions p >= 0 that `each` visits, in its
// order, in one float32 accumulator; 0 when there are none.
template <class Visit>
float mean_magnitude(const float* z_diff, Visit each) {
    float sum = 0.0f, count = 0.0f;
    each([&](int32_t p) {
        sum += std::fabs(z_diff[p]);
        count += 1.0f;
    });
    return count > 0.0f ? sum / count : 0.0f;
}

template <class Visit>
float pick(const float* z_diff, float q, bool magnitude, Visit each) {
    std::vector<float> values;
    each([&](int32_t p) { values.push_back(z_diff[p]); });
    return select_quantile(values.data(), static_cast<int32_t>(values.size()), q, magnitude);
}

// Visitors over member positions: a list in its order (negative entries
// skipped), or the positions of a run in ascending order.
auto visit_list(const int32_t* positions, int32_t count) {
    return [=](auto&& f) {
        for (int32_t i = 0; i < count; ++i)
            if (positions[i] >= 0) f(positions[i]);
    };
}

auto visit_range(int32_t start, int32_t stop) {
    return [=](auto&& f) {
        for (int32_t p = std::max(start, 0); p < stop; ++p) f(p);
    };
}

}  // namespace

size_t quantile_index(int32_t count, float q) { return static_cast<size_t>(static_cast<float>(count) * q); }

float select_quantile(float* values, int32_t count, float q, bool magnitude) {
    if (count <= 0) return 0.0f;
    if (magnitude)
        for (int32_t i = 0; i < count; ++i) values[i] = std::fabs(values[i]);
    const size_t k = quantile_index(count, q);
    // Ascending by `<`, with NaN ordered after every number so that the
    // order is well defined whatever the values.
    const auto nan_last = [](float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); };
    std::nth_element(values, values + k, values + count, nan_last);
    return values[k];
}

float mean_of_magnitudes(const float* values, int32_t count) {
    return mean_magnitude(values, visit_range(0, count));
}

std::vector<int32_t> pair_index_list(int32_t feature, int32_t features) {
    std::vector<int32_t> list(static_cast<size_t>(features));
    for (int32_t j = 0; j < features; ++j) {
        const int32_t m = std::min(feature, j), big = std::max(feature, j);
        list[static_cast<size_t>(j)] =
            j == feature ? -1
                         : static_cast<int32_t>(static_cast<int64_t>(m) * (2 * static_cast<int64_t>(features) - m - 1) / 2 +
                                                big - m - 1);
    }
    return list;
}

float quantile_pick(const float* z_diff, const int32_t* positions, int32_t count, float q, bool magnitude) {
    return pick(z_diff, q, magnitude, visit_list(positions, count));
}

int feature_score_worker(const float* z_diff, int32_t features, int32_t begin, int32_t end, float* target,
                         std::string aggregate, std::string alternative) {
    const bool mean = aggregate == kMean;
    if (!mean && aggregate != kMedian) return 0;
    const bool magnitude = alternative == kTwoSided;
    for (int32_t i = begin; i < end; ++i) {
        const std::vector<int32_t> members = pair_index_list(i, features);
        target[i] = mean ? mean_magnitude(z_diff, visit_list(members.data(), features))
                         : quantile_pick(z_diff, members.data(), features, kMedianQuantile, magnitude);
    }
    return 0;
}

int aggregate_runs(const float* z_diff, const int32_t* start, const int32_t* stop, int32_t begin, int32_t end,
                   float* target, std::string aggregate, std::string alternative) {
    const bool mean = aggregate == kMean;
    if (!mean && aggregate != kMedian) return 0;
    const bool magnitude = alternative == kTwoSided;
    for (int32_t g = begin; g < end; ++g) {
        const auto members = visit_range(start[g], stop[g]);
        target[g] = mean ? mean_magnitude(z_diff, members) : pick(z_diff, kMedianQuantile, magnitude, members);
    }
    return 0;
}

}  // namespace corrshift
