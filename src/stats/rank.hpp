// Ranks of each feature row within one group of sample columns.
#pragma once

#include <cstdint>

#include "rules.hpp"

namespace corrshift {

// rank_row[columns[i]] = position of row[columns[i]] in the ascending order
// of the listed values (0-based; tied values get distinct consecutive ranks
// in the order the index sort leaves them). order holds m ints of scratch.
void rank_row_by_index_sort(const float* row, float* rank_row, const int32_t* columns, int32_t m,
                            int32_t* order);

// rank_row[columns[i]] = average rank of row[columns[i]] among the listed
// values: a block of tied values shares the mean of the 0-based positions
// it spans (a half-integer at most), so the ranks do not depend on the
// order of the samples; a NaN value gets a NaN rank and the numbers are
// ranked among themselves. order holds m ints of scratch.
void rank_row_average(const float* row, float* rank_row, const int32_t* columns, int32_t m, int32_t* order);

// Ranks of values[0 .. m-1] when they hold no tie and no NaN (then the
// ranks do not depend on how they are sorted): returns true and sets
// ranks[k] = position of values[k] in ascending order. Returns false when
// two values compare equal or one is NaN. keys holds m entries of scratch.
bool sorted_distinct_ranks(const float* values, int32_t m, int32_t* ranks, uint64_t* keys);

// The ascending order of values[0 .. m-1] when they hold no tie and no NaN:
// returns true and sets order[i] = index of the i-th smallest value.
// Returns false when two values compare equal or one is NaN. keys holds m
// entries of scratch.
bool sorted_distinct_order(const float* values, int32_t m, int32_t* order, uint64_t* keys);

// Marks an entry of an order that ties with the entry before it.
constexpr uint32_t kTiedToPrevious = 0x80000000u;

// How an order from sorted_order_marking_ties came out.
enum class row_order : uint8_t { unusable, distinct, tied };

// The ascending order of values[0 .. m-1], ties in position order: order[i]
// = index of the i-th value, with kTiedToPrevious set where that value
// equals the one before it (0 and -0 alike). Returns unusable (order not
// set) for a NaN among them, distinct without ties, tied otherwise. keys
// holds m entries of scratch.
row_order sorted_order_marking_ties(const float* values, int32_t m, int32_t* order, uint64_t* keys);

// For rows [first_row, end_row): ranks[r][columns[i]] = rank of that value
// in the row's ascending order over the listed columns (0-based; classic
// rules: ties get distinct consecutive ranks in index-sort order; sound
// rules: average ranks). Other cells are left as they are.
void rank_rows(const float* matrix, float* ranks, int32_t samples, int32_t first_row, int32_t end_row,
               const int32_t* columns, int32_t m, statistics rules = statistics::classic);

// rank_rows over all K rows, split among `threads` workers.
void rank_transform(const float* matrix, float* ranks, int32_t samples, int32_t features,
                    const int32_t* columns, int32_t m, int32_t threads, statistics rules = statistics::classic);

}  // namespace corrshift
