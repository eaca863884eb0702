"""Checks of an alignment's elements against each other and against what its
file states, on plain data (element records and what a reader kept).

Per joint: the gap between an element's start and the end of the element
before, the kink between their tangents (whole turns removed: a tangent
written one turn on is no kink) and the jump in curvature. Per element
(where a LandXML file stated them): how far the stated End lies from the end
of the element's own geometry, and how far the stated length lies from the
length its radius and angle imply. For the whole alignment: its stated length
against the sum of its elements.

Each figure has a threshold (:class:`Thresholds`, in the file's linear unit
and radians); :meth:`Diagnostics.exceedances` lists every figure above its
threshold, which ``curvix check`` reports with exit status 1. Real exports
carry sub-millimetre gaps, so the defaults allow a millimetre.
"""

from __future__ import annotations

import math
from collections import namedtuple
from typing import Any, Iterable, List, NamedTuple, Optional, Sequence

from curvixkit import _plane
from curvixkit.results import TRANSITIONS

__all__ = ["Diagnostics", "Joint", "ElementCheck", "PviCheck", "Thresholds", "Exceedance",
           "check", "profile_checks", "implied_length"]

Joint = namedtuple("Joint", "index station gap kink curvature_jump")
Joint.__doc__ = """The joint before element ``index`` (0-based): ``gap`` is the
distance from the end of element ``index - 1`` to the start of element
``index``, ``kink`` the signed angle from the tangent before to the tangent
after (radians, positive right, in [-pi, pi]), ``curvature_jump`` the
curvature after minus the curvature before."""

ElementCheck = namedtuple("ElementCheck", "index station line end_miss stated_length "
                                          "implied_length length_disagreement series_miss")
ElementCheck.__doc__ = """Element ``index`` against its file: ``end_miss`` the
distance from the stated End to the end of its geometry; ``implied_length``
the length its radius and angle imply (None where the file gives too little)
and ``length_disagreement`` that minus the stated length; ``series_miss`` for
ICD spirals the distance between the legacy series and the exact end."""


class Thresholds(NamedTuple):
    """The largest figures :meth:`Diagnostics.exceedances` lets pass (equal
    passes): ``gap`` and ``end_miss`` (linear unit), ``kink`` (radians),
    ``curvature_jump`` (1/linear unit, checked only at joints with a
    clothoid on either side, which exists to make the curvature continuous;
    a straight into an arc is a designed jump), ``length_misfit`` (linear
    unit: a stated element length against its radius and angle, the
    alignment's stated length against the sum of its elements, and a
    vertical curve's stated length against both its arc and its horizontal
    length), ``grade_jump`` (dimensionless: the change of grade at a PVI
    without a vertical curve)."""
    gap: float = 0.001
    kink: float = math.radians(0.01)
    end_miss: float = 0.001
    curvature_jump: float = 1e-6
    length_misfit: float = 0.001
    grade_jump: float = 0.001


class Exceedance(NamedTuple):
    """One figure above its threshold: ``check`` names it ("gap", "kink",
    "end_miss", "curvature_jump", "length_misfit", "alignment_length",
    "grade_jump", "curve_length"),
    ``element`` the 0-based element (the one after a joint; for the profile
    the 0-based PVI; None for the whole alignment), ``station`` where, ``value`` the figure (signed where
    it has a sign) and ``limit`` the threshold it exceeds."""
    check: str
    element: Optional[int]
    station: float
    value: float
    limit: float


def implied_length(stated: Any) -> Optional[float]:
    """The length a stated element's own figures imply: a line its Start to
    End distance, a curve its radius times the angle at its Center (in its
    ``rot`` sense), a clothoid twice its turn (from Start, PI and End) over
    the sum of its end curvatures. None where the figures are missing."""
    if stated is None or stated.start is None or stated.end is None:
        return None
    if stated.kind == "Line":
        return _plane.distance(stated.start, stated.end)
    if stated.kind == "Curve":
        if stated.center is None or stated.radius is None or math.isinf(stated.radius):
            return None
        sweep = stated.turn * _plane.angle_between(_plane.azimuth(stated.center, stated.start),
                                                   _plane.azimuth(stated.center, stated.end))
        if sweep < 0.0:
            sweep += 2.0 * math.pi
        return stated.radius * sweep
    if stated.kind == "Spiral" and stated.pi is not None:
        k_sum = sum(0.0 if math.isinf(r) else 1.0 / r
                    for r in (stated.radius_start, stated.radius_end))
        if k_sum == 0.0:
            return None
        turn = abs(_plane.angle_between(_plane.azimuth(stated.start, stated.pi),
                                        _plane.azimuth(stated.pi, stated.end)))
        return 2.0 * turn / k_sum
    return None


def _largest(values: Iterable[Optional[float]]) -> float:
    kept = [abs(v) for v in values if v is not None and not math.isnan(v)]
    return max(kept) if kept else 0.0


class Diagnostics:
    """Joint and element checks; ``str()`` is an aligned text table."""

    def __init__(self, joints: Iterable[Any], elements: Iterable[Any],
                 unit: Optional[str] = None, stated_length: Optional[float] = None,
                 length: Optional[float] = None, kinds: Sequence[str] = (),
                 thresholds: Optional[Thresholds] = None, pvis: Iterable[Any] = (),
                 notes: Iterable[str] = ()) -> None:
        self.joints = list(joints)
        self.elements = list(elements)
        self.pvis = list(pvis)
        self.notes = list(notes)
        self.unit = unit
        self.stated_length = stated_length
        self.length = length
        self.kinds = tuple(kinds)
        self.thresholds = thresholds if thresholds is not None else Thresholds()

    @property
    def max_gap(self) -> float:
        """Largest distance between an element's start and the end of the one
        before (length unit); 0.0 without joints."""
        return _largest(j.gap for j in self.joints)

    @property
    def max_kink(self) -> float:
        """Largest change of tangent direction at a joint (radians, absolute)."""
        return _largest(j.kink for j in self.joints)

    @property
    def max_curvature_jump(self) -> float:
        """Largest jump of signed curvature at a joint (1/length unit, absolute)."""
        return _largest(j.curvature_jump for j in self.joints)

    @property
    def max_end_miss(self) -> float:
        """Largest distance between an element's stated End (LandXML) and the
        end of its geometry; 0.0 where nothing was stated."""
        return _largest(e.end_miss for e in self.elements)

    @property
    def max_length_disagreement(self) -> float:
        """Largest difference between a stated length and the length its
        radius and angle imply (absolute)."""
        return _largest(e.length_disagreement for e in self.elements)

    @property
    def length_disagreement(self) -> Optional[float]:
        """The alignment's stated length minus the sum of its elements (None
        where no length is stated)."""
        if self.stated_length is None or self.length is None:
            return None
        return self.stated_length - self.length

    def exceedances(self, thresholds: Optional[Thresholds] = None) -> List[Exceedance]:
        """Every figure above its threshold (``thresholds``, else the ones
        the checks were made with), in station order per check."""
        t = thresholds if thresholds is not None else self.thresholds
        out = []
        for j in self.joints:
            if j.gap > t.gap:
                out.append(Exceedance("gap", j.index, j.station, j.gap, t.gap))
            if abs(j.kink) > t.kink:
                out.append(Exceedance("kink", j.index, j.station, j.kink, t.kink))
            spiral = any(k in TRANSITIONS for k in self.kinds[max(j.index - 1, 0):j.index + 1])
            if spiral and abs(j.curvature_jump) > t.curvature_jump:
                out.append(Exceedance("curvature_jump", j.index, j.station, j.curvature_jump,
                                      t.curvature_jump))
        for e in self.elements:
            if e.end_miss is not None and e.end_miss > t.end_miss:
                out.append(Exceedance("end_miss", e.index, e.station, e.end_miss, t.end_miss))
            if e.length_disagreement is not None and abs(e.length_disagreement) > t.length_misfit:
                out.append(Exceedance("length_misfit", e.index, e.station, e.length_disagreement,
                                      t.length_misfit))
        total = self.length_disagreement
        if total is not None and abs(total) > t.length_misfit:
            start = self.elements[0].station if self.elements else math.nan
            out.append(Exceedance("alignment_length", None, start, total, t.length_misfit))
        for p in self.pvis:
            if p.grade_jump is not None and abs(p.grade_jump) > t.grade_jump:
                out.append(Exceedance("grade_jump", p.index, p.station, p.grade_jump,
                                      t.grade_jump))
            if p.length_misfit is not None and abs(p.length_misfit) > t.length_misfit:
                out.append(Exceedance("curve_length", p.index, p.station, p.length_misfit,
                                      t.length_misfit))
        return out

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
        if self.stated_length is not None and self.length is not None:
            lines.append("alignment length: stated %.6f, elements %.6f, difference %.3e"
                         % (self.stated_length, self.length, self.stated_length - self.length))
        if self.pvis:
            lines.append("profile")
            lines.append("%5s %16s %14s %14s %12s" % ("pvi", "station", "grade_jump", "overlap",
                                                     "length_miss"))
            for p in self.pvis:
                lines.append("%5d %16.4f %14s %14s %12s" % (
                    p.index + 1, p.station, num(p.grade_jump, "%.6f"), num(p.overlap, "%.3e"),
                    num(p.length_misfit, "%.3e")))
        for note in self.notes:
            lines.append("note: %s" % note)
        lines.append("largest: gap %.3e, kink %.8f deg, end miss %.3e, length disagreement %.3e"
                     % (self.max_gap, math.degrees(self.max_kink), self.max_end_miss,
                        self.max_length_disagreement))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()

    def __repr__(self) -> str:
        return "<Diagnostics %d joints, %d elements, max gap %.3e>" % (
            len(self.joints), len(self.elements), self.max_gap)


PviCheck = namedtuple("PviCheck", "index station grade_jump overlap length_misfit")
PviCheck.__doc__ = """PVI ``index`` (0-based) of the profile: ``grade_jump`` the
change of grade there where it has no vertical curve (None where it has
one, and at the ends), ``overlap`` how far its curve overlaps the next one
(by rounding: a larger overlap is refused when the profile is built),
``length_misfit`` the smaller difference of its curve's stated length from
its arc and from its horizontal length (None where none is stated)."""


def profile_checks(profile: Any) -> List[Any]:
    """:class:`PviCheck` records of a :class:`curvixkit.results.Profile`
    built from PVIs (none for one built from segments)."""
    if profile is None or not profile.pvis:
        return []
    pvis = profile.pvis
    curves = {c.pvi: c for c in profile.curves}
    overlaps = dict(profile.overlaps)
    out = []
    for i, p in enumerate(pvis):
        jump = None
        if 0 < i < len(pvis) - 1 and i not in curves:
            jump = ((pvis[i + 1][1] - p[1]) / (pvis[i + 1][0] - p[0])
                    - (p[1] - pvis[i - 1][1]) / (p[0] - pvis[i - 1][0]))
        c = curves.get(i)
        misfit = None
        if c is not None and c.stated_length is not None:
            misfit = min(c.stated_length - c.arc_length, c.stated_length - c.horizontal_length,
                         key=abs)
        out.append(PviCheck(i, p[0], jump, overlaps.get(i), misfit))
    return out


def check(elements: Sequence[Any], stated: Optional[Sequence[Any]] = None,
          series: Optional[Sequence[Any]] = None, stated_length: Optional[float] = None,
          unit: Optional[str] = None, thresholds: Optional[Thresholds] = None,
          profile: Any = None, notes: Iterable[str] = ()) -> Diagnostics:
    """:class:`Diagnostics` of ``elements`` (records with ``kind``,
    ``start_station``, ``length``, ``start``/``end`` points,
    ``start_azimuth``/``end_azimuth`` and ``start_curvature``/``end_curvature``,
    such as :class:`curvixkit.results.Element`). ``stated``: the per-element
    records a LandXML reader kept; ``series``: end points of the same
    elements by another evaluation (the legacy spiral series), compared per
    element; ``stated_length``: the alignment's own stated length;
    ``profile`` a :class:`curvixkit.results.Profile` whose PVIs are checked;
    ``notes`` what the reader did about the file's habits."""
    geometry = list(elements)
    joints = []
    for i in range(1, len(geometry)):
        before, after = geometry[i - 1], geometry[i]
        joints.append(Joint(i, after.start_station, _plane.distance(before.end, after.start),
                            _plane.angle_between(before.end_azimuth, after.start_azimuth),
                            after.start_curvature - before.end_curvature))
    checks = []
    for i, g in enumerate(geometry):
        s = stated[i] if stated is not None and i < len(stated) else None
        end_miss = _plane.distance(s.end, g.end) if s is not None and s.end is not None else None
        implied = implied_length(s)
        length = s.length if s is not None else None
        disagreement = implied - length if implied is not None and length is not None else None
        series_miss = (_plane.distance(series[i], g.end)
                       if series is not None and series[i] is not None else None)
        checks.append(ElementCheck(i, g.start_station, s.line if s is not None else None,
                                   end_miss, length, implied, disagreement, series_miss))
    total = sum(g.length for g in geometry)
    return Diagnostics(joints, checks, unit, stated_length, total,
                       [g.kind for g in geometry], thresholds, profile_checks(profile), notes)
