// The extension module `pipelines`: four functions, registered in this
// order, with positional arguments only and no docstrings of their own.
#include <pybind11/pybind11.h>

#include "../pipelines/pipelines.hpp"

PYBIND11_MODULE(pipelines, m) {
    m.def("_ztest_pipeline_indexed", &corrshift::ztest_pipeline_indexed);
    m.def("_score_pipeline_indexed", &corrshift::score_pipeline_indexed);
    m.def("_ztest_pipeline_exhaustive", &corrshift::ztest_pipeline_exhaustive);
    m.def("_score_pipeline_exhaustive", &corrshift::score_pipeline_exhaustive);
}
