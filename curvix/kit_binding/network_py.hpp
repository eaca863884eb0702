#pragma once
#include <pybind11/pybind11.h>

namespace curvix::kit_binding {
// curvixkit._core.Network: one search over many engines.
void register_network(pybind11::module_& m);
}  // namespace curvix::kit_binding
