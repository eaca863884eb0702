#pragma once
#include <pybind11/pybind11.h>

namespace curvix::kit_binding {
// curvixkit._core.Engine and its ICD constructor.
void register_engine(pybind11::module_& m);
}  // namespace curvix::kit_binding
