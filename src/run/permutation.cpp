#include "permutation.hpp"

#include <algorithm>
#include <utility>

namespace corrshift {

void shuffle_samples(std::mt19937& engine, std::vector<int32_t>& sample_order) {
    const size_t p = sample_order.size();
    if (p < 2) return;
    for (size_t i = 1; i < p; ++i) {
        const uint32_t j = draw_index(engine, static_cast<uint32_t>(i + 1));
        if (j != i) std::swap(sample_order[i], sample_order[j]);
    }
}

void permute_groups(std::mt19937& engine, std::vector<int32_t>& sample_order, int32_t n1, int32_t n2,
                    int32_t* group1, int32_t* group2) {
    shuffle_samples(engine, sample_order);
    std::copy_n(sample_order.begin(), n1, group1);
    std::copy_n(sample_order.begin() + n1, n2, group2);
}

stratified_dealing make_stratified_dealing(const int32_t* strata, int32_t count, int32_t samples,
                                           const int32_t* group1, int32_t n1, const int32_t* group2, int32_t n2) {
    stratified_dealing d;
    d.orders.resize(static_cast<size_t>(count));
    d.n1.assign(static_cast<size_t>(count), 0);
    d.n2.assign(static_cast<size_t>(count), 0);
    for (int32_t c = 0; c < samples; ++c)
        if (strata[c] >= 0) d.orders[static_cast<size_t>(strata[c])].push_back(c);
    for (int32_t k = 0; k < n1; ++k) d.n1[static_cast<size_t>(strata[group1[k]])] += 1;
    for (int32_t k = 0; k < n2; ++k) d.n2[static_cast<size_t>(strata[group2[k]])] += 1;
    return d;
}

void permute_within_strata(std::mt19937& engine, stratified_dealing& dealing, int32_t* group1, int32_t* group2) {
    for (size_t s = 0; s < dealing.orders.size(); ++s) {
        std::vector<int32_t>& order = dealing.orders[s];
        shuffle_samples(engine, order);
        group1 = std::copy_n(order.begin(), dealing.n1[s], group1);
        group2 = std::copy_n(order.begin() + dealing.n1[s], dealing.n2[s], group2);
    }
}

}  // namespace corrshift
