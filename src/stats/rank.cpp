#include "rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "index_sort.hpp"
#include "../run/workers.hpp"

namespace corrshift {

void rank_row_by_index_sort(const float* row, float* rank_row, const int32_t* columns, int32_t m,
                            int32_t* order) {
    for (int32_t k = 0; k < m; ++k) order[k] = k;
    index_sort(order, m, row, columns);
    for (int32_t i = 0; i < m; ++i) rank_row[columns[order[i]]] = static_cast<float>(i);
}

namespace {

// Sorts keys of values[0 .. m-1]: the float's bits mapped to an unsigned
// order that matches `<` on numbers, above it the value's position. False
// for a NaN or two equal numbers (also 0 and -0), found as neighbours.
bool sort_distinct_keys(const float* values, int32_t m, uint64_t* keys) {
    for (int32_t k = 0; k < m; ++k) {
        const float v = values[k];
        if (std::isnan(v)) return false;
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const uint32_t ordered = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
        keys[k] = (static_cast<uint64_t>(ordered) << 32) | static_cast<uint32_t>(k);
    }
    std::sort(keys, keys + m);
    for (int32_t i = 1; i < m; ++i)
        if (!(values[keys[i - 1] & 0xffffffffu] < values[keys[i] & 0xffffffffu])) return false;
    return true;
}

}  // namespace

bool sorted_distinct_ranks(const float* values, int32_t m, int32_t* ranks, uint64_t* keys) {
    if (!sort_distinct_keys(values, m, keys)) return false;
    for (int32_t i = 0; i < m; ++i) ranks[keys[i] & 0xffffffffu] = i;
    return true;
}

bool sorted_distinct_order(const float* values, int32_t m, int32_t* order, uint64_t* keys) {
    if (!sort_distinct_keys(values, m, keys)) return false;
    for (int32_t i = 0; i < m; ++i) order[i] = static_cast<int32_t>(keys[i] & 0xffffffffu);
    return true;
}

void rank_rows(const float* matrix, float* ranks, int32_t samples, int32_t first_row, int32_t end_row,
               const int32_t* columns, int32_t m) {
    if (first_row >= end_row || m <= 0) return;
    std::vector<int32_t> order(static_cast<size_t>(m));
    for (int32_t r = first_row; r < end_row; ++r)
        rank_row_by_index_sort(matrix + static_cast<int64_t>(r) * samples, ranks + static_cast<int64_t>(r) * samples,
                               columns, m, order.data());
}

void rank_transform(const float* matrix, float* ranks, int32_t samples, int32_t features,
                    const int32_t* columns, int32_t m, int32_t threads) {
    run_workers(features, threads, [=](int32_t begin, int32_t end) {
        rank_rows(matrix, ranks, samples, begin, end, columns, m);
    });
}

}  // namespace corrshift
