"""Checks of an alignment against itself and against what its file states.

Per joint: the gap between an element's start and the end of the element
before, the kink between their tangents and the jump in curvature. Per
element (where a LandXML file stated them): how far the stated End lies from
the end of the element's own geometry, and how far the stated length lies
from the length its radius and angle imply. Real exports carry sub-millimetre
gaps and deliberate angle breaks (a line into a roundabout centre that leaves
it in another direction), so nothing here is an error: the figures are for a
person, and ``curvix check --tolerance`` compares :attr:`Diagnostics.max_gap`.

The module also holds the small exact element evaluator that the LandXML and
ICD writers use for alignments that exist only as element descriptions (the
engine answers the same for a built :class:`curvixkit.Alignment`).
"""

from __future__ import annotations

import math
from collections import namedtuple
from typing import Any, Iterable, List, Optional, Sequence, Tuple

__all__ = ["Diagnostics", "Joint", "ElementCheck", "Geometry", "element_geometry",
           "joint_and_element_checks", "of_alignment", "clothoid_local"]

Geometry = namedtuple("Geometry", "kind start_station length start_curvature end_curvature "
                                  "start end start_azimuth end_azimuth")
Geometry.__doc__ = """One element as evaluated: points (x, y), azimuths in
radians from north towards east, signed curvatures (positive right)."""


def clothoid_local(length: float, k0: float, k1: float) -> Tuple[float, float]:
    """``(along, right)`` displacement of the end of an element whose
    curvature runs linearly from ``k0`` to ``k1`` over ``length``, in the
    frame of its start tangent (``right`` positive to the right), as the
    engine evaluates it."""
    from curvixkit._alignment import Alignment
    if length == 0.0:
        return 0.0, 0.0
    end = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [
        {"kind": "clothoid", "length": length, "start_curvature": k0,
         "end_curvature": k1}]).elements[0].end
    return end[1], end[0]


def element_geometry(alignment: Any) -> List[Geometry]:
    """The elements of ``alignment`` as :class:`Geometry` records.

    ``alignment`` is a built :class:`curvixkit.Alignment` (its elements
    carry their evaluated ends) or anything with ``start_station``, ``x``,
    ``y``, ``azimuth`` and element mappings as ``Alignment.from_elements``
    takes them (a :class:`curvixkit.landxml.LandXMLAlignment`), evaluated
    here exactly.
    """
    elements = list(alignment.elements)
    if elements and hasattr(elements[0], "end_azimuth"):
        return [Geometry(e.kind, e.start_station, e.length, e.start_curvature, e.end_curvature,
                         tuple(e.start), tuple(e.end), e.start_azimuth, e.end_azimuth)
                for e in elements]
    from curvixkit._alignment import Alignment
    built = Alignment.from_elements(alignment.start_station, alignment.x, alignment.y,
                                    alignment.azimuth, elements)
    return element_geometry(built)


# ------------------------------------------------------------------ checks

Joint = namedtuple("Joint", "index station gap kink curvature_jump")
Joint.__doc__ = """The joint before element ``index`` (0-based): ``gap`` is the
distance from the end of element ``index - 1`` to the start of element
``index``, ``kink`` the signed angle from the tangent before to the tangent
after (radians, positive right), ``curvature_jump`` the curvature after
minus the curvature before."""

ElementCheck = namedtuple("ElementCheck", "index station line end_miss stated_length "
                                          "implied_length length_disagreement series_miss")
ElementCheck.__doc__ = """Element ``index`` against its file: ``end_miss`` the
distance from the stated End to the end of its geometry; ``implied_length``
the length its radius and angle imply (None where the file gives too little)
and ``length_disagreement`` that minus the stated length; ``series_miss`` for
ICD spirals the distance between the legacy series and the exact end."""


def _distance(p, q):
    return math.hypot(p[0] - q[0], p[1] - q[1])


def _angle_between(a, b):
    """Signed angle (b - a) brought into [-pi, pi]."""
    d = math.fmod(b - a, 2.0 * math.pi)
    if d > math.pi:
        d -= 2.0 * math.pi
    elif d < -math.pi:
        d += 2.0 * math.pi
    return d


def _azimuth(p, q):
    return math.atan2(q[0] - p[0], q[1] - p[1])


def implied_length(stated):
    """The length a stated element's own figures imply: a line its Start to
    End distance, a curve its radius times the angle at its Center (in its
    ``rot`` sense), a clothoid twice its turn (from Start, PI and End) over
    the sum of its end curvatures. None where the figures are missing."""
    if stated is None or stated.start is None or stated.end is None:
        return None
    if stated.kind == "Line":
        return _distance(stated.start, stated.end)
    if stated.kind == "Curve":
        if stated.center is None or stated.radius is None or math.isinf(stated.radius):
            return None
        sweep = stated.turn * _angle_between(_azimuth(stated.center, stated.start),
                                             _azimuth(stated.center, stated.end))
        if sweep < 0.0:
            sweep += 2.0 * math.pi
        return stated.radius * sweep
    if stated.kind == "Spiral" and stated.pi is not None:
        k_sum = sum(0.0 if math.isinf(r) else 1.0 / r
                    for r in (stated.radius_start, stated.radius_end))
        if k_sum == 0.0:
            return None
        turn = abs(_angle_between(_azimuth(stated.start, stated.pi), _azimuth(stated.pi, stated.end)))
        return 2.0 * turn / k_sum
    return None


class Diagnostics:
    """Joint and element checks; ``str()`` is an aligned text table."""

    def __init__(self, joints: Iterable[Any], elements: Iterable[Any],
                 unit: Optional[str] = None) -> None:
        self.joints = list(joints)
        self.elements = list(elements)
        self.unit = unit

    @staticmethod
    def _largest(values):
        values = [abs(v) for v in values if v is not None and not math.isnan(v)]
        return max(values) if values else 0.0

    @property
    def max_gap(self) -> float:
        """Largest distance between an element's start and the end of the one
        before (length unit); 0.0 without joints."""
        return self._largest(j.gap for j in self.joints)

    @property
    def max_kink(self) -> float:
        """Largest change of tangent azimuth at a joint (radians, absolute)."""
        return self._largest(j.kink for j in self.joints)

    @property
    def max_curvature_jump(self) -> float:
        """Largest jump of signed curvature at a joint (1/length unit, absolute)."""
        return self._largest(j.curvature_jump for j in self.joints)

    @property
    def max_end_miss(self) -> float:
        """Largest distance between an element's stated End (LandXML) and the
        end of its geometry; 0.0 where nothing was stated."""
        return self._largest(e.end_miss for e in self.elements)

    @property
    def max_length_disagreement(self) -> float:
        """Largest difference between a stated length and the length its
        radius and angle imply (absolute)."""
        return self._largest(e.length_disagreement for e in self.elements)

    def table(self) -> str:
        """The checks as an aligned text table (kinks in degrees, elements
        numbered from 1), with the largest values last."""
        def num(v, fmt):
            return "-" if v is None or (isinstance(v, float) and math.isnan(v)) else fmt % v
        unit = " (%s)" % self.unit if self.unit else ""
        lines = ["joints%s" % unit,
                 "%5s %16s %12s %14s %14s" % ("elem", "station", "gap", "kink_deg", "dk")]
        for j in self.joints:
            lines.append("%5d %16.4f %12.3e %14.8f %14.3e" % (
                j.index + 1, j.station, j.gap, math.degrees(j.kink), j.curvature_jump))
        lines.append("elements%s" % unit)
        lines.append("%5s %16s %6s %12s %14s %14s %12s" % (
            "elem", "station", "line", "end_miss", "length", "implied", "series"))
        for e in self.elements:
            lines.append("%5d %16.4f %6s %12s %14s %14s %12s" % (
                e.index + 1, e.station, num(e.line, "%d"), num(e.end_miss, "%.3e"),
                num(e.stated_length, "%.6f"), num(e.implied_length, "%.6f"),
                num(e.series_miss, "%.3e")))
        lines.append("largest: gap %.3e, kink %.8f deg, end miss %.3e, length disagreement %.3e"
                     % (self.max_gap, math.degrees(self.max_kink), self.max_end_miss,
                        self.max_length_disagreement))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()

    def __repr__(self) -> str:
        return "<Diagnostics %d joints, %d elements, max gap %.3e>" % (
            len(self.joints), len(self.elements), self.max_gap)


def joint_and_element_checks(alignment: Any, stated: Optional[Sequence[Any]] = None,
                             series: Optional[Sequence[Any]] = None,
                             unit: Optional[str] = None) -> Diagnostics:
    """:class:`Diagnostics` of ``alignment`` (see :func:`element_geometry`
    for what it may be). ``stated``: the per-element records a LandXML
    reader kept (defaults to ``alignment.stated`` where it has one);
    ``series``: end points of the same elements by another evaluation (the
    legacy spiral series), compared per element."""
    geometry = element_geometry(alignment)
    if stated is None:
        stated = getattr(alignment, "stated", None)
    joints = []
    for i in range(1, len(geometry)):
        before, after = geometry[i - 1], geometry[i]
        joints.append(Joint(i, after.start_station, _distance(before.end, after.start),
                            after.start_azimuth - before.end_azimuth,
                            after.start_curvature - before.end_curvature))
    checks = []
    for i, g in enumerate(geometry):
        s = stated[i] if stated is not None and i < len(stated) else None
        end_miss = _distance(s.end, g.end) if s is not None and s.end is not None else None
        implied = implied_length(s)
        stated_length = s.length if s is not None else None
        disagreement = (implied - stated_length
                        if implied is not None and stated_length is not None else None)
        series_miss = (_distance(series[i], g.end)
                       if series is not None and series[i] is not None else None)
        checks.append(ElementCheck(i, g.start_station, s.line if s is not None else None,
                                   end_miss, stated_length, implied, disagreement, series_miss))
    return Diagnostics(joints, checks, unit)


def of_alignment(alignment: Any) -> Diagnostics:
    """Diagnostics of a built :class:`curvixkit.Alignment`, with what its
    file stated (LandXML) or how far the legacy spiral series of its ICD file
    lies from the exact curve at the end of every spiral."""
    meta = getattr(alignment, "_meta", {})
    series = None
    if meta.get("source") == "icd" and meta.get("path") and meta.get("spirals") != "series":
        legacy = type(alignment).from_icd(meta["path"], spirals="series",
                                          strict=meta.get("strict", True))
        series = [tuple(e.end) if e.kind == "clothoid" else None for e in legacy.elements]
    units = meta.get("units")
    return joint_and_element_checks(alignment, stated=meta.get("stated"), series=series,
                                    unit=getattr(units, "linear", None))
