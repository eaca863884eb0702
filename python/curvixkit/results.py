"""The records queries return: elements, located points, crossings, units.

They are plain named tuples (fields unpack and compare as tuples); the
arrays they hold are new NumPy arrays owned by the caller.
"""

from __future__ import annotations

import math
from collections import namedtuple
from typing import Any, Dict, NamedTuple, Optional, Tuple

__all__ = ["Element", "Located", "LocatedAll", "Crossings", "Units", "Profile", "VerticalSegment",
           "VerticalCurve", "TurningPoint", "CantDesign", "PointChunk", "LocatedFile", "NetworkLocated",
           "BEFORE_START", "PAST_END", "TRANSITIONS"]

# The kinds of element whose curvature goes from one value to another: the
# clothoid (linearly) and the other transition curves, by their shape.
TRANSITIONS = ("clothoid", "bloss", "cosine", "sine", "helmert", "viennese", "cubic")

# Values of the ``beyond`` field of Located and LocatedAll.
BEFORE_START = -1
PAST_END = 1


class Element(NamedTuple):
    """One element of an alignment.

    ``kind`` is ``"line"``, ``"arc"`` or a transition curve (one of
    :data:`TRANSITIONS`): ``"clothoid"`` (curvature linear in the distance
    along it), ``"bloss"``, ``"cosine"``, ``"sine"``, ``"helmert"`` or
    ``"viennese"``, by the shape of its curvature between its end values,
    or ``"cubic"``, the cubic parabola whose y'' on its main tangent runs
    between them (its curvature there is a little less).
    Radii are positive, ``math.inf`` at a straight end; ``turn`` is +1 for a
    right-hand (clockwise) curve, -1 for a left-hand one, 0 for a line;
    curvatures are signed (positive to the right). ``A`` is the clothoid
    parameter sqrt(L / |k1 - k0|), ``None`` for the other kinds. Points are
    (x, y); azimuths in radians from north (+Y) towards east (+X), never
    wrapped. ``lean`` is a Viennese bend's gravity-centre height times its
    change of cant angle (0 for every other kind).
    """
    kind: str
    start_station: float
    end_station: float
    length: float
    start_radius: float
    end_radius: float
    turn: int
    A: Optional[float]
    start: Tuple[float, float]
    end: Tuple[float, float]
    start_azimuth: float
    end_azimuth: float
    start_curvature: float
    end_curvature: float
    lean: float = 0.0

    @property
    def is_transition(self) -> bool:
        """Whether the curvature changes along the element (a clothoid or
        another transition curve)."""
        return self.kind in TRANSITIONS

    @classmethod
    def from_engine(cls, t: tuple) -> "Element":
        """An element from the engine's tuple (kind, s0, s1, length, k0, k1,
        x0, y0, azimuth0, x1, y1, azimuth1, lean)."""
        kind, s0, s1, length, k0, k1, x0, y0, a0, x1, y1, a1, lean = t
        turn = 0
        if kind != "line":
            turn = 1 if (k0 if k0 != 0.0 else k1) > 0 else -1
        A = math.sqrt(length / abs(k1 - k0)) if kind == "clothoid" else None
        return cls(kind, s0, s1, length,
                   math.inf if k0 == 0.0 else 1.0 / abs(k0),
                   math.inf if k1 == 0.0 else 1.0 / abs(k1),
                   turn, A, (x0, y0), (x1, y1), a0, a1, k0, k1, lean)


class Located(NamedTuple):
    """The nearest point of the alignment: station, signed offset (positive to
    the right of the direction of travel; ``abs(offset) == distance``), distance,
    0-based element index (-1 where nothing was found), ``beyond``: 0 where
    the foot point lies on the alignment square to the point, -1
    (:data:`BEFORE_START`) or +1 (:data:`PAST_END`) where the point lies
    beyond that end, so that the station is the end's and the offset the
    distance to the end point, not a perpendicular offset; and ``dz``, the
    height of a 3D point above the design at its foot (the banked
    cross-section where there is cant; NaN for 2D points or without a
    profile)."""
    station: Any
    offset: Any
    distance: Any
    element: Any
    beyond: Any
    dz: Any


class NetworkLocated(NamedTuple):
    """The nearest point of the nearest alignment of a network: the fields of
    :class:`Located` as that alignment gives them, ``index`` the 0-based
    index of the alignment in the network and ``name`` its name (an object
    array for many points); -1 and None where nothing was found."""
    station: Any
    offset: Any
    distance: Any
    element: Any
    beyond: Any
    dz: Any
    index: Any
    name: Any


class LocatedAll(NamedTuple):
    """Every local minimum of the distance: ``query`` is the row of the query
    point each result belongs to; sorted by query, then by distance.
    ``beyond`` and ``dz`` as in :class:`Located`."""
    query: Any
    station: Any
    offset: Any
    distance: Any
    element: Any
    beyond: Any
    dz: Any


class Crossings(NamedTuple):
    """Every crossing of a line with the alignment, sorted by station: the
    point, the 0-based index of the polyline segment and the angle between the
    line and the tangent (radians, 0 to pi/2)."""
    station: Any
    x: Any
    y: Any
    segment: Any
    angle: Any


Units = namedtuple("Units", "system linear angular direction")
Units.__doc__ = """Units as a file states them: ``system`` "Metric" or
"Imperial" (None where the file says nothing), ``linear`` the linear unit as
written ("meter", "USSurveyFoot"), ``angular`` and ``direction`` the angle
units its angles were read in. Lengths and coordinates are kept in the
linear unit, never converted."""


class VerticalSegment(NamedTuple):
    """One piece of a profile: ``kind`` "line" (constant grade), "parabola",
    "arc" (a circle in the station-elevation plane) or "clothoid"; stations,
    elevations and grades (dz/ds) at both ends; radii where the kind has
    them (positive in a sag, negative on a crest, inf for none) and the
    0-based PVI of the curve it belongs to (None for a grade between curves)."""
    kind: str
    start_station: float
    end_station: float
    start_elevation: float
    end_elevation: float
    start_grade: float
    end_grade: float
    start_radius: float
    end_radius: float
    pvi: Optional[int]


class VerticalCurve(NamedTuple):
    """The vertical curve at PVI ``pvi``: ``kind`` "parabola",
    "asymmetric_parabola" or "arc", its station range, its horizontal and
    arc lengths, and the length its file stated (None where none)."""
    pvi: int
    kind: str
    start_station: float
    end_station: float
    horizontal_length: float
    arc_length: float
    stated_length: Optional[float]


class TurningPoint(NamedTuple):
    """A high or low point of a profile inside a vertical curve (grade 0)."""
    station: float
    elevation: float
    segment: int
    kind: str


class Profile(NamedTuple):
    """A vertical profile as built: its ``name`` in its file, the ``pvis``
    or ``segments_in`` it was built from (the other empty), the built
    ``segments``, the ``curves`` at the PVIs, its ``turning_points`` and
    ``overlaps`` (PVI, length: neighbouring curves that overlap by rounding),
    and what the reader did about its file's habits (``notes``)."""
    name: Optional[str]
    start_station: float
    end_station: float
    pvis: Tuple[tuple, ...]
    segments_in: Tuple[tuple, ...]
    segments: Tuple[VerticalSegment, ...]
    curves: Tuple[VerticalCurve, ...]
    turning_points: Tuple[TurningPoint, ...]
    overlaps: Tuple[Tuple[int, float], ...]
    notes: Tuple[str, ...]


class CantDesign(NamedTuple):
    """Applied cant: ``stations`` (station, signed cant in the linear unit,
    positive where the right rail is raised, and the shape of the transition
    that starts there), the ``gauge`` (rail head distance) and the rotation
    ``axis`` ("inside_rail", "centre", "outside_rail")."""
    name: Optional[str]
    stations: Tuple[Tuple[float, float, str], ...]
    gauge: float
    axis: str
    notes: Tuple[str, ...]


class PointChunk(NamedTuple):
    """Consecutive points of a point file: the file's ``names`` (columns or
    LAS dimensions, in file order), their values in ``columns`` (one NumPy
    array each: the text of a CSV cell, a LAS dimension as stored, a
    Parquet column), ``xyz`` the (N, 2) or (N, 3) float64 coordinates (NaN
    where a cell is empty or null) and ``axes`` the names they came from."""
    names: Tuple[str, ...]
    columns: Dict[str, Any]
    xyz: Any
    axes: Tuple[str, ...]


class LocatedFile(NamedTuple):
    """What :func:`curvixkit.points.locate_file` wrote: the ``format`` of
    the output, the ``points`` read and the ``rows`` written (fewer with
    ``max_distance``, more or fewer with ``all=True``), the ``added``
    column names."""
    destination: str
    format: str
    points: int
    rows: int
    added: Tuple[str, ...]
