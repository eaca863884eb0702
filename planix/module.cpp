// Entry of the planix module: the module docstring and the two intersection
// functions, registered in this order (the order is the module's surface).
//
// Arguments are positional only. The seven arc arguments are plain float
// parameters. The segment points are taken as py::list, so a tuple is refused
// by argument matching and the signature shows `list`; results are
// std::vector<double>, shown as `List[float]`.

#include "planix/intersection.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <exception>
#include <optional>
#include <vector>

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc =
    "\n"
    "        Global Funcs for KARVO\n"
    "        ------------------\n"
    "        .. currentmodule:: planix\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "            intersection_seg_seg\n"
    "            intersection_seg_arc\n"
    "    ";

constexpr const char* kSegArcDoc =
    "\n"
    "        求线段和圆弧的交点\n"
    "\n"
    "        Returns:\n"
    "            (float,float) : 交点坐标\n"
    "\n"
    "    ";

constexpr const char* kSegSegDoc =
    "\n"
    "        求线段和线段的交点\n"
    "\n"
    "        Returns:\n"
    "            (float,float) : 交点坐标\n"
    "\n"
    "    ";

// pybind11 words its own cast failures differently from release to release
// and between debug and release builds; a point item that is not a number is
// reported with this fixed text instead.
constexpr const char* kCastMessage =
    "Unable to cast Python instance to C++ type (compile in debug mode for details)";

// Derives from std::exception alone, so that pybind11 raises RuntimeError
// with its text.
class CastFailure : public std::exception {
public:
    const char* what() const noexcept override { return kCastMessage; }
};

// Item `index` of a point list as a double. The item is fetched with the
// list's own item access, so a short list raises Python's IndexError, which
// passes through unchanged; only the conversion failure is reworded.
double coordinate(const py::list& point, std::size_t index) {
    py::object item = point[index];
    try {
        return item.cast<double>();
    } catch (const py::cast_error&) {
        throw CastFailure();
    }
}

// Reads y before x; with several faulty points the first one in the
// argument order decides which error is raised.
planix::Point read_point(const py::list& point) {
    const double y = coordinate(point, 1);
    const double x = coordinate(point, 0);
    return planix::Point{x, y};
}

std::vector<double> to_list(const std::optional<planix::Point>& p) {
    if (!p) return {};
    return {p->x, p->y};
}

}  // namespace

PYBIND11_MODULE(planix, m) {
    m.attr("__doc__") = py::str(kModuleDoc);

    m.def(
        "intersection_seg_arc",
        [](double cx, double cy, double r, double x1, double y1, double x2, double y2) {
            return to_list(planix::intersect_segment_circle({cx, cy}, r, {x1, y1}, {x2, y2}));
        },
        kSegArcDoc);

    m.def(
        "intersection_seg_seg",
        [](const py::list& p1, const py::list& p2, const py::list& p3, const py::list& p4) {
            const planix::Point a = read_point(p1);
            const planix::Point b = read_point(p2);
            const planix::Point c = read_point(p3);
            const planix::Point d = read_point(p4);
            return to_list(planix::intersect_segments(a, b, c, d));
        },
        kSegSegDoc);
}
