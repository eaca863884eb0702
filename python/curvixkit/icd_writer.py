"""ICD files from any alignment, for the legacy loader ``curvix.PQX``.

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

Quirks of the legacy grammar that the writer avoids: a three-field line
whose third field has integer part 0 is read as the end line, so a
straight's explicit azimuth with integer part 0 is written one turn (2*pi)
on; the start azimuth of line 2 goes through a degree round trip in the
loader, so the written value is the neighbouring double that comes back as
the intended one where there is such; a zero-length spiral (A = 0) would
give the loader's series NaN, so it is left out (named in a comment).
"""

from __future__ import annotations

import math
import os
import re
import warnings
from typing import Any, Iterable, List, Tuple, Union

import numpy as np

from curvixkit.diagnostics import element_geometry
from curvixkit.stations import StationMap

__all__ = ["IcdEquationWarning", "write_icd", "icd_text"]

_TWO_PI = 2.0 * math.pi
_LEADING_INTEGER = re.compile(r"\s*[+-]?(\d*)")
_INT_MAX = 2 ** 31 - 1


class IcdEquationWarning(UserWarning):
    """Station equations were dropped: the ICD format has no place for them."""


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


def icd_text(alignment: Any, equations: Iterable[Any] = ()) -> Tuple[str, List[str]]:
    """The ICD text of ``alignment`` (see :func:`write_icd`) and the list of
    things it could not hold (each also a ``//`` comment in the text)."""
    geometry = element_geometry(alignment)
    start_station = float(alignment.start_station)
    if geometry:
        first = geometry[0]
        x, y, azimuth = first.start[0], first.start[1], first.start_azimuth
    else:
        x, y, azimuth = float(alignment.x), float(alignment.y), float(alignment.azimuth)
    end_station = start_station + sum(g.length for g in geometry)
    kept = StationMap(start_station, end_station, equations).equations
    lines = [_number(start_station),
             "%s,%s,%s" % (_number(y), _number(x), _number(_line_two_azimuth(azimuth)))]
    lost = []

    def note(text):
        lost.append(text)
        lines.append("// " + text)

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
            if kink != 0.0:
                spiral_kinks.append("element %d %.3g rad" % (i + 1, kink))
            a = math.sqrt(g.length / abs(k1 - k0))
            direction = 1 if (k0 if k0 != 0.0 else k1) > 0 else -1
            if k0 == 0.0:
                lines.append("3,%s,%s,%d" % (_number(a), _number(1.0 / abs(k1)), direction))
            elif k1 == 0.0:
                lines.append("4,%s,%s,%d" % (_number(a), _number(1.0 / abs(k0)), direction))
            else:
                lines.append("%d,%s,%s,%s,%d" % (5 if abs(k1) > abs(k0) else 6, _number(a),
                                                 _number(1.0 / abs(k0)), _number(1.0 / abs(k1)),
                                                 direction))
        previous = g
    if spiral_kinks:
        text = ("spirals take the tangent before, so these kinks before spirals are lost: "
                + ", ".join(spiral_kinks))
        lost.append(text)
        lines.insert(body_start, "// " + text)
    lines.append("0,0,0")
    return "\n".join(lines) + "\n", lost


def write_icd(alignment: Any, path: Union[str, "os.PathLike[str]"],
              equations: Iterable[Any] = ()) -> List[str]:
    """Write ``alignment`` (a :class:`curvixkit.Alignment` or a
    :class:`curvixkit.landxml.LandXMLAlignment`) as an ICD file that
    ``curvix.PQX(path)`` loads. Station equations are named in a comment and
    an :class:`IcdEquationWarning`."""
    text, lost = icd_text(alignment, equations)
    with open(os.fspath(path), "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    if any(item.startswith("station equations") for item in lost):
        warnings.warn("%s: station equations are not representable in ICD and were left out "
                      "(named in a // comment); its stations are internal" % os.fspath(path),
                      IcdEquationWarning, stacklevel=2)
    return lost
