// Introspective sort of 32-bit indices by float keys, with a fixed sequence
// of steps: tied keys end up in an order that depends only on those steps,
// and ranks of tied values are taken from that order.
#pragma once

#include <cstdint>

namespace corrshift {

// Sorts idx[0 .. count-1] ascending by row[columns[idx[.]]] with `<` as the only
// comparison: insertion sort up to 32 entries, otherwise partitions around
// a median guess with a depth budget and a heap-sort fallback.
void index_sort(int32_t* idx, int32_t count, const float* row, const int32_t* columns);

}  // namespace corrshift
