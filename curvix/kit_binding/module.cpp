// curvixkit._core: the module entry. It installs the translation of the
// engine's and the ICD reader's refusals into curvixkit's own exception
// classes and of a file that cannot be read into OSError, as curvix
// translates it (for this module's functions only), and registers the
// classes and functions.
#include <pybind11/pybind11.h>

#include <exception>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/binding_common/file_error_py.hpp"
#include "curvix/engine/alignment.hpp"
#include "curvix/engine/profile.hpp"
#include "curvix/kit_binding/alignment_py.hpp"
#include "curvix/kit_binding/icd_file_py.hpp"
#include "curvix/kit_binding/network_py.hpp"
#include "curvix/kit_binding/profile_py.hpp"

namespace py = pybind11;

namespace {

void raise_as(const char* name, const py::tuple& args) {
    const py::object cls = py::module_::import("curvixkit.errors").attr(name);
    PyErr_SetObject(cls.ptr(), args.ptr());
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "Private binding of the curvixkit alignment engine.";
    curvix::binding::register_file_error_translator();
    py::register_local_exception_translator([](std::exception_ptr p) {
        if (!p) return;
        try {
            std::rethrow_exception(p);
        } catch (const curvix::IcdError& e) {
            py::object field = py::none();
            if (e.field() != 0) field = py::int_(e.field());
            raise_as("IcdError", py::make_tuple(e.what(), e.line(), field));
        } catch (const curvix::engine::ElementError& e) {
            py::object element = py::none();
            if (e.element() >= 0) element = py::int_(e.element() + 1);
            raise_as("ElementError", py::make_tuple(e.what(), element, e.field()));
        } catch (const curvix::engine::ProfileError& e) {
            py::object index = py::none();
            if (e.index() >= 0) index = py::int_(e.index());
            raise_as("ProfileError", py::make_tuple(e.what(), index, e.field()));
        }
    });
    curvix::kit_binding::register_engine(m);
    curvix::kit_binding::register_read_icd_file(m);
    curvix::kit_binding::register_profile(m);
    curvix::kit_binding::register_network(m);
}
