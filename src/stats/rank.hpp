// Ranks of each feature row within one group of sample columns.
#pragma once

#include <cstdint>

namespace corrshift {

// For rows [first_row, end_row): ranks[r][columns[i]] = position of that
// value in the row's ascending order over the listed columns (0-based,
// ties get distinct consecutive ranks in index-sort order). Other cells
// are left as they are.
void rank_rows(const float* matrix, float* ranks, int32_t samples, int32_t first_row, int32_t end_row,
               const int32_t* columns, int32_t m);

// rank_rows over all K rows, split among `threads` workers.
void rank_transform(const float* matrix, float* ranks, int32_t samples, int32_t features,
                    const int32_t* columns, int32_t m, int32_t threads);

}  // namespace corrshift
