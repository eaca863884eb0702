// curvixkit._core.Profile, Cant and Frame: the vertical dimension's binding.
// Inputs cross as plain tuples (and come back the same way from inputs(),
// which is how the Python side pickles them); arrays as buffers, checked
// with the GIL held, each loop over them running with it released (the
// objects have no mutable state and the buffers stay held until the loop
// ends).

#include "curvix/kit_binding/profile_py.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/kit_binding/buffer_py.hpp"
#include "curvix/engine/cant.hpp"
#include "curvix/engine/frame.hpp"
#include "curvix/engine/profile.hpp"

namespace py = pybind11;

namespace curvix::kit_binding {

using namespace curvix::engine;

namespace {

const char* const kKindNames[] = {"line", "parabola", "arc", "clothoid"};
const char* const kCurveNames[] = {"none", "parabola", "asymmetric_parabola", "arc"};
const char* const kAxisNames[] = {"inside_rail", "centre", "outside_rail"};

const char* kind_name(VerticalKind k) { return kKindNames[static_cast<int>(k)]; }
const char* curve_name(PviCurve c) { return kCurveNames[static_cast<int>(c)]; }
const char* axis_name(RotationAxis a) { return kAxisNames[static_cast<int>(a)]; }

// The position of name among names[0..n), n when it is not there.
template <std::size_t N>
std::size_t index_of(const char* const (&names)[N], const std::string& name, std::size_t from = 0) {
    std::size_t k = from;
    while (k < N && name != names[k]) ++k;
    return k;
}

// A query of one station (and extend) over a buffer of stations.
template <class C, double (C::*F)(double, bool) const>
void stations_query(const C& c, const py::buffer& stations, bool extend, const py::buffer& out) {
    per_station<double>(stations, out, [&c, extend](double v) { return (c.*F)(v, extend); });
}

py::object none_if_nan(double v) { return std::isnan(v) ? py::none() : py::object(py::float_(v)); }
py::object none_if_negative(std::ptrdiff_t v) { return v < 0 ? py::none() : py::object(py::int_(v)); }

// item[j] of the i-th tuple of a list as a double; TypeError naming both.
double number_at(const py::tuple& t, std::size_t j, const char* list, std::size_t i) {
    try {
        return t[j].cast<double>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string(list) + "[" + std::to_string(i) + "][" + std::to_string(j) +
                             "]: expected a number, got " + std::string(py::str(t[j].get_type().attr("__name__"))));
    }
}

std::string text_at(const py::tuple& t, std::size_t j, const char* list, std::size_t i) {
    if (!py::isinstance<py::str>(t[j]))
        throw py::type_error(std::string(list) + "[" + std::to_string(i) + "][" + std::to_string(j) +
                             "]: expected a str");
    return t[j].cast<std::string>();
}

py::tuple tuple_at(const py::handle& item, const char* list, std::size_t i, std::size_t lo, std::size_t hi,
                   const char* form) {
    if (!py::isinstance<py::tuple>(item) || py::len(item) < lo || py::len(item) > hi)
        throw py::type_error(std::string(list) + "[" + std::to_string(i) + "]: expected a tuple " + form);
    return py::reinterpret_borrow<py::tuple>(item);
}

// ---------------------------------------------------------------- Profile

constexpr const char* kSegmentForm =
    "(kind, start_station, length, start_elevation, start_grade, end_grade[, start_radius, end_radius])";
constexpr const char* kPviForm =
    "(station, elevation[, curve, value[, value]]) with curve 'parabola' (length), "
    "'asymmetric_parabola' (length_before, length_after) or 'arc' (radius[, stated_length])";

std::shared_ptr<Profile> from_segments(const py::list& items) {
    std::vector<VerticalSegmentInput> v;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const py::tuple t = tuple_at(items[i], "segments", i, 6, 8, kSegmentForm);
        if (py::len(t) == 7) throw py::type_error("segments[" + std::to_string(i) + "]: expected a tuple " + kSegmentForm);
        VerticalSegmentInput s;
        const std::string kind = text_at(t, 0, "segments", i);
        const std::size_t k = index_of(kKindNames, kind);
        if (k == 4)
            throw ProfileError(static_cast<std::ptrdiff_t>(i), "kind",
                               "segment " + std::to_string(i) +
                                   ": kind must be line, parabola, arc or clothoid, got '" + kind + "'");
        s.kind = static_cast<VerticalKind>(k);
        s.start_station = number_at(t, 1, "segments", i);
        s.length = number_at(t, 2, "segments", i);
        s.start_elevation = number_at(t, 3, "segments", i);
        s.start_grade = number_at(t, 4, "segments", i);
        s.end_grade = number_at(t, 5, "segments", i);
        if (py::len(t) == 8) {
            s.start_radius = number_at(t, 6, "segments", i);
            s.end_radius = number_at(t, 7, "segments", i);
        }
        v.push_back(s);
    }
    py::gil_scoped_release release;  // a long clothoid builds its tables
    return std::make_shared<Profile>(std::move(v));
}

std::shared_ptr<Profile> from_pvis(const py::list& items) {
    std::vector<PviInput> v;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const py::tuple t = tuple_at(items[i], "pvis", i, 2, 6, kPviForm);
        PviInput p;
        p.station = number_at(t, 0, "pvis", i);
        p.elevation = number_at(t, 1, "pvis", i);
        const std::size_t n = py::len(t);
        if (n > 2 && !t[2].is_none()) {
            const std::string curve = text_at(t, 2, "pvis", i);
            const std::size_t k = index_of(kCurveNames, curve, 1);
            if (k == 4)
                throw ProfileError(static_cast<std::ptrdiff_t>(i), "curve",
                                   "PVI " + std::to_string(i) +
                                       ": curve must be parabola, asymmetric_parabola or arc, got '" + curve + "'");
            p.curve = static_cast<PviCurve>(k);
            const std::size_t want = p.curve == PviCurve::parabola ? 4 : 5;
            if (n != want && !(p.curve == PviCurve::arc && n == 4))
                throw py::type_error("pvis[" + std::to_string(i) + "]: expected a tuple " + kPviForm);
            (p.curve == PviCurve::arc ? p.radius : p.length) = number_at(t, 3, "pvis", i);
            if (p.curve == PviCurve::asymmetric_parabola) p.length_after = number_at(t, 4, "pvis", i);
            if (p.curve == PviCurve::arc && n == 5 && !t[4].is_none()) {
                p.has_stated_length = true;
                p.stated_length = number_at(t, 4, "pvis", i);
            }
        } else if (n > 3) {
            throw py::type_error("pvis[" + std::to_string(i) + "]: expected a tuple " + kPviForm);
        }
        v.push_back(p);
    }
    py::gil_scoped_release release;
    return std::make_shared<Profile>(std::move(v));
}

py::tuple profile_inputs(const Profile& p) {
    py::list out;
    if (!p.segment_inputs().empty()) {
        for (const VerticalSegmentInput& s : p.segment_inputs())
            out.append(py::make_tuple(kind_name(s.kind), s.start_station, s.length, s.start_elevation,
                                      s.start_grade, s.end_grade, s.start_radius, s.end_radius));
        return py::make_tuple("segments", out);
    }
    for (const PviInput& v : p.pvi_inputs()) {
        switch (v.curve) {
            case PviCurve::none: out.append(py::make_tuple(v.station, v.elevation)); break;
            case PviCurve::parabola:
                out.append(py::make_tuple(v.station, v.elevation, "parabola", v.length));
                break;
            case PviCurve::asymmetric_parabola:
                out.append(py::make_tuple(v.station, v.elevation, "asymmetric_parabola", v.length, v.length_after));
                break;
            case PviCurve::arc:
                out.append(py::make_tuple(v.station, v.elevation, "arc", v.radius,
                                          v.has_stated_length ? py::object(py::float_(v.stated_length)) : py::none()));
                break;
        }
    }
    return py::make_tuple("pvis", out);
}

py::list segment_tuples(const Profile& p) {
    py::list out;
    for (std::size_t k = 0; k < p.size(); ++k) {
        const VerticalSegment& s = p.segment(k);
        out.append(py::make_tuple(kind_name(s.kind), s.start_station, s.end_station, s.start_elevation,
                                  s.end_elevation, s.start_grade, s.end_grade, s.start_radius, s.end_radius,
                                  none_if_negative(s.pvi)));
    }
    return out;
}

py::list curve_tuples(const Profile& p) {
    py::list out;
    for (const PviCurveInfo& c : p.curves())
        out.append(py::make_tuple(c.pvi, curve_name(c.curve), c.start_station, c.end_station,
                                  c.horizontal_length, c.arc_length, none_if_nan(c.stated_length)));
    return out;
}

py::list turning_point_tuples(const Profile& p) {
    py::list out;
    for (const TurningPoint& t : p.turning_points())
        out.append(py::make_tuple(t.station, t.elevation, t.segment, t.high ? "high" : "low"));
    return out;
}

void lengths_3d(const Profile& p, const py::buffer& starts, const py::buffer& ends, bool extend,
                const py::buffer& out) {
    const Held<double> a(starts, "starts", false), b(ends, "ends", false), r(out, "out", true);
    const std::size_t n = a.count();
    expect_count(b.count(), n, "ends");
    expect_count(r.count(), n, "out");
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) r.data()[i] = p.length_3d(a.data()[i], b.data()[i], extend);
}

// ------------------------------------------------------------------- Cant

std::shared_ptr<Cant> make_cant(const py::list& items, double gauge, const std::string& axis) {
    const std::size_t a = index_of(kAxisNames, axis);
    if (a == 3)
        throw ProfileError(-1, "axis", "cant: axis must be inside_rail, centre or outside_rail, got '" + axis + "'");
    std::vector<CantStation> v;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const py::tuple t = tuple_at(items[i], "stations", i, 2, 3, "(station, cant[, transition])");
        CantStation c;
        c.station = number_at(t, 0, "stations", i);
        c.cant = number_at(t, 1, "stations", i);
        if (py::len(t) == 3) {
            const std::string name = text_at(t, 2, "stations", i);
            if (!transition_from_name(name, c.transition))
                throw ProfileError(static_cast<std::ptrdiff_t>(i), "transition",
                                   "cant station " + std::to_string(i) +
                                       ": transition must be linear, clothoid, bloss, cosine, sine, helmert or viennese, got '" +
                                       name + "'");
        }
        v.push_back(c);
    }
    return std::make_shared<Cant>(std::move(v), gauge, static_cast<RotationAxis>(a));
}

py::tuple cant_inputs(const Cant& c) {
    py::list out;
    for (const CantStation& s : c.inputs())
        out.append(py::make_tuple(s.station, s.cant, transition_name(s.transition)));
    return py::make_tuple(out, c.gauge(), axis_name(c.axis()));
}

// ------------------------------------------------------------------ Frame

// The frame with the Python objects it was made of; the engine object
// keeps the alignment the frame points to alive.
struct PyFrame {
    std::unique_ptr<Frame> frame;
    py::object engine, profile, cant;
};

std::unique_ptr<PyFrame> make_frame(py::object engine, py::object profile, py::object cant) {
    if (!py::isinstance<Alignment>(engine)) throw py::type_error("engine: expected an Engine");
    if (!profile.is_none() && !py::isinstance<Profile>(profile))
        throw py::type_error("profile: expected a Profile or None");
    if (!cant.is_none() && !py::isinstance<Cant>(cant)) throw py::type_error("cant: expected a Cant or None");
    const Alignment& a = engine.cast<const Alignment&>();
    std::shared_ptr<const Profile> p;
    std::shared_ptr<const Cant> c;
    if (!profile.is_none()) p = profile.cast<std::shared_ptr<Profile>>();
    if (!cant.is_none()) c = cant.cast<std::shared_ptr<Cant>>();
    auto f = std::make_unique<PyFrame>();
    // A shared_ptr that owns nothing: the engine object held below owns it.
    f->frame = std::make_unique<Frame>(std::shared_ptr<const Alignment>(std::shared_ptr<const Alignment>(), &a),
                                       std::move(p), std::move(c));
    f->engine = std::move(engine);
    f->profile = std::move(profile);
    f->cant = std::move(cant);
    return f;
}

void points3d(const PyFrame& f, const py::buffer& stations, const py::buffer& offsets,
              const py::buffer& heights, bool banked, bool extend, const py::buffer& out) {
    const Held<double> s(stations, "stations", false), o(offsets, "offsets", false);
    const Held<double> h(heights, "heights", false), xyz(out, "out", true);
    const std::size_t n = s.count();
    expect_count(o.count(), n, "offsets");
    expect_count(h.count(), n, "heights");
    expect_count(xyz.count(), 3 * n, "out");
    py::gil_scoped_release release;
    f.frame->points3d(s.data(), o.data(), h.data(), n, banked, extend, xyz.data());
}

void design_elevations(const PyFrame& f, const py::buffer& stations, const py::buffer& offsets,
                       bool banked, bool extend, const py::buffer& out) {
    const Held<double> s(stations, "stations", false), o(offsets, "offsets", false);
    const Held<double> z(out, "out", true);
    const std::size_t n = s.count();
    expect_count(o.count(), n, "offsets");
    expect_count(z.count(), n, "out");
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i)
        z.data()[i] = f.frame->design_elevation(s.data()[i], o.data()[i], banked, extend);
}

void axes(const PyFrame& f, const py::buffer& stations, bool extend, const py::buffer& out) {
    const Held<double> s(stations, "stations", false), r(out, "out", true);
    const std::size_t n = s.count();
    expect_count(r.count(), 12 * n, "out");
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) {
        FrameAxes a;
        f.frame->axes(s.data()[i], extend, a);
        double* o = r.data() + 12 * i;
        for (int j = 0; j < 3; ++j) {
            o[j] = a.point[j];
            o[3 + j] = a.tangent[j];
            o[6 + j] = a.normal[j];
            o[9 + j] = a.up[j];
        }
    }
}

void locate3d(const PyFrame& f, const py::buffer& points, double max_distance, bool banked, bool extend,
              const py::buffer& station, const py::buffer& offset, const py::buffer& distance,
              const py::buffer& element, const py::buffer& dz) {
    const Held<double> p(points, "points", false);
    const Held<double> s(station, "station", true), o(offset, "offset", true);
    const Held<double> d(distance, "distance", true), z(dz, "dz", true);
    const Held<std::int64_t> e(element, "element", true);
    if (p.count() % 3 != 0) throw py::value_error("points must hold (x, y, z) triples");
    const std::size_t n = p.count() / 3;
    for (const std::size_t c : {s.count(), o.count(), d.count(), e.count(), z.count()}) expect_count(c, n, "out");
    py::gil_scoped_release release;
    std::vector<Foot> feet(n);
    f.frame->locate3d(p.data(), n, max_distance, banked, extend, feet.data(), z.data());
    for (std::size_t i = 0; i < n; ++i) {
        s.data()[i] = feet[i].station;
        o.data()[i] = feet[i].offset;
        d.data()[i] = feet[i].distance;
        e.data()[i] = static_cast<std::int64_t>(feet[i].element);
    }
}

}  // namespace

void register_profile(py::module_& m) {
    py::class_<Profile, std::shared_ptr<Profile>>(m, "Profile", py::module_local())
        .def_static("from_segments", &from_segments, py::arg("segments"))
        .def_static("from_pvis", &from_pvis, py::arg("pvis"))
        .def_property_readonly("start_station", &Profile::start_station)
        .def_property_readonly("end_station", &Profile::end_station)
        .def("__len__", &Profile::size)
        .def("inputs", &profile_inputs)
        .def("segments", &segment_tuples)
        .def("curves", &curve_tuples)
        .def("overlaps", [](const Profile& p) {
            py::list out;
            for (const ProfileOverlap& o : p.overlaps()) out.append(py::make_tuple(o.pvi, o.amount));
            return out;
        })
        .def("turning_points", &turning_point_tuples)
        .def("elevations", &stations_query<Profile, &Profile::elevation>, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("grades", &stations_query<Profile, &Profile::grade>, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("vertical_curvatures", &stations_query<Profile, &Profile::vertical_curvature>, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("curvatures", &stations_query<Profile, &Profile::curvature>, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("segment_indices", [](const Profile& p, const py::buffer& s, const py::buffer& out) {
            per_station<std::int64_t>(s, out, [&p](double v) { return static_cast<std::int64_t>(p.segment_index(v)); });
        }, py::arg("stations"), py::arg("out"))
        .def("lengths_3d", &lengths_3d, py::arg("starts"), py::arg("ends"), py::arg("extend"), py::arg("out"));

    py::class_<Cant, std::shared_ptr<Cant>>(m, "Cant", py::module_local())
        .def(py::init(&make_cant), py::arg("stations"), py::arg("gauge"), py::arg("axis"))
        .def_property_readonly("gauge", &Cant::gauge)
        .def_property_readonly("axis", [](const Cant& c) { return axis_name(c.axis()); })
        .def_property_readonly("start_station", &Cant::start_station)
        .def_property_readonly("end_station", &Cant::end_station)
        .def("inputs", &cant_inputs)
        .def("cants", &stations_query<Cant, &Cant::cant>, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("angles", &stations_query<Cant, &Cant::angle>, py::arg("stations"), py::arg("extend"), py::arg("out"));

    py::class_<PyFrame>(m, "Frame", py::module_local())
        .def(py::init(&make_frame), py::arg("engine"), py::arg("profile"), py::arg("cant"))
        .def_property_readonly("engine", [](const PyFrame& f) { return f.engine; })
        .def_property_readonly("profile", [](const PyFrame& f) { return f.profile; })
        .def_property_readonly("cant", [](const PyFrame& f) { return f.cant; })
        .def("points3d", &points3d, py::arg("stations"), py::arg("offsets"), py::arg("heights"),
             py::arg("banked"), py::arg("extend"), py::arg("out"))
        .def("axes", &axes, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("design_elevations", &design_elevations, py::arg("stations"), py::arg("offsets"),
             py::arg("banked"), py::arg("extend"), py::arg("out"))
        .def("locate3d", &locate3d, py::arg("points"), py::arg("max_distance"), py::arg("banked"),
             py::arg("extend"), py::arg("station"), py::arg("offset"), py::arg("distance"),
             py::arg("element"), py::arg("dz"));
}

}  // namespace curvix::kit_binding
