#pragma once
#include <pybind11/pybind11.h>

namespace curvix::kit_binding {
// curvixkit._core.Profile, Cant and Frame.
void register_profile(pybind11::module_& m);
}  // namespace curvix::kit_binding
