// Run-time choice of the kernel build for this CPU.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "jobs.hpp"

namespace corrshift {

// The builds are listed in kernel_builds.def.

// The build the calls run: the one named by the environment variable
// CORRSHIFT_KERNELS when it is set (read once, at the first call), else the
// widest build the CPU and the operating system support (AVX-512, AVX2,
// baseline on x86; NEON on aarch64; the generic build on any other target),
// unless a test chose another. Throws std::invalid_argument, naming the
// builds the CPU runs, when CORRSHIFT_KERNELS names none of them.
const kernel_table& active_kernels();

// The portable build: the only one of targets other than x86 and aarch64;
// elsewhere compiled only into the engine test program (tests/engine).
const kernel_table& generic_kernels();

// Names of the builds this CPU can run, widest first.
std::vector<std::string> available_kernels();

// Test hook: run the named build from now on ("" returns to the process'
// choice above). Returns false, changing nothing, when the CPU cannot run it.
bool force_kernels(const std::string& name);

// What the selection sees, for reports (corrshift.show_runtime).
struct kernel_report {
    std::string active;     // the build the calls run; "" when CORRSHIFT_KERNELS names none the CPU runs
    std::string chosen_by;  // "automatic", "CORRSHIFT_KERNELS" or "a test"
    std::string error;      // why CORRSHIFT_KERNELS was refused ("" when it was not)
    std::vector<std::string> compiled;   // the target's builds, widest first
    std::vector<std::string> available;  // those the CPU runs
    std::vector<std::pair<std::string, bool>> cpu_features;  // each feature the builds test: present?
};
kernel_report report_kernels();

}  // namespace corrshift
