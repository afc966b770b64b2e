// The four module functions.
#pragma once

#include <string>

#include "arrays.hpp"

namespace corrshift {

ztest_result ztest_pipeline_exhaustive(const float_input& data, const int_input& group1, const int_input& group2,
                                       std::string method, std::string alternative, int permutations,
                                       int processes);

ztest_result ztest_pipeline_indexed(const float_input& data, const int_input& pair_first,
                                    const int_input& pair_second, const int_input& group1,
                                    const int_input& group2, std::string method, std::string alternative,
                                    int permutations, int processes);

score_result score_pipeline_exhaustive(const float_input& data, const int_input& group1, const int_input& group2,
                                       std::string method, std::string aggregate, std::string alternative,
                                       int permutations, int processes);

run_score_result score_pipeline_indexed(const float_input& data, const int_input& pair_first,
                                        const int_input& pair_second, const int_input& group1,
                                        const int_input& group2, std::string method, std::string aggregate,
                                        std::string alternative, int permutations, int processes);

}  // namespace corrshift
