// curvixkit._core.read_icd_file(path) -> bytes: the bytes of an ICD file,
// read as curvix.PQX(path) reads them (read_icd_file: a regular file of at
// most kMaxIcdFileBytes, never waiting on a FIFO or a device), with its
// failures: the OSError subclass of the errno (the module entry installs
// the translation curvix uses), ValueError for a NUL in the path.
//
// path is a str or an os.PathLike whose __fspath__ gives a str; bytes are
// refused with TypeError (the Python side decodes them with os.fsdecode).
// The str is encoded as open() encodes it (os.fsencode: UTF-8, undecodable
// bytes back from their surrogate escapes), so every name os.fsdecode gives
// is read, and an OSError names the path as the str given.

#include "curvix/kit_binding/icd_file_py.hpp"

#include <string>
#include <string_view>

#include "curvix/alignment/icd_reader.hpp"

namespace py = pybind11;

namespace curvix::kit_binding {

namespace {

py::bytes read_icd_file(const py::handle& path) {
    const auto name = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
    if (!name) throw py::error_already_set();
    if (!PyUnicode_Check(name.ptr())) {
        throw py::type_error(std::string("path: expected str or an os.PathLike of str, got ") +
                             Py_TYPE(name.ptr())->tp_name + " (decode a bytes path with os.fsdecode)");
    }
    const auto native = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(name.ptr()));
    if (!native) throw py::error_already_set();
    const std::string_view bytes(PyBytes_AS_STRING(native.ptr()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(native.ptr())));
    std::string data;
    {
        // The GIL is released while the file is read (`native` stays held).
        py::gil_scoped_release release;
        data = curvix::read_icd_file_native(bytes);
    }
    return py::bytes(data);
}

}  // namespace

void register_read_icd_file(py::module_& m) {
    m.def("read_icd_file", &read_icd_file, py::arg("path"));
}

}  // namespace curvix::kit_binding
