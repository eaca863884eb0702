"""Curve groups, key points and curve data of an alignment, each formula
once, on the engine's queries (points, tangents, local minima).

A *curve group* is a run of curved elements turning one way between two
straights (or two points of zero curvature): a clothoid into the curve, the
circular arc, a clothoid out of it, each of them optional. Where the group is
of that shape (one radius R shared by the arc and the ends of both spirals,
the spirals running from and to a straight) its tangent lengths and external
distance come from the closed forms of the clothoid-arc-clothoid curve;
other groups (compound curves, spirals between two radii) get the same
figures from their geometry.

Closed forms, for a clothoid of length L from a straight to radius R
(tau = L / 2R its tangent angle, (x, y) its end in the frame of the
straight's tangent, as the engine placed the element):

    shift            p = y - R (1 - cos tau)
    tangent offset   q = x - R sin tau

and for the group with deflection D = (L1/2 + Lc + L2/2) / R:

    T1 = (R + p1) tan(D/2) + q1 - (p1 - p2) / sin D
    T2 = (R + p2) tan(D/2) + q2 + (p1 - p2) / sin D
    E  = |PI - C| - R,   which for p1 == p2 == p is (R + p) / cos(D/2) - R

where C is the centre of the shifted circle. T1 runs from the first tangent
point (TS, or PC without a spiral) to the point of intersection of the
tangents (PI), T2 from PI to the last (ST or PT); E is the shortest distance
from PI to the curve. The closed form gives it where the circle's point
nearest PI lies on the arc (always for symmetric groups); otherwise (a
lopsided group, spirals without an arc between them) the nearest point lies
on a spiral and E is found on the geometry.

Key point names come in two sets, chosen by ``names``:

=========================  ======  =====
point                      ``us``  ``cn``
=========================  ======  =====
straight to spiral         TS      ZH
spiral to arc              SC      HY
curve midpoint (by length) CM      QZ
arc to spiral              CS      YH
spiral to straight         ST      HZ
straight to arc            PC      ZY
arc to straight            PT      YZ
arc to arc (compound)      PCC     GQ
spiral to spiral in curve  SCS     HH
start / end on a straight  POT     QD / ZD
=========================  ======  =====
"""

from __future__ import annotations

import math
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from curvixkit import _plane

__all__ = ["KeyPoint", "CurveGroup", "curve_groups", "key_points", "spiral_end",
           "shift_and_offset", "NAME_SETS"]

NAME_SETS = {
    "us": {"start_spiral": "TS", "spiral_arc": "SC", "mid": "CM", "arc_spiral": "CS",
           "end_spiral": "ST", "start_arc": "PC", "end_arc": "PT", "arc_arc": "PCC",
           "spiral_spiral": "SCS", "begin": "POT", "finish": "POT"},
    "cn": {"start_spiral": "ZH", "spiral_arc": "HY", "mid": "QZ", "arc_spiral": "YH",
           "end_spiral": "HZ", "start_arc": "ZY", "end_arc": "YZ", "arc_arc": "GQ",
           "spiral_spiral": "HH", "begin": "QD", "finish": "ZD"},
}

# Radii of an arc and the spiral ends beside it are taken as one where they
# agree to this relative difference (file values are rounded).
RADIUS_TOLERANCE = 1e-9


class KeyPoint(NamedTuple):
    """A named point: internal station, x, y, tangent azimuth (radians from
    north, clockwise) and the 1-based curve group (0 for the alignment ends)."""
    name: str
    station: float
    x: float
    y: float
    azimuth: float
    group: int


class CurveGroup(NamedTuple):
    """One curve group and its design data.

    ``kind`` is ``"spiral-arc-spiral"``, ``"spiral-spiral"``, ``"arc"``,
    ``"spiral-arc"``, ``"arc-spiral"``, ``"spiral"`` or ``"compound"``;
    ``elements`` the 0-based indices of its elements; ``turn`` +1 right, -1
    left. ``R`` is the arc radius (the smallest radius for a compound group);
    ``A1``/``L1`` and ``A2``/``L2`` the clothoids into and out of the curve
    (``None`` and 0.0 where there is none); ``Lc`` the length of circular arc.
    ``deflection`` is the angle between the tangents (radians, positive);
    ``p1, q1, p2, q2`` the shifts and tangent offsets (``None`` for compound
    groups); ``T1``, ``T2``, ``E`` the tangent lengths and external distance
    and ``pi`` the point of intersection (NaN / ``None`` where the tangents do
    not meet ahead, a deflection of 180 degrees or more); ``closed_form`` says
    whether they come from the closed forms. ``key_points`` in station order.
    """
    index: int  # type: ignore[assignment]  # the field shadows tuple.index
    kind: str
    elements: Tuple[int, ...]
    turn: int
    start_station: float
    end_station: float
    R: float
    A1: Optional[float]
    L1: float
    A2: Optional[float]
    L2: float
    Lc: float
    deflection: float
    p1: Optional[float]
    q1: Optional[float]
    p2: Optional[float]
    q2: Optional[float]
    T1: float
    T2: float
    E: float
    pi: Optional[Tuple[float, float]]
    closed_form: bool
    key_points: Tuple[KeyPoint, ...]


# ---------------------------------------------------------------- closed forms

def spiral_end(spiral: Any, into: bool) -> Tuple[float, float]:
    """(x, y) of a clothoid's curve end in the frame of its straight end's
    tangent: ``x`` along it, ``y`` off it (positive), as the engine placed
    the element. ``into``: the clothoid runs from the straight into the
    curve (else out of it, and its frame looks back from its end)."""
    if into:
        x, y = _plane.local_frame(spiral.start, spiral.start_azimuth, spiral.end)
    else:
        x, y = _plane.local_frame(spiral.end, spiral.end_azimuth + math.pi, spiral.start)
    return x, abs(y)


def shift_and_offset(spiral: Any, radius: float, into: bool) -> Tuple[float, float]:
    """Shift p and tangent offset q of a clothoid between a straight and
    ``radius`` (both 0 for no clothoid, ``spiral`` None)."""
    if spiral is None or spiral.length == 0.0:
        return 0.0, 0.0
    x, y = spiral_end(spiral, into)
    tau = spiral.length / (2.0 * radius)
    return y - radius * (1.0 - math.cos(tau)), x - radius * math.sin(tau)


def _closed_form(R: float, into: Any, Lc: float, out: Any) -> Tuple[float, ...]:
    """(deflection, p1, q1, p2, q2, T1, T2, E) of a clothoid-arc-clothoid
    group (``into``, ``out`` its clothoids or None)."""
    L1 = into.length if into is not None else 0.0
    L2 = out.length if out is not None else 0.0
    D = (0.5 * L1 + Lc + 0.5 * L2) / R
    p1, q1 = shift_and_offset(into, R, True)
    p2, q2 = shift_and_offset(out, R, False)
    if D >= math.pi:
        return D, p1, q1, p2, q2, math.nan, math.nan, math.nan
    skew = (p1 - p2) / math.sin(D)
    half = math.tan(0.5 * D)
    T1 = (R + p1) * half + q1 - skew
    T2 = (R + p2) * half + q2 + skew
    # PI seen from the centre C = (q1, R + p1) in the frame of the first
    # tangent; the circle's point nearest PI has tangent angle theta there.
    E = math.hypot(T1 - q1, R + p1) - R
    theta = math.atan2(T1 - q1, R + p1)
    slack = 1e-12 * max(D, 1.0)
    if not L1 / (2 * R) - slack <= theta <= D - L2 / (2 * R) + slack:
        E = math.nan  # that point is off the arc: the curve is nearer than the circle
    return D, p1, q1, p2, q2, T1, T2, E


# ---------------------------------------------------------------- grouping

def _split_groups(elements: Sequence[Any]) -> List[List[int]]:
    """Runs of curved elements of one hand, split where the curvature
    passes through zero or changes sign."""
    groups = []  # type: List[List[int]]
    current = []  # type: List[int]
    for k, e in enumerate(elements):
        if e.kind == "line":
            if current:
                groups.append(current)
            current = []
            continue
        if current:
            prev = elements[current[-1]]
            if prev.turn != e.turn or prev.end_curvature == 0.0 or e.start_curvature == 0.0:
                groups.append(current)
                current = []
        current.append(k)
    if current:
        groups.append(current)
    return groups


def _same_radius(a: float, b: float) -> bool:
    return abs(a - b) <= RADIUS_TOLERANCE * max(a, b)


def _simple_shape(els: Sequence[Any]) -> Optional[Tuple[str, float, Any, float, Any]]:
    """(kind, R, clothoid into, Lc, clothoid out) where the group is
    clothoid? arc? clothoid? with the clothoids from and to a straight and
    one radius; else None."""
    parts = list(els)
    into = out = None
    if parts and parts[0].kind == "clothoid" and parts[0].start_curvature == 0.0:
        into = parts.pop(0)
    if parts and parts[-1].kind == "clothoid" and parts[-1].end_curvature == 0.0:
        out = parts.pop()
    if len(parts) > 1 or parts and parts[0].kind != "arc":
        return None
    arc = parts[0] if parts else None
    radii = ([arc.start_radius] if arc else []) + ([into.end_radius] if into else []) \
        + ([out.start_radius] if out else [])
    if not radii or not all(_same_radius(radii[0], r) for r in radii):
        return None
    kind = "-".join(name for name, e in (("spiral", into), ("arc", arc), ("spiral", out)) if e)
    return (kind, radii[0], into, arc.length if arc else 0.0, out)


def _tangent_intersection(p0: Tuple[float, float], a0: float, p1: Tuple[float, float],
                          a1: float) -> Optional[Tuple[float, float, float, float]]:
    """(x, y, T1, T2) where the tangent ahead of p0 meets the tangent behind
    p1 (azimuths a0, a1), or None where they do not meet in front."""
    meet = _plane.tangent_intersection(p0, a0, p1, a1)
    if meet is None or not (meet[2] > 0 and meet[3] > 0):
        return None
    return meet


def _nearest_distance(alignment: Any, point: Tuple[float, float], s0: float, s1: float) -> float:
    """Smallest distance from ``point`` to the alignment between stations
    s0 and s1: the engine's local minima of the distance that lie there,
    and the two ends."""
    found = alignment.locate(point, all=True)
    inside = (found.station >= s0) & (found.station <= s1)
    ends = alignment.point(np.array([s0, s1]))
    d_ends = np.hypot(ends[:, 0] - point[0], ends[:, 1] - point[1])
    return float(np.nanmin(np.concatenate([found.distance[inside], d_ends])))


def _junction_name(before: Any, after: Any, names: dict) -> str:
    if before.kind == "arc":
        return names["arc_arc"] if after.kind == "arc" else names["arc_spiral"]
    return names["spiral_arc"] if after.kind == "arc" else names["spiral_spiral"]


def _check_names(names: str) -> dict:
    if names not in NAME_SETS:
        raise ValueError("names must be 'us' or 'cn', got %r" % (names,))
    return NAME_SETS[names]


def curve_groups(alignment: Any, names: str = "us") -> List[CurveGroup]:
    """The curve groups of ``alignment`` (a :class:`curvixkit.Alignment`) in
    station order, each with its design data and key points (named by the
    ``"us"`` or ``"cn"`` set; see the module table)."""
    table = _check_names(names)
    elements = alignment.elements
    out = []
    for index, ks in enumerate(_split_groups(elements), 1):
        els = [elements[k] for k in ks]
        first, last = els[0], els[-1]
        s0, s1 = first.start_station, last.end_station
        # Key stations: start, joints, midpoint, end.
        marks = [(table["start_spiral" if first.is_transition else "start_arc"], s0)]
        for before, after in zip(els, els[1:]):
            marks.append((_junction_name(before, after, table), after.start_station))
        marks.append((table["mid"], 0.5 * (s0 + s1)))
        marks.append((table["end_spiral" if last.is_transition else "end_arc"], s1))
        marks.sort(key=lambda m: m[1])
        stations = np.array([m[1] for m in marks])
        xy = alignment.point(stations)
        az = np.asarray(alignment.azimuth(stations))
        # The ends are the elements' own end points (the last station of an
        # alignment can lie a rounding beyond its end).
        xy[0], xy[-1] = first.start, last.end
        az[0], az[-1] = first.start_azimuth, last.end_azimuth
        kps = tuple(KeyPoint(name, float(s), float(p[0]), float(p[1]), float(a), index)
                    for (name, s), p, a in zip(marks, xy, az))

        shape = _simple_shape(els)
        meet = _tangent_intersection(first.start, first.start_azimuth, last.end,
                                     last.end_azimuth)
        spiral_in = first if first.is_transition else None
        spiral_out = last if last.is_transition else None
        if shape is not None:
            kind, R, into, Lc, out_spiral = shape
            L1 = into.length if into is not None else 0.0
            L2 = out_spiral.length if out_spiral is not None else 0.0
            D, p1, q1, p2, q2, T1, T2, E = _closed_form(R, into, Lc, out_spiral)
            if shape[0] == "spiral":  # one spiral alone: in or out
                spiral_in = first if first.start_curvature == 0.0 else None
                spiral_out = None if spiral_in else first
                L1, L2 = (L1, 0.0) if spiral_in else (0.0, L2)
            pi = (meet[0], meet[1]) if meet is not None and math.isfinite(T1) else None
            if pi is not None and math.isnan(E):
                E = _nearest_distance(alignment, pi, s0, s1)
            closed = True
        else:
            kind, closed = "compound", False
            R = min(min(e.start_radius, e.end_radius) for e in els)
            L1 = spiral_in.length if spiral_in else 0.0
            L2 = spiral_out.length if spiral_out else 0.0
            Lc = sum(e.length for e in els if e.kind == "arc")
            D = abs(last.end_azimuth - first.start_azimuth)
            p1 = q1 = p2 = q2 = None  # type: ignore[assignment]  # no shifts for compound groups
            if meet is None:
                T1 = T2 = E = math.nan
                pi = None
            else:
                T1, T2 = meet[2], meet[3]
                pi = (meet[0], meet[1])
                E = _nearest_distance(alignment, pi, s0, s1)
        out.append(CurveGroup(index, kind, tuple(ks), first.turn, s0, s1, R,
                              spiral_in.A if spiral_in else None, L1,
                              spiral_out.A if spiral_out else None, L2, Lc, D,
                              p1, q1, p2, q2, T1, T2, E, pi, closed, kps))
    return out


def key_points(alignment: Any, names: str = "us",
               groups: Optional[Sequence[CurveGroup]] = None) -> List[KeyPoint]:
    """Every key point of ``alignment`` in station order: the curve groups'
    points and, where the alignment starts or ends on a straight, its ends
    (POT, or QD / ZD). Points of two groups that meet (a reverse curve
    without a straight between) are both kept, at one station."""
    table = _check_names(names)
    if groups is None:
        groups = curve_groups(alignment, names)
    elements = alignment.elements
    out = []  # type: List[KeyPoint]
    if not elements:
        return out
    first, last = elements[0], elements[-1]
    if first.kind == "line":
        out.append(KeyPoint(table["begin"], first.start_station, first.start[0], first.start[1],
                            first.start_azimuth, 0))
    for g in groups:
        out.extend(g.key_points)
    if last.kind == "line":
        out.append(KeyPoint(table["finish"], last.end_station, last.end[0], last.end[1],
                            last.end_azimuth, 0))
    out.sort(key=lambda p: p.station)
    return out
