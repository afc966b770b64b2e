// The cycle loop shared by every pipeline: one observed cycle, then one
// cycle per permutation, each dealing its groups, running the pipeline's
// fork-joins and tallying on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <vector>

#include "interrupt.hpp"
#include "permutation.hpp"
#include "progress_bar.hpp"

namespace corrshift {

// Told after every cycle how many of the call's cycles are done.
using cycle_report = std::function<void(int64_t done, int64_t total)>;

struct cycle_plan {
    int32_t samples;  // P, columns of data
    const int32_t* group1;
    int32_t n1;
    const int32_t* group2;
    int32_t n2;
    int32_t permutations;
    // Null: the progress line on standard output; otherwise this is called
    // on the calling thread instead, and nothing is written.
    const cycle_report* report = nullptr;
};

// The groups of one cycle.
struct cycle_view {
    int32_t cycle;          // 0 is the observed cycle
    const int32_t* group1;  // the caller's groups in cycle 0, dealt ones after
    const int32_t* group2;
};

// Runs cycles 0 .. plan.permutations. `phases(view)` runs the pipeline's
// fork-joins for the cycle (ranks under "spearman" included); `tally(cycle)`
// then accumulates on the calling thread (the fast paths tally inside their
// workers and pass a no-op). Reports progress; an interrupt ends the call
// between cycles with the interpreter's pending exception.
template <class Phases, class Tally>
void run_cycles(const cycle_plan& plan, Phases&& phases, Tally&& tally) {
    std::vector<int32_t> dealt1(static_cast<size_t>(plan.n1)), dealt2(static_cast<size_t>(plan.n2));
    std::vector<int32_t> sample_order(static_cast<size_t>(plan.samples));
    for (int32_t s = 0; s < plan.samples; ++s) sample_order[static_cast<size_t>(s)] = s;
    std::mt19937 engine(kPermutationSeed);

    const int64_t cycles = int64_t{plan.permutations} + 1;
    const bool line = plan.report == nullptr;
    if (line) std::cout << "Permutation progress: ";
    std::optional<progressbar> bar;
    if (line) bar.emplace(cycles);
    // A 64-bit counter: the last cycle may be number 2147483647.
    for (int64_t c = 0; c <= plan.permutations; ++c) {
        const auto cycle = static_cast<int32_t>(c);
        check_interrupt();
        cycle_view view{cycle, plan.group1, plan.group2};
        if (cycle > 0) {
            permute_groups(engine, sample_order, plan.n1, plan.n2, dealt1.data(), dealt2.data());
            view.group1 = dealt1.data();
            view.group2 = dealt2.data();
        }
        phases(view);
        tally(cycle);
        if (line)
            bar->update();
        else
            (*plan.report)(c + 1, cycles);
    }
    if (!line) return;
    std::cout << "\n";
    std::cout.flush();
}

}  // namespace corrshift
