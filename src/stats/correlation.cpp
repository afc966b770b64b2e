#include "correlation.hpp"

#include <cmath>
#include <limits>

namespace corrshift {

feature_pair decode_pair(int64_t k, int64_t features) {
    const int64_t e = 2 * features - 1;
    const int64_t t = e * e - 8 * k;
    const auto i = static_cast<int64_t>(
        std::floor((static_cast<double>(e) - std::sqrt(static_cast<double>(t))) * 0.5));
    const int64_t tri = (i + 1) * (i + 2) / 2;
    const int64_t j = ((tri % features) + (k % features)) % features;
    return {static_cast<int32_t>(i), static_cast<int32_t>(j)};
}

int pairwise_correlation(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                         float* out, int32_t begin, int32_t end, int32_t features, const int32_t* columns,
                         int32_t n, statistics rules) {
    const bool sound = rules == statistics::sound;
    const bool indexed = first != nullptr && second != nullptr;
    const int32_t count = columns != nullptr ? n : samples;
    for (int32_t k = begin; k < end; ++k) {
        const feature_pair pair = indexed ? feature_pair{first[k], second[k]} : decode_pair(k, features);
        const float* x = matrix + static_cast<int64_t>(pair.first) * samples;
        const float* y = matrix + static_cast<int64_t>(pair.second) * samples;
        float sx = 0.0f, sy = 0.0f, sxx = 0.0f, syy = 0.0f, sxy = 0.0f;
        for (int32_t m = 0; m < count; ++m) {
            const int32_t s = columns != nullptr ? columns[m] : m;
            const float xv = x[s];
            const float yv = y[s];
            sx += xv;
            sy += yv;
            sxx += xv * xv;
            syy += yv * yv;
            sxy += xv * yv;
        }
        const auto c = static_cast<float>(count);
        const float mx = sx / c;
        const float vx = sxx / c - mx * mx;
        if (sound) {
            const float my = sy / c;
            const float vy = syy / c - my * my;
            if (!(vx > 0.0f) || !(vy > 0.0f)) {
                out[k] = std::numeric_limits<float>::quiet_NaN();
                continue;
            }
            const float cov = sxy / c - my * mx;
            const float q = vy * vx;
            out[k] = bound_correlation(cov / static_cast<float>(std::sqrt(static_cast<double>(q))), 1.0f);
            continue;
        }
        if (vx == 0.0f) {
            out[k] = kUndefinedCorrelation;
            continue;
        }
        const float my = sy / c;
        const float vy = syy / c - my * my;
        if (vy == 0.0f) {
            out[k] = kUndefinedCorrelation;
            continue;
        }
        const float cov = sxy / c - my * mx;
        const float q = vy * vx;
        out[k] = cov / static_cast<float>(std::sqrt(static_cast<double>(q)));
    }
    return 0;
}

}  // namespace corrshift
