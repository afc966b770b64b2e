#include "kernel_select.hpp"

namespace corrshift {

// The builds compiled for the target (cmake/engine.cmake tests the same
// macros): x86 has one per instruction set, aarch64 its NEON build, any
// other target the generic one.
#if defined(__x86_64__) || defined(__i386__)
const kernel_table& avx512_kernels();
const kernel_table& avx2_kernels();
const kernel_table& baseline_kernels();
#elif defined(__aarch64__)
const kernel_table& neon_kernels();
#endif

namespace {

// Builds the CPU can run, widest first. __builtin_cpu_supports also checks
// that the operating system saves the wide registers. NEON is part of every
// aarch64 CPU.
std::vector<const kernel_table*> supported() {
    std::vector<const kernel_table*> out;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
        out.push_back(&avx512_kernels());
    if (__builtin_cpu_supports("avx2")) out.push_back(&avx2_kernels());
    out.push_back(&baseline_kernels());
#elif defined(__aarch64__)
    out.push_back(&neon_kernels());
#else
    out.push_back(&generic_kernels());
#endif
    return out;
}

const kernel_table* forced = nullptr;

}  // namespace

const kernel_table& active_kernels() {
    static const kernel_table* best = supported().front();
    return forced != nullptr ? *forced : *best;
}

std::vector<std::string> available_kernels() {
    std::vector<std::string> names;
    for (const kernel_table* t : supported()) names.emplace_back(t->name);
    return names;
}

bool force_kernels(const std::string& name) {
    if (name.empty()) {
        forced = nullptr;
        return true;
    }
    for (const kernel_table* t : supported())
        if (name == t->name) {
            forced = t;
            return true;
        }
    return false;
}

}  // namespace corrshift
