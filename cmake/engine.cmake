# The engine without Python: statistics, the fast kernels built for the
# target's instruction sets, permutations and workers. Included by the
# module build (CMakeLists.txt) and by the engine test program
# (tests/engine), after their project() call.
#
# Defines:
#   corrshift_flags   interface target: the arithmetic and warning flags of
#                     every corrshift target
#   corrshift_engine  static library of the engine
#   CORRSHIFT_KERNEL_ARCH  x86, aarch64 or generic: the target of the builds
#   CORRSHIFT_KERNEL_BUILDS  the names of the target's builds, widest first
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()
set(CMAKE_CXX_FLAGS_RELEASE "-O3 -DNDEBUG")

option(CORRSHIFT_WERROR "Treat compiler warnings as errors (the test builds)" OFF)

# Results are bit-for-bit part of the contract: every product is rounded
# before it is added (no fused multiply-add), sums are never reassociated
# (no -ffast-math / -Ofast), and no -march=native changes the arithmetic
# from one CPU to the next.
add_library(corrshift_flags INTERFACE)
target_compile_options(corrshift_flags INTERFACE -ffp-contract=off -fno-fast-math -Wall -Wextra
                                                 $<$<BOOL:${CORRSHIFT_WERROR}>:-Werror>)

# The target architecture is the compiler's own (its predefined macros),
# so a cross compiler selects the builds of its target, and
# kernel_select.cpp, which tests the same macros, lists the same builds.
function(corrshift_target_defines var condition)
  check_cxx_source_compiles("#if !(${condition})\n#error not this target\n#endif\nint main() { return 0; }" ${var})
endfunction()
corrshift_target_defines(CORRSHIFT_TARGET_X86 "defined(__x86_64__) || defined(__i386__)")
corrshift_target_defines(CORRSHIFT_TARGET_AARCH64 "defined(__aarch64__)")

set(_fast ${CMAKE_CURRENT_LIST_DIR}/../src/stats/fast)
if(CORRSHIFT_TARGET_X86)
  set(CORRSHIFT_KERNEL_ARCH x86)
elseif(CORRSHIFT_TARGET_AARCH64)
  set(CORRSHIFT_KERNEL_ARCH aarch64)
else()
  set(CORRSHIFT_KERNEL_ARCH generic)
endif()
# The fast kernels are built once per instruction set, each file with its
# own flags, and chosen at run time for the CPU (src/stats/fast). The builds
# and their flags are listed in src/stats/fast/kernel_builds.def, which the
# selection code reads too. No build enables FMA, and -ffp-contract=off
# keeps the compiler from fusing.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_fast}/kernel_builds.def)
file(STRINGS ${_fast}/kernel_builds.def _builds REGEX "^CORRSHIFT_KERNEL_BUILD\\(")
set(CORRSHIFT_KERNEL_BUILDS)
set(CORRSHIFT_KERNEL_SOURCES)
foreach(_line IN LISTS _builds)
  if(NOT _line MATCHES "^CORRSHIFT_KERNEL_BUILD\\(([a-z0-9_]+), *([a-z0-9_]+), *\"([^\"]*)\",")
    message(FATAL_ERROR "kernel_builds.def: cannot read ${_line}")
  endif()
  if(CMAKE_MATCH_2 STREQUAL CORRSHIFT_KERNEL_ARCH)
    list(APPEND CORRSHIFT_KERNEL_BUILDS ${CMAKE_MATCH_1})
    list(APPEND CORRSHIFT_KERNEL_SOURCES ${_fast}/kernels_${CMAKE_MATCH_1}.cpp)
    separate_arguments(_flags UNIX_COMMAND "${CMAKE_MATCH_3}")
    if(_flags)
      set_source_files_properties(${_fast}/kernels_${CMAKE_MATCH_1}.cpp PROPERTIES COMPILE_OPTIONS "${_flags}")
    endif()
  endif()
endforeach()
message(STATUS "corrshift kernels: ${CORRSHIFT_KERNEL_ARCH} (${CORRSHIFT_KERNEL_BUILDS})")

set(_src ${CMAKE_CURRENT_LIST_DIR}/../src)
add_library(corrshift_engine STATIC
  ${_src}/run/progress_bar.cpp
  ${_src}/run/workers.cpp
  ${_src}/run/worker_pool.cpp
  ${_src}/run/permutation.cpp
  ${_src}/run/phase_clock.cpp
  ${_src}/stats/options.cpp
  ${_src}/stats/correlation.cpp
  ${_src}/stats/index_sort.cpp
  ${_src}/stats/rank.cpp
  ${_src}/stats/ztest.cpp
  ${_src}/stats/fdr.cpp
  ${_src}/stats/classes.cpp
  ${_src}/stats/normal_tail.cpp
  ${_src}/stats/score.cpp
  ${_src}/stats/fast_scores.cpp
  ${_src}/stats/fast/kernel_select.cpp
  ${_src}/stats/fast/fisher_table.cpp
  ${CORRSHIFT_KERNEL_SOURCES}
  ${_src}/stats/tally.cpp
  ${_src}/stats/ties.cpp
)
find_package(Threads REQUIRED)
target_link_libraries(corrshift_engine PUBLIC corrshift_flags Threads::Threads)
set_target_properties(corrshift_engine PROPERTIES CXX_VISIBILITY_PRESET hidden)
