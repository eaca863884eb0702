"""Nearest stations of points: reading point lists and writing the answers."""

from __future__ import annotations

import csv
import math
from typing import IO, Callable, Iterator, List, NamedTuple, Tuple

import numpy as np

from curvixkit.alignment import Alignment
from curvixkit.chainage import format_chainage
from curvixkit.errors import CommandError
from curvixkit.progress import Progress

CHUNK = 65536


class Located(NamedTuple):
    """One located point: its x, y, the nearest station, the signed offset,
    ``side`` (right, left or on) and the distance."""
    x: float
    y: float
    station: float
    offset: float  # signed: positive right of the direction of travel
    side: str
    distance: float


def read_points(stream: IO[str], name: str) -> List[Tuple[float, float]]:
    """Points from CSV text: x and y in the first two columns, or in the
    columns named x and y when the first row is a header. Blank lines and
    lines starting with # are skipped."""
    points = []
    columns = (0, 1)
    first = True
    for lineno, row in enumerate(csv.reader(stream), 1):
        if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
            continue
        cells = [c.strip() for c in row]
        if first:
            first = False
            lowered = [c.lower() for c in cells]
            if "x" in lowered and "y" in lowered:
                columns = (lowered.index("x"), lowered.index("y"))
                continue
        try:
            x, y = float(cells[columns[0]]), float(cells[columns[1]])
        except (IndexError, ValueError):
            raise CommandError("%s:%d: expected numbers x,y, got %r" % (name, lineno, ",".join(row)))
        if not (math.isfinite(x) and math.isfinite(y)):
            raise CommandError("%s:%d: coordinates must be finite, got %r" % (name, lineno, ",".join(row)))
        points.append((x, y))
    return points


def side_of(offset: float) -> str:
    """``"right"`` for a positive offset, ``"left"`` for a negative one, else ``"on"``."""
    return "right" if offset > 0 else "left" if offset < 0 else "on"


def locate(alignment: Alignment, points: List[Tuple[float, float]]) -> Iterator[Located]:
    """The globally nearest station of each point and its signed offset, one
    engine call per chunk of points."""
    with Progress(len(points), "locate") as bar:
        for lo in range(0, len(points), CHUNK):
            chunk = points[lo:lo + CHUNK]
            found = alignment.kit.locate(np.array(chunk, dtype=float).reshape(-1, 2))
            for (x, y), s, o, d in zip(chunk, found.station.tolist(), found.offset.tolist(),
                                       found.distance.tolist()):
                yield Located(x, y, s, o, side_of(o), d)
            bar.update(lo + len(chunk))


def write_table(rows: Iterator[Located], out: IO[str],
                chainage: Callable[[float], str] = format_chainage) -> None:
    """The located points as an aligned text table."""
    out.write("%15s %15s %14s  %-13s %12s %-6s %12s\n"
              % ("x", "y", "station", "chainage", "offset", "side", "distance"))
    for r in rows:
        out.write("%15.3f %15.3f %14.3f  %-13s %12.3f %-6s %12.3f\n"
                  % (r.x, r.y, r.station, chainage(r.station), r.offset, r.side, r.distance))


def write_csv(rows: Iterator[Located], out: IO[str],
              chainage: Callable[[float], str] = format_chainage) -> None:
    """The located points as CSV, numbers written with ``repr`` (round trip exact)."""
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["x", "y", "station", "chainage", "offset", "side", "distance"])
    for r in rows:
        w.writerow([repr(r.x), repr(r.y), repr(r.station), chainage(r.station),
                    repr(r.offset), r.side, repr(r.distance)])
