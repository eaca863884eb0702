#pragma once
// Plane intersections of a straight segment with another segment and with a
// full circle. Plain doubles in, at most one point out; nothing here knows
// about Python.

#include <optional>

namespace planix {

struct Point {
    double x;
    double y;
};

// The crossing of the segment a -> b with the circle of centre c and radius
// r, evaluated in a fixed order of IEEE operations so that results are
// reproducible bit for bit:
//   d = b - a, e = a - c
//   qa = dy*dy + dx*dx, qb = (2dy)*ey + (2dx)*ex, qc = (ey*ey + ex*ex) - r*r
//   disc = qb*qb - (4qa)*qc, t1 = (sqrt(disc) - qb) / (2qa), t2 = (-qb - sqrt(disc)) / (2qa)
// t1 is taken if it lies in [0, 1], else t2; the bounds are exact. For a
// proper segment t1 >= t2, so of two crossings the one nearer b wins. Only
// r*r is used, so a negative radius acts as its absolute value. A segment of
// zero length gives 0/0 for both parameters and so no point. Non-finite
// input only ever produces NaN parameters or parameters outside [0, 1].
std::optional<Point> intersect_segment_circle(Point c, double r, Point a, Point b);

// The first point that Boost.Geometry's Cartesian segment intersection
// reports for S1 = p1 -> p2 against S2 = p3 -> p4 (S1 passed first): the
// crossing or touching point, or, for a collinear overlap, the first of the
// two ends of the common part in Boost's order. No point when the segments
// are disjoint or when any coordinate is NaN or infinite (Boost's answer on
// such input is undefined, and its debug assertions may fire on it).
std::optional<Point> intersect_segments(Point p1, Point p2, Point p3, Point p4);

}  // namespace planix
