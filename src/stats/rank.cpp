#include "rank.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
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

void rank_row_average(const float* row, float* rank_row, const int32_t* columns, int32_t m, int32_t* order) {
    for (int32_t k = 0; k < m; ++k) order[k] = k;
    const auto value = [=](int32_t k) { return row[columns[k]]; };
    // Numbers ascending, NaN after them; ties by position only to make the
    // order well defined (it does not change an average rank).
    std::sort(order, order + m, [&](int32_t a, int32_t b) {
        const float va = value(a), vb = value(b);
        if (std::isnan(va) || std::isnan(vb)) return !std::isnan(va);
        return va < vb || (va == vb && a < b);
    });
    int32_t i = 0;
    while (i < m && !std::isnan(value(order[i]))) {
        int32_t j = i;
        while (j + 1 < m && value(order[j + 1]) == value(order[i])) ++j;
        const float rank = static_cast<float>(i + j) * 0.5f;
        for (int32_t t = i; t <= j; ++t) rank_row[columns[order[t]]] = rank;
        i = j + 1;
    }
    for (; i < m; ++i) rank_row[columns[order[i]]] = std::numeric_limits<float>::quiet_NaN();
}

namespace {

// Sorts keys of values[0 .. m-1]: the float's bits mapped to an unsigned
// order that matches `<` on numbers, above it the value's position. False
// for a NaN.
bool sort_keys(const float* values, int32_t m, uint64_t* keys) {
    for (int32_t k = 0; k < m; ++k) {
        const float v = values[k];
        if (std::isnan(v)) return false;
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const uint32_t ordered = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
        keys[k] = (static_cast<uint64_t>(ordered) << 32) | static_cast<uint32_t>(k);
    }
    std::sort(keys, keys + m);
    return true;
}

// sort_keys, and false for two equal numbers (also 0 and -0), found as
// neighbours.
bool sort_distinct_keys(const float* values, int32_t m, uint64_t* keys) {
    if (!sort_keys(values, m, keys)) return false;
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

row_order sorted_order_marking_ties(const float* values, int32_t m, int32_t* order, uint64_t* keys) {
    if (!sort_keys(values, m, keys)) return row_order::unusable;
    bool tied = false;
    for (int32_t i = 0; i < m; ++i) {
        const auto k = static_cast<uint32_t>(keys[i] & 0xffffffffu);
        const bool tie = i > 0 && values[keys[i - 1] & 0xffffffffu] == values[k];
        tied |= tie;
        order[i] = static_cast<int32_t>(tie ? k | kTiedToPrevious : k);
    }
    return tied ? row_order::tied : row_order::distinct;
}

void rank_rows(const float* matrix, float* ranks, int32_t samples, int32_t first_row, int32_t end_row,
               const int32_t* columns, int32_t m, statistics rules) {
    if (first_row >= end_row || m <= 0) return;
    std::vector<int32_t> order(static_cast<size_t>(m));
    const auto rank_row = rules == statistics::sound ? rank_row_average : rank_row_by_index_sort;
    for (int32_t r = first_row; r < end_row; ++r)
        rank_row(matrix + static_cast<int64_t>(r) * samples, ranks + static_cast<int64_t>(r) * samples, columns, m,
                 order.data());
}

void rank_transform(const float* matrix, float* ranks, int32_t samples, int32_t features,
                    const int32_t* columns, int32_t m, int32_t threads, statistics rules) {
    run_workers(features, threads, [=](int32_t begin, int32_t end) {
        rank_rows(matrix, ranks, samples, begin, end, columns, m, rules);
    });
}

}  // namespace corrshift
