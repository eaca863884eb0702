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

#include <cerrno>
#include <cstring>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/pqx_py.hpp"
#include "curvix/binding/binding.hpp"
#include "curvix/geometry/angle_py.hpp"
#include "curvix/geometry/vector_py.hpp"

namespace {

void raise_os_error(const curvix::FileError& e) {
    auto filename = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        e.path().data(), static_cast<Py_ssize_t>(e.path().size()), "surrogateescape"));
    if (!filename) throw py::error_already_set();
    // OSError(errno, text, filename) picks the subclass for errno itself.
    py::object exc = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        e.error_number(), std::string(e.reason()), filename);
    PyErr_SetObject(PyExc_OSError, exc.ptr());
}

}  // namespace

PYBIND11_MODULE(curvix, m) {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const curvix::FileError& e) {
            raise_os_error(e);
        }
    });

    curvix::register_angle_functions(m);
    curvix::register_angle(m);
    curvix::register_radian(m);
    curvix::register_degree(m);
    curvix::register_vector(m);
    curvix::register_pqx(m);
}
