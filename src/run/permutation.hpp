// Seeded dealing of samples into permuted groups.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace corrshift {

constexpr uint32_t kPermutationSeed = 733;

// Uniform index in [0, n) for n >= 2 by rejection of the top (2^32 mod n)
// engine outputs; one engine output per attempt.
template <class Engine>
uint32_t draw_index(Engine& engine, uint32_t n) {
    constexpr uint32_t m = 0xFFFFFFFFu;
    for (;;) {
        const auto r = static_cast<uint32_t>(engine());
        if (r / n < m / n || m % n == n - 1) return r % n;
    }
}

// In-place shuffle: for i = 1 .. size-1, exchange position i with a drawn
// position j in [0, i].
template <class Engine>
void shuffle_order(Engine& engine, std::vector<int32_t>& order) {
    const size_t p = order.size();
    for (size_t i = 1; i < p; ++i) {
        const uint32_t j = draw_index(engine, static_cast<uint32_t>(i + 1));
        if (j != i) std::swap(order[i], order[j]);
    }
}

void shuffle_samples(std::mt19937& engine, std::vector<int32_t>& sample_order);

// The draws of one numbered permutation cycle: SplitMix64 (Steele, Lea &
// Flood 2014) started from a hash of the seed and the cycle number, its
// outputs' high halves. Any cycle's dealing is then made without the ones
// before it, so a run can start at any cycle and a run of c cycles deals
// what the first c cycles of a longer run deal.
struct cycle_stream {
    uint64_t state;
    uint32_t operator()();
};

cycle_stream make_cycle_stream(uint32_t seed, uint64_t cycle);

// Shuffles sample_order once more and copies group 1 from its first n1
// entries and group 2 from the next n2.
void permute_groups(std::mt19937& engine, std::vector<int32_t>& sample_order, int32_t n1, int32_t n2,
                    int32_t* group1, int32_t* group2);

// Dealing within strata: every column of stratum s (strata[c] == s; -1
// for a column in none) is dealt only within s, so each cycle's groups
// hold each stratum's count of group-1 and group-2 members of the caller's
// groups. One stratum of all columns deals exactly as permute_groups.
struct stratified_dealing {
    std::vector<std::vector<int32_t>> orders;  // per stratum: its columns, shuffled cumulatively
    std::vector<int32_t> n1, n2;               // per stratum: members of group 1 and group 2
};

// The strata's columns in column order and their group counts from the
// caller's groups; strata holds `samples` entries in [-1, count).
stratified_dealing make_stratified_dealing(const int32_t* strata, int32_t count, int32_t samples,
                                           const int32_t* group1, int32_t n1, const int32_t* group2, int32_t n2);

// Shuffles each stratum's order once more (stratum by stratum, one engine)
// and copies group 1 from the first n1[s] entries of each, group 2 from the
// next n2[s], strata in order.
void permute_within_strata(std::mt19937& engine, stratified_dealing& dealing, int32_t* group1, int32_t* group2);

// Numbered dealings: cycle `cycle` of `seed` shuffles a fresh copy of the
// columns in ascending order (of each stratum's, stratum by stratum, for
// `strata`) with its own stream, and deals as permute_groups and
// permute_within_strata do. `work` is scratch of the same shape.
void deal_numbered(uint32_t seed, uint64_t cycle, std::vector<int32_t>& work, int32_t n1, int32_t n2,
                   int32_t* group1, int32_t* group2);
void deal_numbered_within_strata(uint32_t seed, uint64_t cycle, const stratified_dealing& strata,
                                 stratified_dealing& work, int32_t* group1, int32_t* group2);

// Numbered dealing into any number of groups: cycle `cycle` of `seed`
// shuffles a fresh copy of the columns 0 .. work.size() - 1 in ascending
// order with its own stream and cuts it into groups of sizes[0],
// sizes[1], ... in turn, into out[0], out[1], ... With two groups it deals
// what deal_numbered deals.
void deal_numbered_groups(uint32_t seed, uint64_t cycle, std::vector<int32_t>& work, int32_t groups,
                          const int32_t* sizes, int32_t* const* out);

// Dealing of any number of groups within strata: the strata's columns in
// column order and each stratum's count of members of each group.
struct stratified_groups {
    int32_t groups = 0;
    std::vector<std::vector<int32_t>> orders;  // per stratum: its columns, ascending
    std::vector<int32_t> counts;               // [stratum * groups + g]: members of group g
};

// As make_stratified_dealing, for `groups` groups of sizes[g] columns at
// columns[g].
stratified_groups make_stratified_groups(const int32_t* strata, int32_t count, int32_t samples, int32_t groups,
                                         const int32_t* const* columns, const int32_t* sizes);

// As deal_numbered_within_strata for any number of groups: one stream per
// cycle, each stratum's columns shuffled in turn and cut into its counts of
// each group; out[g] receives group g's columns, strata in order. With two
// groups it deals what deal_numbered_within_strata deals. `work` is
// scratch.
void deal_numbered_groups_within_strata(uint32_t seed, uint64_t cycle, const stratified_groups& strata,
                                        std::vector<int32_t>& work, int32_t* const* out);

// Every split of the samples once, for an exact test: within each stratum
// (or of all columns) every choice of its group-1 count of columns as
// group 1, the stratum's other columns as group 2; strata vary like the
// digits of an odometer, the first stratum fastest. The observed split is
// left out (the observed cycle is that split), so with S splits there are
// S - 1 permutation cycles and (b + 1) / (S - 1 + 1) is the exact p-value.
// Needs each stratum's columns to be exactly its members of the two groups.
struct split_enumeration {
    std::vector<std::vector<int32_t>> columns;   // per stratum: its columns, ascending
    std::vector<std::vector<int32_t>> chosen;    // per stratum: positions in `columns` now in group 1, ascending
    std::vector<std::vector<int32_t>> observed;  // per stratum: the positions of group 1's own members
    bool started = false;
};

// The splits of `dealing`'s strata (a dealing of one stratum of all columns
// for no strata) around the observed group 1 of n1 columns, before the
// first.
split_enumeration make_split_enumeration(const stratified_dealing& dealing, const int32_t* group1, int32_t n1);

// The number of distinct splits: the product over strata of
// binomial(n1 + n2, n1); 0 when it exceeds `most`.
int64_t count_splits(const stratified_dealing& dealing, int64_t most);

// The next split other than the observed one into group1 and group2 (the
// first on the first call).
void next_split(split_enumeration& splits, int32_t* group1, int32_t* group2);

}  // namespace corrshift
