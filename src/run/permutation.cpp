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

}  // namespace corrshift
