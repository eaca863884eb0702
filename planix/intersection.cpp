#include "planix/intersection.hpp"

#include <boost/geometry/algorithms/intersection.hpp>
#include <boost/geometry/algorithms/intersects.hpp>
#include <boost/geometry/core/cs.hpp>
#include <boost/geometry/geometries/point.hpp>
#include <boost/geometry/geometries/segment.hpp>

#include <algorithm>
#include <utility>
#include <cmath>
#include <list>

namespace planix {

namespace bg = boost::geometry;
using BPoint = bg::model::point<double, 2, bg::cs::cartesian>;
using BSegment = bg::model::segment<BPoint>;

std::optional<Point> intersect_segment_circle(Point c, double r, Point a, Point b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double ex = a.x - c.x;
    const double ey = a.y - c.y;

    const double qa = dy * dy + dx * dx;
    const double qb = (2.0 * dy) * ey + (2.0 * dx) * ex;
    const double qc = (ey * ey + ex * ex) - r * r;

    const double disc = qb * qb - (4.0 * qa) * qc;
    if (disc < 0.0) return std::nullopt;

    const double s = std::sqrt(disc);
    const double t1 = (s - qb) / (2.0 * qa);
    const double t2 = (-qb - s) / (2.0 * qa);

    // Written as positive range tests so that a NaN parameter fails them.
    double t;
    if (t1 >= 0.0 && t1 <= 1.0) {
        t = t1;
    } else if (t2 >= 0.0 && t2 <= 1.0) {
        t = t2;
    } else {
        return std::nullopt;
    }
    return Point{dx * t + a.x, dy * t + a.y};
}

namespace {

bool finite(Point p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// Boost.Geometry's segment relation multiplies up to three coordinates, so
// coordinates beyond about 1e100 overflow in it. Such input is scaled by a
// power of two (exact) towards 1 and the answer scaled back.
constexpr double kLargeCoordinate = 0x1p256;

// A point where two segments meet lies in both of their bounding boxes. For
// nearly collinear segments Boost.Geometry derives the point from the lines
// through them and can place it well outside (1.5 m beyond a shared end at
// 1e5 m). Clamping to the common box leaves every point inside it as it is
// and brings such a stray point back to the segments' end. Boxes that miss
// each other by rounding (segments Boost takes for touching) clamp the point
// into the gap between them instead.
double clamp_to_common(double v, double a1, double a2, double b1, double b2) {
    double lo = std::max(std::min(a1, a2), std::min(b1, b2));
    double hi = std::min(std::max(a1, a2), std::max(b1, b2));
    if (lo > hi) std::swap(lo, hi);
    return v < lo ? lo : (v > hi ? hi : v);
}

std::optional<Point> boost_intersection(Point p1, Point p2, Point p3, Point p4) {
    const BSegment s1(BPoint(p1.x, p1.y), BPoint(p2.x, p2.y));
    const BSegment s2(BPoint(p3.x, p3.y), BPoint(p4.x, p4.y));
    if (!bg::intersects(s1, s2)) return std::nullopt;

    std::list<BPoint> points;
    bg::intersection(s1, s2, points);
    // intersects() and intersection() run the same segment relation, so a
    // point is expected here; an empty answer is still answered safely.
    if (points.empty()) return std::nullopt;
    const BPoint& first = points.front();
    return Point{clamp_to_common(bg::get<0>(first), p1.x, p2.x, p3.x, p4.x),
                 clamp_to_common(bg::get<1>(first), p1.y, p2.y, p3.y, p4.y)};
}

}  // namespace

std::optional<Point> intersect_segments(Point p1, Point p2, Point p3, Point p4) {
    if (!finite(p1) || !finite(p2) || !finite(p3) || !finite(p4)) return std::nullopt;

    double largest = 0.0;
    for (double c : {p1.x, p1.y, p2.x, p2.y, p3.x, p3.y, p4.x, p4.y})
        largest = std::max(largest, std::fabs(c));
    if (largest <= kLargeCoordinate) return boost_intersection(p1, p2, p3, p4);

    const int shift = std::ilogb(largest);
    auto down = [shift](Point p) { return Point{std::ldexp(p.x, -shift), std::ldexp(p.y, -shift)}; };
    const std::optional<Point> q = boost_intersection(down(p1), down(p2), down(p3), down(p4));
    if (!q) return std::nullopt;
    return Point{std::ldexp(q->x, shift), std::ldexp(q->y, shift)};
}

}  // namespace planix
