// The fast kernels, written once over generic vectors and compiled once per
// instruction set. Each including file defines, before the include:
//   CORRSHIFT_VECTOR_BYTES  bytes of one vector register (64, 32, 16)
//   CORRSHIFT_TILE_ROWS     rows i of one register tile
//   CORRSHIFT_TILE_VECTORS  vectors of rows j of one register tile
//   CORRSHIFT_KERNELS_NAME  the name of the build ("avx512", ...)
// and includes its architecture header (arch_x86.hpp, arch_neon.hpp,
// arch_generic.hpp), which defines CORRSHIFT_VSQRT(v) (float vector square
// root), CORRSHIFT_VRCP(v) (approximate reciprocal, relative error below
// 2^-11), CORRSHIFT_ANY_LANE(v) (true when a 64-bit lane of v is non-zero),
// CORRSHIFT_PREFETCH(p) and optionally CORRSHIFT_GATHER_PD(table, index):
// nothing in the kernels is specific to one architecture. Everything here
// (and in the headers below) lives in the including file's anonymous
// namespace, so builds for different instruction sets never share a symbol.
//
// The kernels, by concern, each header building on the ones before it:
//   kernel_vectors.hpp  vector types, loads, stores, broadcasts, prefetch
//   kernel_fisher.hpp   correlations of VL pairs and their Fisher transform
//   kernel_normal.hpp   normal p-values of Fisher differences
//   kernel_tally.hpp    the permutation cycles' decisions in tanh space:
//                       the z-test's tally and the median counts
//   kernel_pairs.hpp    tiles, segments, bands and batches of the pair
//                       kernel, in each of its modes (jobs.hpp)
//   kernel_rows.hpp     row preparation and the ranks of rows without ties
// This file builds the table of entry points from them.
//
// Exactness: every sum is a float32 sum in sample order, every product is
// rounded before it is added (the build uses -ffp-contract=off), and the
// vector lanes always run over different pairs or rows, never over the
// samples of one sum. So each value equals the one of the straightforward
// kernel bit for bit.
#pragma once

#include "jobs.hpp"
#include "kernel_vectors.hpp"
#include "kernel_fisher.hpp"
#include "kernel_normal.hpp"
#include "kernel_tally.hpp"
#include "kernel_pairs.hpp"
#include "kernel_rows.hpp"

namespace {

// The kernels under the rules S: the row preparation and the pair kernel
// in each of its modes.
template <class S>
constexpr rule_kernels kernels_under() {
    return {prepare_blocks<S>, pair_range<S, pair_writes>, pair_range<S, pair_tally>, pair_range<S, median_counts>,
            normal_pvalues<S>};
}

const kernel_table kTable = {CORRSHIFT_KERNELS_NAME,
                             W,
                             VL,
                             kernels_under<classic_rules>(),
                             kernels_under<sound_rules>(),
                             fisher_block,
                             tanh_block,
                             tally_block,
                             distinct_ranks};

}  // namespace
