"""``curvix locate FILE``: the nearest station, signed offset, side and
distance of points given on the command line or in a CSV file."""

from __future__ import annotations

import argparse
import csv
import math
import sys
from typing import IO, Any, Callable, Iterator, List, NamedTuple, Tuple

import numpy as np

from curvixkit import Alignment
from curvixkit.cli import _common
from curvixkit.cli._common import CommandError
from curvixkit.cli.progress import Progress
from curvixkit.results import BEFORE_START, PAST_END

CHUNK = 65536
# An offset below half the printed unit (the table prints three decimals)
# is "on" the centre line in every output, so the side never contradicts
# the offset shown.
ON_LINE = 0.0005

EPILOG = """\
examples:
  curvix locate examples/railway_10km.icd 19000 31800
  curvix locate examples/railway_10km.icd 19000 31800 22050.5 33010
  curvix locate examples/railway_10km.icd --points points.csv --format csv -o stations.csv

points.csv holds x,y per line (or a header row naming columns x and y, and z
for the height of each point above the design: column dz).
For each point: the globally nearest station, the signed offset (positive to
the right of the direction of travel), the side (left, right or on, within
0.0005 of the line), the distance, and in the beyond column 'start' or 'end'
where the point lies beyond that end of the alignment (its station is then
the end's and its offset the distance to the end point). Options may come
before or after the coordinates; put -- before coordinates that look like
options (-- -5e3 120)."""


class Located(NamedTuple):
    """One located point: its x, y, the nearest station, the signed offset,
    ``side`` (right, left or on), the distance, ``beyond`` ("start", "end"
    or "") and ``dz``, its height above the design (NaN for points
    without z)."""
    x: float
    y: float
    station: float
    offset: float
    side: str
    distance: float
    beyond: str
    dz: float


def add_parser(sub: Any, fmt: Any) -> Any:
    """The ``locate`` subcommand (returned: its options may follow the
    coordinates, which the top-level parser cannot read alone)."""
    p = sub.add_parser("locate", help="nearest station, side and distance of points",
                       description="Nearest station, side and distance of each point.",
                       epilog=EPILOG, formatter_class=fmt)
    _common.add_file(p)
    p.add_argument("coords", nargs="*", type=_common.coordinate, metavar="X Y",
                   help="point coordinates, in pairs")
    p.add_argument("--points", metavar="CSV", help="read points from a CSV file ('-' for stdin)")
    p.add_argument("--format", choices=("table", "csv"), default="table",
                   help="output format (default table)")
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(func=run)
    return p


def read_points(stream: IO[str], name: str) -> List[Tuple[float, ...]]:
    """Points from CSV text: x and y in the first two columns, or in the
    columns named x and y (and z) when the first row is a header. Blank
    lines and lines starting with # are skipped."""
    points = []  # type: List[Tuple[float, ...]]
    columns = (0, 1)  # type: Tuple[int, ...]
    first = True
    for lineno, row in enumerate(csv.reader(stream), 1):
        if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
            continue
        cells = [c.strip() for c in row]
        if first:
            first = False
            lowered = [c.lower() for c in cells]
            if "x" in lowered and "y" in lowered:
                columns = tuple(lowered.index(c) for c in ("x", "y", "z") if c in lowered)
                continue
        try:
            values = tuple(float(cells[c]) for c in columns)
        except (IndexError, ValueError):
            raise CommandError("%s:%d: expected numbers %s, got %r" % (
                name, lineno, ",".join("xyz"[:len(columns)]), ",".join(row)))
        if not all(math.isfinite(v) for v in values):
            raise CommandError("%s:%d: coordinates must be finite, got %r"
                               % (name, lineno, ",".join(row)))
        points.append(values)
    return points


def side_of(offset: float) -> str:
    """``"right"`` for an offset of at least :data:`ON_LINE`, ``"left"``
    for one of at most -ON_LINE, else ``"on"``."""
    return "right" if offset >= ON_LINE else "left" if offset <= -ON_LINE else "on"


_BEYOND = {BEFORE_START: "start", PAST_END: "end", 0: ""}


def locate(a: Alignment, points: List[Tuple[float, ...]]) -> Iterator[Located]:
    """The globally nearest station of each point and its signed offset (and
    height above the design for points with z), one engine call per chunk
    of points."""
    width = max((len(p) for p in points), default=2)
    with Progress(len(points), "locate") as bar:
        for lo in range(0, len(points), CHUNK):
            chunk = np.array([p + (math.nan,) * (width - len(p)) for p in points[lo:lo + CHUNK]],
                             dtype=float).reshape(-1, width)
            found = a.locate(chunk)
            for (x, y), s, o, d, b, dz in zip(chunk[:, :2].tolist(), found.station.tolist(),
                                              found.offset.tolist(), found.distance.tolist(),
                                              found.beyond.tolist(), found.dz.tolist()):
                yield Located(x, y, s, o, side_of(o), d, _BEYOND[b], dz)
            bar.update(lo + len(chunk))


def write_table(rows: Iterator[Located], out: IO[str], chainage: Callable[[float], str],
                heights: bool = False) -> None:
    """The located points as an aligned text table (with dz for points with z)."""
    out.write(("%15s %15s %14s  %-13s %12s %-6s %12s %s %s\n"
               % ("x", "y", "station", "chainage", "offset", "side", "distance",
                  "%10s" % "dz" if heights else "", "beyond")).replace("  \n", "\n"))
    for r in rows:
        out.write(("%15.3f %15.3f %14.3f  %-13s %12.3f %-6s %12.3f %s %s" % (
            r.x, r.y, r.station, chainage(r.station), r.offset, r.side, r.distance,
            "%10.3f" % r.dz if heights else "", r.beyond)).rstrip() + "\n")


def write_csv(rows: Iterator[Located], out: IO[str], chainage: Callable[[float], str],
              heights: bool = False) -> None:
    """The located points as CSV, numbers written with ``repr`` (round trip exact)."""
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["x", "y", "station", "chainage", "offset", "side", "distance"]
               + (["dz"] if heights else []) + ["beyond"])
    for r in rows:
        w.writerow([repr(r.x), repr(r.y), repr(r.station), chainage(r.station),
                    repr(r.offset), r.side, repr(r.distance)]
                   + ([repr(r.dz)] if heights else []) + [r.beyond])


def _read_point_file(path: str) -> List[Tuple[float, ...]]:
    if path == "-":
        return read_points(sys.stdin, "<stdin>")
    try:
        with open(path, encoding="utf-8", newline="") as stream:
            return read_points(stream, path)
    except OSError as exc:
        raise CommandError("%s: %s" % (path, exc.strerror or exc))
    except UnicodeDecodeError as exc:
        raise CommandError("%s: not UTF-8 text (%s)" % (path, exc.reason))


def run(args: argparse.Namespace) -> int:
    """Locate the points of ``args`` on ``args.file``."""
    coords = args.coords or []
    if len(coords) % 2:
        raise CommandError("coordinates come in pairs X Y; got %d numbers" % len(coords))
    points = [tuple(p) for p in zip(coords[0::2], coords[1::2])]  # type: List[Tuple[float, ...]]
    if args.points is not None:
        points += _read_point_file(args.points)
    if not points:
        raise CommandError("no points given: pass X Y pairs or --points FILE")
    a = _common.load(args)
    rows = locate(a, points)
    heights = any(len(p) > 2 for p in points)
    with _common.output(args.output, [args.file, args.points]) as out:
        writer = write_csv if args.format == "csv" else write_table
        writer(rows, out, a.stations.format, heights)
    return 0
