// The engine test program: every kernel build the CPU runs, and the generic
// build, against the straightforward kernels bit for bit, without Python.
// Prints the target it runs on and each build's checks; exits 1 on any
// difference.
#include <cstdio>
#include <string>
#include <vector>

#include "suites.hpp"
#include "../../src/stats/fast/kernel_select.hpp"

namespace {

using engine_test::groups_kind;
using engine_test::pairs_kind;

#if defined(__aarch64__)
const char* const kTarget = "aarch64";
#elif defined(__x86_64__)
const char* const kTarget = "x86_64";
#else
const char* const kTarget = "another target";
#endif

// Sizes off the vector widths, tiles and several cache stretches, groups
// above 32 (index sort) and above 512 (sorted ranks), ranks from each row's
// order, caller groups that are not disjoint, listed pairs of each kind,
// permuted differences equal to the observed ones, and small groups in
// which the sparse rows often have no variance. Each runs under both rules.
const engine_test::pair_case kCases[] = {
    // name                      K     P    n1   n2  spearman pairs                      groups                      pieces stretch
    {"tiny",                     3,   12,   5,   6, false, pairs_kind::exhaustive,    groups_kind::dealt,             1, 0},
    {"off the widths",          37,   50,  23,  21, true,  pairs_kind::exhaustive,    groups_kind::dealt,             3, 0},
    {"several stretches",       70,   61,  30,  29, false, pairs_kind::exhaustive,    groups_kind::dealt,             2, 16},
    {"ranks from row orders",   70,   61,  30,  29, true,  pairs_kind::exhaustive,    groups_kind::dealt,             3, 0},
    {"many tiles",             150,  300, 140, 130, false, pairs_kind::exhaustive,    groups_kind::dealt,             2, 0},
    {"ranks, groups above 32",  40,  120,  50,  45, true,  pairs_kind::exhaustive,    groups_kind::dealt,             2, 0},
    {"duplicated column",       20,   61,  30,  29, true,  pairs_kind::exhaustive,    groups_kind::duplicated_column, 2, 0},
    {"shared columns",          20,   61,  30,  30, true,  pairs_kind::exhaustive,    groups_kind::shared_columns,    2, 0},
    {"groups above 512",        12, 1300, 650, 640, true,  pairs_kind::exhaustive,    groups_kind::shared_columns,    1, 0},
    {"listed, all in order",    70,   61,  30,  29, true,  pairs_kind::all_in_order,  groups_kind::dealt,             3, 0},
    {"listed, sorted random",   70,   61,  30,  29, false, pairs_kind::sorted_random, groups_kind::dealt,             3, 0},
    {"listed, unsorted",        70,   61,  30,  29, true,  pairs_kind::unsorted,      groups_kind::dealt,             2, 0},
    {"ties with the observed",  70,   40,  19,  18, false, pairs_kind::exhaustive,    groups_kind::first_permutation, 2, 0},
    {"listed ties",             70,   40,  19,  18, true,  pairs_kind::all_in_order,  groups_kind::first_permutation, 2, 0},
    {"small groups",            24,   20,   7,   8, false, pairs_kind::exhaustive,    groups_kind::dealt,             2, 0},
    {"ranks, small groups",     24,   20,   7,   8, true,  pairs_kind::exhaustive,    groups_kind::dealt,             1, 0},
    {"listed, small groups",    24,   20,   7,   8, true,  pairs_kind::sorted_random, groups_kind::dealt,             2, 0},
};

// Runs every check of one build; true when nothing differed.
bool check_build(const corrshift::kernel_table& kernels) {
    engine_test::report r;
    r.build = kernels.name;
    engine_test::check_vector_kernels(kernels, r);
    for (const engine_test::pair_case& c : kCases) engine_test::check_pair_case(kernels, c, r);
    std::printf("%s: %lld comparisons, %lld differ\n", kernels.name, static_cast<long long>(r.checks),
                static_cast<long long>(r.failures));
    return r.failures == 0;
}

}  // namespace

int main() {
    std::vector<std::string> builds = corrshift::available_kernels();
    const std::string generic = corrshift::generic_kernels().name;
    bool listed_generic = false;
    for (const std::string& b : builds) listed_generic = listed_generic || b == generic;
    std::printf("engine test on %s: builds", kTarget);
    for (const std::string& b : builds) std::printf(" %s", b.c_str());
    std::printf("%s\n", listed_generic ? "" : (" + " + generic).c_str());

    bool ok = true;
    for (const std::string& b : builds) {
        corrshift::force_kernels(b);
        ok = check_build(corrshift::active_kernels()) && ok;
    }
    if (!listed_generic) ok = check_build(corrshift::generic_kernels()) && ok;
    std::printf("%s\n", ok ? "all builds equal the straightforward kernels bit for bit" : "FAILED");
    return ok ? 0 : 1;
}
