#include "inputs.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "compute.hpp"
#include "kgroups.hpp"
#include "../stats/options.hpp"

namespace corrshift {

namespace {

constexpr int64_t kMaxIndex = std::numeric_limits<int32_t>::max();

// The fewest samples of a group in the test across groups: its weight n - 3 must be positive.
constexpr int32_t kFewestInGroup = 4;

std::string dims_text(py::ssize_t ndim) { return std::to_string(ndim) + (ndim == 1 ? " dimension" : " dimensions"); }

// The first `count` entries of an index array, each checked to lie in
// [0, bound); `unit` names what they index ("sample", "feature") and `axis`
// the axis of data that has `bound` of them.
const int32_t* index_vector(const int_input& a, const char* name, int64_t count, int64_t bound,
                            const std::string& unit, const char* axis) {
    const int32_t* v = a.data();
    for (int64_t i = 0; i < count; ++i) {
        if (v[i] >= 0 && v[i] < bound) continue;
        const std::string valid = bound == 0 ? "so no " + unit + " index is valid"
                                             : "so " + unit + " indices must lie in 0 .. " +
                                                   std::to_string(bound - 1);
        throw py::index_error(std::string(name) + "[" + std::to_string(i) + "] = " + std::to_string(v[i]) +
                              " is out of range: data has " + std::to_string(bound) + " " + unit + "s (" +
                              axis + "), " + valid);
    }
    return v;
}

int32_t vector_length(const int_input& a, const char* name) {
    if (a.ndim() != 1)
        throw py::value_error(std::string(name) + " must be a 1-D array, got " + dims_text(a.ndim()));
    if (a.shape(0) > kMaxIndex)
        throw py::value_error(std::string(name) + " has more than 2147483647 entries");
    return static_cast<int32_t>(a.shape(0));
}

// The caller's text for an error message: printable ASCII as it is, every
// other byte as \xNN, so that bytes which are not UTF-8 (or a NUL, which
// would end the message early) cannot turn the error into another one.
std::string quoted(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && b != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out + "\"";
}

}  // namespace

checked_inputs check_inputs(const float_input& data, const int_input* pair_first, const int_input* pair_second,
                            const int_input& group1, const int_input& group2, int permutations) {
    if (data.ndim() != 2)
        throw py::value_error("data must be a 2-D array (features x samples), got " + dims_text(data.ndim()));
    if (data.shape(0) > kMaxIndex || data.shape(1) > kMaxIndex)
        throw py::value_error("data has more than 2147483647 rows or columns");
    checked_inputs in{};
    in.data = data.data();
    in.features = static_cast<int32_t>(data.shape(0));
    in.samples = static_cast<int32_t>(data.shape(1));
    in.n1 = vector_length(group1, "group1");
    in.n2 = vector_length(group2, "group2");

    if (pair_first != nullptr) {
        in.pairs = vector_length(*pair_first, "pair_first");
        const int32_t second = vector_length(*pair_second, "pair_second");
        if (second < in.pairs)
            throw py::value_error("pair_second has " + std::to_string(second) + " entries but pair_first has " +
                                  std::to_string(in.pairs) + "; each pair needs both");
        in.pair_first = index_vector(*pair_first, "pair_first", in.pairs, in.features, "feature", "rows");
        in.pair_second = index_vector(*pair_second, "pair_second", in.pairs, in.features, "feature", "rows");
    } else {
        const int64_t k = in.features;
        const int64_t pairs = k * (k - 1) / 2;
        if (pairs > kMaxIndex)
            throw py::value_error("data has " + std::to_string(k) + " features, " + std::to_string(pairs) +
                                  " pairs: more than the exhaustive functions can index (2147483647); "
                                  "use the indexed function on blocks of pairs");
        in.pairs = static_cast<int32_t>(pairs);
    }

    in.group1 = index_vector(group1, "group1", in.n1, in.samples, "sample", "columns");
    in.group2 = index_vector(group2, "group2", in.n2, in.samples, "sample", "columns");
    if (permutations < 0)
        throw py::value_error("the permutation count must be 0 or more, got " + std::to_string(permutations));
    if (permutations > 0 && static_cast<int64_t>(in.n1) + in.n2 > in.samples)
        throw py::value_error("group1 and group2 have " + std::to_string(in.n1) + " + " +
                              std::to_string(in.n2) + " samples but data has " + std::to_string(in.samples) +
                              " samples (columns): each permutation deals both groups from distinct samples, "
                              "so their sizes must add up to at most " + std::to_string(in.samples) +
                              " (or run with 0 permutations)");
    return in;
}

void check_between(checked_inputs& in, int64_t between) {
    if (between == 0) return;
    const int64_t k = in.features;
    if (between < 0 || between >= k)
        throw py::value_error("between must lie in 1 .. " + std::to_string(k - 1) +
                              " (the rows of the first feature set; the others are the second), got " +
                              std::to_string(between));
    const int64_t pairs = between * (k - between);
    if (pairs > kMaxIndex)
        throw py::value_error(std::to_string(between) + " x " + std::to_string(k - between) + " = " +
                              std::to_string(pairs) + " pairs: more than one call can index (2147483647); "
                              "run the first set in blocks");
    in.between = static_cast<int32_t>(between);
    in.pairs = static_cast<int32_t>(pairs);
}

void check_aggregate(const std::string& aggregate) {
    if (aggregate != kMean && aggregate != kMedian)
        throw py::value_error("aggregate must be \"mean\" or \"median\", got " + quoted(aggregate));
}

bool aggregate_is_mean(const std::string& aggregate) {
    check_aggregate(aggregate);
    return aggregate == kMean;
}

call_options classic_options(const std::string& method, const std::string& alternative, int permutations) {
    call_options o{};
    o.spearman = method == kSpearman;
    o.alternative = parse_tail(alternative);
    o.mean = true;
    o.rules = statistics::classic;
    o.permutations = permutations;
    return o;
}

call_options sound_options(const std::string& method, const std::string& alternative, int permutations) {
    if (method != kPearson && method != kSpearman)
        throw py::value_error("method must be \"pearson\" or \"spearman\", got " + quoted(method));
    call_options o = classic_options(method, alternative, permutations);
    if (o.alternative == tail::unknown)
        throw py::value_error("alternative must be \"two-sided\", \"greater\" or \"less\", got " +
                              quoted(alternative));
    o.rules = statistics::sound;
    return o;
}

int_input check_strata(const py::object& strata, const checked_inputs& in, call_options& options) {
    if (strata.is_none()) return int_input();
    auto a = strata.cast<int_input>();
    if (a.ndim() != 1 || a.shape(0) != in.samples)
        throw py::value_error("strata must be a 1-D array of one stratum per sample (" + std::to_string(in.samples) +
                              "), got " + std::to_string(a.size()) + " entries in " + dims_text(a.ndim()));
    const int32_t* s = a.data();
    int32_t count = 0;
    for (int32_t c = 0; c < in.samples; ++c) {
        // Bounded before any arithmetic: at most one stratum per sample.
        if (s[c] < -1 || s[c] >= in.samples)
            throw py::value_error("strata[" + std::to_string(c) + "] = " + std::to_string(s[c]) +
                                  ": a stratum is -1 (none) or a number from 0 to the sample count less one (" +
                                  std::to_string(in.samples - 1) + ")");
        count = std::max(count, s[c] + 1);
    }
    std::vector<int64_t> size(static_cast<size_t>(count)), members(static_cast<size_t>(count));
    for (int32_t c = 0; c < in.samples; ++c)
        if (s[c] >= 0) size[static_cast<size_t>(s[c])] += 1;
    const std::tuple<const int32_t*, int32_t, const char*> groups[] = {{in.group1, in.n1, "group1"},
                                                                       {in.group2, in.n2, "group2"}};
    for (const auto& [group, n, name] : groups)
        for (int32_t k = 0; k < n; ++k) {
            if (s[group[k]] < 0)
                throw py::value_error(std::string(name) + "[" + std::to_string(k) + "] = " + std::to_string(group[k]) +
                                      " is in no stratum: every member of the groups needs one");
            members[static_cast<size_t>(s[group[k]])] += 1;
        }
    for (int32_t t = 0; t < count; ++t)
        if (options.permutations > 0 && members[static_cast<size_t>(t)] > size[static_cast<size_t>(t)])
            throw py::value_error("stratum " + std::to_string(t) + " has " +
                                  std::to_string(size[static_cast<size_t>(t)]) +
                                  " samples but " + std::to_string(members[static_cast<size_t>(t)]) +
                                  " members of the groups: each permutation deals them from its samples");
    options.strata = s;
    options.strata_count = count;
    return a;
}

void check_threads(int threads) {
    if (threads < 1) throw py::value_error("threads must be at least 1, got " + std::to_string(threads));
}

void check_every_split(const checked_inputs& in, const call_options& options) {
    const stratified_dealing strata = every_split_strata(make_plan(in, options));
    for (size_t s = 0; s < strata.orders.size(); ++s)
        if (static_cast<int64_t>(strata.orders[s].size()) != int64_t{strata.n1[s]} + strata.n2[s])
            throw py::value_error("an exact test needs every sample " +
                                  std::string(options.strata != nullptr ? "of stratum " + std::to_string(s) + " " : "") +
                                  "in one of the two groups");
    // Every split but the observed one is a permutation cycle.
    const int64_t splits = count_splits(strata, int64_t{std::numeric_limits<int32_t>::max()} + 1);
    if (splits == 0 || splits - 1 != options.permutations)
        throw py::value_error("an exact test runs one cycle per split of the samples other than the observed "
                              "one: permutations must be " +
                              (splits == 0 ? std::string("the number of splits less one, which exceeds 2**31 - 1")
                                           : std::to_string(splits - 1)) +
                              ", got " + std::to_string(options.permutations));
}

int64_t check_first_cycle(int64_t first_cycle, bool exact, int permutations) {
    if (first_cycle < 0) throw py::value_error("first_cycle must be at least 0, got " + std::to_string(first_cycle));
    if (exact && first_cycle != 0)
        throw py::value_error("an exact test enumerates its splits in one call: first_cycle must be 0, got " +
                              std::to_string(first_cycle));
    if (first_cycle > std::numeric_limits<int64_t>::max() - permutations)
        throw py::value_error("first_cycle + permutations must be below 2**63");
    return first_cycle;
}

pair_units check_units(const int_input& unit_starts, const checked_inputs& in) {
    const int32_t u = vector_length(unit_starts, "unit_starts");
    const int32_t* s = unit_starts.data();
    pair_units units;
    for (int32_t k = 0; k < u; ++k) {
        const int32_t stop = k + 1 < u ? s[k + 1] : in.pairs;
        if (s[k] < 0 || s[k] > stop || stop > in.pairs)
            throw py::value_error("unit_starts must ascend from 0 to at most the pair count (" +
                                  std::to_string(in.pairs) + "); unit_starts[" + std::to_string(k) +
                                  "] = " + std::to_string(s[k]));
        units.first.push_back(k);
        units.start.push_back(s[k]);
        units.end.push_back(stop);
    }
    return units;
}

group_layout check_group_layout(const int_input& sizes, const checked_inputs& in) {
    const int32_t k = vector_length(sizes, "sizes");
    if (k < 2) throw py::value_error("sizes must give at least two groups, got " + std::to_string(k));
    group_layout layout;
    const int32_t* s = sizes.data();
    int64_t total = 0;
    for (int32_t g = 0; g < k; ++g) {
        if (s[g] < kFewestInGroup)
            throw py::value_error("group " + std::to_string(g) + " has " + std::to_string(s[g]) +
                                  " samples: the test across groups weighs each group by n - 3, so each needs at "
                                  "least " + std::to_string(kFewestInGroup));
        if (total + s[g] > in.n1) break;
        layout.columns.push_back(in.group1 + total);
        layout.sizes.push_back(s[g]);
        total += s[g];
    }
    if (total != in.n1 || layout.count() != k) {
        int64_t sum = 0;
        for (int32_t g = 0; g < k; ++g) sum += s[g];
        throw py::value_error("sizes add up to " + std::to_string(sum) + " but columns holds " +
                              std::to_string(in.n1) + " columns");
    }
    std::vector<uint8_t> seen(static_cast<size_t>(in.samples), 0);
    for (int32_t c = 0; c < in.n1; ++c) {
        uint8_t& m = seen[static_cast<size_t>(in.group1[c])];
        if (m != 0)
            throw py::value_error("columns[" + std::to_string(c) + "] = " + std::to_string(in.group1[c]) +
                                  " is listed twice: each sample belongs to one group");
        m = 1;
    }
    return layout;
}

int32_t effective_threads(int requested, int64_t units) {
    const int64_t t = std::min<int64_t>(requested, units);
    if (t < 1) throw std::runtime_error("Process number error");
    return static_cast<int32_t>(t);
}

}  // namespace corrshift
