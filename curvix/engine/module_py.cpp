// curvixkit._core: the module entry. Registration only.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_core, m) {
    m.doc() = "Private binding of the curvixkit alignment engine.";
}
