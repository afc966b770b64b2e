// The vectorised Fisher transform, the permutation tally without the
// transform, the ranks of rows without ties and the normal p-values of the
// sound rules, against the straightforward functions.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "suites.hpp"
#include "../../src/stats/normal_tail.hpp"
#include "../../src/stats/rank.hpp"
#include "../../src/stats/ztest.hpp"

namespace engine_test {

namespace {

using namespace corrshift;

float from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t bits_of(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// Random values in [-0.99, 0.99], every float near +-0.99 and around the
// series boundary 2^-7, zeros, denormals, NaN.
std::vector<float> fisher_inputs() {
    std::mt19937 engine(1);
    std::uniform_real_distribution<float> uniform(-0.99f, 0.99f);
    std::vector<float> v(200000);
    for (float& x : v) x = uniform(engine);
    for (const float centre : {0.99f, 0x1p-7f})
        for (int32_t d = -3000; d <= 3000; ++d) {
            const float x = from_bits(bits_of(centre) + static_cast<uint32_t>(d));
            if (x <= 0.99f) {
                v.push_back(x);
                v.push_back(-x);
            }
        }
    for (const float x : {0.0f, -0.0f, 1e-45f, -1e-45f, 1e-30f, 0x1p-28f, 0.5f, -0.5f, NAN, -NAN}) v.push_back(x);
    return v;
}

void check_fisher(const kernel_table& kernels, report& r) {
    const std::vector<float> in = fisher_inputs();
    const auto n = static_cast<int64_t>(in.size());
    std::vector<float> got(in.size()), expected(in.size());
    kernels.fisher_block(in.data(), got.data(), n);
    for (size_t k = 0; k < in.size(); ++k) expected[k] = fisher_transform(in[k]);
    r.same("Fisher transform", got.data(), expected.data(), n);
}

// Observed differences a few units in the last place to a few thousandths
// away from the exact difference, on both sides: the tally must count each
// as comparing the exact difference counts it.
void check_tally(const kernel_table& kernels, report& r) {
    const int32_t m = 200000;
    std::mt19937 engine(5);
    std::uniform_real_distribution<float> uniform(-0.99f, 0.99f), relative(-2e-3f, 2e-3f);
    std::uniform_int_distribution<int> ulps(-4, 4), coin(0, 1);
    std::vector<float> c1(m), c2(m), observed(m);
    for (int32_t k = 0; k < m; ++k) {
        c1[k] = k < 2000 ? 0.99f : uniform(engine);
        c2[k] = k >= 2000 && k < 4000 ? -0.99f : uniform(engine);
        if (k >= 50 && k < 100) c1[k] = NAN;
        const float d = fisher_transform(c1[k]) - fisher_transform(c2[k]);
        float o = coin(engine) ? d + d * relative(engine) : d;
        const int u = ulps(engine);
        for (int s = 0; s < std::abs(u); ++s) o = std::nextafter(o, u > 0 ? INFINITY : -INFINITY);
        observed[k] = k < 50 ? NAN : o;
    }
    for (const tail t : {tail::two_sided, tail::greater, tail::less}) {
        std::vector<float> signed_observed = observed;  // two-sided: the observed sign must not matter
        if (t == tail::two_sided)
            for (int32_t k = 0; k < m; k += 2) signed_observed[k] = -signed_observed[k];
        std::vector<uint32_t> got(m, 0u), expected(m, 0u);
        kernels.tally_block(c1.data(), c2.data(), signed_observed.data(), t, got.data(), nullptr, m, statistics::classic);
        for (int32_t k = 0; k < m; ++k) {
            const float d = fisher_transform(c1[k]) - fisher_transform(c2[k]), o = signed_observed[k];
            expected[k] = t == tail::two_sided ? std::fabs(d) >= std::fabs(o) : t == tail::greater ? d >= o : d <= o;
        }
        r.same("tally decisions", got.data(), expected.data(), m);
    }
}

// Rows with and without ties or NaN, short (counting) and long.
void check_distinct_ranks(const kernel_table& kernels, report& r) {
    std::vector<std::vector<float>> rows = {
        {0.5f, -1.0f, 3.0f, 2.0f}, {7.0f}, {0.5f, -1.0f, 0.5f}, {0.0f, -0.0f}, {1.0f, NAN, 2.0f}, {NAN, NAN},
    };
    std::vector<float> row(700);
    for (size_t k = 0; k < row.size(); ++k) row[k] = static_cast<float>((k * 337) % 700) * 0.25f - 40.0f;
    rows.push_back(row);
    row[3] = row[500];
    rows.push_back(row);
    for (const std::vector<float>& values : rows) {
        const auto m = static_cast<int32_t>(values.size());
        std::vector<int32_t> got(values.size(), -1), expected(values.size(), -1);
        std::vector<uint8_t> seen(values.size());
        std::vector<uint64_t> keys(values.size());
        const int32_t got_distinct = kernels.distinct_ranks(values.data(), m, got.data(), seen.data());
        const int32_t distinct = sorted_distinct_ranks(values.data(), m, expected.data(), keys.data());
        r.same("ranks without ties: distinct", &got_distinct, &distinct, 1);
        if (distinct) r.same("ranks without ties", got.data(), expected.data(), m);
    }
}

// Differences over every range of the tail: near zero, random, where the
// p-value is a float denormal or zero, huge, infinite, NaN; a count that
// leaves a partial last vector.
void check_normal_pvalues(const kernel_table& kernels, report& r) {
    std::mt19937 engine(9);
    std::uniform_real_distribution<float> wide(-20.0f, 20.0f), edge(13.8f, 14.6f);
    std::vector<float> d;
    for (int32_t k = 0; k < 100000; ++k) d.push_back(k % 2 ? wide(engine) : edge(engine) * (k % 4 ? 1.0f : -1.0f));
    for (int32_t k = -2000; k <= 2000; ++k) d.push_back(static_cast<float>(k) * 0x1p-8f);
    for (const float x : {0.0f, -0.0f, 1e-45f, -1e-45f, 14.5f, -14.5f, 1e30f, -1e30f, INFINITY, -INFINITY, NAN, -NAN})
        d.push_back(x);
    d.push_back(3.0f);
    const auto n = static_cast<int64_t>(d.size());
    std::vector<float> got(d.size()), expected(d.size());
    for (const float se : {1.0f, 0.1436f, 3.7f})
        for (const tail t : {tail::two_sided, tail::greater, tail::less}) {
            kernels.sound.normal_pvalues(t, d.data(), se, got.data(), n);
            for (int64_t k = 0; k < n; ++k) expected[k] = sound_normal_pvalue(t, d[k], se);
            r.same("normal p-values", got.data(), expected.data(), n);
        }
}

}  // namespace

void check_vector_kernels(const kernel_table& kernels, report& r) {
    r.where = "vector kernels";
    check_fisher(kernels, r);
    check_tally(kernels, r);
    check_distinct_ranks(kernels, r);
    check_normal_pvalues(kernels, r);
}

}  // namespace engine_test
