// curvixkit._core.Network: the binding of engine::Network. Shapes and
// formats are checked with the GIL held; the loop over the points runs with
// it released, which is safe because a Network and its engines have no
// mutable state and the buffers stay held until the loop ends.

#include "curvix/kit_binding/network_py.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/network.hpp"
#include "curvix/kit_binding/buffer_py.hpp"

namespace py = pybind11;

namespace curvix::kit_binding {

using namespace curvix::engine;

namespace {

// The network with the engine objects it was made of, which keep the
// alignments it points to alive.
struct PyNetwork {
    std::unique_ptr<Network> network;
    py::tuple engines;
};

std::unique_ptr<PyNetwork> make_network(const py::sequence& engines) {
    const std::size_t n = py::len(engines);
    if (n == 0) throw py::value_error("engines: a network needs at least one engine");
    py::tuple kept(n);
    std::vector<std::shared_ptr<const Alignment>> alignments;
    alignments.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        py::object e = engines[i];
        if (!py::isinstance<Alignment>(e))
            throw py::type_error("engines[" + std::to_string(i) + "]: expected an Engine");
        // A shared_ptr that owns nothing: the engine object kept below owns it.
        alignments.emplace_back(std::shared_ptr<const Alignment>(), &e.cast<const Alignment&>());
        kept[i] = std::move(e);
    }
    auto p = std::make_unique<PyNetwork>();
    p->network = std::make_unique<Network>(std::move(alignments));
    p->engines = std::move(kept);
    return p;
}

void nearest(const PyNetwork& net, const py::buffer& points, double max_distance, const py::buffer& station,
             const py::buffer& offset, const py::buffer& distance, const py::buffer& element,
             const py::buffer& index) {
    const Held<double> p(points, "points", false);
    const Held<double> s(station, "station", true), o(offset, "offset", true);
    const Held<double> d(distance, "distance", true);
    const Held<std::int64_t> e(element, "element", true), a(index, "index", true);
    if (p.count() % 2 != 0) throw py::value_error("points must hold (x, y) pairs");
    const std::size_t n = p.count() / 2;
    for (const std::size_t c : {s.count(), o.count(), d.count(), e.count(), a.count()}) expect_count(c, n, "out");
    py::gil_scoped_release release;  // the loop over the points
    std::vector<NetworkFoot> feet(n);
    net.network->nearest(p.data(), n, max_distance, feet.data());
    for (std::size_t i = 0; i < n; ++i) {
        s.data()[i] = feet[i].foot.station;
        o.data()[i] = feet[i].foot.offset;
        d.data()[i] = feet[i].foot.distance;
        e.data()[i] = static_cast<std::int64_t>(feet[i].foot.element);
        a.data()[i] = static_cast<std::int64_t>(feet[i].alignment);
    }
}

}  // namespace

void register_network(py::module_& m) {
    py::class_<PyNetwork>(m, "Network", py::module_local())
        .def(py::init(&make_network), py::arg("engines"))
        .def_property_readonly("engines", [](const PyNetwork& n) { return n.engines; })
        .def("__len__", [](const PyNetwork& n) { return n.network->size(); })
        .def("nearest", &nearest, py::arg("points"), py::arg("max_distance"), py::arg("station"),
             py::arg("offset"), py::arg("distance"), py::arg("element"), py::arg("index"))
        .def("memory_bytes", [](const PyNetwork& n) { return n.network->memory_bytes(); });
}

}  // namespace curvix::kit_binding
