#include "curvix/alignment/pqx_py.hpp"

#include <pybind11/stl.h>

#include "curvix/alignment/pqx.hpp"
#include "curvix/binding_common/binding.hpp"

namespace curvix {

using binding::Mut;
using binding::Ref;

void register_pqx(py::module_& m) {
    py::class_<PQX>(m, "PQX")
        .def(py::init<>())
        .def(py::init<const std::u16string&>())
        .def_property(
            "start_pk", [](Ref<PQX> self) { return self->start_pk; },
            [](Mut<PQX> self, double value) { self->start_pk = value; })
        .def_property(
            "end_pk", [](Ref<PQX> self) { return self->end_pk; },
            [](Mut<PQX> self, double value) { self->end_pk = value; })
        // These two refer into the alignment and keep it alive.
        .def_property(
            "start_angle", [](Mut<PQX> self) -> Angle& { return self->start_angle; },
            [](Mut<PQX> self, Ref<Angle> value) { self->start_angle = *value; })
        .def_property(
            "start_point", [](Mut<PQX> self) -> Vector& { return self->start_point; },
            [](Mut<PQX> self, Ref<Vector> value) { self->start_point = *value; })
        .def("get_coordinate", [](Ref<PQX> self, double pk) { return self->get_coordinate(pk); })
        .def("get_dir", [](Ref<PQX> self, double pk, double d) { return self->get_dir(pk, d); })
        .def("get_station_by_point",
             [](Ref<PQX> self, double x, double y, int n, double eps) {
                 return self->get_station_by_point(x, y, n, eps);
             })
        .def("get_station_by_point2",
             [](Ref<PQX> self, double x1, double y1, double x2, double y2, double eps) {
                 return self->get_station_by_point2(x1, y1, x2, y2, eps);
             })
        .def("get_side", [](Ref<PQX> self, double x, double y) { return self->get_side(x, y); })
        // The candidate is not handed back: from Python the search runs for
        // its failures only, and the last argument is not changed.
        .def("__binary_test__",
             [](Ref<PQX> self, double a, double b, Ref<Vector> point, double eps, double) {
                 Candidate out;
                 self->binary_test(a, b, *point, eps, out);
             })
        .def_property_readonly("Text", [](Ref<PQX> self) { return self->Text; });
}

}  // namespace curvix
