// Run-time choice of the kernel build for this CPU.
#pragma once

#include <string>
#include <vector>

#include "jobs.hpp"

namespace corrshift {

// The widest build the CPU and the operating system support (AVX-512,
// AVX2, baseline on x86; NEON on aarch64; the generic build on any other
// target), unless a test chose another.
const kernel_table& active_kernels();

// The portable build: the only one of targets other than x86 and aarch64;
// elsewhere compiled only into the engine test program (tests/engine).
const kernel_table& generic_kernels();

// Names of the builds this CPU can run, widest first.
std::vector<std::string> available_kernels();

// Test hook: run the named build from now on ("" returns to the automatic
// choice). Returns false when the CPU cannot run it.
bool force_kernels(const std::string& name);

}  // namespace corrshift
