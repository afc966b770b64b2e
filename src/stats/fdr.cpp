#include "fdr.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "../run/scratch.hpp"
#include "../run/workers.hpp"

namespace corrshift {

namespace {

// The bits of a p-value in [0, 1] (-0.0 read as +0.0): they rise with the
// value and stay below 2^30, so three passes of 10 bits order them.
constexpr int kDigitBits = 10;
constexpr int kPasses = 3;
constexpr uint32_t kDigits = 1u << kDigitBits;
using digit_counts = std::array<int64_t, kDigits>;

uint32_t key_of(float p) {
    uint32_t bits;
    const float positive = p + 0.0f;
    std::memcpy(&bits, &positive, sizeof bits);
    return bits;
}

float value_of(uint32_t key) {
    float p;
    std::memcpy(&p, &key, sizeof p);
    return p;
}

uint32_t digit(uint32_t key, int pass) { return (key >> (pass * kDigitBits)) & (kDigits - 1); }

struct entry {
    uint32_t key;
    uint32_t row;
};

// Where each worker writes each digit in a stable pass: the digit's start
// over all workers, then after the same digit of the workers before it.
std::vector<digit_counts> write_positions(const std::vector<digit_counts>& counts) {
    std::vector<digit_counts> at(counts.size());
    int64_t sum = 0;
    for (uint32_t d = 0; d < kDigits; ++d)
        for (size_t w = 0; w < counts.size(); ++w) {
            at[w][d] = sum;
            sum += counts[w][d];
        }
    return at;
}

}  // namespace

void bh_qvalues(const float* p, int64_t n, double* q, int32_t threads) {
    const int32_t t = item_workers(n, threads);
    std::vector<digit_counts> counts(static_cast<size_t>(t));
    std::vector<uint8_t> outside(static_cast<size_t>(t));
    // Each worker's rows of p: their first digits, and NaN q-values.
    run_numbered_workers(t, t, [&](int32_t w, int32_t, int32_t) {
        const item_range s = split_items(n, t, w);
        digit_counts& c = counts[static_cast<size_t>(w)];
        c.fill(0);
        for (int64_t k = s.begin; k < s.end; ++k) {
            if (std::isnan(p[k])) {
                q[k] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            outside[static_cast<size_t>(w)] |= !(p[k] >= 0.0f && p[k] <= 1.0f);
            ++c[digit(key_of(p[k]), 0)];
        }
    });
    // The keys order values in [0, 1] only.
    if (std::find(outside.begin(), outside.end(), uint8_t{1}) != outside.end())
        throw std::invalid_argument("p-values must lie between 0 and 1 (or be NaN)");
    int64_t m = 0;
    for (const digit_counts& c : counts)
        for (const int64_t x : c) m += x;
    if (m == 0) return;
    // Least significant digit first; each pass is stable, so the order of
    // the last is the order of the whole keys. The first pass reads the
    // p-values themselves.
    const large_scratch<entry> first = make_large_scratch<entry>(static_cast<size_t>(m));
    const large_scratch<entry> second = make_large_scratch<entry>(static_cast<size_t>(m));
    entry* from = first.get();
    entry* to = second.get();
    {
        const std::vector<digit_counts> starts = write_positions(counts);
        run_numbered_workers(t, t, [&](int32_t w, int32_t, int32_t) {
            const item_range s = split_items(n, t, w);
            digit_counts at = starts[static_cast<size_t>(w)];
            for (int64_t k = s.begin; k < s.end; ++k) {
                if (std::isnan(p[k])) continue;
                const uint32_t key = key_of(p[k]);
                from[at[digit(key, 0)]++] = {key, static_cast<uint32_t>(k)};
            }
        });
    }
    for (int pass = 1; pass < kPasses; ++pass) {
        run_numbered_workers(t, t, [&](int32_t w, int32_t, int32_t) {
            const item_range s = split_items(m, t, w);
            digit_counts& c = counts[static_cast<size_t>(w)];
            c.fill(0);
            for (int64_t k = s.begin; k < s.end; ++k) ++c[digit(from[k].key, pass)];
        });
        const std::vector<digit_counts> starts = write_positions(counts);
        run_numbered_workers(t, t, [&](int32_t w, int32_t, int32_t) {
            const item_range s = split_items(m, t, w);
            digit_counts at = starts[static_cast<size_t>(w)];
            for (int64_t k = s.begin; k < s.end; ++k) to[at[digit(from[k].key, pass)]++] = from[k];
        });
        std::swap(from, to);
    }
    // From the largest p-value down: the running minimum of p * (m / j),
    // then at most 1. Each worker takes a stretch of ranks: first the
    // smallest product of each stretch but the lowest (which no stretch
    // lies below), then each stretch from the top down, starting from the
    // smallest product of the stretches above it.
    const auto total = static_cast<double>(m);
    auto adjusted = [&](int64_t j) {
        return static_cast<double>(value_of(from[j - 1].key)) * (total / static_cast<double>(j));
    };
    std::vector<double> lowest(static_cast<size_t>(t), std::numeric_limits<double>::infinity());
    if (t > 1) run_numbered_workers(t - 1, t - 1, [&](int32_t i, int32_t, int32_t) {
        const int32_t w = i + 1;
        const item_range s = split_items(m, t, w);
        double low = std::numeric_limits<double>::infinity();
        for (int64_t j = s.end; j > s.begin; --j) low = std::min(low, adjusted(j));
        lowest[static_cast<size_t>(w)] = low;
    });
    run_numbered_workers(t, t, [&](int32_t w, int32_t, int32_t) {
        const item_range s = split_items(m, t, w);
        double smallest = std::numeric_limits<double>::infinity();
        for (int32_t above = w + 1; above < t; ++above) smallest = std::min(smallest, lowest[static_cast<size_t>(above)]);
        for (int64_t j = s.end; j > s.begin; --j) {
            const double a = adjusted(j);
            if (a < smallest) smallest = a;
            q[from[j - 1].row] = smallest < 1.0 ? smallest : 1.0;
        }
    });
}

}  // namespace corrshift
