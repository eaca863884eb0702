#include "curvix/binding_common/binding.hpp"
#include "curvix/geometry/angle.hpp"
#include "curvix/geometry/angle_py.hpp"

namespace curvix {

using binding::Ref;

void register_angle_functions(py::module_& m) {
    m.def("RadToDeg", [](double radians) { return RadToDeg(radians); });
    m.def("DegToRad", [](double degrees) { return DegToRad(degrees); });
}

void register_angle(py::module_& m) {
    py::class_<Angle>(m, "Angle")
        .def(py::init<>())
        .def(py::init<double>())
        .def_property_readonly_static("PI", [](py::object) { return Angle::PI; })
        .def("GetRadian", [](Ref<Angle> self) { return self->GetRadian(); })
        .def("GetDegree", [](Ref<Angle> self) { return self->GetDegree(); })
        .def("Cos", [](Ref<Angle> self) { return self->Cos(); })
        .def("Sin", [](Ref<Angle> self) { return self->Sin(); })
        .def("__mul__", [](Ref<Angle> self, double factor) { return *self * factor; }, py::is_operator())
        .def("__eq__", [](Ref<Angle> self, Ref<Angle> other) { return *self == *other; }, py::is_operator())
        .def("__add__", [](Ref<Angle> self, Ref<Angle> other) { return *self + *other; }, py::is_operator());
}

void register_radian(py::module_& m) {
    py::class_<Radian>(m, "Radian").def(py::init<>()).def(py::init<double>());
}

void register_degree(py::module_& m) {
    py::class_<Degree>(m, "Degree").def(py::init<>()).def(py::init<double>());
}

}  // namespace curvix
