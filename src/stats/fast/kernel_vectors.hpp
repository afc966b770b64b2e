// Vector types and helpers of the fast kernels (see kernels_impl.hpp): the
// lane counts and tile shape of the build, loads, stores, broadcasts and
// lane sums of generic vectors, and the prefetch of one cache line.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "jobs.hpp"

namespace {

using namespace corrshift;

constexpr int VL = CORRSHIFT_VECTOR_BYTES / 4;  // float lanes
constexpr int VD = VL / 2;                      // double lanes
constexpr int R = CORRSHIFT_TILE_ROWS;
constexpr int C = CORRSHIFT_TILE_VECTORS;
constexpr int W = C * VL;  // rows j of a tile = rows of a panel block

typedef float vf __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef int32_t vi __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef double vd __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef int64_t vl __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef float vfh __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES / 2)));

inline int32_t imin(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t imax(int32_t a, int32_t b) { return a < b ? b : a; }

inline vf load(const float* p) {
    vf v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, vf v) { std::memcpy(p, &v, sizeof v); }
template <int... I>
inline vf splat_lanes(float x, std::integer_sequence<int, I...>) {
    return vf{((void)I, x)...};
}
inline vf splat(float x) { return splat_lanes(x, std::make_integer_sequence<int, VL>{}); }

inline vf vabs(vf v) { return (vf)((vi)v & 0x7fffffff); }

template <int... I>
inline vi lane_numbers(std::integer_sequence<int, I...>) {
    return vi{I...};
}

inline uint32_t lane_sum(vi v) {
    uint32_t sum = 0;
    for (int l = 0; l < VL; ++l) sum += static_cast<uint32_t>(v[l]);
    return sum;
}

// Asks for the cache line holding p.
inline void prefetch(const void* p) { CORRSHIFT_PREFETCH(p); }

}  // namespace
