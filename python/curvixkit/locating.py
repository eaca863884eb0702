"""Nearest stations of points: reading point lists and writing the answers."""

from __future__ import annotations

import csv
import math
from typing import IO, Iterator, List, NamedTuple, Tuple

from curvix_tools.alignment import Alignment
from curvix_tools.chainage import format_chainage
from curvix_tools.errors import CommandError
from curvix_tools.progress import Progress

# Arguments of the search: intervals the station range is cut into, and the
# width of station bracket at which the halving search stops.
SEARCH_INTERVALS = 10
SEARCH_TOLERANCE = 1e-9

SIDES = {1: "right", -1: "left", 0: "on"}


class Located(NamedTuple):
    x: float
    y: float
    station: float
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


def locate(alignment: Alignment, points: List[Tuple[float, float]]) -> Iterator[Located]:
    pqx = alignment.pqx
    with Progress(len(points), "locate") as bar:
        for n, (x, y) in enumerate(points):
            station = pqx.get_station_by_point(x, y, SEARCH_INTERVALS, SEARCH_TOLERANCE)
            q = pqx.get_coordinate(station)
            side = SIDES.get(pqx.get_side(x, y), "?")
            yield Located(x, y, station, side, math.hypot(x - q.X(), y - q.Y()))
            if n & 63 == 0:
                bar.update(n)


def write_table(rows: Iterator[Located], out: IO[str]) -> None:
    out.write("%15s %15s %14s  %-13s %-6s %12s\n"
              % ("x", "y", "station", "chainage", "side", "distance"))
    for r in rows:
        out.write("%15.3f %15.3f %14.3f  %-13s %-6s %12.3f\n"
                  % (r.x, r.y, r.station, format_chainage(r.station), r.side, r.distance))


def write_csv(rows: Iterator[Located], out: IO[str]) -> None:
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["x", "y", "station", "chainage", "side", "distance"])
    for r in rows:
        w.writerow([repr(r.x), repr(r.y), repr(r.station), format_chainage(r.station), r.side,
                    repr(r.distance)])
