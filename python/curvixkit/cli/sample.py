"""``curvix sample FILE``: station, x, y and tangent azimuth every step and
at every element joint (table, CSV or GeoJSON)."""

from __future__ import annotations

import argparse
import csv
import math
from typing import IO, Any, Callable, Iterator, NamedTuple, Tuple

import numpy as np

from curvixkit import Alignment
import curvixkit.cli._common as _common
from curvixkit.cli._common import CommandError
from curvixkit.cli.progress import Progress
from curvixkit.io import geojson
from curvixkit.stations import StationError, count_grid_rows, station_grid

EPILOG = """\
examples:
  curvix sample examples/railway_10km.icd --step 20
  curvix sample examples/railway_10km.icd --from K13+000 --to K14+000 --step 5 --format csv -o part.csv
  curvix sample examples/railway_10km.icd --format geojson --crs EPSG:4547 -o alignment.geojson

Rows come every STEP (at multiples of STEP of the displayed chainage, so
after a station equation too) and at every element joint, from --from to
--to (the whole alignment by default); the last row is at the end of the
range. Joint rows are marked '|' in the table and boundary=1 in CSV.
GeoJSON holds one LineString of the alignment and one per element, and one
Point per element joint, in the file's plane coordinates; --crs names their
coordinate reference system (it must be in the file's unit)."""


class Sample(NamedTuple):
    """One sampled row: internal station, x, y, azimuth (radians from north,
    clockwise), the indices of the element joints that fall on it, and the
    profile's elevation and grade and the cant there (NaN without them)."""
    station: float
    x: float
    y: float
    azimuth: float
    boundaries: Tuple[int, ...]
    z: float
    grade: float
    cant: float


def add_parser(sub: Any, fmt: Any) -> None:
    """The ``sample`` subcommand."""
    p = sub.add_parser("sample", help="stations, coordinates and azimuths along the alignment",
                       description="Station, x, y and tangent azimuth every STEP and at every "
                                   "element joint.", epilog=EPILOG, formatter_class=fmt)
    _common.add_file(p)
    _common.add_range(p)
    p.add_argument("--format", choices=("table", "csv", "geojson"), default="table",
                   help="output format (default table)")
    _common.add_geojson_options(p)
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(func=run)


def sample(a: Alignment, start: float, end: float, step: float,
           label: str = "sample") -> Iterator[Sample]:
    """Points and tangent azimuths every step and at every joint in
    [start, end], a block of stations at a time."""
    joints = [(e.start_station, k) for k, e in enumerate(a.elements)]
    joints.append((a.end_station, len(joints)))
    smap = a.stations
    try:
        grid = station_grid(smap, start, end, step, joints)
        total = count_grid_rows(smap, start, end, step, len(joints))
        first = next(grid)
    except StationError as exc:
        raise CommandError("--step: %s" % exc)
    done = 0
    with Progress(total, label) as bar:
        for stations, labels in _chain(first, grid):
            xy = a.point(stations).tolist()
            azimuths = np.atleast_1d(a.azimuth(stations)).tolist()
            z = np.atleast_1d(a.elevation(stations)).tolist()
            g = np.atleast_1d(a.grade(stations)).tolist()
            c = np.atleast_1d(a.cant(stations)).tolist()
            for s, (x, y), az, joint, zs, gs, cs in zip(stations.tolist(), xy, azimuths, labels,
                                                        z, g, c):
                yield Sample(s, x, y, az, tuple(joint), zs, gs, cs)
            done += stations.size
            bar.update(done)


def _chain(first: Any, rest: Iterator[Any]) -> Iterator[Any]:
    yield first
    for item in rest:
        yield item


def write_table(rows: Iterator[Sample], out: IO[str], chainage: Callable[[float], str],
                profile: bool = False, cant: bool = False) -> None:
    """The samples as an aligned text table (``|`` marks an element joint),
    with z and grade (percent) where there is a profile, and the cant."""
    extra = ("%11s %9s" % ("z", "grade_pct") if profile else "") + (
        " %9s" % "cant" if cant else "")
    out.write("%14s  %-13s %15s %15s %14s%s\n" % ("station", "chainage", "x", "y", "azimuth_deg",
                                                  " " + extra if extra else ""))
    for r in rows:
        cells = ((" %11.3f %9.4f" % (r.z, 100.0 * r.grade) if profile else "")
                 + (" %9.4f" % r.cant if cant else ""))
        out.write("%14.3f  %-13s %15.3f %15.3f %14.6f%s%s\n" % (
            r.station, chainage(r.station), r.x, r.y, math.degrees(r.azimuth), cells,
            "  |" if r.boundaries else ""))


def write_csv(rows: Iterator[Sample], out: IO[str], chainage: Callable[[float], str],
              profile: bool = False, cant: bool = False) -> None:
    """The samples as CSV, numbers written with ``repr`` (round trip exact);
    z and grade where there is a profile, cant where there is cant."""
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["station", "chainage", "x", "y", "azimuth_rad", "azimuth_deg", "boundary"]
               + (["z", "grade"] if profile else []) + (["cant"] if cant else []))
    for r in rows:
        w.writerow([repr(r.station), chainage(r.station), repr(r.x), repr(r.y),
                    repr(r.azimuth), repr(math.degrees(r.azimuth)), int(bool(r.boundaries))]
                   + ([repr(r.z), repr(r.grade)] if profile else [])
                   + ([repr(r.cant)] if cant else []))


def run(args: argparse.Namespace) -> int:
    """Sample ``args.file``."""
    _common.check_geojson_options(args, args.format == "geojson")
    a = _common.load(args)
    start = a.start_station if args.start is None else _common.internal(a, args.start, "--from")
    end = a.end_station if args.end is None else _common.internal(a, args.end, "--to")
    if start > end:  # type: ignore[operator]
        raise CommandError("--from %s is after --to %s"
                           % (a.stations.format(start), a.stations.format(end)))
    if args.format == "geojson":
        doc = geojson.geojson_document(a, start, end, args.crs, args.plane, args.chord_error)
        with _common.output(args.output, [args.file]) as out:
            geojson.write_geojson(doc, out)
        return 0
    # The row count is checked when the first row is asked for: before
    # any output.
    rows = sample(a, start, end, args.step)  # type: ignore[arg-type]
    head = next(rows)
    with _common.output(args.output, [args.file]) as out:
        writer = write_csv if args.format == "csv" else write_table
        writer(_chain(head, rows), out, a.stations.format, a.profile is not None,
               a.cant_design is not None)
    return 0
