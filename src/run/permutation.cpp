#include "permutation.hpp"

#include <algorithm>
#include <utility>

namespace corrshift {

void shuffle_samples(std::mt19937& engine, std::vector<int32_t>& sample_order) {
    shuffle_order(engine, sample_order);
}

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15u;

uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

}  // namespace

uint32_t cycle_stream::operator()() {
    state += kGolden;
    return static_cast<uint32_t>(mix64(state) >> 32);
}

cycle_stream make_cycle_stream(uint32_t seed, uint64_t cycle) {
    // Two rounds of mixing: streams of neighbouring cycles start at
    // unrelated points of SplitMix64's sequence, not one step apart.
    return cycle_stream{mix64(mix64(seed + kGolden) ^ mix64(cycle * kGolden + 1))};
}

namespace {

// Shuffles `order` with the stream and cuts it in turn: out[g] receives the
// next count(g) entries and moves past them.
template <class Count>
void cut_shuffled(cycle_stream& stream, std::vector<int32_t>& order, int32_t groups, const Count& count,
                  int32_t** out) {
    shuffle_order(stream, order);
    auto at = order.begin();
    for (int32_t g = 0; g < groups; ++g) {
        out[g] = std::copy_n(at, count(g), out[g]);
        at += count(g);
    }
}

}  // namespace

void deal_numbered(uint32_t seed, uint64_t cycle, std::vector<int32_t>& work, int32_t n1, int32_t n2,
                   int32_t* group1, int32_t* group2) {
    const int32_t sizes[2] = {n1, n2};
    int32_t* out[2] = {group1, group2};
    deal_numbered_groups(seed, cycle, work, 2, sizes, out);
}

void deal_numbered_groups(uint32_t seed, uint64_t cycle, std::vector<int32_t>& work, int32_t groups,
                          const int32_t* sizes, int32_t* const* out) {
    for (size_t s = 0; s < work.size(); ++s) work[s] = static_cast<int32_t>(s);
    cycle_stream stream = make_cycle_stream(seed, cycle);
    std::vector<int32_t*> at(out, out + groups);
    cut_shuffled(stream, work, groups, [&](int32_t g) { return sizes[g]; }, at.data());
}

void deal_numbered_within_strata(uint32_t seed, uint64_t cycle, const stratified_dealing& strata,
                                 stratified_dealing& work, int32_t* group1, int32_t* group2) {
    cycle_stream stream = make_cycle_stream(seed, cycle);
    int32_t* out[2] = {group1, group2};
    for (size_t s = 0; s < strata.orders.size(); ++s) {
        work.orders[s] = strata.orders[s];
        const int32_t counts[2] = {strata.n1[s], strata.n2[s]};
        cut_shuffled(stream, work.orders[s], 2, [&](int32_t g) { return counts[g]; }, out);
    }
}

stratified_groups make_stratified_groups(const int32_t* strata, int32_t count, int32_t samples, int32_t groups,
                                         const int32_t* const* columns, const int32_t* sizes) {
    stratified_groups d;
    d.groups = groups;
    d.orders.resize(static_cast<size_t>(count));
    d.counts.assign(static_cast<size_t>(count) * static_cast<size_t>(groups), 0);
    for (int32_t c = 0; c < samples; ++c)
        if (strata[c] >= 0) d.orders[static_cast<size_t>(strata[c])].push_back(c);
    for (int32_t g = 0; g < groups; ++g)
        for (int32_t k = 0; k < sizes[g]; ++k)
            d.counts[static_cast<size_t>(strata[columns[g][k]]) * static_cast<size_t>(groups) +
                     static_cast<size_t>(g)] += 1;
    return d;
}

void deal_numbered_groups_within_strata(uint32_t seed, uint64_t cycle, const stratified_groups& strata,
                                        std::vector<int32_t>& work, int32_t* const* out) {
    cycle_stream stream = make_cycle_stream(seed, cycle);
    std::vector<int32_t*> at(out, out + strata.groups);
    for (size_t s = 0; s < strata.orders.size(); ++s) {
        work = strata.orders[s];
        const int32_t* counts = strata.counts.data() + s * static_cast<size_t>(strata.groups);
        cut_shuffled(stream, work, strata.groups, [&](int32_t g) { return counts[g]; }, at.data());
    }
}

void permute_groups(std::mt19937& engine, std::vector<int32_t>& sample_order, int32_t n1, int32_t n2,
                    int32_t* group1, int32_t* group2) {
    shuffle_samples(engine, sample_order);
    std::copy_n(sample_order.begin(), n1, group1);
    std::copy_n(sample_order.begin() + n1, n2, group2);
}

stratified_dealing make_stratified_dealing(const int32_t* strata, int32_t count, int32_t samples,
                                           const int32_t* group1, int32_t n1, const int32_t* group2, int32_t n2) {
    stratified_dealing d;
    d.orders.resize(static_cast<size_t>(count));
    d.n1.assign(static_cast<size_t>(count), 0);
    d.n2.assign(static_cast<size_t>(count), 0);
    for (int32_t c = 0; c < samples; ++c)
        if (strata[c] >= 0) d.orders[static_cast<size_t>(strata[c])].push_back(c);
    for (int32_t k = 0; k < n1; ++k) d.n1[static_cast<size_t>(strata[group1[k]])] += 1;
    for (int32_t k = 0; k < n2; ++k) d.n2[static_cast<size_t>(strata[group2[k]])] += 1;
    return d;
}

void permute_within_strata(std::mt19937& engine, stratified_dealing& dealing, int32_t* group1, int32_t* group2) {
    for (size_t s = 0; s < dealing.orders.size(); ++s) {
        std::vector<int32_t>& order = dealing.orders[s];
        shuffle_samples(engine, order);
        group1 = std::copy_n(order.begin(), dealing.n1[s], group1);
        group2 = std::copy_n(order.begin() + dealing.n1[s], dealing.n2[s], group2);
    }
}

split_enumeration make_split_enumeration(const stratified_dealing& dealing, const int32_t* group1, int32_t n1) {
    split_enumeration e;
    e.columns = dealing.orders;
    for (auto& c : e.columns) std::sort(c.begin(), c.end());
    e.chosen.resize(e.columns.size());
    e.observed.resize(e.columns.size());
    for (size_t s = 0; s < e.columns.size(); ++s)
        for (int32_t k = 0; k < dealing.n1[s]; ++k) e.chosen[s].push_back(k);
    const std::vector<int32_t> members(group1, group1 + n1);
    for (size_t s = 0; s < e.columns.size(); ++s)
        for (size_t p = 0; p < e.columns[s].size(); ++p)
            if (std::find(members.begin(), members.end(), e.columns[s][p]) != members.end())
                e.observed[s].push_back(static_cast<int32_t>(p));
    return e;
}

int64_t count_splits(const stratified_dealing& dealing, int64_t most) {
    int64_t total = 1;
    for (size_t s = 0; s < dealing.orders.size(); ++s) {
        const int64_t m = dealing.n1[s] + dealing.n2[s];
        const int64_t k = std::min<int64_t>(dealing.n1[s], dealing.n2[s]);
        // binomial(m, k) step by step: each partial product is itself a
        // binomial coefficient, so the division is exact.
        int64_t b = 1;
        for (int64_t j = 1; j <= k; ++j) {
            if (b > most * j / (m - k + j) + 1) return 0;
            b = b * (m - k + j) / j;
        }
        if (b > most || total > most / b) return 0;
        total *= b;
    }
    return total;
}

namespace {

// The next k-subset of [0, m) in lexicographic order; false (and back to
// the first) after the last.
bool next_combination(std::vector<int32_t>& c, int32_t m) {
    const auto k = static_cast<int32_t>(c.size());
    int32_t i = k - 1;
    while (i >= 0 && c[static_cast<size_t>(i)] == m - k + i) --i;
    if (i < 0) {
        for (int32_t j = 0; j < k; ++j) c[static_cast<size_t>(j)] = j;
        return false;
    }
    ++c[static_cast<size_t>(i)];
    for (int32_t j = i + 1; j < k; ++j) c[static_cast<size_t>(j)] = c[static_cast<size_t>(j - 1)] + 1;
    return true;
}

// The next combination of the odometer, the first stratum fastest.
void advance(split_enumeration& splits) {
    for (size_t s = 0; s < splits.columns.size(); ++s)
        if (next_combination(splits.chosen[s], static_cast<int32_t>(splits.columns[s].size()))) return;
}

}  // namespace

void next_split(split_enumeration& splits, int32_t* group1, int32_t* group2) {
    if (splits.started) advance(splits);
    splits.started = true;
    if (splits.chosen == splits.observed) advance(splits);
    for (size_t s = 0; s < splits.columns.size(); ++s) {
        const std::vector<int32_t>& columns = splits.columns[s];
        const std::vector<int32_t>& chosen = splits.chosen[s];
        size_t next = 0;
        for (size_t p = 0; p < columns.size(); ++p) {
            if (next < chosen.size() && chosen[next] == static_cast<int32_t>(p)) {
                *group1++ = columns[p];
                ++next;
            } else {
                *group2++ = columns[p];
            }
        }
    }
}

}  // namespace corrshift
