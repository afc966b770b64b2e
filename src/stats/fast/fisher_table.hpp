// Table of the vectorised Fisher transform: atanh(1 - u0) in double
// precision for every float u0 in [2^-7, 1) cut to 7 significant bits.
#pragma once

#include <cstdint>

namespace corrshift {

// Index of u0 = (bits of u0 >> 17) - kFisherTableBase: exponents 2^-7 ..
// 2^-1, 64 steps each.
constexpr int32_t kFisherTableBase = (127 - 7) << 6;
constexpr int32_t kFisherTableSize = 7 << 6;
// Below this |c| the transform uses its Taylor series instead.
constexpr double kFisherSmall = 0x1p-7;

// kFisherTableSize doubles, built on first use.
const double* fisher_table();

}  // namespace corrshift
