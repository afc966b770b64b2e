// Run-time choice of the kernel build for this CPU.
#pragma once

#include <string>
#include <vector>

#include "jobs.hpp"

namespace corrshift {

// The widest build the CPU and the operating system support (AVX-512,
// AVX2, baseline), unless a test chose another.
const kernel_table& active_kernels();

// Names of the builds this CPU can run, widest first.
std::vector<std::string> available_kernels();

// Test hook: run the named build from now on ("" returns to the automatic
// choice). Returns false when the CPU cannot run it.
bool force_kernels(const std::string& name);

}  // namespace corrshift
