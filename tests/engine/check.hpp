// Bit-for-bit comparison of results, with a tally of what was compared and
// what differed.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace engine_test {

struct report {
    std::string build;  // the kernel build under test
    std::string where;  // the case being run
    int64_t checks = 0;
    int64_t failures = 0;

    // got[k] == expected[k] for k < n: floats bit for bit (any NaN equals
    // any NaN), other types by value. Prints the first differences.
    template <class T>
    void same(const char* what, const T* got, const T* expected, int64_t n) {
        ++checks;
        int64_t differ = 0;
        for (int64_t k = 0; k < n; ++k) {
            if (equal(got[k], expected[k])) continue;
            if (++differ <= 3)
                std::printf("  %s / %s / %s [%lld]: got %.9g, expected %.9g\n", build.c_str(), where.c_str(), what,
                            static_cast<long long>(k), static_cast<double>(got[k]),
                            static_cast<double>(expected[k]));
        }
        if (differ > 0) {
            ++failures;
            std::printf("  %s / %s / %s: %lld of %lld differ\n", build.c_str(), where.c_str(), what,
                        static_cast<long long>(differ), static_cast<long long>(n));
        }
    }

   private:
    static bool equal(float a, float b) {
        if (std::isnan(a) && std::isnan(b)) return true;
        uint32_t x, y;
        std::memcpy(&x, &a, sizeof x);
        std::memcpy(&y, &b, sizeof y);
        return x == y;
    }
    template <class T>
    static bool equal(T a, T b) {
        return a == b;
    }
};

}  // namespace engine_test
