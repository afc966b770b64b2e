// The aarch64 pieces of the fast kernels: NEON (Advanced SIMD), 4 float
// lanes of 16-byte vectors. Defines the macros kernels_impl.hpp expects of
// every architecture header (see arch_x86.hpp); NEON has no gather, so the
// kernels load the Fisher table lane by lane.
//
// Every multiply and add of the kernels stays a separate instruction
// (fmul, fadd): -ffp-contract=off keeps GCC from fusing the vector
// arithmetic into fmla, and no fused intrinsic (vfma, vmla) is used.
#pragma once

#include <arm_neon.h>

#if CORRSHIFT_VECTOR_BYTES != 16
#error "NEON kernels: CORRSHIFT_VECTOR_BYTES must be 16"
#endif

namespace {
namespace neon {

// The reciprocal for the tally of permutation cycles, with relative error
// below 2^-11 as kernels_impl.hpp requires of CORRSHIFT_VRCP (it then takes
// one Newton step of its own, see "Tally without the transform").
//
// FRECPE (vrecpe) reads the top 8 fraction bits of x, so x lies in an
// interval [a, a + 1) / 512 (times a power of two, a = 256 .. 511), and
// returns r / 256 with r = ((2^19 div (2a + 1)) + 1) div 2, the rounded
// reciprocal of the interval's midpoint. Over the 256 intervals the largest
// |1 - x e0| is reached at an interval end: 0.002853... < 2^-8.45
// (exhaustively over a; CPUs with the higher-precision estimate FEAT_RPRES
// only do better). One FRECPS step (vrecps: s = 2 - x e0 with a single
// rounding) and a rounded product give e1 = e0 s (1 + h2) with
// s = (1 + d)(1 + h1), where d = 1 - x e0 and |h1|, |h2| <= 2^-24, so
//   x e1 = (1 - d)(1 + d)(1 + h1)(1 + h2) = (1 - d^2)(1 + h1)(1 + h2),
//   |1 - x e1| <= d^2 + 2^-23 + 2^-48 < 2^-16.9 + 2^-23 < 2^-16.
// The operands are 1 - c1 c2 in [0.0199, 1.9801] (clamped correlations):
// normal floats, far from the estimate's overflow and underflow ranges; a
// NaN stays NaN and goes to the exact transform.
inline float32x4_t reciprocal(float32x4_t x) {
    const float32x4_t e0 = vrecpeq_f32(x);
    return vmulq_f32(e0, vrecpsq_f32(x, e0));
}

}  // namespace neon
}  // namespace

#define CORRSHIFT_VSQRT(v) ((vf)vsqrtq_f32((float32x4_t)(v)))
#define CORRSHIFT_VRCP(v) ((vf)neon::reciprocal((float32x4_t)(v)))
#define CORRSHIFT_ANY_LANE(v) (vmaxvq_u32((uint32x4_t)(v)) != 0)
#define CORRSHIFT_PREFETCH(p) asm volatile("prfm pldl1keep, [%0]" : : "r"(p))
