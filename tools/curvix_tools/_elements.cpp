// curvix_tools._elements: a read-only view of the elements of a loaded
// alignment, for the command-line tools.
//
// curvix.PQX keeps its elements to itself. This module loads the same ICD file
// through the same core loader (curvix::PQX from a UTF-16 path) and hands the
// elements out as plain Python values. No curvix type is registered here:
// pybind11 keeps registered C++ types in the internals it shares with the
// curvix module, so registering PQX, Vector or Angle a second time would
// clash with (or replace) curvix's own classes. The one class of this module,
// AlignmentView, is module-local and owns its PQX.
//
// Units and conventions are the core's: stations and coordinates in the
// file's units, azimuths in radians from +Y towards +X, never reduced into a
// range; direction +1 turns right (azimuth grows), -1 left; an infinite radius
// is the finite 1e39.

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "curvix/alignment/element.hpp"
#include "curvix/alignment/icd_reader.hpp"
#include "curvix/alignment/pqx.hpp"
#include "curvix/binding/binding.hpp"
#include "curvix/binding/file_error_py.hpp"

namespace {

using curvix::binding::Ref;

const char* kind_of(int type) {
    switch (type) {
        case 1: return "straight";
        case 2: return "arc";
        case 3:
        case 4:
        case 5:
        case 6: return "spiral";
        default: return "unknown";
    }
}

// +1 where the curvature grows along the spiral (codes 3 and 5), -1 where it
// shrinks (codes 4 and 6).
double curvature_sense(int type) { return (type == 3 || type == 5) ? 1.0 : -1.0; }

// Tangent azimuth at offset s from the element's start, from the element's
// own curve: a straight keeps its azimuth, an arc turns by d*s/R, a clothoid
// by d*(s/R0 + sigma*s^2/(2*A^2)). At s == length the element's own end
// azimuth is returned, so the next element starts with exactly that value.
double tangent_azimuth(const curvix::PQXElement& e, double s) {
    if (s == e.length) return e.get_end_angle().GetRadian();
    const double a0 = e.start_angle.GetRadian();
    if (const auto* arc = dynamic_cast<const curvix::Arc*>(&e)) {
        return a0 + (s / arc->radius) * e.direction;
    }
    if (const auto* sp = dynamic_cast<const curvix::Sprial*>(&e)) {
        const double turn = s / sp->start_radius +
                            curvature_sense(e.type) * (s * s) / (2.0 * sp->A * sp->A);
        return a0 + turn * e.direction;
    }
    return a0;
}

class AlignmentView {
public:
    explicit AlignmentView(const std::u16string& path)
        : pqx_(std::make_unique<curvix::PQX>(path)) {}

    double start_pk() const { return pqx_->start_pk; }
    double end_pk() const { return pqx_->end_pk; }
    double start_azimuth() const { return pqx_->start_angle.GetRadian(); }
    py::tuple start_point() const {
        return py::make_tuple(pqx_->start_point.X(), pqx_->start_point.Y());
    }
    std::size_t size() const { return pqx_->elements.size(); }

    // S[0..n]: S[0] = start_pk, S[k] = S[k-1] + length of element k.
    py::list boundary_stations() const {
        py::list out;
        for (double s : pqx_->station_table()) out.append(s);
        return out;
    }

    py::list elements() const {
        const std::vector<double>& s = pqx_->station_table();
        py::list out;
        for (std::size_t k = 0; k < pqx_->elements.size(); ++k) {
            const curvix::PQXElement& e = *pqx_->elements[k];
            py::dict d;
            d["type"] = e.type;
            d["kind"] = kind_of(e.type);
            d["start_station"] = s[k];
            d["end_station"] = s[k + 1];
            d["length"] = e.length;
            d["direction"] = e.direction;
            d["start_point"] = py::make_tuple(e.start_point.X(), e.start_point.Y());
            d["start_azimuth"] = e.start_angle.GetRadian();
            d["end_azimuth"] = e.get_end_angle().GetRadian();
            d["radius"] = py::none();
            d["A"] = py::none();
            d["start_radius"] = py::none();
            d["end_radius"] = py::none();
            if (const auto* arc = dynamic_cast<const curvix::Arc*>(&e)) {
                d["radius"] = arc->radius;
            } else if (const auto* sp = dynamic_cast<const curvix::Sprial*>(&e)) {
                d["A"] = sp->A;
                d["start_radius"] = sp->start_radius;
                d["end_radius"] = sp->end_radius;
            }
            out.append(std::move(d));
        }
        return out;
    }

    // Index (0-based) of the element that holds pk, the one get_coordinate
    // uses; a boundary belongs to the element that starts there, end_pk to
    // the last element.
    std::size_t element_at(double pk) const {
        check_station(pk);
        return pqx_->locate(pk).first;
    }

    double azimuth_at(double pk) const {
        check_station(pk);
        const auto located = pqx_->locate(pk);
        return tangent_azimuth(*pqx_->elements[located.first], pk - located.second);
    }

private:
    void check_station(double pk) const {
        if (pqx_->elements.empty()) throw std::invalid_argument("the alignment has no elements");
        if (!(pk >= pqx_->start_pk && pk <= pqx_->end_pk)) {
            throw std::invalid_argument("station " + py::repr(py::float_(pk)).cast<std::string>() +
                                        " is outside the alignment");
        }
    }

    std::unique_ptr<curvix::PQX> pqx_;
};

// Where the bytes of each line end, as split_icd_lines cuts them: just after
// the line's LF, or at the end of the bytes for a last line without one.
std::vector<std::size_t> line_ends(std::string_view bytes) {
    std::vector<std::size_t> ends;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t lf = bytes.find('\n', pos);
        pos = (lf == std::string_view::npos) ? bytes.size() : lf + 1;
        ends.push_back(pos);
    }
    return ends;
}

bool load_fails(std::string_view bytes) {
    try {
        curvix::PQX::from_bytes(bytes);
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

// Number (from 1) of the line at which loading the file fails, or None when
// it loads. Every line is decoded before any is read, so a line that is not
// UTF-8 is looked for first; otherwise lines are read in order and a load
// stops at its first bad line, so the loads of ever longer leading parts of
// the file fail from that line on, and halving finds it.
py::object failing_line(const std::u16string& path) {
    const std::string bytes = curvix::read_icd_file(path);
    const std::string_view all(bytes);
    const std::vector<std::size_t> ends = line_ends(all);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        try {
            curvix::split_icd_lines(all.substr(begin, ends[i] - begin));
        } catch (const std::range_error&) {
            return py::int_(i + 1);
        }
        begin = ends[i];
    }
    if (!load_fails(all)) return py::none();
    std::size_t good = 0;  // no lines load
    std::size_t bad = ends.size();
    while (bad - good > 1) {
        const std::size_t mid = good + (bad - good) / 2;
        if (load_fails(all.substr(0, ends[mid - 1]))) {
            bad = mid;
        } else {
            good = mid;
        }
    }
    return py::int_(bad);
}

}  // namespace

PYBIND11_MODULE(_elements, m) {
    m.doc() = "Read-only view of the elements of an alignment loaded from an ICD file.";

    curvix::binding::register_file_error_translator();

    m.attr("INFINITE_RADIUS") = curvix::kInfiniteRadius;
    m.def("failing_line", &failing_line, py::arg("path"),
          "Number (from 1) of the line at which loading the ICD file fails, or None.");

    py::class_<AlignmentView>(m, "AlignmentView", py::module_local(),
                              "An alignment loaded from an ICD file, seen element by element.")
        .def(py::init<const std::u16string&>(), py::arg("path"),
             "Load the ICD file at path with the same loader as curvix.PQX.")
        .def_property_readonly(
            "start_pk", [](Ref<AlignmentView> self) { return self->start_pk(); })
        .def_property_readonly("end_pk", [](Ref<AlignmentView> self) { return self->end_pk(); })
        .def_property_readonly(
            "start_azimuth", [](Ref<AlignmentView> self) { return self->start_azimuth(); },
            "Start azimuth in radians.")
        .def_property_readonly(
            "start_point", [](Ref<AlignmentView> self) { return self->start_point(); },
            "Start point as (x, y).")
        .def("__len__", [](Ref<AlignmentView> self) { return self->size(); })
        .def(
            "boundary_stations",
            [](Ref<AlignmentView> self) { return self->boundary_stations(); },
            "Element boundary stations S[0..n], S[0] = start_pk, S[k] = S[k-1] + length.")
        .def(
            "elements", [](Ref<AlignmentView> self) { return self->elements(); },
            "One dict per element, in file order.")
        .def(
            "element_at", [](Ref<AlignmentView> self, double pk) { return self->element_at(pk); },
            py::arg("pk"), "Index (from 0) of the element that holds station pk.")
        .def(
            "azimuth_at", [](Ref<AlignmentView> self, double pk) { return self->azimuth_at(pk); },
            py::arg("pk"), "Tangent azimuth in radians at station pk.");
}
