#include "kernel_select.hpp"

#include <cstdlib>
#include <stdexcept>

namespace corrshift {

// The builds of kernel_builds.def are compiled for their target only
// (cmake/engine.cmake tests the same macros): CORRSHIFT_ON_<target>(code)
// keeps the code on that target and drops it elsewhere. CORRSHIFT_PROBE
// tests one CPU feature as the target names it.
#if defined(__x86_64__) || defined(__i386__)
#define CORRSHIFT_ON_x86(...) __VA_ARGS__
#define CORRSHIFT_ON_aarch64(...)
#define CORRSHIFT_ON_generic(...)
// __builtin_cpu_supports also checks that the operating system saves the
// wide registers; it takes string literals only.
#define CORRSHIFT_PROBE(feature) (__builtin_cpu_supports(#feature) != 0)
#elif defined(__aarch64__)
#define CORRSHIFT_ON_x86(...)
#define CORRSHIFT_ON_aarch64(...) __VA_ARGS__
#define CORRSHIFT_ON_generic(...)
#define CORRSHIFT_PROBE(feature) aarch64_has(#feature)
#else
#define CORRSHIFT_ON_x86(...)
#define CORRSHIFT_ON_aarch64(...)
#define CORRSHIFT_ON_generic(...) __VA_ARGS__
#define CORRSHIFT_PROBE(feature) false
#endif

#define CORRSHIFT_KERNEL_BUILD(name, target, flags, runs) CORRSHIFT_ON_##target(const kernel_table& name##_kernels();)
#include "kernel_builds.def"
#undef CORRSHIFT_KERNEL_BUILD

namespace {

#if defined(__aarch64__)
// NEON (Advanced SIMD) is part of every aarch64 CPU. A build that needs
// more (SVE, ...) adds its feature here, read from getauxval(AT_HWCAP).
bool aarch64_has(const std::string& feature) { return feature == "neon"; }
#endif

// The target's builds, widest first.
std::vector<const kernel_table*> compiled() {
    std::vector<const kernel_table*> out;
#define CORRSHIFT_KERNEL_BUILD(name, target, flags, runs) CORRSHIFT_ON_##target(out.push_back(&name##_kernels());)
#include "kernel_builds.def"
#undef CORRSHIFT_KERNEL_BUILD
    return out;
}

// The target's builds the CPU runs, widest first.
std::vector<const kernel_table*> supported() {
    std::vector<const kernel_table*> out;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
#endif
#define CORRSHIFT_CPU_HAS(feature) CORRSHIFT_PROBE(feature)
#define CORRSHIFT_KERNEL_BUILD(name, target, flags, runs) CORRSHIFT_ON_##target(if (runs) out.push_back(&name##_kernels());)
#include "kernel_builds.def"
#undef CORRSHIFT_KERNEL_BUILD
#undef CORRSHIFT_CPU_HAS
    return out;
}

std::string joined(const std::vector<const kernel_table*>& tables) {
    std::string out;
    for (const kernel_table* t : tables) out += (out.empty() ? "" : ", ") + std::string(t->name);
    return out;
}

const kernel_table* named(const std::vector<const kernel_table*>& tables, const std::string& name) {
    for (const kernel_table* t : tables)
        if (name == t->name) return t;
    return nullptr;
}

// The build of the process: CORRSHIFT_KERNELS when set and not empty,
// otherwise the widest build the CPU runs.
struct kernel_choice {
    const kernel_table* kernels;  // nullptr when CORRSHIFT_KERNELS names no build the CPU runs
    const char* chosen_by;
    std::string error;  // why CORRSHIFT_KERNELS was refused
};

kernel_choice choose() {
    const std::vector<const kernel_table*> runs = supported();
    const char* env = std::getenv("CORRSHIFT_KERNELS");
    if (env == nullptr || *env == '\0') return {runs.front(), "automatic", ""};
    const std::string name = env;
    if (const kernel_table* t = named(runs, name)) return {t, "CORRSHIFT_KERNELS", ""};
    const std::string why = named(compiled(), name) != nullptr ? "\" is a build this CPU cannot run"
                                                               : "\" names no kernel build of corrshift";
    return {nullptr, "CORRSHIFT_KERNELS", "CORRSHIFT_KERNELS=\"" + name + why + "; this CPU runs: " + joined(runs)};
}

// Read once, at the first selection.
const kernel_choice& chosen() {
    static const kernel_choice choice = choose();
    return choice;
}

const kernel_table* forced = nullptr;

}  // namespace

const kernel_table& active_kernels() {
    if (forced != nullptr) return *forced;
    const kernel_choice& c = chosen();
    if (c.kernels == nullptr) throw std::invalid_argument(c.error);
    return *c.kernels;
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
    const kernel_table* t = named(supported(), name);
    if (t != nullptr) forced = t;
    return t != nullptr;
}

kernel_report report_kernels() {
    kernel_report r;
    const kernel_choice& c = chosen();
    const kernel_table* active = forced != nullptr ? forced : c.kernels;
    r.active = active != nullptr ? active->name : "";
    r.chosen_by = forced != nullptr ? "a test" : c.chosen_by;
    r.error = forced != nullptr ? "" : c.error;
    for (const kernel_table* t : compiled()) r.compiled.emplace_back(t->name);
    r.available = available_kernels();
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
#endif
    // Every feature the target's builds test, once each, in the order of the
    // list: the note returns true so that each test is evaluated in full.
    const auto note = [&r](const char* feature, bool present) {
        for (const auto& f : r.cpu_features)
            if (f.first == feature) return true;
        r.cpu_features.emplace_back(feature, present);
        return true;
    };
#define CORRSHIFT_CPU_HAS(feature) note(#feature, CORRSHIFT_PROBE(feature))
#define CORRSHIFT_KERNEL_BUILD(name, target, flags, runs) CORRSHIFT_ON_##target(static_cast<void>(runs);)
#include "kernel_builds.def"
#undef CORRSHIFT_KERNEL_BUILD
#undef CORRSHIFT_CPU_HAS
    static_cast<void>(note);
    return r;
}

}  // namespace corrshift
