// Entry of the curvix module: exception translation and the registrations,
// in their fixed order. The order is the module's surface (it decides the
// order of the module dictionary and of each class's members), so it is
// spelled out here rather than left to static initialisation.
//
// Exceptions reach Python by pybind11's standard table (std::exception ->
// RuntimeError, invalid_argument/domain_error/length_error/range_error ->
// ValueError, out_of_range -> IndexError, overflow_error -> OverflowError,
// bad_alloc -> MemoryError, anything else -> "Caught an unknown exception!").
// The one addition: a file that cannot be read becomes the OSError subclass
// of its errno, carrying the path.

#include "curvix/alignment/pqx_py.hpp"
#include "curvix/binding_common/binding.hpp"
#include "curvix/binding_common/file_error_py.hpp"
#include "curvix/geometry/angle_py.hpp"
#include "curvix/geometry/vector_py.hpp"

PYBIND11_MODULE(curvix, m) {
    curvix::binding::register_file_error_translator();

    curvix::register_angle_functions(m);
    curvix::register_angle(m);
    curvix::register_radian(m);
    curvix::register_degree(m);
    curvix::register_vector(m);
    curvix::register_pqx(m);
}
