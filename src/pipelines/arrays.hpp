// Array types that cross the module boundary.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <tuple>

namespace corrshift {

namespace py = pybind11;

// Arguments: C-contiguous float32 / int32 arrays (the caller's own memory
// when it already is one, a converted copy otherwise).
using float_input = py::array_t<float, py::array::c_style>;
using int_input = py::array_t<int, py::array::c_style>;

// Results: new one-dimensional arrays.
using float_output = py::array_t<float>;
using int_output = py::array_t<int>;

using count_output = py::array_t<uint32_t>;

using ztest_result = std::tuple<float_output, float_output, float_output, float_output, float_output>;
using score_result = std::tuple<float_output, float_output>;
using run_score_result = std::tuple<int_output, float_output, float_output>;

// corrshift's entry: the permutation counts themselves, extreme and valid
// cycles, in place of the permutation p-values.
using counted_ztest_result =
    std::tuple<float_output, float_output, float_output, float_output, count_output, count_output>;
using counted_score_result = std::tuple<float_output, count_output, count_output>;
using counted_run_score_result = std::tuple<int_output, float_output, count_output, count_output>;

}  // namespace corrshift
