#include "correlation.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "refine.hpp"

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

namespace {

// Sound rules: row x over the columns (all `count` of them when columns is
// null) centred on its mean and scaled to a unit sum of squares, into z;
// all NaN when its values are all equal or hold a NaN. Float sums in
// column order, products rounded before they are added.
void standardised_row(const float* x, const int32_t* columns, int32_t count, float* z) {
    float sx = 0.0f;
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (int32_t m = 0; m < count; ++m) {
        const float v = x[columns != nullptr ? columns[m] : m];
        sx += v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    const float mean = sx / static_cast<float>(count);
    float ss = 0.0f;
    for (int32_t m = 0; m < count; ++m) {
        const float d = x[columns != nullptr ? columns[m] : m] - mean;
        ss += d * d;
    }
    const float scale = lo < hi && ss > 0.0f ? 1.0f / std::sqrt(ss) : std::numeric_limits<float>::quiet_NaN();
    for (int32_t m = 0; m < count; ++m) z[m] = (x[columns != nullptr ? columns[m] : m] - mean) * scale;
}

}  // namespace

double refined_pair_correlation(const float* matrix, int32_t samples, int32_t i, int32_t j, const int32_t* columns,
                                int32_t n) {
    std::vector<float> zx(static_cast<size_t>(n)), zy(zx.size());
    standardised_row(matrix + static_cast<int64_t>(i) * samples, columns, n, zx.data());
    standardised_row(matrix + static_cast<int64_t>(j) * samples, columns, n, zy.data());
    return refined_correlation(zx.data(), zy.data(), n, 1);
}

int pairwise_correlation(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                         float* out, int32_t begin, int32_t end, int32_t features, const int32_t* columns,
                         int32_t n, statistics rules) {
    const bool sound = rules == statistics::sound;
    const bool indexed = first != nullptr && second != nullptr;
    const int32_t count = columns != nullptr ? n : samples;
    std::vector<float> zx(sound ? static_cast<size_t>(count) : 0), zy(zx.size());
    for (int32_t k = begin; k < end; ++k) {
        const feature_pair pair = indexed ? feature_pair{first[k], second[k]} : decode_pair(k, features);
        const float* x = matrix + static_cast<int64_t>(pair.first) * samples;
        const float* y = matrix + static_cast<int64_t>(pair.second) * samples;
        if (sound) {
            // The sum of products of the standardised rows is the correlation.
            standardised_row(x, columns, count, zx.data());
            standardised_row(y, columns, count, zy.data());
            float sxy = 0.0f;
            for (int32_t m = 0; m < count; ++m) sxy += zx[static_cast<size_t>(m)] * zy[static_cast<size_t>(m)];
            out[k] = bound_correlation(sxy, 1.0f);
            continue;
        }
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
