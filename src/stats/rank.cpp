#include "rank.hpp"

#include <vector>

#include "index_sort.hpp"
#include "../run/workers.hpp"

namespace corrshift {

void rank_rows(const float* matrix, float* ranks, int32_t samples, int32_t first_row, int32_t end_row,
               const int32_t* columns, int32_t m) {
    if (first_row >= end_row || m <= 0) return;
    std::vector<int32_t> order(static_cast<size_t>(m));
    for (int32_t r = first_row; r < end_row; ++r) {
        const float* row = matrix + static_cast<int64_t>(r) * samples;
        float* out = ranks + static_cast<int64_t>(r) * samples;
        for (int32_t k = 0; k < m; ++k) order[static_cast<size_t>(k)] = k;
        index_sort(order.data(), m, row, columns);
        for (int32_t i = 0; i < m; ++i) out[columns[order[static_cast<size_t>(i)]]] = static_cast<float>(i);
    }
}

void rank_transform(const float* matrix, float* ranks, int32_t samples, int32_t features,
                    const int32_t* columns, int32_t m, int32_t threads) {
    run_workers(features, threads, [=](int32_t begin, int32_t end) {
        rank_rows(matrix, ranks, samples, begin, end, columns, m);
    });
}

}  // namespace corrshift
