#include "tally.hpp"

#include <cmath>

namespace corrshift {

void tally_extremes(tail alternative, const float* observed, const float* permuted, uint32_t* counts, int32_t n) {
    switch (alternative) {
        case tail::two_sided:
            for (int32_t k = 0; k < n; ++k) counts[k] += std::fabs(permuted[k]) >= std::fabs(observed[k]);
            break;
        case tail::greater:
            for (int32_t k = 0; k < n; ++k) counts[k] += permuted[k] >= observed[k];
            break;
        case tail::less:
            for (int32_t k = 0; k < n; ++k) counts[k] += permuted[k] <= observed[k];
            break;
        case tail::unknown: break;
    }
}

void finish_fractions(const uint32_t* counts, float* p, int32_t n, int32_t permutations) {
    // Up to 2^24 both the count and the divisor are exact in float32, and a
    // single float32 division is correctly rounded; beyond, divide in double.
    constexpr int32_t kExactFloat = 1 << 24;
    for (int32_t k = 0; k < n; ++k) {
        if (permutations < 1)
            p[k] = 0.0f;
        else if (permutations <= kExactFloat)
            p[k] = static_cast<float>(counts[k]) / static_cast<float>(permutations);
        else
            p[k] = static_cast<float>(static_cast<double>(counts[k]) / permutations);
    }
}

}  // namespace corrshift
