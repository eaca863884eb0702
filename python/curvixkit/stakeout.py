"""Stake-out tables: stations every step, the key points of the curves and
stations the user names, each with its offset stakes.

For every row and every offset (positive to the right of the direction of
travel) a row gives the point, the tangent azimuth there and the radius of
the offset line there (``inf`` on a straight). The rows are computed a chunk
of stations at a time with NumPy and written as they come, so a run of a
million rows keeps its memory flat. A drawing's lines are built with ezdxf
and its stakes streamed into the text ezdxf writes.

Stations: the grid is the multiples of ``step`` in *display* stations (those
of the station equations, which stakes show), region by region; ``--from``,
``--to`` and ``--at`` are display stations too. Rows carry internal
stations for the geometry and display stations for the chainage text.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import re
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from curvixkit import keypoints as _keypoints
from curvixkit.errors import CommandError
from curvixkit.progress import Progress
from curvixkit.stations import STYLES, StationError, format_station, parse_station

ANGLE_UNITS = ("deg", "grad", "dms")
FORMATS = ("table", "csv", "geojson", "dxf")
# A grid station this close to a key point or an --at station is dropped;
# the named row stands for it.
MERGE_TOLERANCE = 1e-6
MAX_ROWS = 10000000
MAX_STAKES = 30000000
CHUNK = 8192
LABEL_HEIGHT = 1.0

MISSING_EZDXF = 'DXF output needs ezdxf; install it with: pip install "curvix[dxf]"'

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
(negative left of the direction of travel) a row gives x, y, the tangent
azimuth (0 at north, clockwise) and the radius of the offset line there.

DXF (needs ezdxf: pip install "curvix[dxf]") holds the alignment as LINE and
ARC entities with spirals as polylines within --chord-error, the offset lines,
stakes as POINTs on layers STAKES and KEYPOINTS, and chainage labels on
LABELS. GeoJSON holds the stakes as Points, the alignment as a LineString and
one per element, and the offset lines; --crs EPSG:CODE transforms to WGS 84
longitude and latitude (needs pyproj: pip install "curvix[gis]"), --plane
keeps plane coordinates and names --crs in a crs member."""


# ------------------------------------------------------------ argument types

_NUMBER = r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?"
_NUMBER_LIST = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?(,%s)*$" % _NUMBER)

def station_text(text: str) -> float:
    """A display station argument: a number or chainage in any style."""
    try:
        return parse_station(text)
    except StationError:
        raise argparse.ArgumentTypeError(
            "expected a station such as 12345.6, K12+345.6 or 123+45.67, got %r" % text)


def offsets_text(text: str) -> Tuple[float, ...]:
    """``-3.5,0,3.5``: finite offsets, negative left, each once."""
    values = []
    for field in text.split(","):
        try:
            value = float(field)
        except ValueError:
            raise argparse.ArgumentTypeError(
                "expected offsets such as -3.5,0,3.5, got %r" % text)
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError("expected finite offsets, got %r" % text)
        values.append(value)
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError("an offset is given twice in %r" % text)
    return tuple(values)


def add_arguments(p: argparse.ArgumentParser, positive: Callable[[str], float],
                  crs: Callable[[str], str]) -> None:
    """The stake-out options (the file argument is the caller's)."""
    # argparse takes "-3.5,0,3.5" for an option; let a list of numbers
    # starting with a negative one pass as a value.
    p._negative_number_matcher = _NUMBER_LIST  # type: ignore[attr-defined]
    p.add_argument("--step", type=positive, default=20.0, help="station interval (default 20)")
    p.add_argument("--from", dest="start", type=station_text, metavar="STATION",
                   help="first station (default: start of the alignment)")
    p.add_argument("--to", dest="end", type=station_text, metavar="STATION",
                   help="last station (default: end of the alignment)")
    p.add_argument("--at", action="append", type=station_text, default=[], metavar="STATION",
                   help="an extra station (repeat for more)")
    p.add_argument("--offsets", type=offsets_text, default=(0.0,), metavar="LIST",
                   help="offsets, comma-separated, negative left (default 0)")
    p.add_argument("--keypoints", choices=("us", "cn"), default="us",
                   help="key point names (default us)")
    p.add_argument("--angles", choices=ANGLE_UNITS, default="deg",
                   help="azimuths in degrees, grads or degrees-minutes-seconds (default deg)")
    p.add_argument("--chainage", choices=STYLES, default=None,
                   help="chainage style (default: us for a file in feet, else k)")
    p.add_argument("--format", choices=FORMATS, default="table", help="output format (default table)")
    p.add_argument("--crs", type=crs, metavar="EPSG:CODE",
                   help="GeoJSON: transform from this plane CRS to WGS 84 longitude/latitude")
    p.add_argument("--plane", action="store_true",
                   help="GeoJSON: keep plane coordinates and name --crs in a crs member")
    p.add_argument("--chord-error", type=positive, default=0.001, metavar="E",
                   help="largest distance of a chord from a curve in DXF and GeoJSON (default 0.001)")
    p.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of stdout")


# ------------------------------------------------------------------ angles

def format_angle(radians: float, unit: str) -> str:
    """An azimuth as a whole-circle bearing: degrees (6 places), grads (5)
    or DDD°MM'SS.SS" (hundredths of a second, carried into the minutes)."""
    if not math.isfinite(radians):
        return str(radians)
    if unit == "deg":
        return "%.6f" % (math.degrees(radians) % 360.0)
    if unit == "grad":
        return "%.5f" % ((radians * 200.0 / math.pi) % 400.0)
    if unit != "dms":
        raise ValueError("angle unit must be one of %s, got %r" % (", ".join(ANGLE_UNITS), unit))
    centi = int(round(math.degrees(radians) * 360000.0)) % (360 * 360000)
    return "%d°%02d'%05.2f\"" % (centi // 360000, centi // 6000 % 60, centi % 6000 / 100.0)


def angle_value(radians: float, unit: str) -> Any:
    """The azimuth for a CSV or GeoJSON field: a float for deg and grad, the text for dms."""
    if unit == "deg":
        return math.degrees(radians) % 360.0
    if unit == "grad":
        return (radians * 200.0 / math.pi) % 400.0
    return format_angle(radians, unit)


def chainage_texts(values: Sequence[float], style: str) -> List[str]:
    """``format_station(v, style)`` for many values at once, at about a
    tenth of the cost: '%.*f' rounds the double's exact value half to even,
    as the Decimal quantize of format_station does, so the digits agree."""
    if style not in STYLES:
        raise ValueError("chainage style must be one of %s, got %r" % (", ".join(STYLES), style))
    decimals, unit, width = (2, 100, 2) if style == "us" else (3, 1000, 3)
    letters = "K" if style == "k" else ""
    out = []
    for v in values:
        if not math.isfinite(v):
            out.append(str(v))
            continue
        text = "%.*f" % (decimals, abs(v))
        whole, fraction = text.split(".")
        major, minor = divmod(int(whole), unit)
        sign = "-" if v < 0 and text.strip("0.") else ""
        out.append("%s%s%d+%0*d.%s" % (sign, letters, major, width, minor, fraction))
    return out


def default_style(alignment: Any) -> str:
    """The chainage style of the alignment's file: ``"us"`` (100-foot
    stations) where its LandXML linear unit is a foot, else ``"k"``."""
    units = alignment.units
    linear = str(getattr(units, "linear", "") or "").lower()
    return "us" if "feet" in linear or "foot" in linear else "k"


# ------------------------------------------------------------------ the plan

class Plan(NamedTuple):
    """What a stake-out covers: internal stations ``start``..``end``, the
    display grid ``step``, the offsets, and the named stations (sorted
    internal stations with their names; '' for --at and range ends)."""
    start: float
    end: float
    step: float
    offsets: Tuple[float, ...]
    named: Tuple[float, ...]
    names: Tuple[str, ...]
    style: str
    keypoints: str


class Chunk(NamedTuple):
    """Rows of consecutive stations: ``station`` and ``display`` (n,),
    ``names`` (n strings), ``xy`` (n, offsets, 2), ``azimuth`` and
    ``curvature`` (n,)."""
    station: np.ndarray
    display: np.ndarray
    names: List[str]
    xy: np.ndarray
    azimuth: np.ndarray
    curvature: np.ndarray


def _internal(alignment: Any, value: float, option: str) -> float:
    try:
        return float(alignment.stations.from_display(value))
    except StationError as exc:
        raise CommandError("%s: %s" % (option, exc))


def make_plan(alignment: Any, start: Optional[float] = None, end: Optional[float] = None,
              step: float = 20.0, offsets: Sequence[float] = (0.0,), at: Sequence[float] = (),
              keypoints: str = "us", style: Optional[str] = None) -> Plan:
    """Check the options against ``alignment`` (display stations in) and
    gather the named stations. Raises CommandError naming the option."""
    s0, s1 = alignment.start_station, alignment.end_station
    lo = s0 if start is None else _internal(alignment, start, "--from")
    hi = s1 if end is None else _internal(alignment, end, "--to")
    if lo > hi:
        # Both were given: either alone is checked inside the alignment.
        raise CommandError("--from %s is after --to %s" % (format_station(start),  # type: ignore[arg-type]
                                                           format_station(end)))  # type: ignore[arg-type]
    if not (math.isfinite(step) and step > 0):
        raise CommandError("--step must be a positive number, got %r" % (step,))
    marks = {}  # type: Dict[float, List[str]]  # internal station -> names
    for s in (lo, hi):
        marks.setdefault(s, [])
    for value in at:
        marks.setdefault(_internal(alignment, value, "--at"), [])
    for eq in alignment.stations.equations:  # where the chainage jumps
        if lo <= eq.internal <= hi:
            marks.setdefault(eq.internal, []).append("EQ")
    for kp in _keypoints.key_points(alignment, keypoints):
        s = min(max(kp.station, s0), s1)
        if lo - MERGE_TOLERANCE <= s <= hi + MERGE_TOLERANCE:
            marks.setdefault(min(max(s, lo), hi), []).append(kp.name)
    # Stations closer than the tolerance are one row, with all their names.
    merged = []  # type: List[List[Any]]
    for s in sorted(marks):
        if merged and s - merged[-1][0] <= MERGE_TOLERANCE:
            merged[-1][1].extend(n for n in marks[s] if n not in merged[-1][1])
            if marks[s] and not merged[-1][2]:
                merged[-1][0], merged[-1][2] = s, True
        else:
            merged.append([s, list(marks[s]), bool(marks[s])])
    style = default_style(alignment) if style is None else style
    return Plan(lo, hi, float(step), tuple(float(o) for o in offsets),
                tuple(m[0] for m in merged), tuple("/".join(m[1]) for m in merged), style,
                keypoints)


def _grid_ranges(alignment: Any, plan: Plan) -> List[Tuple[int, int, float, Optional[float]]]:
    """Per station-equation region: the first and last multiple k of step
    whose display station k*step lies in the region and the plan, and the
    region's internal start and display start (None for the first region,
    where display and internal stations are one)."""
    out = []
    regions = alignment.stations.regions
    for r in regions:
        lo, hi = max(plan.start, r.internal_start), min(plan.end, r.internal_end)
        if lo > hi:
            continue
        d_lo = r.display_start + (lo - r.internal_start) if r.index else lo
        d_hi = r.display_start + (hi - r.internal_start) if r.index else hi
        first, last = int(math.ceil(d_lo / plan.step)), int(math.floor(d_hi / plan.step))
        if first * plan.step < d_lo:
            first += 1
        if last * plan.step > d_hi:
            last -= 1
        # The equation's own station starts the next region.
        if r.index + 1 < len(regions) and hi == r.internal_end and last * plan.step >= d_hi:
            last -= 1
        if last >= first:
            out.append((first, last, r.internal_start, r.display_start if r.index else None))
    return out


def count_rows(alignment: Any, plan: Plan) -> int:
    """Rows of the plan (grid plus named stations, before merging)."""
    return sum(b - a + 1 for a, b, _, _ in _grid_ranges(alignment, plan)) + len(plan.named)


def _grid_blocks(alignment: Any, plan: Plan, size: int) -> Iterator[np.ndarray]:
    for first, last, i0, d0 in _grid_ranges(alignment, plan):
        for k in range(first, last + 1, size):
            display = np.arange(k, min(k + size, last + 1), dtype=np.float64) * plan.step
            yield display if d0 is None else i0 + (display - d0)


def iter_stations(alignment: Any, plan: Plan,
                  size: int = CHUNK) -> Iterator[Tuple[np.ndarray, List[str]]]:
    """(internal stations, names) a block at a time, in increasing station:
    the grid with the named stations merged in."""
    named = np.array(plan.named, dtype=np.float64)
    taken = 0

    def merge(grid: np.ndarray, upto: float) -> Tuple[np.ndarray, List[str]]:
        nonlocal taken
        if named.size:
            i = np.searchsorted(named, grid)
            near = np.zeros(grid.shape, dtype=bool)
            for j in (i - 1, i):
                ok = (j >= 0) & (j < named.size)
                near[ok] |= np.abs(named[j[ok]] - grid[ok]) <= MERGE_TOLERANCE
            grid = grid[~near]
        stop = int(np.searchsorted(named, upto, side="left"))
        extra = named[taken:stop]
        names = list(plan.names[taken:stop])
        taken = stop
        stations = np.concatenate([grid, extra])
        order = np.argsort(stations, kind="stable")
        labels = [""] * grid.size + names
        return stations[order], [labels[i] for i in order]

    pending = None
    for block in _grid_blocks(alignment, plan, size):
        if pending is not None:
            yield merge(pending, block[0])
        pending = block
    yield merge(pending if pending is not None else np.empty(0), math.inf)


def iter_chunks(alignment: Any, plan: Plan, size: int = CHUNK,
                label: str = "stakeout") -> Iterator[Chunk]:
    """The rows of ``plan`` computed a block at a time, with a progress bar
    on a terminal."""
    total = count_rows(alignment, plan)
    if total > MAX_ROWS:
        raise CommandError("--step %g gives about %d rows (at most %d); use a larger step"
                           % (plan.step, total, MAX_ROWS))
    if total * len(plan.offsets) > MAX_STAKES:
        raise CommandError("%d rows with %d offsets give %d stakes (at most %d); use a larger "
                           "--step or fewer --offsets" % (total, len(plan.offsets),
                                                          total * len(plan.offsets), MAX_STAKES))
    offsets = np.array(plan.offsets, dtype=np.float64)
    smap = alignment.stations
    done = 0
    with Progress(total, label) as bar:
        for stations, names in iter_stations(alignment, plan, size):
            if not stations.size:
                continue
            xy = alignment.point(stations[:, None], offsets[None, :])
            yield Chunk(stations, np.atleast_1d(smap.to_display(stations)), names, xy,
                        np.atleast_1d(alignment.azimuth(stations)),
                        np.atleast_1d(alignment.curvature(stations)))
            done += stations.size
            bar.update(done)


def offset_radius(curvature: float, offset: float) -> float:
    """Radius of the line at ``offset`` (positive right) where the centre
    line has signed ``curvature`` (positive right): |1/k - offset|."""
    if curvature == 0.0 or not math.isfinite(curvature):
        return math.inf if curvature == 0.0 else math.nan
    return abs(1.0 / curvature - offset)


# ------------------------------------------------------------------ writers

_HEAD = "%14s  %-13s %-9s %8s %15s %15s %14s %12s\n"
_FIRST = "%14.3f  %-13s %-9s %8.3f %15.3f %15.3f %14s %12s\n"
_NEXT = "%14s  %-13s %-9s %8.3f %15.3f %15.3f %14s %12s\n"


def offset_radii(curvature: np.ndarray, offsets: Sequence[float]) -> np.ndarray:
    """:func:`offset_radius` for a chunk: shape (stations, offsets)."""
    k = np.asarray(curvature, dtype=np.float64)[:, None]
    with np.errstate(divide="ignore", invalid="ignore"):
        r = np.abs(1.0 / k - np.asarray(offsets, dtype=np.float64)[None, :])
    return np.where(k == 0.0, np.inf, r)


def write_table(chunks: Iterator[Chunk], plan: Plan, out: IO[str], angles: str = "deg") -> None:
    """The rows as an aligned text table: one line per station and offset
    (offsets negative left, positive right), azimuths in ``angles``."""
    out.write(_HEAD % ("station", "chainage", "key", "offset", "x", "y",
                       "azimuth_" + angles, "radius"))
    offsets = plan.offsets
    for c in chunks:
        lines = []
        radii = offset_radii(c.curvature, offsets).tolist()
        for s, chain, name, pts, a, rs in zip(c.station.tolist(),
                                              chainage_texts(c.display.tolist(), plan.style),
                                              c.names, c.xy.tolist(), c.azimuth.tolist(), radii):
            az = format_angle(a, angles)
            for j, (o, (x, y), r) in enumerate(zip(offsets, pts, rs)):
                r_text = "inf" if r == math.inf else "%.3f" % r
                if j == 0:
                    lines.append(_FIRST % (s, chain, name, o, x, y, az, r_text))
                else:
                    lines.append(_NEXT % ("", "", "", o, x, y, az, r_text))
        out.write("".join(lines))


def write_csv(chunks: Iterator[Chunk], plan: Plan, out: IO[str], angles: str = "deg") -> None:
    """One line per station and offset, numbers as repr (full precision).
    Lines are joined by hand: only a DMS azimuth (which holds '"') and a
    key name need quoting, and csv.writer costs twice as much."""
    out.write("station,chainage,key,offset,x,y,azimuth_%s,azimuth_rad,radius\n" % angles)
    offsets = [repr(o) for o in plan.offsets]
    quote = _csv_field
    for c in chunks:
        lines = []
        radii = offset_radii(c.curvature, plan.offsets).tolist()
        for s, chain, name, pts, a, rs in zip(c.station.tolist(),
                                              chainage_texts(c.display.tolist(), plan.style),
                                              c.names, c.xy.tolist(), c.azimuth.tolist(), radii):
            # What the offsets share is formatted once per station.
            av = angle_value(a, angles)
            head = "%r,%s,%s," % (s, chain, quote(name) if name else "")
            tail = ",%s,%r," % (quote(av) if angles == "dms" else repr(av), a)
            for o_text, (x, y), r in zip(offsets, pts, rs):
                lines.append("%s%s,%r,%r%s%r\n" % (head, o_text, x, y, tail, r))
        out.write("".join(lines))


def _csv_field(text: str) -> str:
    if any(ch in text for ch in ',"\r\n'):
        return '"%s"' % text.replace('"', '""')
    return text


def geojson_writer(alignment: Any, plan: Plan, angles: str = "deg", crs: Optional[str] = None,
                   plane: bool = False, chord_error: float = 0.001) -> Callable[..., None]:
    """``write(chunks, out)`` for a FeatureCollection: the alignment's line
    and element lines, the offset lines, then one Point per stake as it is
    computed. The lines are made here, so that what can fail fails before
    any output."""
    from curvixkit import sampling

    project, member = sampling.projection(crs, plane)
    lines = [json.dumps(f, allow_nan=False) for f in sampling.line_features(
        alignment, plan.start, plan.end, chord_error, project, plan.offsets, plan.style)]

    def write(chunks: Iterator[Chunk], out: IO[str]) -> None:
        out.write('{"type": "FeatureCollection",\n')
        if member is not None:
            out.write(' "crs": %s,\n' % json.dumps(member))
        out.write(' "features": [\n' + ",\n".join(lines))
        _write_stake_points(alignment, chunks, plan, out, angles, project)
        out.write("\n]}\n")

    return write


def _write_stake_points(alignment: Any, chunks: Iterator[Chunk], plan: Plan, out: IO[str],
                        angles: str, project: Callable) -> None:
    from curvixkit import sampling

    for c in chunks:
        xs, ys = project(c.xy[..., 0], c.xy[..., 1])
        sampling.check_finite(alignment, c.station, xs, ys)
        for i, (s, d, name, a, k) in enumerate(zip(c.station.tolist(), c.display.tolist(),
                                                   c.names, c.azimuth.tolist(),
                                                   c.curvature.tolist())):
            chain = format_station(d, plan.style)
            for j, o in enumerate(plan.offsets):
                r = offset_radius(k, o)
                feature = {"type": "Feature",
                           "geometry": {"type": "Point",
                                        "coordinates": [float(xs[i, j]), float(ys[i, j])]},
                           "properties": {"role": "stake", "station": s, "chainage": chain,
                                          "key": name, "offset": o,
                                          "azimuth_" + angles: angle_value(a, angles),
                                          "radius": None if math.isinf(r) else r}}
                out.write(",\n" + json.dumps(feature, ensure_ascii=False, allow_nan=False))


def _load_ezdxf() -> Any:
    try:
        import ezdxf
    except ImportError:
        raise CommandError(MISSING_EZDXF)
    return ezdxf


def offset_layer(offset: float) -> str:
    """OFFSET_L3.5 / OFFSET_R3.5 for offsets -3.5 / 3.5."""
    return "OFFSET_%s%s" % ("L" if offset < 0 else "R", ("%.6f" % abs(offset)).rstrip("0").rstrip("."))


def build_drawing(alignment: Any, plan: Plan, chord_error: float = 0.001) -> Any:
    """An ezdxf document (R2010) with the layers and the lines: ALIGNMENT
    (LINE, ARC, spirals as LWPOLYLINE within ``chord_error``) and one layer
    per offset line; the stakes and labels are streamed in by :func:`write_dxf`."""
    from curvixkit import sampling

    ezdxf = _load_ezdxf()
    doc = ezdxf.new("R2010")
    msp = doc.modelspace()
    for name, colour in (("ALIGNMENT", 1), ("STAKES", 3), ("KEYPOINTS", 6), ("LABELS", 7)):
        doc.layers.new(name, dxfattribs={"color": colour})
    for o in plan.offsets:
        if o != 0.0:
            doc.layers.new(offset_layer(o), dxfattribs={"color": 4})

    for piece in sampling.element_pieces(alignment, plan.start, plan.end):
        e = piece.element
        if e.kind == "line":
            (x0, y0), (x1, y1) = alignment.point(np.array([piece.start, piece.end])).tolist()
            msp.add_line((x0, y0), (x1, y1), dxfattribs={"layer": "ALIGNMENT"})
        elif e.kind == "arc":
            msp.add_arc(**_arc_attributes(alignment, piece), dxfattribs={"layer": "ALIGNMENT"})
        else:
            s = sampling.chord_stations(piece, chord_error)
            msp.add_lwpolyline(alignment.point(s).tolist(), dxfattribs={"layer": "ALIGNMENT"})
        for o in plan.offsets:
            if o != 0.0:
                s = sampling.chord_stations(piece, chord_error, o)
                msp.add_lwpolyline(alignment.point(s, o).tolist(),
                                   dxfattribs={"layer": offset_layer(o)})
    return doc


_HANDSEED = re.compile(r"(\$HANDSEED\n\s*5\n)([0-9A-Fa-f]+)\n")
_POINT = ("  0\nPOINT\n  5\n%X\n330\n%s\n100\nAcDbEntity\n  8\n%s\n100\nAcDbPoint\n"
          " 10\n%r\n 20\n%r\n 30\n0.0\n")
_TEXT = ("  0\nTEXT\n  5\n%X\n330\n%s\n100\nAcDbEntity\n  8\nLABELS\n100\nAcDbText\n"
         " 10\n%r\n 20\n%r\n 30\n0.0\n 40\n%r\n  1\n%s\n 50\n%r\n100\nAcDbText\n")


def dxf_writer(alignment: Any, plan: Plan, chord_error: float = 0.001) -> Callable[..., None]:
    """``write(chunks, out)`` for the drawing of :func:`build_drawing` with a
    POINT per stake on STAKES (KEYPOINTS for key point rows) and a TEXT label
    per row (chainage and key names) on LABELS, left of the leftmost stake
    and square to the alignment.

    The stakes are written as they are computed, straight into the entities
    section of the text ezdxf writes for the rest, so memory stays flat for
    a million rows (ezdxf holds about 1 kB per entity). Their handles are
    numbered from the document's handle seed, which is moved past them."""
    doc = build_drawing(alignment, plan, chord_error)
    owner = doc.modelspace().block_record.dxf.handle
    buffer = io.StringIO()
    doc.write(buffer)
    text = buffer.getvalue()
    seed = _HANDSEED.search(text)
    entities = text.find("  2\nENTITIES\n")
    end = text.find("  0\nENDSEC\n", entities)
    if seed is None or entities < 0 or end < 0:
        raise CommandError("ezdxf %s wrote a drawing without $HANDSEED or entities; "
                           "cannot add the stakes" % getattr(_load_ezdxf(), "__version__", "?"))
    first = int(seed.group(2), 16)
    reserved = count_rows(alignment, plan) * (len(plan.offsets) + 1) + 1
    head = text[:seed.start(2)] + "%X" % (first + reserved) + text[seed.end(2):end]
    tail = text[end:]

    def write(chunks: Iterator[Chunk], out: IO[str]) -> None:
        out.write(head)
        _write_stake_entities(alignment, chunks, plan, out, first, owner)
        out.write(tail)

    return write


def _write_stake_entities(alignment: Any, chunks: Iterator[Chunk], plan: Plan, out: IO[str],
                          handle: int, owner: str) -> None:
    left = max([0.0] + [-o for o in plan.offsets]) + LABEL_HEIGHT
    for c in chunks:
        label_xy = alignment.point(c.station, -left).tolist()
        parts = []
        for d, name, a, pts, (lx, ly) in zip(chainage_texts(c.display.tolist(), plan.style),
                                             c.names, c.azimuth.tolist(), c.xy.tolist(), label_xy):
            layer = "KEYPOINTS" if name else "STAKES"
            for x, y in pts:
                parts.append(_POINT % (handle, owner, layer, x, y))
                handle += 1
            # Text runs from the label point outwards, along the left normal.
            angle = (180.0 - math.degrees(a)) % 360.0
            parts.append(_TEXT % (handle, owner, lx, ly, LABEL_HEIGHT,
                                  d + (" " + name if name else ""), angle))
            handle += 1
        out.write("".join(parts))


def _arc_attributes(alignment: Any, piece: Any) -> dict:
    """Centre, radius and counter-clockwise angles (degrees from +x) of the
    arc piece, from its start point and tangent."""
    e = piece.element
    (x0, y0), (x1, y1) = alignment.point(np.array([piece.start, piece.end])).tolist()
    a0 = float(alignment.azimuth(piece.start))
    r = e.start_radius
    # The centre lies to the right of travel for a right-hand arc.
    cx, cy = x0 + e.turn * r * math.cos(a0), y0 - e.turn * r * math.sin(a0)
    t0 = math.degrees(math.atan2(y0 - cy, x0 - cx))
    t1 = math.degrees(math.atan2(y1 - cy, x1 - cx))
    start, end = (t1, t0) if e.turn > 0 else (t0, t1)
    return {"center": (cx, cy), "radius": r, "start_angle": start, "end_angle": end}


# ------------------------------------------------------------------ command

def run(args: argparse.Namespace, alignment: Any, output: Callable[[Optional[str]], Any]) -> int:
    """``curvix stakeout``: ``alignment`` is a curvixkit.Alignment, ``output``
    the command line's context manager for -o."""
    if args.format != "geojson" and (args.crs is not None or args.plane):
        raise CommandError("--crs and --plane apply to --format geojson only")
    if args.plane and args.crs is None:
        raise CommandError("--plane needs --crs EPSG:CODE to name")
    plan = make_plan(alignment, args.start, args.end, args.step, args.offsets, args.at,
                     args.keypoints, args.chainage)
    # What can fail (a missing extra, a bad CRS, too many vertices or rows)
    # fails here, before any output and before OUT is created.
    writer = None
    if args.format == "dxf":
        writer = dxf_writer(alignment, plan, args.chord_error)
    elif args.format == "geojson":
        writer = geojson_writer(alignment, plan, args.angles, args.crs, args.plane,
                                args.chord_error)
    chunks = iter_chunks(alignment, plan)
    # The row count is checked when the first chunk is asked for.
    first = next(chunks, None)
    rest = (c for part in ([first] if first is not None else [], chunks) for c in part)
    with output(args.output) as out:
        if writer is not None:
            writer(rest, out)
        elif args.format == "csv":
            write_csv(rest, plan, out, args.angles)
        else:
            write_table(rest, plan, out, args.angles)
    return 0
