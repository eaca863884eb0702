#pragma once
#include <pybind11/pybind11.h>

namespace curvix {
void register_vector(pybind11::module_& m);
}  // namespace curvix
