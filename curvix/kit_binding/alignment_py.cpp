// curvixkit._core.Engine: the engine's binding. Arrays cross as Python
// buffers (PEP 3118), never through pybind11's NumPy layer, whose 2.11
// release predates NumPy 2's descriptor layout. The public Python layer
// hands in C-contiguous float64 inputs and allocates the outputs; shapes and
// formats are checked here with the GIL held, and each loop over points runs
// with the GIL released, which is safe because an engine::Alignment has no
// mutable state and the buffers stay held until the loop ends.

#include "curvix/kit_binding/alignment_py.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/engine/alignment.hpp"
#include "curvix/icd_engine/icd_chain.hpp"
#include "curvix/kit_binding/buffer_py.hpp"

namespace py = pybind11;

namespace curvix::kit_binding {

using namespace curvix::engine;

namespace {

// (length, k0, k1, start or None, azimuth or None[, shape, lean])
using InputTuple = py::tuple;

const char* kind_name(const ElementInfo& e) {
    if (e.kind == Kind::clothoid) return shape_name(e.shape);
    switch (e.kind) {
        case Kind::line: return "line";
        case Kind::arc: return "arc";
        case Kind::clothoid: return "clothoid";
    }
    return "line";
}

std::unique_ptr<Alignment> from_inputs(double start_station, double x, double y, double azimuth,
                                      const std::vector<InputTuple>& inputs) {
    std::vector<ElementInput> elements;
    elements.reserve(inputs.size());
    std::size_t k = 0;
    for (const py::tuple& t : inputs) {
        ++k;
        if (t.size() != 5 && t.size() != 7)
            throw py::value_error("element " + std::to_string(k) +
                                  ": expected (length, k0, k1, start, azimuth[, shape, lean]), got " +
                                  std::to_string(t.size()) + " values");
        ElementInput e;
        try {
        e.length = t[0].cast<double>();
        e.k0 = t[1].cast<double>();
        e.k1 = t[2].cast<double>();
        if (!t[3].is_none()) {
            const auto start = t[3].cast<std::pair<double, double>>();
            e.has_start = true;
            e.x = start.first;
            e.y = start.second;
        }
        if (!t[4].is_none()) {
            e.has_azimuth = true;
            e.azimuth = t[4].cast<double>();
        }
        if (t.size() == 7) {
            const std::string name = t[5].cast<std::string>();
            if (!shape_from_name(name, e.shape))
                throw py::value_error("element " + std::to_string(k) +
                                      ": shape must be clothoid, bloss, cosine, sine, helmert, viennese or cubic, got '" +
                                      name + "'");
            e.lean = t[6].cast<double>();
        }
        } catch (const py::cast_error&) {
            throw py::type_error("element " + std::to_string(k) +
                                 ": expected numbers (length, k0, k1), an (x, y) pair or None, a number or None"
                                 "[, a shape name and a number]");
        }
        elements.push_back(std::move(e));
    }
    return std::make_unique<Alignment>(start_station, x, y, azimuth, std::move(elements));
}

// Reads ICD bytes with the chosen grammar and builds the engine. Returns the
// engine and the 1-based line number of each element.
py::tuple from_icd(py::bytes data, bool strict, bool series) {
    const std::string_view bytes(data);
    IcdDocument doc = read_icd_document(bytes, strict ? IcdGrammar::strict : IcdGrammar::legacy);
    std::vector<std::size_t> lines;
    lines.reserve(doc.records.size());
    for (const IcdRecord& r : doc.records) lines.push_back(r.line);
    using icd_engine::SpiralEvaluation;
    icd_engine::IcdChain chain =
        icd_engine::icd_chain(doc, series ? SpiralEvaluation::series : SpiralEvaluation::exact);
    auto engine = std::make_unique<Alignment>(chain.start_station, chain.x, chain.y, chain.azimuth,
                                              std::move(chain.elements));
    return py::make_tuple(std::move(engine), lines);
}

py::list element_tuples(const Alignment& a) {
    py::list out;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const ElementInfo& e = a.element(k);
        out.append(py::make_tuple(kind_name(e), e.start_station, e.end_station, e.length, e.k0,
                                  e.k1, e.x0, e.y0, e.azimuth0, e.x1, e.y1, e.azimuth1, e.lean));
    }
    return out;
}

py::list input_tuples(const Alignment& a) {
    py::list out;
    for (const ElementInput& e : a.inputs()) {
        py::object start = py::none();
        py::object az = py::none();
        if (e.has_start) start = py::make_tuple(e.x, e.y);
        if (e.has_azimuth) az = py::float_(e.azimuth);
        out.append(py::make_tuple(e.length, e.k0, e.k1, start, az, shape_name(e.shape), e.lean));
    }
    return out;
}

void points(const Alignment& a, const py::buffer& stations, const py::buffer& offsets, bool extend,
            const py::buffer& out) {
    const Held<double> s(stations, "stations", false), o(offsets, "offsets", false);
    const Held<double> xy(out, "out", true);
    const std::size_t n = s.count();
    expect_count(o.count(), n, "offsets");
    expect_count(xy.count(), 2 * n, "out");
    py::gil_scoped_release release;  // the loop over the stations
    a.points(s.data(), o.data(), n, extend, xy.data());
}

void nearest(const Alignment& a, const py::buffer& points, double max_distance,
             const py::buffer& station, const py::buffer& offset, const py::buffer& distance,
             const py::buffer& element) {
    const Held<double> p(points, "points", false);
    const Held<double> s(station, "station", true), o(offset, "offset", true);
    const Held<double> d(distance, "distance", true);
    const Held<std::int64_t> e(element, "element", true);
    const std::size_t n = p.count() / 2;
    for (const std::size_t c : {s.count(), o.count(), d.count(), e.count()}) expect_count(c, n, "out");
    py::gil_scoped_release release;
    std::vector<Foot> feet(n);
    a.nearest(p.data(), n, max_distance, feet.data());
    for (std::size_t i = 0; i < n; ++i) {
        s.data()[i] = feet[i].station;
        o.data()[i] = feet[i].offset;
        d.data()[i] = feet[i].distance;
        e.data()[i] = static_cast<std::int64_t>(feet[i].element);
    }
}

py::tuple local_minima(const Alignment& a, const py::buffer& points, double max_distance) {
    const Held<double> p(points, "points", false);
    const std::size_t n = p.count() / 2;
    std::vector<Foot> feet;
    std::vector<std::int64_t> query;
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) {
            a.local_minima(p.data()[2 * i], p.data()[2 * i + 1], max_distance, feet);
            query.resize(feet.size(), static_cast<std::int64_t>(i));
        }
    }
    const std::size_t m = feet.size();
    std::vector<double> station(m), offset(m), distance(m);
    std::vector<std::int64_t> element(m);
    for (std::size_t i = 0; i < m; ++i) {
        station[i] = feet[i].station;
        offset[i] = feet[i].offset;
        distance[i] = feet[i].distance;
        element[i] = static_cast<std::int64_t>(feet[i].element);
    }
    return py::make_tuple(column(query), column(station), column(offset), column(distance),
                          column(element));
}

py::tuple crossings(const Alignment& a, const py::buffer& line, bool infinite) {
    const Held<double> p(line, "line", false);
    const std::size_t m = p.count() / 2;
    if (m < 2) throw py::value_error("line needs at least two points");
    std::vector<Crossing> found;
    {
        py::gil_scoped_release release;
        a.crossings(p.data(), m, infinite, found);
    }
    const std::size_t k = found.size();
    std::vector<double> station(k), x(k), y(k), angle(k);
    std::vector<std::int64_t> segment(k);
    for (std::size_t i = 0; i < k; ++i) {
        station[i] = found[i].station;
        x[i] = found[i].x;
        y[i] = found[i].y;
        segment[i] = static_cast<std::int64_t>(found[i].segment);
        angle[i] = found[i].angle;
    }
    return py::make_tuple(column(station), column(x), column(y), column(segment), column(angle));
}

}  // namespace

void register_engine(py::module_& m) {
    py::class_<Alignment>(m, "Engine", py::module_local())
        .def(py::init(&from_inputs), py::arg("start_station"), py::arg("x"), py::arg("y"),
             py::arg("azimuth"), py::arg("inputs"))
        .def_static("from_icd", &from_icd, py::arg("data"), py::arg("strict"), py::arg("series"))
        .def_property_readonly("start_station", &Alignment::start_station)
        .def_property_readonly("end_station", &Alignment::end_station)
        .def_property_readonly("length", &Alignment::length)
        .def_property_readonly("start", [](const Alignment& a) {
            return py::make_tuple(a.start_x(), a.start_y(), a.start_azimuth());
        })
        .def("__len__", &Alignment::size)
        .def("elements", &element_tuples)
        .def("inputs", &input_tuples)
        .def("points", &points, py::arg("stations"), py::arg("offsets"), py::arg("extend"),
             py::arg("out"))
        .def("azimuths", [](const Alignment& a, const py::buffer& s, bool extend, const py::buffer& out) {
            per_station<double>(s, out, [&a, extend](double v) { return a.azimuth(v, extend); });
        }, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("curvatures", [](const Alignment& a, const py::buffer& s, bool extend, const py::buffer& out) {
            per_station<double>(s, out, [&a, extend](double v) { return a.curvature(v, extend); });
        }, py::arg("stations"), py::arg("extend"), py::arg("out"))
        .def("element_indices", [](const Alignment& a, const py::buffer& s, const py::buffer& out) {
            per_station<std::int64_t>(s, out, [&a](double v) {
                return static_cast<std::int64_t>(a.element_index(v));
            });
        }, py::arg("stations"), py::arg("out"))
        .def("nearest", &nearest, py::arg("points"), py::arg("max_distance"), py::arg("station"),
             py::arg("offset"), py::arg("distance"), py::arg("element"))
        .def("local_minima", &local_minima, py::arg("points"), py::arg("max_distance"))
        .def("crossings", &crossings, py::arg("line"), py::arg("infinite"))
        .def("memory_bytes", &Alignment::memory_bytes);
    // The end of one element in the frame of its start tangent, as the
    // engine integrates it: (along, right). Readers use it to turn a stated
    // chord into a start direction without evaluating curves themselves.
    m.def("local_end", [](double length, double k0, double k1, const std::string& shape) {
        ElementInput e;
        e.length = length;
        e.k0 = k0;
        e.k1 = k1;
        if (!shape_from_name(shape, e.shape)) throw py::value_error("unknown shape '" + shape + "'");
        std::vector<ElementInput> one;
        one.push_back(std::move(e));
        const Alignment a(0.0, 0.0, 0.0, 0.0, std::move(one));
        const ElementInfo& info = a.element(0);
        return py::make_tuple(info.y1, info.x1);
    }, py::arg("length"), py::arg("k0"), py::arg("k1"), py::arg("shape") = "clothoid");
}

}  // namespace curvix::kit_binding
