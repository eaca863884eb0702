"""``curvix stakeout FILE``: stake-out rows every step, at the curves' key
points, at station equations and at named stations, with offset stakes, in
a table, CSV, GeoJSON or DXF."""

from __future__ import annotations

import argparse
from typing import Any

from curvixkit import setting_out
from curvixkit.angles import ANGLE_UNITS
import curvixkit.cli._common as _common
from curvixkit.cli._common import CommandError
from curvixkit.cli.progress import Progress
from curvixkit.errors import SettingOutError
from curvixkit.io import dxf, geojson
from curvixkit.stations import STYLES

FORMATS = ("table", "csv", "geojson", "dxf")

EPILOG = """\
examples:
  curvix stakeout examples/railway_10km.icd --step 20 --offsets -3.5,0,3.5 --keypoints us
  curvix stakeout examples/railway_10km.icd --from K13+000 --to K14+000 --angles dms --format csv -o stakes.csv
  curvix stakeout examples/railway_10km.icd --at K12+345.6 --format dxf -o stakes.dxf
  curvix stakeout examples/railway_10km.icd --format geojson --crs EPSG:4547 -o stakes.geojson

Rows come every STEP (at multiples of STEP of the displayed chainage), at
every key point of the curves (named in the key column: TS SC CM CS ST PC PT
POT, or ZH HY QZ YH HZ ZY YZ with --keypoints cn), at station equations (EQ,
with the chainage ahead) and at each --at station,
from --from to --to (the whole alignment by default). For each offset
(negative left of the direction of travel) a row gives x, y, the azimuth of
the offset line there (0 at north, clockwise) and its signed radius
(positive where it turns right, inf on a straight).

An offset that reaches the centre of a curve on its inside gives an offset
line that runs backwards (its azimuth turns by 180 degrees and its radius
changes sign): a warning names the stations and the radius, and
--strict-offsets refuses the plan instead.

DXF (needs ezdxf: pip install "curvix[dxf]") holds the alignment as LINE and
ARC entities with spirals as polylines within --chord-error, the offset lines,
stakes as POINTs on layers STAKES and KEYPOINTS, and chainage labels on
LABELS, in the file's unit. GeoJSON holds the stakes as Points, the alignment
as a LineString and one per element, and the offset lines; --crs EPSG:CODE
(in the file's unit) transforms to WGS 84 longitude and latitude (needs
pyproj: pip install "curvix[gis]"), --plane keeps plane coordinates and names
--crs in a crs member."""


def add_parser(sub: Any, fmt: Any) -> None:
    """The ``stakeout`` subcommand."""
    p = sub.add_parser("stakeout", help="stake-out table with key points and offset stakes",
                       description="Stations every STEP, at the key points of the curves and\n"
                                   "at --at stations, with offset stakes, azimuths and radii.",
                       epilog=EPILOG, formatter_class=fmt)
    _common.add_file(p)
    p._negative_number_matcher = _common.NUMBER_LIST  # type: ignore[attr-defined]
    _common.add_range(p)
    p.add_argument("--at", action="append", type=_common.station, default=[], metavar="STATION",
                   help="an extra station (repeat for more)")
    p.add_argument("--offsets", type=_common.offsets, default=(0.0,), metavar="LIST",
                   help="offsets, comma-separated, negative left (default 0)")
    p.add_argument("--strict-offsets", action="store_true",
                   help="refuse offsets that reach the centre of a curve (default: warn)")
    p.add_argument("--keypoints", choices=("us", "cn"), default="us",
                   help="key point names (default us)")
    p.add_argument("--angles", choices=ANGLE_UNITS, default="deg",
                   help="azimuths in degrees, grads or degrees-minutes-seconds (default deg)")
    p.add_argument("--chainage", choices=STYLES, default=None,
                   help="chainage style (default: the file's, us for a file in feet, else k)")
    p.add_argument("--format", choices=FORMATS, default="table",
                   help="output format (default table)")
    _common.add_geojson_options(p, "DXF and GeoJSON")
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(func=run)


_NAMES = {"start": "--from", "end": "--to", "at": "--at", "step": "--step"}


def _option_text(exc: SettingOutError) -> str:
    """The library's words with its argument names as the options."""
    text = str(exc)
    head, sep, rest = text.partition(":")
    if sep and head in _NAMES:
        return _NAMES[head] + sep + rest
    for name, option in _NAMES.items():
        if text.startswith(name + " "):
            return option + text[len(name):]
    return text


def run(args: argparse.Namespace) -> int:
    """Stake out ``args.file``."""
    _common.check_geojson_options(args, args.format == "geojson")
    a = _common.load(args)
    try:
        plan = setting_out.make_plan(a, args.start, args.end, args.step, args.offsets, args.at,
                                     args.keypoints, args.chainage,
                                     "refuse" if args.strict_offsets else "warn")
    except SettingOutError as exc:
        raise CommandError(_option_text(exc))
    # What can fail (a missing extra, a bad CRS, too many vertices) fails
    # here, before any output.
    writer = None
    if args.format == "dxf":
        writer = dxf.dxf_writer(a, plan, args.chord_error)
    elif args.format == "geojson":
        writer = geojson.stake_writer(a, plan, args.angles, args.crs, args.plane,
                                      args.chord_error)
    with Progress(plan.rows, "stakeout") as bar:
        chunks = setting_out.iter_chunks(a, plan, progress=lambda done, total: bar.update(done))
        with _common.output(args.output, [args.file]) as out:
            if writer is not None:
                writer(chunks, out)
            elif args.format == "csv":
                setting_out.write_csv(chunks, plan, out, args.angles)
            else:
                setting_out.write_table(chunks, plan, out, args.angles)
    return 0
