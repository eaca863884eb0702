#pragma once
// A file the ICD reader refused becomes OSError(errno, reason, path), which
// Python turns into the subclass of the errno (FileNotFoundError,
// IsADirectoryError, PermissionError, ...). Shared by every module that loads
// ICD files.

#include <exception>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/binding_common/binding.hpp"

namespace curvix::binding {

inline void raise_os_error(const FileError& e) {
    auto filename = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        e.path().data(), static_cast<Py_ssize_t>(e.path().size()), "surrogateescape"));
    if (!filename) throw py::error_already_set();
    py::object exc = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        e.error_number(), py::str(e.reason()), filename);
    PyErr_SetObject(PyExc_OSError, exc.ptr());
}

// Registers the translation for the calling module only.
inline void register_file_error_translator() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const FileError& e) {
            raise_os_error(e);
        }
    });
}

}  // namespace curvix::binding
