// The portable pieces of the fast kernels, for targets with no build of
// their own: plain operations on the generic vectors, which the compiler
// vectorises where the target allows (still without fusing, see
// -ffp-contract=off). Defines the macros kernels_impl.hpp expects of every
// architecture header (see arch_x86.hpp).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {
namespace generic {

template <class V>
inline V lanewise_sqrt(V v) {
    for (unsigned l = 0; l < sizeof v / sizeof v[0]; ++l) v[l] = std::sqrt(v[l]);
    return v;
}

template <class V>
inline bool any_bit(V v) {
    uint64_t words[sizeof v / sizeof(uint64_t)];
    std::memcpy(words, &v, sizeof v);
    uint64_t any = 0;
    for (const uint64_t w : words) any |= w;
    return any != 0;
}

}  // namespace generic
}  // namespace

#define CORRSHIFT_VSQRT(v) generic::lanewise_sqrt(v)
// An exact division: relative error at most 2^-24.
#define CORRSHIFT_VRCP(v) (1.0f / (v))
#define CORRSHIFT_ANY_LANE(v) generic::any_bit(v)
#define CORRSHIFT_PREFETCH(p) __builtin_prefetch(p)
