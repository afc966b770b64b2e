#include "workers.hpp"

namespace corrshift {

int32_t fail_thread_start_at = -1;

unit_range split_range(int32_t n, int32_t t, int32_t j) {
    const int32_t q = n / t;
    const int32_t start = j * q;
    return {start, j == t - 1 ? n : start + q};
}

}  // namespace corrshift
