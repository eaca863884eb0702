#pragma once
#include <pybind11/pybind11.h>

namespace curvix::kit_binding {
// curvixkit._core.read_icd_file.
void register_read_icd_file(pybind11::module_& m);
}  // namespace curvix::kit_binding
