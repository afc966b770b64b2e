#include "fisher_table.hpp"

#include <cmath>
#include <cstring>

namespace corrshift {

namespace {

struct table {
    double values[kFisherTableSize];
    table() {
        for (int32_t i = 0; i < kFisherTableSize; ++i) {
            const auto bits = static_cast<uint32_t>(i + kFisherTableBase) << 17;
            float u0;
            std::memcpy(&u0, &bits, sizeof u0);
            values[i] = std::atanh(1.0 - static_cast<double>(u0));
        }
    }
};

}  // namespace

const double* fisher_table() {
    static const table t;
    return t.values;
}

}  // namespace corrshift
