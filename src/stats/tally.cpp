#include "tally.hpp"

#include <cmath>
#include <cstring>

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

void tally_undefined(const float* permuted, uint32_t* undefined, int32_t n) {
    for (int32_t k = 0; k < n; ++k) undefined[k] += permuted[k] != permuted[k];
}

namespace {

// count / permutations in single precision (0 when there were none). Up to
// 2^24 both are exact in float32, and one float32 division is correctly
// rounded; beyond, divide in double.
float fraction(uint32_t count, int32_t permutations) {
    constexpr int32_t kExactFloat = 1 << 24;
    if (permutations < 1) return 0.0f;
    if (permutations <= kExactFloat) return static_cast<float>(count) / static_cast<float>(permutations);
    return static_cast<float>(static_cast<double>(count) / permutations);
}

}  // namespace

void finish_fractions(const uint32_t* counts, float* p, int32_t n, int32_t permutations) {
    for (int32_t k = 0; k < n; ++k) p[k] = fraction(counts[k], permutations);
}

void finish_fractions_in_place(float* p, int32_t n, int32_t permutations) {
    for (int32_t k = 0; k < n; ++k) {
        uint32_t count;
        std::memcpy(&count, p + k, sizeof count);
        p[k] = fraction(count, permutations);
    }
}

}  // namespace corrshift
