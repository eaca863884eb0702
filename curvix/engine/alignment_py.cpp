// curvixkit._core.Engine: the engine's binding. Shapes and types are checked
// here with the GIL held (the public Python layer has already made every
// array a C-contiguous float64 array of the right shape); each loop over
// points runs with the GIL released, which is safe because an
// engine::Alignment has no mutable state.

#include "curvix/engine/alignment_py.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/engine/alignment.hpp"
#include "curvix/engine/icd_chain.hpp"

namespace py = pybind11;

namespace curvix::engine {

namespace {

using Array = py::array_t<double, py::array::c_style>;
using IndexArray = py::array_t<std::int64_t, py::array::c_style>;

// (length, k0, k1, start or None, azimuth or None)
using SpecTuple = std::tuple<double, double, double, std::optional<std::pair<double, double>>,
                             std::optional<double>>;

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::line: return "line";
        case Kind::arc: return "arc";
        case Kind::clothoid: return "clothoid";
    }
    return "line";
}

std::size_t length_of(const Array& a, const char* name) {
    if (a.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
    return static_cast<std::size_t>(a.shape(0));
}

std::size_t rows_of(const Array& a, const char* name) {
    if (a.ndim() != 2 || a.shape(1) != 2) {
        throw py::value_error(std::string(name) + " must have shape (N, 2)");
    }
    return static_cast<std::size_t>(a.shape(0));
}

Array new_array(std::size_t n) { return Array(static_cast<py::ssize_t>(n)); }

Array new_pairs(std::size_t n) {
    return Array(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n), 2});
}

std::unique_ptr<Alignment> from_specs(double start_station, double x, double y, double azimuth,
                                      const std::vector<SpecTuple>& specs) {
    std::vector<ElementSpec> elements;
    elements.reserve(specs.size());
    for (const auto& [length, k0, k1, start, az] : specs) {
        ElementSpec e;
        e.length = length;
        e.k0 = k0;
        e.k1 = k1;
        if (start) {
            e.has_start = true;
            e.x = start->first;
            e.y = start->second;
        }
        if (az) {
            e.has_azimuth = true;
            e.azimuth = *az;
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
    IcdChain chain = icd_chain(doc, series ? SpiralEvaluation::series : SpiralEvaluation::exact);
    auto engine = std::make_unique<Alignment>(chain.start_station, chain.x, chain.y, chain.azimuth,
                                              std::move(chain.elements));
    return py::make_tuple(std::move(engine), lines);
}

py::list element_tuples(const Alignment& a) {
    py::list out;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const ElementInfo& e = a.element(k);
        out.append(py::make_tuple(kind_name(e.kind), e.start_station, e.end_station, e.length, e.k0,
                                  e.k1, e.x0, e.y0, e.azimuth0, e.x1, e.y1, e.azimuth1));
    }
    return out;
}

py::list spec_tuples(const Alignment& a) {
    py::list out;
    for (const ElementSpec& e : a.specs()) {
        py::object start = py::none();
        py::object az = py::none();
        if (e.has_start) start = py::make_tuple(e.x, e.y);
        if (e.has_azimuth) az = py::float_(e.azimuth);
        out.append(py::make_tuple(e.length, e.k0, e.k1, start, az));
    }
    return out;
}

Array points(const Alignment& a, const Array& stations, const Array& offsets, bool extend) {
    const std::size_t n = length_of(stations, "stations");
    if (length_of(offsets, "offsets") != n) throw py::value_error("offsets must match stations");
    Array out = new_pairs(n);
    const double* s = stations.data();
    const double* o = offsets.data();
    double* xy = out.mutable_data();
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) a.point(s[i], o[i], extend, xy[2 * i], xy[2 * i + 1]);
    }
    return out;
}

template <class F>
Array per_station(const Array& stations, F f) {
    const std::size_t n = length_of(stations, "stations");
    Array out = new_array(n);
    const double* s = stations.data();
    double* r = out.mutable_data();
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) r[i] = f(s[i]);
    }
    return out;
}

IndexArray element_indices(const Alignment& a, const Array& stations) {
    const std::size_t n = length_of(stations, "stations");
    IndexArray out(static_cast<py::ssize_t>(n));
    const double* s = stations.data();
    std::int64_t* r = out.mutable_data();
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::int64_t>(a.element_index(s[i]));
    }
    return out;
}

py::tuple nearest(const Alignment& a, const Array& xy, double max_distance) {
    const std::size_t n = rows_of(xy, "points");
    Array station = new_array(n), offset = new_array(n), distance = new_array(n);
    IndexArray element(static_cast<py::ssize_t>(n));
    const double* p = xy.data();
    double* s = station.mutable_data();
    double* o = offset.mutable_data();
    double* d = distance.mutable_data();
    std::int64_t* e = element.mutable_data();
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) {
            const Foot f = a.nearest(p[2 * i], p[2 * i + 1], max_distance);
            s[i] = f.station;
            o[i] = f.offset;
            d[i] = f.distance;
            e[i] = static_cast<std::int64_t>(f.element);
        }
    }
    return py::make_tuple(station, offset, distance, element);
}

py::tuple local_minima(const Alignment& a, const Array& xy, double max_distance) {
    const std::size_t n = rows_of(xy, "points");
    const double* p = xy.data();
    std::vector<Foot> feet;
    std::vector<std::int64_t> query;
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t before = feet.size();
            a.local_minima(p[2 * i], p[2 * i + 1], max_distance, feet);
            query.resize(feet.size(), static_cast<std::int64_t>(i));
            (void)before;
        }
    }
    const std::size_t m = feet.size();
    IndexArray q(static_cast<py::ssize_t>(m)), element(static_cast<py::ssize_t>(m));
    Array station = new_array(m), offset = new_array(m), distance = new_array(m);
    for (std::size_t i = 0; i < m; ++i) {
        q.mutable_data()[i] = query[i];
        station.mutable_data()[i] = feet[i].station;
        offset.mutable_data()[i] = feet[i].offset;
        distance.mutable_data()[i] = feet[i].distance;
        element.mutable_data()[i] = static_cast<std::int64_t>(feet[i].element);
    }
    return py::make_tuple(q, station, offset, distance, element);
}

py::tuple crossings(const Alignment& a, const Array& xy, bool infinite) {
    const std::size_t m = rows_of(xy, "line");
    if (m < 2) throw py::value_error("line needs at least two points");
    std::vector<Crossing> found;
    const double* p = xy.data();
    {
        py::gil_scoped_release release;
        a.crossings(p, m, infinite, found);
    }
    const std::size_t k = found.size();
    Array station = new_array(k), x = new_array(k), y = new_array(k), angle = new_array(k);
    IndexArray segment(static_cast<py::ssize_t>(k));
    for (std::size_t i = 0; i < k; ++i) {
        station.mutable_data()[i] = found[i].station;
        x.mutable_data()[i] = found[i].x;
        y.mutable_data()[i] = found[i].y;
        segment.mutable_data()[i] = static_cast<std::int64_t>(found[i].segment);
        angle.mutable_data()[i] = found[i].angle;
    }
    return py::make_tuple(station, x, y, segment, angle);
}

}  // namespace

void register_engine(py::module_& m) {
    py::class_<Alignment>(m, "Engine", py::module_local())
        .def(py::init(&from_specs), py::arg("start_station"), py::arg("x"), py::arg("y"),
             py::arg("azimuth"), py::arg("specs"))
        .def_static("from_icd", &from_icd, py::arg("data"), py::arg("strict"), py::arg("series"))
        .def_property_readonly("start_station", &Alignment::start_station)
        .def_property_readonly("end_station", &Alignment::end_station)
        .def_property_readonly("length", &Alignment::length)
        .def_property_readonly("start", [](const Alignment& a) {
            return py::make_tuple(a.start_x(), a.start_y(), a.start_azimuth());
        })
        .def("__len__", &Alignment::size)
        .def("elements", &element_tuples)
        .def("specs", &spec_tuples)
        .def("points", &points, py::arg("stations"), py::arg("offsets"), py::arg("extend"))
        .def("azimuths", [](const Alignment& a, const Array& s, bool extend) {
            return per_station(s, [&a, extend](double v) { return a.azimuth(v, extend); });
        }, py::arg("stations"), py::arg("extend"))
        .def("curvatures", [](const Alignment& a, const Array& s, bool extend) {
            return per_station(s, [&a, extend](double v) { return a.curvature(v, extend); });
        }, py::arg("stations"), py::arg("extend"))
        .def("element_indices", &element_indices, py::arg("stations"))
        .def("nearest", &nearest, py::arg("points"), py::arg("max_distance"))
        .def("local_minima", &local_minima, py::arg("points"), py::arg("max_distance"))
        .def("crossings", &crossings, py::arg("line"), py::arg("infinite"));
}

}  // namespace curvix::engine
