#include "ztest.hpp"

#include <cmath>

#include "correlation.hpp"
#include "exp_lanes.hpp"
#include "normal_tail.hpp"
#include "options.hpp"
#include "refine.hpp"

namespace corrshift {

namespace {

// 0.5 * erfc(x / sqrt 2) in double precision, rounded to float: the upper
// tail of the standard normal distribution at x.
float upper_tail(float x) { return static_cast<float>(0.5 * std::erfc(static_cast<double>(x) / std::sqrt(2.0))); }

float standard_error(int32_t n) { return static_cast<float>(1.0 / std::sqrt(static_cast<double>(n - 3))); }

}  // namespace

float fisher_transform(float c) { return static_cast<float>(std::atanh(static_cast<double>(c))); }

float tanh_of_difference(float z) {
    return static_cast<float>(exp_lanes::tanh_lanes(static_cast<double>(z), exp_lanes::pow2_scalar));
}

float difference_standard_error(int32_t n1, int32_t n2, bool spearman) {
    float se1 = standard_error(n1);
    float se2 = standard_error(n2);
    if (spearman) {
        const double factor = std::sqrt(1.5);
        se1 = static_cast<float>(static_cast<double>(se1) * factor);
        se2 = static_cast<float>(static_cast<double>(se2) * factor);
    }
    const float sum_sq = se2 * se2 + se1 * se1;
    return static_cast<float>(std::sqrt(static_cast<double>(sum_sq)));
}

float normal_pvalue(tail alternative, float d, float se) {
    switch (alternative) {
        case tail::less: return upper_tail(-(d / se));
        case tail::greater: return 1.0f - upper_tail(-(d / se));
        case tail::two_sided: {
            const float h = upper_tail(std::fabs(d) / se);
            return h + h;
        }
        case tail::unknown: break;
    }
    return -2.0f;
}

void fisher_differences(const float* corr1, const float* corr2, float* z_diff, float* p, int32_t begin,
                        int32_t end, tail alternative, float se, statistics rules) {
    const bool sound = rules == statistics::sound;
    const float bound = sound ? sound_rules::fisher_bound : classic_rules::fisher_bound;
    for (int32_t k = begin; k < end; ++k) {
        const float d = bounded_fisher(corr1[k], bound) - bounded_fisher(corr2[k], bound);
        z_diff[k] = d;
        if (p != nullptr) p[k] = sound ? sound_normal_pvalue(alternative, d, se) : normal_pvalue(alternative, d, se);
    }
}

int fisher_ztest(const float* corr1, int32_t n1, const float* corr2, int32_t n2, float* z_diff, float* p,
                 int32_t begin, int32_t end, std::string method, std::string alternative) {
    if (begin >= end) return 0;
    const float se = difference_standard_error(n1, n2, method == kSpearman);
    fisher_differences(corr1, corr2, z_diff, p, begin, end, parse_tail(alternative), se, statistics::classic);
    return 0;
}

void pair_statistics(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                     int32_t begin, int32_t end, int32_t features, const int32_t* columns1,
                     const int32_t* columns2, int32_t n1, int32_t n2, float* corr1, float* corr2, float* z_diff,
                     float* p, tail alternative, float se, statistics rules) {
    pairwise_correlation(matrix, samples, first, second, corr1, begin, end, features, columns1, n1, rules);
    pairwise_correlation(matrix, samples, first, second, corr2, begin, end, features, columns2, n2, rules);
    fisher_differences(corr1, corr2, z_diff, p, begin, end, alternative, se, rules);
    if (rules != statistics::sound) return;
    for (int32_t k = begin; k < end; ++k) {
        if (!needs_refinement(corr1[k]) && !needs_refinement(corr2[k])) continue;
        const feature_pair pair =
            first != nullptr && second != nullptr ? feature_pair{first[k], second[k]} : decode_pair(k, features);
        const auto refine = [&](int group) {
            return refined_pair_correlation(matrix, samples, pair.first, pair.second,
                                            group == 1 ? columns1 : columns2, group == 1 ? n1 : n2);
        };
        const float d = refined_difference(corr1[k], corr2[k], refine, corr1 + k, corr2 + k);
        z_diff[k] = d;
        if (p != nullptr) p[k] = sound_normal_pvalue(alternative, d, se);
    }
}

int ztest_worker(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                 int32_t begin, int32_t end, int32_t features, const int32_t* columns1,
                 const int32_t* columns2, int32_t n1, int32_t n2, float* corr1, float* corr2, float* z_diff,
                 float* p, std::string method, std::string alternative) {
    pair_statistics(matrix, samples, first, second, begin, end, features, columns1, columns2, n1, n2, corr1, corr2,
                    z_diff, p, parse_tail(alternative), difference_standard_error(n1, n2, method == kSpearman),
                    statistics::classic);
    return 0;
}

}  // namespace corrshift
