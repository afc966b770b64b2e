// Seeded dealing of samples into permuted groups.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace corrshift {

constexpr uint32_t kPermutationSeed = 733;

// Uniform index in [0, n) for n >= 2 by rejection of the top (2^32 mod n)
// engine outputs; one engine output per attempt.
template <class Engine>
uint32_t draw_index(Engine& engine, uint32_t n) {
    constexpr uint32_t m = 0xFFFFFFFFu;
    for (;;) {
        const auto r = static_cast<uint32_t>(engine());
        if (r / n < m / n || m % n == n - 1) return r % n;
    }
}

// In-place shuffle: for i = 1 .. size-1, exchange position i with a drawn
// position j in [0, i].
void shuffle_samples(std::mt19937& engine, std::vector<int32_t>& sample_order);

// Shuffles sample_order once more and copies group 1 from its first n1
// entries and group 2 from the next n2.
void permute_groups(std::mt19937& engine, std::vector<int32_t>& sample_order, int32_t n1, int32_t n2,
                    int32_t* group1, int32_t* group2);

}  // namespace corrshift
