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

// All ones in the lanes [from, to), zero in the others.
inline vi lanes_between(int from, int to) {
    const vi lane = lane_numbers(std::make_integer_sequence<int, VL>{});
    return (lane >= from) & (lane < to);
}

// The floats at[l] of the lanes l in [from, to) and `fill` in the others;
// at[l] is read for those lanes only (at itself may lie before an array's
// start, so it is formed as an address, not by pointer arithmetic).
inline vf load_lanes(const float* array, int64_t at, int from, int to, float fill) {
#ifdef CORRSHIFT_LOAD_LANES
    const auto* p = reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(array) + at * sizeof(float));
    return CORRSHIFT_LOAD_LANES(p, from, to, splat(fill));
#else
    vf v = splat(fill);
    for (int l = from; l < to; ++l) v[l] = array[at + l];
    return v;
#endif
}

// array[at + l] -= lanes[l] for the lanes l in [from, to), nothing written
// elsewhere: the neighbouring positions may be another worker's.
inline void subtract_lanes_between(uint32_t* array, int64_t at, vi lanes, int from, int to) {
#ifdef CORRSHIFT_SUBTRACT_LANES
    auto* p = reinterpret_cast<uint32_t*>(reinterpret_cast<uintptr_t>(array) + at * sizeof(uint32_t));
    CORRSHIFT_SUBTRACT_LANES(p, lanes, from, to);
#else
    for (int l = from; l < to; ++l) array[at + l] -= static_cast<uint32_t>(lanes[l]);
#endif
}

// out[k] = f(in[k]) lane by lane for k < n, f taking and giving a vector:
// whole vectors, then the last values in one vector whose other lanes
// are zero (nothing is read or written past n).
template <class F>
inline void map_lanes(const float* in, float* out, int64_t n, F f) {
    int64_t k = 0;
    for (; k + VL <= n; k += VL) store(out + k, f(load(in + k)));
    if (k < n) {
        const auto bytes = static_cast<size_t>(n - k) * sizeof(float);
        float last_in[VL] = {}, last_out[VL];
        std::memcpy(last_in, in + k, bytes);
        store(last_out, f(load(last_in)));
        std::memcpy(out + k, last_out, bytes);
    }
}

inline uint32_t lane_sum(vi v) {
    uint32_t sum = 0;
    for (int l = 0; l < VL; ++l) sum += static_cast<uint32_t>(v[l]);
    return sum;
}

// Asks for the cache line holding p.
inline void prefetch(const void* p) { CORRSHIFT_PREFETCH(p); }

}  // namespace
