"""Plane helpers on (x, y) pairs shared by the readers, writers, checks and
design data: the only place these formulas are written.

Azimuths are radians from north (+Y) towards east (+X).
"""

from __future__ import annotations

import math
from typing import Optional, Sequence, Tuple

Point = Sequence[float]


def distance(p: Point, q: Point) -> float:
    """Distance from p to q."""
    return math.hypot(q[0] - p[0], q[1] - p[1])


def azimuth(p: Point, q: Point) -> float:
    """Azimuth of the direction from p to q."""
    return math.atan2(q[0] - p[0], q[1] - p[1])


def angle_between(a: float, b: float) -> float:
    """Signed angle b - a brought into [-pi, pi] (whole turns removed)."""
    d = math.fmod(b - a, 2.0 * math.pi)
    if d > math.pi:
        d -= 2.0 * math.pi
    elif d < -math.pi:
        d += 2.0 * math.pi
    return d


def near(reference: float, angle: float) -> float:
    """``angle`` moved by whole turns to lie within pi of ``reference``."""
    return reference + angle_between(reference, angle)


def tangent_intersection(p0: Point, a0: float, p1: Point,
                         a1: float) -> Optional[Tuple[float, float, float, float]]:
    """(x, y, t0, t1) where the line through p0 along azimuth a0 meets the
    line through p1 along a1: the point is p0 + t0 u0 = p1 - t1 u1 (u the
    unit directions), so t0 > 0 and t1 > 0 where the tangent ahead of p0
    meets the tangent behind p1. None for parallel lines."""
    p0 = (float(p0[0]), float(p0[1]))
    p1 = (float(p1[0]), float(p1[1]))
    u0 = (math.sin(a0), math.cos(a0))
    u1 = (math.sin(a1), math.cos(a1))
    det = u0[0] * u1[1] - u0[1] * u1[0]
    if det == 0.0:
        return None
    dx, dy = p1[0] - p0[0], p1[1] - p0[1]
    t0 = (dx * u1[1] - dy * u1[0]) / det
    t1 = (u0[0] * dy - u0[1] * dx) / det
    return p0[0] + t0 * u0[0], p0[1] + t0 * u0[1], t0, t1


def local_frame(origin: Point, a: float, p: Point) -> Tuple[float, float]:
    """(along, right) of p in the frame of the tangent through ``origin``
    along azimuth ``a`` (right positive to the right of travel)."""
    dx, dy = p[0] - origin[0], p[1] - origin[1]
    s, c = math.sin(a), math.cos(a)
    return dx * s + dy * c, dx * c - dy * s
