// The cycle loop shared by every pipeline: one observed cycle, then one
// cycle per permutation, each dealing its groups, running the pipeline's
// fork-joins and tallying on the calling thread.
#pragma once

#include <algorithm>
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

// Called before every cycle and once after the last with how many of the
// call's cycles are done; it checks for an interrupt itself.
using cycle_report = std::function<void(int64_t done, int64_t total)>;

struct cycle_plan {
    int32_t samples;  // P, columns of data
    const int32_t* group1;
    int32_t n1;
    const int32_t* group2;
    int32_t n2;
    int32_t permutations;
    // Null: an interrupt check before every cycle and the progress line on
    // standard output; otherwise this is called on the calling thread
    // instead, and nothing is written.
    const cycle_report* report = nullptr;
    // Null: every cycle deals from all columns. Otherwise the stratum of
    // each column (-1: none), `strata_count` strata, and each cycle deals
    // within them (permute_within_strata).
    const int32_t* strata = nullptr;
    int32_t strata_count = 0;
    uint32_t seed = kPermutationSeed;
    // Each group's columns in ascending order in every cycle, the observed
    // one included: a cycle's statistics are then functions of the two sets
    // of columns, whatever order they were dealt or given in.
    bool ascending = false;
    // The permutation cycles are every split of the samples once
    // (split_enumeration) instead of seeded dealings; `permutations` is
    // their number.
    bool every_split = false;
    // Numbered dealings (deal_numbered): permutation cycle c of the call is
    // cycle first_cycle + c of the seed's stream, dealt from the columns in
    // ascending order, so a call can go on where another stopped and its
    // counts add up to those of one longer call. Otherwise every cycle
    // shuffles the previous cycle's order with one engine.
    bool numbered = false;
    int64_t first_cycle = 0;
    // More than two groups (numbered dealings only, never every split):
    // group g holds group_sizes[g] columns at group_columns[g], g <
    // group_count, and each cycle deals them all anew (deal_numbered_groups);
    // group1 / n1 and group2 / n2 are then the first two. Null: the two
    // groups above.
    int32_t group_count = 2;
    const int32_t* const* group_columns = nullptr;
    const int32_t* group_sizes = nullptr;
};

// The groups of one cycle.
struct cycle_view {
    int32_t cycle;          // 0 is the observed cycle
    const int32_t* group1;  // the caller's groups in cycle 0, dealt ones after
    const int32_t* group2;
    const int32_t* const* groups = nullptr;  // every group, group1 and group2 first
};

// The groups of a plan: its group_count groups, or group1 and group2.
inline std::vector<std::vector<int32_t>> plan_groups(const cycle_plan& plan) {
    std::vector<std::vector<int32_t>> groups;
    if (plan.group_columns == nullptr) {
        groups.emplace_back(plan.group1, plan.group1 + plan.n1);
        groups.emplace_back(plan.group2, plan.group2 + plan.n2);
        return groups;
    }
    for (int32_t g = 0; g < plan.group_count; ++g)
        groups.emplace_back(plan.group_columns[g], plan.group_columns[g] + plan.group_sizes[g]);
    return groups;
}

// The strata whose splits an exact test enumerates: the plan's, or one
// stratum of every column.
inline stratified_dealing every_split_strata(const cycle_plan& plan) {
    const std::vector<int32_t> one(static_cast<size_t>(plan.samples), 0);
    const bool given = plan.strata != nullptr;
    return make_stratified_dealing(given ? plan.strata : one.data(), given ? plan.strata_count : 1, plan.samples,
                                   plan.group1, plan.n1, plan.group2, plan.n2);
}

// Runs cycles 0 .. plan.permutations. `phases(view)` runs the pipeline's
// fork-joins for the cycle (ranks under "spearman" included); `tally(cycle)`
// then accumulates on the calling thread (the fast paths tally inside their
// workers and pass a no-op). Reports progress; an interrupt ends the call
// between cycles with the interpreter's pending exception.
template <class Phases, class Tally>
void run_cycles(const cycle_plan& plan, Phases&& phases, Tally&& tally) {
    // The caller's groups (in ascending order for the observed cycle when
    // plan.ascending), and each cycle's dealt ones of the same sizes.
    std::vector<std::vector<int32_t>> observed = plan_groups(plan);
    std::vector<std::vector<int32_t>> dealt = observed;
    const auto k = static_cast<int32_t>(observed.size());
    const bool many = plan.group_columns != nullptr;
    std::vector<int32_t> sizes;
    std::vector<const int32_t*> given, observed_at;
    std::vector<const int32_t*> dealt_view;
    std::vector<int32_t*> dealt_at;
    for (int32_t g = 0; g < k; ++g) {
        sizes.push_back(static_cast<int32_t>(observed[g].size()));
        given.push_back(many ? plan.group_columns[g] : g == 0 ? plan.group1 : plan.group2);
        if (plan.ascending) std::sort(observed[g].begin(), observed[g].end());
        observed_at.push_back(plan.ascending ? observed[g].data() : given.back());
        dealt_at.push_back(dealt[g].data());
        dealt_view.push_back(dealt[g].data());
    }
    int32_t* const dealt1 = dealt_at[0];
    int32_t* const dealt2 = dealt_at[1];
    std::vector<int32_t> sample_order(static_cast<size_t>(plan.samples));
    for (int32_t s = 0; s < plan.samples; ++s) sample_order[static_cast<size_t>(s)] = s;
    std::mt19937 engine(plan.seed);
    stratified_dealing strata;
    stratified_groups many_strata;
    if (plan.strata != nullptr && many)
        many_strata = make_stratified_groups(plan.strata, plan.strata_count, plan.samples, k, given.data(),
                                             sizes.data());
    else if (plan.strata != nullptr)
        strata = make_stratified_dealing(plan.strata, plan.strata_count, plan.samples, plan.group1, plan.n1,
                                         plan.group2, plan.n2);
    stratified_dealing strata_work = strata;
    split_enumeration splits;
    if (plan.every_split) splits = make_split_enumeration(every_split_strata(plan), plan.group1, plan.n1);

    const int64_t cycles = int64_t{plan.permutations} + 1;
    const bool line = plan.report == nullptr;
    if (line) std::cout << "Permutation progress: ";
    std::optional<progressbar> bar;
    if (line) bar.emplace(cycles);
    // A 64-bit counter: the last cycle may be number 2147483647.
    for (int64_t c = 0; c <= plan.permutations; ++c) {
        const auto cycle = static_cast<int32_t>(c);
        if (line)
            check_interrupt();
        else
            (*plan.report)(c, cycles);
        cycle_view view{cycle, observed_at[0], observed_at[1], observed_at.data()};
        if (cycle > 0) {
            const auto number = static_cast<uint64_t>(plan.first_cycle + c);
            if (plan.every_split)
                next_split(splits, dealt1, dealt2);
            else if (many && plan.strata != nullptr)
                deal_numbered_groups_within_strata(plan.seed, number, many_strata, sample_order, dealt_at.data());
            else if (many)
                deal_numbered_groups(plan.seed, number, sample_order, k, sizes.data(), dealt_at.data());
            else if (plan.numbered && plan.strata != nullptr)
                deal_numbered_within_strata(plan.seed, number, strata, strata_work, dealt1, dealt2);
            else if (plan.numbered)
                deal_numbered(plan.seed, number, sample_order, plan.n1, plan.n2, dealt1, dealt2);
            else if (plan.strata != nullptr)
                permute_within_strata(engine, strata, dealt1, dealt2);
            else
                permute_groups(engine, sample_order, plan.n1, plan.n2, dealt1, dealt2);
            if (plan.ascending)
                for (auto& group : dealt) std::sort(group.begin(), group.end());
            view = {cycle, dealt1, dealt2, dealt_view.data()};
        }
        phases(view);
        tally(cycle);
        if (line) bar->update();
    }
    if (!line) {
        (*plan.report)(cycles, cycles);
        return;
    }
    std::cout << "\n";
    std::cout.flush();
}

}  // namespace corrshift
