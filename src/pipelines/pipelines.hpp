// The four module functions, each also in the straightforward form that
// the tests compare the fast one with (reference_...: same arguments, same
// results bit for bit, the kernels as first written).
#pragma once

#include <string>

#include "arrays.hpp"

namespace corrshift {

#define CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS                                                                    \
    const float_input &data, const int_input &group1, const int_input &group2, std::string method,        \
        std::string alternative, int permutations, int processes
#define CORRSHIFT_ZTEST_INDEXED_ARGS                                                                       \
    const float_input &data, const int_input &pair_first, const int_input &pair_second,                  \
        const int_input &group1, const int_input &group2, std::string method, std::string alternative,   \
        int permutations, int processes
#define CORRSHIFT_SCORE_EXHAUSTIVE_ARGS                                                                    \
    const float_input &data, const int_input &group1, const int_input &group2, std::string method,        \
        std::string aggregate, std::string alternative, int permutations, int processes
#define CORRSHIFT_SCORE_INDEXED_ARGS                                                                       \
    const float_input &data, const int_input &pair_first, const int_input &pair_second,                  \
        const int_input &group1, const int_input &group2, std::string method, std::string aggregate,     \
        std::string alternative, int permutations, int processes

ztest_result ztest_pipeline_exhaustive(CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS);
ztest_result reference_ztest_pipeline_exhaustive(CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS);

ztest_result ztest_pipeline_indexed(CORRSHIFT_ZTEST_INDEXED_ARGS);
ztest_result reference_ztest_pipeline_indexed(CORRSHIFT_ZTEST_INDEXED_ARGS);

score_result score_pipeline_exhaustive(CORRSHIFT_SCORE_EXHAUSTIVE_ARGS);
score_result reference_score_pipeline_exhaustive(CORRSHIFT_SCORE_EXHAUSTIVE_ARGS);

run_score_result score_pipeline_indexed(CORRSHIFT_SCORE_INDEXED_ARGS);
run_score_result reference_score_pipeline_indexed(CORRSHIFT_SCORE_INDEXED_ARGS);

}  // namespace corrshift
