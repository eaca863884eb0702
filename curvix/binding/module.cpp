// Entry of the curvix module: exception translation and the registrations,
// in their fixed order. The order is the module's surface (it decides the
// order of the module dictionary and of each class's members), so it is
// spelled out here rather than left to static initialisation.

#include "curvix/binding/binding.hpp"
#include "curvix/geometry/angle_py.hpp"
#include "curvix/geometry/vector_py.hpp"

PYBIND11_MODULE(curvix, m) {
    curvix::register_angle_functions(m);
    curvix::register_angle(m);
    curvix::register_radian(m);
    curvix::register_degree(m);
    curvix::register_vector(m);
}
