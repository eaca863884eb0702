"""``curvix locate FILE``: the nearest station, signed offset, side and
distance of points given on the command line or in a point file (CSV,
LAS/LAZ, Parquet), printed as a table or CSV, or streamed into a point file
of their own kind with the located columns added."""

from __future__ import annotations

import argparse
import csv
import itertools
import math
import sys
from typing import IO, Any, Callable, Iterable, Iterator, List, NamedTuple, Optional

import numpy as np

from curvixkit import Alignment
import curvixkit.cli._common as _common
from curvixkit.cli._common import CommandError
from curvixkit.cli.progress import Progress
from curvixkit.points import FORMATS, locate_file, open_points
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
  curvix locate examples/railway_10km.icd --points examples/survey_points.csv
  curvix locate examples/railway_10km.icd --points survey.csv -o located.csv
  curvix locate examples/railway_10km.icd --points cloud.laz -o located.laz --max-distance 30
  curvix locate examples/railway_10km.icd --points cloud.parquet -o out.parquet --x E --y N

For each point: the globally nearest station, the signed offset (positive to
the right of the direction of travel), the side (left, right or on, within
0.0005 of the line), the distance, and in the beyond column 'start' or 'end'
where the point lies beyond that end of the alignment (its station is then
the end's and its offset the distance to the end point); dz, the height
above the design, for points with z on an alignment with a profile.

--points reads CSV (any delimiter; a header naming x/y/z, E/N/Z,
easting/northing ..., or x, y (z) first), LAS/LAZ or Parquet, told apart
by content; --x/--y/--z name the columns where the names say nothing (a
1-based number in a CSV file without a header). With --points FILE and -o
OUT the file is streamed in chunks: OUT keeps every column of FILE and adds
station, offset, distance (and dz); its format is --format, else OUT's
suffix, else FILE's (LAS needs LAS input; laspy and pyarrow are the extras
las and parquet). Otherwise a table (or --format csv) of the points is
printed. Options may come before or after the coordinates; put -- before
coordinates that look like options (-- -5e3 120)."""


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
    p.add_argument("--points", metavar="FILE",
                   help="read points from a CSV, LAS/LAZ or Parquet file ('-' for CSV on stdin)")
    p.add_argument("--format", choices=("table",) + FORMATS,
                   help="output format: table (default) or csv; with --points FILE -o OUT "
                        "also las or parquet (default: OUT's suffix, else FILE's format)")
    p.add_argument("--x", metavar="COL", help="the column of x (easting) in FILE")
    p.add_argument("--y", metavar="COL", help="the column of y (northing) in FILE")
    p.add_argument("--z", metavar="COL", help="the column of z (height) in FILE")
    p.add_argument("--max-distance", type=_common.positive, metavar="D",
                   help="leave out points farther than D from the alignment")
    p.add_argument("--all", action="store_true",
                   help="a row for every local minimum of the distance (within --max-distance)")
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(func=run)
    return p


def side_of(offset: float) -> str:
    """``"right"`` for an offset of at least :data:`ON_LINE`, ``"left"``
    for one of at most -ON_LINE, else ``"on"``."""
    return "right" if offset >= ON_LINE else "left" if offset <= -ON_LINE else "on"


_BEYOND = {BEFORE_START: "start", PAST_END: "end", 0: ""}


def locate(a: Alignment, chunks: Iterable[np.ndarray], max_distance: Optional[float] = None,
           all: bool = False) -> Iterator[Located]:
    """The globally nearest station of each point and its signed offset (and
    height above the design for points with z), one engine call per chunk
    of points: only those within ``max_distance``, or with ``all`` every
    local minimum."""
    limit = math.inf if max_distance is None else max_distance
    for chunk in chunks:
        found = (a.locate(chunk, limit, all=True) if all
                 else a.locate(chunk, limit))  # type: Any
        rows = found.query if all else np.arange(len(chunk))  # type: Any
        if max_distance is not None and not all:
            rows = np.flatnonzero(found.distance <= limit)
        picked = [v if all else v[rows] for v in (found.station, found.offset, found.distance,
                                                   found.beyond, found.dz)]
        for (x, y), s, o, d, b, dz in zip(chunk[rows, :2].tolist(), *(v.tolist() for v in picked)):
            yield Located(x, y, s, o, side_of(o), d, _BEYOND[b], dz)


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


def _given(coords: List[float], args: argparse.Namespace, bar: Progress,
           width: int) -> Iterator[np.ndarray]:
    """The points to locate in chunks: the pairs on the command line, then
    those of --points (one column of NaN z added to the pairs where the file
    has z, as the file's points are (x, y, z))."""
    if coords:
        pairs = np.array(coords, dtype=float).reshape(-1, 2)
        yield np.hstack([pairs, np.full((len(pairs), width - 2), math.nan)])
    if args.points is None:
        return
    done = 0
    for chunk in args.source.chunks():
        yield chunk.xyz
        done += len(chunk.xyz)
        bar.update(done)


def _source(args: argparse.Namespace) -> Any:
    """The point file of --points opened (stdin for '-'), or None."""
    if args.points is None:
        return None
    try:
        return open_points(sys.stdin if args.points == "-" else args.points,
                           x=args.x, y=args.y, z=args.z, chunk_size=CHUNK)
    except OSError as exc:
        raise CommandError("%s: %s" % (args.points, exc.strerror or exc))


def _locate_file(a: Alignment, args: argparse.Namespace) -> int:
    """--points FILE -o OUT: stream FILE into OUT with the located columns."""
    try:
        locate_file(a, args.points, args.output, x=args.x, y=args.y, z=args.z,
                    max_distance=args.max_distance, all=args.all, format=args.format,
                    progress=True)
    except OSError as exc:
        raise CommandError("%s: %s" % (exc.filename or args.points, exc.strerror or exc))
    return 0


def run(args: argparse.Namespace) -> int:
    """Locate the points of ``args`` on ``args.file``."""
    coords = args.coords or []
    if len(coords) % 2:
        raise CommandError("coordinates come in pairs X Y; got %d numbers" % len(coords))
    to_file = (not coords and args.points not in (None, "-") and args.output not in (None, "-")
               and args.format != "table")
    if not to_file and args.format in ("las", "parquet"):
        raise CommandError("--format %s needs --points FILE and -o OUT (and no X Y pairs)"
                           % args.format)
    if (args.x or args.y or args.z) and args.points is None:
        raise CommandError("--x, --y and --z name columns of --points FILE")
    if not coords and args.points is None:
        raise CommandError("no points given: pass X Y pairs or --points FILE")
    if to_file:
        _common.refuse_overwrite(args.output, [args.file, args.points])
        return _locate_file(_common.load(args), args)
    a = _common.load(args)
    args.source = _source(args)
    try:
        heights = args.source is not None and args.source.has_z
        with Progress(args.source and args.source.total, "locate") as bar:
            chunks = _given(coords, args, bar, 3 if heights else 2)
            # The first chunk is read (and checked) before anything is written.
            first = list(itertools.islice(chunks, 1))
            if not first or not len(first[0]):
                raise CommandError("no points given: %s holds none" % args.points)
            rows = locate(a, itertools.chain(first, chunks), args.max_distance, args.all)
            with _common.output(args.output, [args.file, args.points]) as out:
                writer = write_csv if args.format == "csv" else write_table
                writer(rows, out, a.stations.format, heights)
    finally:
        if args.source is not None:
            args.source.close()
    return 0
