#include "curvix/binding_common/binding.hpp"
#include "curvix/geometry/vector.hpp"
#include "curvix/geometry/vector_py.hpp"

namespace curvix {

using binding::Ref;

void register_vector(py::module_& m) {
    py::class_<Vector>(m, "Vector")
        .def(py::init<>())
        .def(py::init<double, double>())
        .def(py::init<double, double, double>())
        .def("X", [](Ref<Vector> self) { return self->X(); })
        .def("Y", [](Ref<Vector> self) { return self->Y(); })
        .def("Z", [](Ref<Vector> self) { return self->Z(); })
        .def("length", [](Ref<Vector> self) { return self->length(); })
        .def("__add__", [](Ref<Vector> self, Ref<Vector> o) { return *self + *o; }, py::is_operator())
        .def("__sub__", [](Ref<Vector> self, Ref<Vector> o) { return *self - *o; }, py::is_operator())
        .def("__getitem__", [](Ref<Vector> self, int index) { return (*self)[index]; })
        .def("rotate2d", [](Ref<Vector> self, Ref<Angle> a) { return self->rotate2d(*a); })
        .def("distance_point", [](Ref<Vector> self, Ref<Vector> o) { return self->distance_point(*o); })
        .def("angle_signed", [](Ref<Vector> self, Ref<Vector> o) { return self->angle_signed(*o); });
}

}  // namespace curvix
