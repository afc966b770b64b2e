// Time spent in the phases of the fast pipelines' cycles, summed while the
// clock runs: a measuring aid for the benchmarks. It is stopped unless the
// test-only extension starts it, and a stopped clock costs one test per
// fork-join.
#pragma once

#include <array>
#include <chrono>

namespace corrshift {

enum class phase { rows, pairs, units };
constexpr int kPhases = 3;

struct phase_clock {
    bool running = false;
    std::array<double, kPhases> seconds{};
};

// The clock of this module (each extension links its own copy).
phase_clock& the_phase_clock();

// Adds the lifetime of the object to phase p while the clock runs.
class timed_phase {
public:
    explicit timed_phase(phase p) : phase_(p), running_(the_phase_clock().running) {
        if (running_) start_ = std::chrono::steady_clock::now();
    }
    ~timed_phase() {
        if (!running_) return;
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - start_;
        the_phase_clock().seconds[static_cast<int>(phase_)] += d.count();
    }
    timed_phase(const timed_phase&) = delete;
    timed_phase& operator=(const timed_phase&) = delete;

private:
    phase phase_;
    bool running_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace corrshift
