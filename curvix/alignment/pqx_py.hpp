#pragma once
#include <pybind11/pybind11.h>

namespace curvix {
void register_pqx(pybind11::module_& m);
}  // namespace curvix
