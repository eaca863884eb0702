#pragma once
#include <pybind11/pybind11.h>

namespace curvix {
void register_angle_functions(pybind11::module_& m);
void register_angle(pybind11::module_& m);
void register_radian(pybind11::module_& m);
void register_degree(pybind11::module_& m);
}  // namespace curvix
