"""Stake-out plans: stations every step, the key points of the curves and
stations the caller names, each with its offset stakes.

For every row and every offset (positive to the right of the direction of
travel) a row gives the point, the azimuth of the offset line there and its
signed radius (positive where it turns right, ``inf`` on a straight). The
offset line at offset o of a centre line of curvature k has the radius
1/k - o: on the inside of a curve an offset beyond the centre (o k > 1)
gives a line that runs backwards (its azimuth is the centre line's plus
pi, its radius changes sign), and an offset equal to the radius shrinks it
to a point. :func:`make_plan` finds where that happens before any row is
computed and warns (:class:`~curvixkit.errors.OffsetWarning`) naming the
stations and the radius, or refuses with ``beyond_centre="refuse"``.

The rows are computed a chunk of stations at a time with NumPy and written
as they come, so a run of a million rows keeps its memory flat.

Stations: the grid is the multiples of ``step`` in *display* stations (those
of the station equations, which stakes show), region by region (see
:func:`curvixkit.stations.station_grid`); ``start``, ``end`` and ``at`` are
display stations too. Rows carry internal stations for the geometry and
display stations for the chainage text.
"""

from __future__ import annotations

import math
import warnings
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from curvixkit import design
from curvixkit.angles import ANGLE_UNITS, angle_value, format_angle
from curvixkit.errors import OffsetWarning, SettingOutError, StationError
from curvixkit.stations import (CHUNK, MAX_ROWS, MERGE_TOLERANCE, STYLES, count_grid_rows,
                                format_station, merge_marks, station_grid)

__all__ = ["Plan", "Chunk", "make_plan", "iter_chunks", "write_table", "write_csv",
           "offset_radius", "inside_reaches", "MAX_STAKES", "BEYOND_CENTRE"]

MAX_STAKES = 30000000
BEYOND_CENTRE = ("warn", "refuse", "allow")


class Plan(NamedTuple):
    """What a stake-out covers: internal stations ``start``..``end``, the
    display grid ``step``, the offsets, the named stations (sorted internal
    stations with their names; '' for ``at`` stations and range ends), the
    chainage ``style``, the key point names and the number of ``rows``."""
    start: float
    end: float
    step: float
    offsets: Tuple[float, ...]
    named: Tuple[float, ...]
    names: Tuple[str, ...]
    style: str
    keypoints: str
    rows: int
    profile: bool = False
    cant: bool = False


class Chunk(NamedTuple):
    """Rows of consecutive stations: ``station`` and ``display`` (n,),
    ``chainage`` and ``names`` (n strings), ``xy`` (n, offsets, 2),
    ``tangent`` and ``curvature`` of the centre line (n,), per stake the
    offset line's ``azimuth`` and signed ``radius`` and the design surface's
    elevation ``z`` (banked where there is cant; NaN without a profile)
    (n, offsets), and the ``cant`` (n,)."""
    station: np.ndarray
    display: np.ndarray
    chainage: List[str]
    names: List[str]
    xy: np.ndarray
    tangent: np.ndarray
    curvature: np.ndarray
    azimuth: np.ndarray
    radius: np.ndarray
    z: np.ndarray
    cant: np.ndarray


class InsideReach(NamedTuple):
    """Where offset ``offset`` reaches or passes the centre of a curve:
    internal stations ``start``..``end`` and the smallest radius there."""
    offset: float
    start: float
    end: float
    radius: float


def _internal(alignment: Any, value: float, what: str) -> float:
    try:
        return float(alignment.stations.from_display(value))
    except StationError as exc:
        raise SettingOutError("%s: %s" % (what, exc)) from None


def inside_reaches(alignment: Any, start: float, end: float,
                   offsets: Sequence[float]) -> List[InsideReach]:
    """The stretches of [start, end] where an offset lies at or beyond the
    centre of the curve on its inside (o k >= 1), from the elements'
    curvatures (linear along each element, so each stretch is exact)."""
    out = []  # type: List[InsideReach]
    for o in offsets:
        if o == 0.0:
            continue
        for e in alignment.elements:
            lo, hi = max(e.start_station, start), min(e.end_station, end)
            if hi < lo or e.kind == "line":
                continue

            def reach(s: float) -> float:  # o k - 1 at station s
                t = (s - e.start_station) / e.length if e.length > 0 else 0.0
                return o * (e.start_curvature + (e.end_curvature - e.start_curvature) * t) - 1.0

            f_lo, f_hi = reach(lo), reach(hi)
            if f_lo < 0 and f_hi < 0:
                continue
            a, b = lo, hi
            if f_lo < 0:   # o k rises through 1 inside: where it reaches 1
                a = lo + (hi - lo) * (-f_lo) / (f_hi - f_lo)
            elif f_hi < 0:
                b = lo + (hi - lo) * f_lo / (f_lo - f_hi)
            k_most = max(abs(e.start_curvature), abs(e.end_curvature)) if e.is_transition \
                else abs(e.start_curvature)
            if out and out[-1].offset == o and a - out[-1].end <= MERGE_TOLERANCE:
                last = out.pop()
                out.append(last._replace(end=b, radius=min(last.radius, 1.0 / k_most)))
            else:
                out.append(InsideReach(o, a, b, 1.0 / k_most))
    return out


def make_plan(alignment: Any, start: Optional[float] = None, end: Optional[float] = None,
              step: float = 20.0, offsets: Sequence[float] = (0.0,), at: Sequence[float] = (),
              keypoints: str = "us", style: Optional[str] = None,
              beyond_centre: str = "warn") -> Plan:
    """Check the arguments against ``alignment`` (display stations in) and
    gather the named stations: the range ends, ``at``, the station
    equations (named EQ) and the curves' key points. ``style`` defaults to
    the alignment's own (its station map's). Offsets that reach the centre
    of a curve on its inside give an :class:`OffsetWarning`
    (``beyond_centre="warn"``), a :class:`SettingOutError`
    (``"refuse"``) or nothing (``"allow"``). Raises
    :class:`SettingOutError` naming the argument."""
    s0, s1 = alignment.start_station, alignment.end_station
    lo = s0 if start is None else _internal(alignment, start, "start")
    hi = s1 if end is None else _internal(alignment, end, "end")
    smap = alignment.stations
    if lo > hi:
        raise SettingOutError("start %s is after end %s" % (smap.format(lo), smap.format(hi)))
    if not (isinstance(step, (int, float)) and math.isfinite(step) and step > 0):
        raise SettingOutError("step must be a positive number, got %r" % (step,))
    offsets = tuple(float(o) for o in offsets)
    if not offsets or not all(math.isfinite(o) for o in offsets) or len(set(offsets)) != len(offsets):
        raise SettingOutError("offsets must be finite and each given once, got %r" % (offsets,))
    if beyond_centre not in BEYOND_CENTRE:
        raise SettingOutError("beyond_centre must be one of %s, got %r"
                              % (", ".join(BEYOND_CENTRE), beyond_centre))
    style = smap.style if style is None else style
    if style not in STYLES:
        raise SettingOutError("style must be one of %s, got %r" % (", ".join(STYLES), style))
    marks = [(_internal(alignment, value, "at"), "") for value in at]
    marks += [(eq.internal, "EQ") for eq in smap.equations]  # where the chainage jumps
    marks += [(min(max(kp.station, s0), s1), kp.name)
              for kp in design.key_points(alignment, keypoints)]
    named, labels = _named(lo, hi, marks)
    rows = count_grid_rows(smap, lo, hi, float(step), len(named))
    if rows > MAX_ROWS:
        raise SettingOutError("a step of %g gives about %d rows (at most %d); use a larger step"
                              % (step, rows, MAX_ROWS))
    if rows * len(offsets) > MAX_STAKES:
        raise SettingOutError("%d rows with %d offsets give %d stakes (at most %d); use a larger "
                              "step or fewer offsets" % (rows, len(offsets), rows * len(offsets),
                                                         MAX_STAKES))
    if beyond_centre != "allow":
        reaches = inside_reaches(alignment, lo, hi, offsets)
        if reaches:
            text = "; ".join(
                "offset %g at %s to %s (radius %.3f)" % (r.offset, smap.format(r.start),
                                                         smap.format(r.end), r.radius)
                for r in reaches)
            message = ("offsets reach the centre of a curve on its inside, where the offset line "
                       "turns back on itself (its azimuth and radius are given as they are there): "
                       + text)
            if beyond_centre == "refuse":
                raise SettingOutError(message)
            warnings.warn(message, OffsetWarning, stacklevel=2)
    return Plan(lo, hi, float(step), offsets, tuple(float(s) for s in named), tuple(labels),
                style, keypoints, rows, alignment.profile is not None,
                alignment.cant_design is not None)


def _named(lo: float, hi: float, marks: Sequence[Tuple[float, str]]) -> Tuple[List[float], List[str]]:
    """The named stations within the range, merged as the grid merges them,
    with their names joined by '/'."""
    stations, labels = merge_marks(lo, hi, marks)
    return stations.tolist(), ["/".join(n for n in label if n) for label in labels]


def offset_radius(curvature: Any, offset: Any) -> Any:
    """Signed radius of the line at ``offset`` (positive right) where the
    centre line has signed ``curvature`` (positive right): 1/k - offset,
    positive where the offset line turns right along its own direction of
    travel; ``inf`` on a straight, 0 where the line shrinks to a point."""
    k = np.asarray(curvature, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        r = np.where(k == 0.0, np.inf, 1.0 / k - np.asarray(offset, dtype=np.float64))
    return float(r) if r.ndim == 0 else r


def iter_chunks(alignment: Any, plan: Plan, size: int = CHUNK,
                progress: Optional[Callable[[int, int], None]] = None) -> Iterator[Chunk]:
    """The rows of ``plan`` computed a block of stations at a time;
    ``progress(done, total)`` is called after each block."""
    offsets = np.array(plan.offsets, dtype=np.float64)
    smap = alignment.stations
    marks = list(zip(plan.named, plan.names))
    done = 0
    try:
        grid = station_grid(smap, plan.start, plan.end, plan.step, marks, size)
    except StationError as exc:
        raise SettingOutError(str(exc)) from None
    for stations, labels in grid:
        if not stations.size:
            continue
        names = [label[0] if label else "" for label in labels]
        xy = alignment.point(stations[:, None], offsets[None, :])
        display = np.atleast_1d(smap.to_display(stations))
        tangent = np.atleast_1d(alignment.azimuth(stations))
        k = np.atleast_1d(alignment.curvature(stations))
        radius = offset_radius(k[:, None], offsets[None, :])
        backwards = (1.0 - offsets[None, :] * k[:, None]) < 0.0
        azimuth = tangent[:, None] + np.where(backwards, math.pi, 0.0)
        z = alignment.design_elevation(stations[:, None], offsets[None, :])
        yield Chunk(stations, display, format_station(display, plan.style), names, xy, tangent,
                    k, azimuth, radius, np.asarray(z), np.atleast_1d(alignment.cant(stations)))
        done += stations.size
        if progress is not None:
            progress(done, plan.rows)


# ------------------------------------------------------------------ writers

_HEAD = "%14s  %-13s %-9s %8s %15s %15s %14s %12s"
_FIRST = "%14.3f  %-13s %-9s %8.3f %15.3f %15.3f %14s %12s"
_NEXT = "%14s  %-13s %-9s %8.3f %15.3f %15.3f %14s %12s"


def _rows(c: Chunk) -> Iterator[tuple]:
    """Per station of a chunk: station, chainage, key names, the stakes'
    points, azimuths, radii and elevations, and the cant, as Python values."""
    return zip(c.station.tolist(), c.chainage, c.names, c.xy.tolist(), c.azimuth.tolist(),
               c.radius.tolist(), c.z.tolist(), c.cant.tolist())


def _radius_text(r: float) -> str:
    return "inf" if math.isinf(r) else "%.3f" % r


def write_table(chunks: Iterator[Chunk], plan: Plan, out: IO[str], angles: str = "deg") -> None:
    """The rows as an aligned text table: one line per station and offset
    (offsets negative left, positive right), azimuths of the offset lines
    in ``angles``, signed radii."""
    if angles not in ANGLE_UNITS:
        raise ValueError("angles must be one of %s, got %r" % (", ".join(ANGLE_UNITS), angles))
    extra = ("%11s" % "z" if plan.profile else "") + (" %9s" % "cant" if plan.cant else "")
    out.write(_HEAD % ("station", "chainage", "key", "offset", "x", "y",
                       "azimuth_" + angles, "radius") + (" " + extra if extra else "") + "\n")
    offsets = plan.offsets
    for c in chunks:
        lines = []
        for s, chain, name, pts, azs, rs, zs, ct in _rows(c):
            for j, (o, (x, y), a, r, z) in enumerate(zip(offsets, pts, azs, rs, zs)):
                az = format_angle(a, angles)
                if j == 0:
                    line = _FIRST % (s, chain, name, o, x, y, az, _radius_text(r))
                else:
                    line = _NEXT % ("", "", "", o, x, y, az, _radius_text(r))
                if plan.profile:
                    line += " %11.3f" % z
                if plan.cant:
                    line += " %9.4f" % ct if j == 0 else " %9s" % ""
                lines.append(line.rstrip() + "\n")
        out.write("".join(lines))


def _csv_field(text: str) -> str:
    if any(ch in text for ch in ',"\r\n'):
        return '"%s"' % text.replace('"', '""')
    return text


def write_csv(chunks: Iterator[Chunk], plan: Plan, out: IO[str], angles: str = "deg") -> None:
    """One line per station and offset, numbers as repr (full precision).
    Lines are joined by hand: only a DMS azimuth (which holds '"') and a
    key name need quoting, and csv.writer costs twice as much."""
    if angles not in ANGLE_UNITS:
        raise ValueError("angles must be one of %s, got %r" % (", ".join(ANGLE_UNITS), angles))
    out.write("station,chainage,key,offset,x,y,azimuth_%s,azimuth_rad,radius%s%s\n"
              % (angles, ",z" if plan.profile else "", ",cant" if plan.cant else ""))
    offsets = [repr(o) for o in plan.offsets]
    quote = _csv_field
    cache = {}  # type: Dict[float, str]

    def azimuth_fields(a: float) -> str:
        text = cache.get(a)
        if text is None:
            av = angle_value(a, angles)
            text = ",%s,%r," % (quote(av) if angles == "dms" else repr(av), a)
            if len(cache) > 4096:
                cache.clear()
            cache[a] = text
        return text

    for c in chunks:
        lines = []
        for s, chain, name, pts, azs, rs, zs, ct in _rows(c):
            head = "%r,%s,%s," % (s, chain, quote(name) if name else "")
            tail = ",%r" % ct if plan.cant else ""
            for o_text, (x, y), a, r, z in zip(offsets, pts, azs, rs, zs):
                lines.append("%s%s,%r,%r%s%r%s%s\n" % (head, o_text, x, y, azimuth_fields(a), r,
                                                      ",%r" % z if plan.profile else "", tail))
        out.write("".join(lines))
