// Pearson correlation of pairs of feature rows over a subset of columns.
#pragma once

#include <cstdint>

#include "rules.hpp"

namespace corrshift {

// Marker written when a row has exactly zero variance over the samples.
constexpr float kUndefinedCorrelation = -2.0f;

struct feature_pair {
    int32_t first;
    int32_t second;
};

// Pair (i, j), i < j, at position k of the condensed upper-triangle order
// (0,1), (0,2), ..., (K-2,K-1). 64-bit arithmetic, exact for every K whose
// pair count fits in a signed 32-bit integer.
feature_pair decode_pair(int64_t k, int64_t features);

// For every pair position k in [begin, end): out[k] = correlation of rows
// (first[k], second[k]) -- or of the k-th condensed pair when first or
// second is null -- over columns[0 .. n-1] (all P columns when columns is
// null). Float32 sums in sample order, products rounded before they are
// added. Classic rules: five sums and population moments; -2.0 when a row
// has zero variance. Sound rules: each row centred on its mean and scaled
// to a unit sum of squares, then the sum of their products, capped to
// [-1, 1]; NaN when a row's values are all equal or hold a NaN.
// Sound rules: the correlation of rows i and j over the n columns from
// their standardised float32 values with double sums (refine.hpp).
double refined_pair_correlation(const float* matrix, int32_t samples, int32_t i, int32_t j, const int32_t* columns,
                                int32_t n);

int pairwise_correlation(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                         float* out, int32_t begin, int32_t end, int32_t features, const int32_t* columns,
                         int32_t n, statistics rules = statistics::classic);

}  // namespace corrshift
