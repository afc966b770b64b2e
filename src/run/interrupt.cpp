#include "interrupt.hpp"

#include <pybind11/pybind11.h>

namespace corrshift {

void check_interrupt() {
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
}

}  // namespace corrshift
