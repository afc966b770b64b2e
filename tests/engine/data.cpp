#include "data.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "../../src/run/permutation.hpp"

namespace engine_test {

matrix hard_matrix(int32_t features, int32_t samples, uint32_t seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<float> normal;
    matrix m{features, samples, std::vector<float>(static_cast<size_t>(features) * samples)};
    for (float& v : m.values) v = normal(engine);
    std::vector<float> base(static_cast<size_t>(samples));
    for (float& v : base) v = normal(engine);
    auto row = [&](int32_t r) { return m.values.begin() + static_cast<int64_t>(r) * samples; };
    // Row 16 keeps three samples: a group often holds none of them.
    const int32_t kept[] = {samples / 7, samples / 2, samples - 2};
    for (int32_t r = 3; r < std::min(features, 18); ++r) {
        for (int32_t s = 0; s < samples; ++s) {
            float& v = row(r)[s];
            const float b = base[static_cast<size_t>(s)];
            const float x = row(0)[s];
            switch (r) {
                case 3: v = 2.5f; break;
                case 4: v = s < samples / 2 ? 1.0f : v; break;
                case 5: v = s == samples / 3 ? NAN : b; break;
                case 6: v = std::round(b * 2.0f); break;
                case 7: v = row(0)[s]; break;
                case 8: v = b < 0.0f ? -1.0f : 1.0f; break;
                case 9: v = b * 1e6f + 3e7f; break;
                case 10: v = s % 9 == 4 ? v : 0.0f; break;
                case 11: v = 0.0f; break;
                case 12: v = 3.0f * x + 1.0f; break;
                case 13: v = -x; break;
                case 14: v = x + 1e-4f * v; break;
                case 15: v = s % 5 == 1 ? -x : 0.0f; break;
                case 16: v = s == kept[0] || s == kept[1] || s == kept[2] ? v : 0.0f; break;
                case 17: v = x + 0.05f * v; break;
            }
        }
    }
    return m;
}

void make_groups(groups_kind kind, int32_t samples, int32_t n1, int32_t n2, uint32_t seed,
                 std::vector<int32_t>& group1, std::vector<int32_t>& group2) {
    std::vector<int32_t> order(static_cast<size_t>(samples));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    group1.resize(static_cast<size_t>(n1));
    group2.resize(static_cast<size_t>(n2));
    switch (kind) {
        case groups_kind::first_permutation: {
            std::mt19937 engine(corrshift::kPermutationSeed);
            std::iota(order.begin(), order.end(), 0);
            corrshift::permute_groups(engine, order, n1, n2, group1.data(), group2.data());
            break;
        }
        case groups_kind::dealt:
            group1.assign(order.begin(), order.begin() + n1);
            group2.assign(order.begin() + n1, order.begin() + n1 + n2);
            break;
        case groups_kind::duplicated_column:
            group1.assign(order.begin(), order.begin() + n1 - 1);
            group1.push_back(group1[2]);
            group2.assign(order.begin() + n1, order.begin() + n1 + n2);
            break;
        case groups_kind::shared_columns:  // the last fifth of group 1 is also in group 2
            group1.assign(order.begin(), order.begin() + n1);
            group2.assign(order.begin() + n1 - n1 / 5, order.begin() + n1 - n1 / 5 + n2);
            break;
    }
}

void make_pairs(pairs_kind kind, int32_t features, uint32_t seed, std::vector<int32_t>& first,
                std::vector<int32_t>& second) {
    first.clear();
    second.clear();
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int32_t> row(0, features - 1);
    switch (kind) {
        case pairs_kind::exhaustive: break;
        case pairs_kind::all_in_order:
            for (int32_t i = 0; i < features; ++i)
                for (int32_t j = i + 1; j < features; ++j) {
                    first.push_back(i);
                    second.push_back(j);
                }
            break;
        case pairs_kind::sorted_random:
            for (int32_t k = 0; k < 3 * features; ++k) {
                first.push_back(row(engine));
                second.push_back(row(engine));
            }
            std::sort(first.begin(), first.end());
            break;
        case pairs_kind::unsorted:
            for (int32_t i = features - 1; i > 0; i -= 2)
                for (int32_t j = 0; j < i; j += 3) {
                    first.push_back(i);
                    second.push_back(j);
                }
            for (const int32_t r : {0, 1, 1}) {
                first.push_back(r);
                second.push_back(r);
            }
            for (int32_t j = 1; j < std::min(features, 6); ++j) {
                first.push_back(0);
                second.push_back(j);
            }
            break;
    }
}

}  // namespace engine_test
