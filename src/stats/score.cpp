#include "score.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "options.hpp"

namespace corrshift {

namespace {

// Mean of |z_diff[p]| over the positions p >= 0 that `each` visits, in its
// order, in one float32 accumulator; 0 when there are none. Sound rules
// skip NaN differences and give NaN when none is left.
template <class Visit>
float mean_magnitude(const float* z_diff, Visit each, bool sound) {
    float sum = 0.0f, count = 0.0f;
    each([&](int32_t p) {
        if (sound && std::isnan(z_diff[p])) return;
        sum += std::fabs(z_diff[p]);
        count += 1.0f;
    });
    if (count > 0.0f) return sum / count;
    return sound ? std::numeric_limits<float>::quiet_NaN() : 0.0f;
}

template <class Visit>
float pick(const float* z_diff, float q, bool magnitude, Visit each, bool sound) {
    std::vector<float> values;
    each([&](int32_t p) { values.push_back(z_diff[p]); });
    const auto count = static_cast<int32_t>(values.size());
    return sound ? select_defined_quantile(values.data(), count, q, magnitude)
                 : select_quantile(values.data(), count, q, magnitude);
}

template <class Visit>
float score_of(const float* z_diff, const score_rule& rule, Visit each) {
    const bool sound = rule.rules == statistics::sound;
    return rule.mean ? mean_magnitude(z_diff, each, sound) : pick(z_diff, kMedianQuantile, rule.magnitude, each, sound);
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

float mean_of_magnitudes(const float* values, int32_t count, statistics rules) {
    return mean_magnitude(values, visit_range(0, count), rules == statistics::sound);
}

float select_defined_quantile(float* values, int32_t count, float q, bool magnitude) {
    const int32_t numbers =
        static_cast<int32_t>(std::remove_if(values, values + count, [](float v) { return std::isnan(v); }) - values);
    if (numbers == 0) return std::numeric_limits<float>::quiet_NaN();
    return select_quantile(values, numbers, q, magnitude);
}

score_rule make_score_rule(bool mean, tail alternative, statistics rules) {
    return {mean, alternative == tail::two_sided, rules};
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

std::vector<int32_t> feature_pair_positions(int32_t feature, int32_t features, int32_t between) {
    if (between == 0) return pair_index_list(feature, features);
    const int32_t width = features - between;
    const bool first_set = feature < between;
    std::vector<int32_t> list(static_cast<size_t>(first_set ? width : between));
    for (int32_t t = 0; t < static_cast<int32_t>(list.size()); ++t)
        list[static_cast<size_t>(t)] = first_set ? feature * width + t : t * width + (feature - between);
    return list;
}

float quantile_pick(const float* z_diff, const int32_t* positions, int32_t count, float q, bool magnitude) {
    return pick(z_diff, q, magnitude, visit_list(positions, count), false);
}

void score_features(const float* z_diff, int32_t features, int32_t begin, int32_t end, float* target,
                    score_rule rule, int32_t between) {
    for (int32_t i = begin; i < end; ++i) {
        const std::vector<int32_t> members = feature_pair_positions(i, features, between);
        target[i] = score_of(z_diff, rule, visit_list(members.data(), static_cast<int32_t>(members.size())));
    }
}

void score_runs(const float* z_diff, const int32_t* start, const int32_t* stop, int32_t begin, int32_t end,
                float* target, score_rule rule) {
    for (int32_t g = begin; g < end; ++g) target[g] = score_of(z_diff, rule, visit_range(start[g], stop[g]));
}

int feature_score_worker(const float* z_diff, int32_t features, int32_t begin, int32_t end, float* target,
                         std::string aggregate, std::string alternative) {
    const bool mean = aggregate == kMean;
    if (!mean && aggregate != kMedian) return 0;
    score_features(z_diff, features, begin, end, target, make_score_rule(mean, parse_tail(alternative),
                                                                         statistics::classic));
    return 0;
}

int aggregate_runs(const float* z_diff, const int32_t* start, const int32_t* stop, int32_t begin, int32_t end,
                   float* target, std::string aggregate, std::string alternative) {
    const bool mean = aggregate == kMean;
    if (!mean && aggregate != kMedian) return 0;
    score_runs(z_diff, start, stop, begin, end, target, make_score_rule(mean, parse_tail(alternative),
                                                                        statistics::classic));
    return 0;
}

}  // namespace corrshift
