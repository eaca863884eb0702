"""ICD files: reading through the compiled reader (the one the legacy
``curvix.PQX`` uses), and writing files that ``curvix.PQX`` loads.

The file is: the start station; ``Y,X,azimuth``; one line per element
(``1,L[,azimuth]`` straight, ``2,R,L,dir[,azimuth]`` arc, ``3,A,R,dir`` /
``4,A,R,dir`` spirals from and to a straight, ``5,A,R1,R2,dir`` /
``6,A,R1,R2,dir`` spirals between two radii whose curvature grows /
shrinks, ``A = sqrt(L / |k1 - k0|)``); ``0,0,0`` ends it. Every double is
written with ``repr`` so the loader reads the same value back.

What ICD cannot hold, and what is written instead:

- A start point per element: ICD chains each element from the end of the
  one before, so where a LandXML alignment's stated starts lie off the end
  before (sub-millimetre gaps in real exports) the loaded chain follows the
  end before. A ``//`` comment gives the largest gap.
- A start direction on a spiral: lines and arcs carry their own start
  azimuth (so a kink before them is kept); a kink before a spiral is lost
  and named in a comment.
- Station equations: named in a comment; an :class:`IcdEquationWarning` is
  issued. Stations in the file are internal stations.
- The linear unit: written as the comment ``// units: linear=USSurveyFoot
  system=Imperial``, which :func:`build` reads back (the legacy loader
  passes over comments).

Quirks of the legacy grammar that the writer avoids: a three-field line
whose third field has integer part 0 is read as the end line, so a
straight's explicit azimuth with integer part 0 is written one turn (2*pi)
on; the start azimuth of line 2 goes through a degree round trip in the
loader, so the written value is the neighbouring double that comes back as
the intended one where there is such; a zero-length spiral (A = 0) would
give the loader's series NaN, so it is left out (named in a comment). The
reader takes an explicit azimuth modulo a whole turn nearest the tangent
before it, so the turn added for the grammar is no turn of the alignment.
"""

from __future__ import annotations

import math
import os
import re
import warnings
from typing import Any, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from curvixkit import _core
from curvixkit.errors import ElementError, IcdEquationWarning, IcdError
from curvixkit.results import Element, Units
from curvixkit.stations import StationMap

__all__ = ["IcdEquationWarning", "read_bytes", "build", "write_icd", "icd_text", "icd_type"]

_TWO_PI = 2.0 * math.pi
_LEADING_INTEGER = re.compile(r"\s*[+-]?(\d*)")
_INT_MAX = 2 ** 31 - 1


_UNITS_COMMENT = re.compile(rb"^[ \t]*//[ \t]*units:[ \t]*linear=([A-Za-z]+)"
                            rb"(?:[ \t]+system=([A-Za-z]+))?[ \t]*\r?$", re.M)


def read_bytes(path: Union[str, "os.PathLike[str]"]) -> Tuple[bytes, str]:
    """The bytes of an ICD file and its name, read by the compiled reader:
    at most 256 MiB, never blocking on a FIFO or device (``OSError``
    otherwise, as ``curvix.PQX`` raises it)."""
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    return _core.read_icd_file(name), name


def build(data: bytes, name: Optional[str], strict: bool,
          series: bool) -> Tuple[Any, List[int], Optional[Units]]:
    """The engine of ICD bytes, the 1-based line of each element, and the
    units of the file's unit comment (None without one)."""
    try:
        engine, lines = _core.Engine.from_icd(data, strict, series)
    except IcdError as exc:
        raise IcdError(exc.message, exc.line, exc.field, name) from None
    match = _UNITS_COMMENT.search(data)
    units = None
    if match is not None:
        system = match.group(2).decode("ascii") if match.group(2) else None
        units = Units(system, match.group(1).decode("ascii"), "radians", "radians")
    return engine, list(lines), units


def icd_type(kind: str, k0: float, k1: float) -> int:
    """The ICD element code of a line (1), an arc (2) or a clothoid: 3 from
    a straight end, 4 to one, 5 between two radii with the curvature growing
    in magnitude, 6 shrinking."""
    if kind == "line":
        return 1
    if kind == "arc":
        return 2
    if k0 == 0.0:
        return 3
    if k1 == 0.0:
        return 4
    return 5 if abs(k1) > abs(k0) else 6


def _number(value):
    """repr of a finite double; values the loader's strtod would refuse as
    underflow (below the normal range) are written as 0."""
    if not math.isfinite(value):
        raise ValueError("a non-finite value (%r) cannot be written to an ICD file" % value)
    if value != 0.0 and abs(value) < 2.2250738585072014e-308:
        value = 0.0
    return repr(value)


def _straight_azimuth(azimuth):
    """The azimuth field of a ``1,L,azimuth`` line: same direction, integer
    part (as the loader's strtol reads it) non-zero and within int range."""
    if abs(azimuth) > _INT_MAX:
        azimuth = math.fmod(azimuth, _TWO_PI)
    match = _LEADING_INTEGER.match(_number(azimuth))
    digits = match.group(1) if match else ""   # the pattern matches any text
    if not digits or int(digits) == 0:
        azimuth += _TWO_PI if azimuth < 1.0 else -_TWO_PI
    return _number(azimuth)


def _line_two_azimuth(azimuth):
    """A double that the loader's degree round trip (a / pi * 180 / 180 * pi)
    turns into ``azimuth`` itself, where a near neighbour does."""
    def round_trip(a):
        return a / math.pi * 180.0 / 180.0 * math.pi
    candidate = azimuth
    for _ in range(4):
        for trial in (candidate, float(np.nextafter(candidate, math.inf)),
                      float(np.nextafter(candidate, -math.inf))):
            if round_trip(trial) == azimuth:
                return trial
        candidate = float(np.nextafter(candidate, math.inf if round_trip(candidate) < azimuth
                                       else -math.inf))
    return azimuth


def icd_text(elements: Sequence[Element], start_station: float, equations: Iterable[Any] = (),
             units: Optional[Units] = None) -> Tuple[str, List[str]]:
    """The ICD text of an alignment's ``elements`` (see :func:`write_icd`)
    and the list of things it could not hold (each also a ``//`` comment in
    the text)."""
    geometry = list(elements)
    if not geometry:
        raise ValueError("an alignment without elements cannot be written to ICD")
    start_station = float(start_station)
    first = geometry[0]
    x, y, azimuth = first.start[0], first.start[1], first.start_azimuth
    end_station = start_station + sum(g.length for g in geometry)
    kept = StationMap(start_station, end_station, equations).equations
    lines = [_number(start_station),
             "%s,%s,%s" % (_number(y), _number(x), _number(_line_two_azimuth(azimuth)))]
    lost = []

    def note(text):
        lost.append(text)
        lines.append("// " + text)

    linear = getattr(units, "linear", None)
    if linear:
        system = getattr(units, "system", None)
        lines.append("// units: linear=%s%s" % (linear, " system=%s" % system if system else ""))
    if kept:
        note("station equations are not representable in ICD; stations here are internal: "
             + "; ".join("at %r back %r ahead %r%s" % (e.internal, e.back, e.ahead,
                                                       " (%s)" % e.desc if e.desc else "")
                         for e in kept))
    gaps = [math.hypot(b.start[0] - a.end[0], b.start[1] - a.end[1])
            for a, b in zip(geometry, geometry[1:])]
    if gaps and max(gaps) > 0.0:
        worst = int(np.argmax(gaps)) + 1
        note("ICD chains each element from the end of the one before; the stated starts lie up "
             "to %r from it (element %d)" % (max(gaps), worst + 1))
    previous = None  # type: Any
    spiral_kinks = []
    body_start = len(lines)
    for i, g in enumerate(geometry):
        k0, k1 = g.start_curvature, g.end_curvature
        kink = g.start_azimuth - previous.end_azimuth if previous is not None else 0.0
        if k0 == k1 == 0.0:
            lines.append("1,%s,%s" % (_number(g.length), _straight_azimuth(g.start_azimuth)))
        elif k0 == k1:
            lines.append("2,%s,%s,%d,%s" % (_number(1.0 / abs(k0)), _number(g.length),
                                            1 if k0 > 0 else -1, _number(g.start_azimuth)))
        elif g.length == 0.0:
            note("element %d, a spiral of length 0, is left out" % (i + 1))
            continue
        else:
            if g.kind != "clothoid":
                raise ElementError("element %d: an ICD file holds clothoids only, so this %s "
                                   "transition cannot be written (LandXML or IFC can hold it)"
                                   % (i + 1, g.kind), i + 1, "kind")
            if kink != 0.0:
                spiral_kinks.append("element %d %.3g rad" % (i + 1, kink))
            code = icd_type("clothoid", k0, k1)
            a = _number(g.A)
            if code == 3:
                lines.append("3,%s,%s,%d" % (a, _number(g.end_radius), g.turn))
            elif code == 4:
                lines.append("4,%s,%s,%d" % (a, _number(g.start_radius), g.turn))
            else:
                lines.append("%d,%s,%s,%s,%d" % (code, a, _number(g.start_radius),
                                                 _number(g.end_radius), g.turn))
        previous = g
    if spiral_kinks:
        text = ("spirals take the tangent before, so these kinks before spirals are lost: "
                + ", ".join(spiral_kinks))
        lost.append(text)
        lines.insert(body_start, "// " + text)
    lines.append("0,0,0")
    return "\n".join(lines) + "\n", lost


def write_icd(elements: Sequence[Element], start_station: float,
              path: Union[str, "os.PathLike[str]"], equations: Iterable[Any] = (),
              units: Optional[Units] = None) -> List[str]:
    """Write an alignment's ``elements`` as an ICD file that
    ``curvix.PQX(path)`` loads. Station equations are named in a comment and
    an :class:`IcdEquationWarning`; the linear unit in a comment that
    :func:`build` reads back. Returns what the file could not hold."""
    text, lost = icd_text(elements, start_station, equations, units)
    with open(os.fspath(path), "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    if any(item.startswith("station equations") for item in lost):
        warnings.warn("%s: station equations are not representable in ICD and were left out "
                      "(named in a // comment); its stations are internal" % os.fspath(path),
                      IcdEquationWarning, stacklevel=2)
    return lost
