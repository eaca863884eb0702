"""The ``curvix`` command: info, sample, locate, stakeout, convert, check and plot for ICD and
LandXML alignments (``curvix --version`` prints the version).

It uses only curvixkit's public API."""

from __future__ import annotations

import argparse
import contextlib
import itertools
import math
import os
import re
import sys
from typing import IO, Iterator, List, Optional

from curvixkit.errors import CommandError

PROG = "curvix"


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line (and exit status 2), pointing at --help."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, "%s: error: %s (see '%s --help')\n"
                  % (self.prog, " ".join(message.split()), self.prog))


# ------------------------------------------------------------ argument types

def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a positive number, got %r" % text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError("expected a positive number, got %r" % text)
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError("expected a positive whole number, got %r" % text)
    return value


def _station(text: str) -> float:
    from curvixkit.stakeout import station_text
    return station_text(text)


def _coordinate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a coordinate, got %r" % text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("expected a finite coordinate, got %r" % text)
    return value


def _crs(text: str) -> str:
    match = re.match(r"^EPSG:(\d+)$", text.strip(), re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError("expected EPSG:<code> such as EPSG:4547, got %r" % text)
    return "EPSG:" + match.group(1)


# ------------------------------------------------------------------ output

@contextlib.contextmanager
def _output(path: Optional[str]) -> Iterator[IO[str]]:
    if path is None or path == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    try:
        stream = open(path, "w", encoding="utf-8", newline="")
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (path, exc.strerror or exc))
    with stream:
        yield stream


def _load(args: argparse.Namespace):
    from curvixkit.alignment import Alignment
    return Alignment(args.file, name=args.alignment)


# ---------------------------------------------------------------- commands

def cmd_info(args: argparse.Namespace) -> int:
    """``curvix info FILE``: the element table and, per curve, its design data."""
    from curvixkit.report import write_info

    write_info(_load(args), sys.stdout, args.format, args.keypoints)
    return 0


def cmd_sample(args: argparse.Namespace) -> int:
    """``curvix sample FILE``: points every ``--step`` (table, CSV or GeoJSON)."""
    from curvixkit import sampling

    a = _load(args)
    a.require_elements()
    start = a.start_pk if args.start is None else a.internal(args.start, "--from")
    end = a.end_pk if args.end is None else a.internal(args.end, "--to")
    a.check_range("--from", start)
    a.check_range("--to", end)
    if start > end:
        raise CommandError("--from %s is after --to %s"
                           % (a.chainage(start), a.chainage(end)))
    if args.crs is not None and args.format != "geojson":
        raise CommandError("--crs applies to --format geojson only")
    if args.plane and args.crs is None:
        raise CommandError("--plane needs --crs EPSG:CODE to name")

    if args.format == "geojson":
        doc = sampling.geojson_document(a, start, end, args.crs, args.plane, args.chord_error)
        with _output(args.output) as out:
            sampling.write_geojson(doc, out)
        return 0
    # Rows are computed while they are written. The row count is checked
    # when the first row is asked for, so that failure comes before any
    # output and before OUT is created.
    rows = sampling.sample(a, start, end, args.step)
    rest = itertools.chain([next(rows)], rows)
    with _output(args.output) as out:
        if args.format == "csv":
            sampling.write_csv(rest, out, a.chainage)
        else:
            sampling.write_table(rest, out, a.chainage)
    return 0


def cmd_locate(args: argparse.Namespace) -> int:
    """``curvix locate FILE``: station and signed offset (positive right) of points."""
    from curvixkit import locating

    coords = args.coords or []
    if len(coords) % 2:
        raise CommandError("coordinates come in pairs X Y; got %d numbers" % len(coords))
    points = list(zip(coords[0::2], coords[1::2]))
    if args.points is not None:
        points += _read_point_file(args.points)
    if not points:
        raise CommandError("no points given: pass X Y pairs or --points FILE")
    a = _load(args)
    a.require_elements()
    rows = locating.locate(a, points)
    with _output(args.output) as out:
        if args.format == "csv":
            locating.write_csv(rows, out, a.chainage)
        else:
            locating.write_table(rows, out, a.chainage)
    return 0


def _read_point_file(path: str) -> List:
    from curvixkit.locating import read_points

    if path == "-":
        return read_points(sys.stdin, "<stdin>")
    try:
        with open(path, encoding="utf-8", newline="") as stream:
            return read_points(stream, path)
    except OSError as exc:
        raise CommandError("%s: %s" % (path, exc.strerror or exc))
    except UnicodeDecodeError as exc:
        raise CommandError("%s: not UTF-8 text (%s)" % (path, exc.reason))


def cmd_stakeout(args: argparse.Namespace) -> int:
    """``curvix stakeout FILE``: stake-out rows with key points and offset stakes."""
    from curvixkit import stakeout

    return stakeout.run(args, _load(args).kit, _output)


def cmd_check(args: argparse.Namespace) -> int:
    """``curvix check FILE``: joint and element checks; status 1 above ``--tolerance``."""
    a = _load(args)
    d = a.kit.diagnostics()
    sys.stdout.write(d.table() + "\n")
    if d.max_gap > args.tolerance:
        sys.stdout.write("FAIL: a gap of %.3e exceeds --tolerance %g\n" % (d.max_gap, args.tolerance))
        return 1
    sys.stdout.write("ok: every gap is within --tolerance %g\n" % args.tolerance)
    return 0


_CONVERT_KINDS = {".xml": "landxml", ".landxml": "landxml", ".icd": "icd", ".geojson": "geojson",
                  ".json": "geojson"}


def cmd_convert(args: argparse.Namespace) -> int:
    """``curvix convert IN OUT``: between ICD, LandXML and GeoJSON (by extension)."""
    import warnings

    kind = args.to or _CONVERT_KINDS.get(os.path.splitext(args.output)[1].lower())
    if kind is None:
        raise CommandError("cannot tell the format of %s from its extension; give --to "
                           "landxml, icd or geojson" % args.output)
    if (args.crs is not None or args.plane) and kind != "geojson":
        raise CommandError("--crs and --plane apply to GeoJSON output only")
    if args.plane and args.crs is None:
        raise CommandError("--plane needs --crs EPSG:CODE to name")
    a = _load(args)
    try:
        if kind == "geojson":
            from curvixkit import sampling
            doc = sampling.geojson_document(a, a.start_pk, a.end_pk, args.crs, args.plane,
                                            args.chord_error)
            with _output(args.output) as out:
                sampling.write_geojson(doc, out)
        elif kind == "landxml":
            a.kit.to_landxml(args.output, name=args.name, angular_unit=args.angular_unit)
        else:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                a.kit.to_icd(args.output)
            for w in caught:
                sys.stderr.write("%s %s: warning: %s\n" % (PROG, args.command,
                                                            " ".join(str(w.message).split())))
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (args.output, exc.strerror or exc))
    return 0


def cmd_plot(args: argparse.Namespace) -> int:
    """``curvix plot FILE -o PNG``: the plan with key points and chainage ticks."""
    from curvixkit import plotting

    plotting._load_matplotlib()  # before loading anything: say what is missing first
    a = _load(args)
    plotting.plot_plan(a, args.output, tick=args.tick, dpi=args.dpi, keypoints=args.keypoints)
    return 0


# ------------------------------------------------------------------ parser

_DESCRIPTION = """\
Horizontal alignments from ICD or LandXML files (told apart by content):
element table, stations and coordinates, nearest stations and signed
offsets of points, and a plan drawing.

Stations are printed as numbers and in chainage form (12345.678 is
K12+345.678); station arguments accept either form. Azimuths are measured
from +Y towards +X."""

_INFO_EPILOG = """\
example:
  curvix info examples/railway_10km.icd

The table lists each element's kind and type code, turn direction, start and
end station, length, radius at its start and end (inf for none), clothoid
parameter A, start point and start and end azimuth in degrees."""

_SAMPLE_EPILOG = """\
examples:
  curvix sample examples/railway_10km.icd --step 20
  curvix sample examples/railway_10km.icd --from K13+000 --to K14+000 --step 5 --format csv -o part.csv
  curvix sample examples/railway_10km.icd --format geojson --crs EPSG:4547 -o alignment.geojson

Rows come every STEP (at multiples of STEP) and at every element boundary,
from --from to --to (the whole alignment by default); the last row is at the
end of the range. Boundary rows are marked '|' in the table and boundary=1 in
CSV. GeoJSON holds one LineString of the sampled points and one Point per
element boundary, in the file's plane coordinates; --crs names their
coordinate reference system."""

_LOCATE_EPILOG = """\
examples:
  curvix locate examples/railway_10km.icd 19000 31800
  curvix locate examples/railway_10km.icd 19000 31800 22050.5 33010
  curvix locate examples/railway_10km.icd --points points.csv --format csv -o stations.csv

points.csv holds x,y per line (or a header row naming columns x and y).
For each point: the globally nearest station, the signed offset (positive to
the right of the direction of travel), the side (left, right or on) and the
distance. Put --
before coordinates that look like options (-- -5e3 120)."""

_PLOT_EPILOG = """\
examples:
  curvix plot examples/railway_10km.icd -o plan.png
  curvix plot examples/railway_10km.icd -o plan.svg --tick 500

Straights, arcs and spirals are drawn in their own colours, element
boundaries as circles, and station ticks with chainage labels every --tick
along the alignment. The file type follows OUT's extension (png, svg, pdf).
Needs matplotlib: pip install "curvix[plot]"."""


_CONVERT_EPILOG = """\
examples:
  curvix convert examples/railway_10km.icd railway.xml
  curvix convert alignment.xml alignment.icd --alignment "Main road"
  curvix convert examples/railway_10km.icd railway.geojson --crs EPSG:4547

LandXML 1.2 keeps every element where it lies (start points, directions,
radii, spiral parameters) and the station equations. ICD cannot hold station
equations or a start point per element: what it cannot hold is named in a
// comment of the file and in a warning."""

_CHECK_EPILOG = """\
examples:
  curvix check examples/railway_10km.icd
  curvix check design.xml --tolerance 0.0005

For each joint: the gap between the end of the element before and the start
of the next, the kink between their tangents and the jump in curvature; for
each element of a LandXML file: how far its stated End lies from the end of
its geometry and its stated length against what its radius and angle imply;
for each ICD spiral: how far the legacy series lies from the exact end."""


def _add_geojson_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--crs", type=_crs, metavar="EPSG:CODE",
                   help="GeoJSON: transform from this plane CRS to WGS 84 longitude/latitude")
    p.add_argument("--plane", action="store_true",
                   help="GeoJSON: keep plane coordinates and name --crs in a crs member")
    p.add_argument("--chord-error", type=_positive, default=0.001, metavar="E",
                   help="GeoJSON: largest distance of a chord from a curve (default 0.001)")


def _add_file(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", help="ICD or LandXML alignment file")
    p.add_argument("--alignment", metavar="NAME",
                   help="which alignment of a LandXML file holding several")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``curvix`` and its subcommands."""
    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(prog=PROG, description=_DESCRIPTION, formatter_class=fmt,
                     epilog="Run 'curvix COMMAND --help' for a command's options and examples.")
    from curvixkit import __version__
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("info", help="start values and the table of elements",
                       description="Print the start station, point and azimuth and the elements.",
                       epilog=_INFO_EPILOG, formatter_class=fmt)
    _add_file(p)
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="table: elements and curve groups; csv: curve groups; json: both")
    p.add_argument("--keypoints", choices=("us", "cn"), default="us",
                   help="key point names in the curve report (default us)")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("sample", help="stations, coordinates and azimuths along the alignment",
                       description="Station, x, y and tangent azimuth every STEP and at every "
                                   "element boundary.", epilog=_SAMPLE_EPILOG, formatter_class=fmt)
    _add_file(p)
    p.add_argument("--step", type=_positive, default=20.0, help="station interval (default 20)")
    p.add_argument("--from", dest="start", type=_station, metavar="STATION",
                   help="first station (default: start of the alignment)")
    p.add_argument("--to", dest="end", type=_station, metavar="STATION",
                   help="last station (default: end of the alignment)")
    p.add_argument("--format", choices=("table", "csv", "geojson"), default="table",
                   help="output format (default table)")
    _add_geojson_options(p)
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(func=cmd_sample)

    p = sub.add_parser("locate", help="nearest station, side and distance of points",
                       description="Nearest station, side and distance of each point.",
                       epilog=_LOCATE_EPILOG, formatter_class=fmt)
    _add_file(p)
    p.add_argument("coords", nargs="*", type=_coordinate, metavar="X Y",
                   help="point coordinates, in pairs")
    p.add_argument("--points", metavar="CSV", help="read points from a CSV file ('-' for stdin)")
    p.add_argument("--format", choices=("table", "csv"), default="table",
                   help="output format (default table)")
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")
    p.set_defaults(func=cmd_locate)

    from curvixkit import stakeout
    p = sub.add_parser("stakeout", help="stake-out table with key points and offset stakes",
                       description="Stations every STEP, at the key points of the curves and\n"
                                   "at --at stations, with offset stakes, azimuths and radii.",
                       epilog=stakeout.EPILOG, formatter_class=fmt)
    _add_file(p)
    stakeout.add_arguments(p, _positive, _crs)
    p.set_defaults(func=cmd_stakeout)

    p = sub.add_parser("convert", help="ICD <-> LandXML, either to GeoJSON",
                       description="Write the alignment in another format.",
                       epilog=_CONVERT_EPILOG, formatter_class=fmt)
    _add_file(p)
    p.add_argument("output", metavar="OUT", help="file to write (.xml, .icd or .geojson)")
    p.add_argument("--to", choices=("landxml", "icd", "geojson"),
                   help="output format (default: from OUT's extension)")
    p.add_argument("--name", help="alignment name written into LandXML (default: the file's own)")
    p.add_argument("--angular-unit", default="radians",
                   choices=("radians", "grads", "decimal degrees", "decimal dd.mmss"),
                   help="unit of the directions written into LandXML (default radians)")
    _add_geojson_options(p)
    p.set_defaults(func=cmd_convert)

    p = sub.add_parser("check", help="gaps, kinks and stated ends of every element",
                       description="Print the joint and element checks; exit status 1 when a "
                                   "gap exceeds --tolerance.", epilog=_CHECK_EPILOG,
                       formatter_class=fmt)
    _add_file(p)
    p.add_argument("--tolerance", type=_positive, default=0.001,
                   help="largest gap allowed between consecutive elements (default 0.001)")
    p.set_defaults(func=cmd_check)

    p = sub.add_parser("plot", help="plan drawing (needs matplotlib)",
                       description="Draw the alignment in plan to an image file.",
                       epilog=_PLOT_EPILOG, formatter_class=fmt)
    _add_file(p)
    p.add_argument("-o", "--output", metavar="OUT", required=True, help="image file to write")
    p.add_argument("--tick", type=_positive, default=100.0,
                   help="station tick and label interval (default 100)")
    p.add_argument("--dpi", type=_positive_int, default=150, help="resolution of raster images (default 150)")
    p.add_argument("--keypoints", choices=("us", "cn"), default="us",
                   help="names of the curves' key points (default us: TS SC CS ST ...)")
    p.set_defaults(func=cmd_plot)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    """Run ``curvix`` with ``argv`` (default ``sys.argv[1:]``); the exit status:
    0 done, 1 a check failed, 2 bad input (one line on stderr, never a traceback)."""
    parser = build_parser()
    args = parser.parse_args(argv)
    where = "%s %s" % (PROG, args.command)
    try:
        return args.func(args)
    except CommandError as exc:
        sys.stderr.write("%s: error: %s\n" % (where, " ".join(str(exc).split())))
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % where)
        return 130
    except BrokenPipeError:
        # The reader went away (curvix sample ... | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
