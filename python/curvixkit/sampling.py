"""Stations along an alignment and the table, CSV and GeoJSON written from them."""

from __future__ import annotations

import csv
import json
import math
import os
from typing import IO, Any, Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from curvixkit.alignment import Alignment, degrees
from curvixkit.chainage import format_chainage
from curvixkit.errors import CommandError
from curvixkit.progress import Progress

# A station of the regular grid closer than this to an element boundary (or
# to the ends of the range) is left out: the boundary row stands for it.
MERGE_TOLERANCE = 1e-6
MAX_ROWS = 10000000
CHUNK = 8192


class Sample(NamedTuple):
    """One sampled row: station, x, y, azimuth (radians from north,
    clockwise) and the element joints that fall on it."""
    station: float
    x: float
    y: float
    azimuth: float  # radians
    boundaries: Tuple[int, ...]  # indices k of the element boundaries S[k] at this row


class KeyStation(NamedTuple):
    """A station to sample and the indices of the element joints that fall
    on it (empty for a grid station)."""
    station: float
    boundaries: Tuple[int, ...]


def grid_range(start: float, end: float, step: float) -> Tuple[int, int]:
    """First and last k with start <= k*step <= end."""
    first = math.ceil(start / step)
    last = math.floor(end / step)
    if first * step < start:
        first += 1
    if last * step > end:
        last -= 1
    return first, last


def key_stations(start: float, end: float, boundaries: Sequence[float]) -> List[KeyStation]:
    """The range ends and the element boundaries S[k] within it, in order.

    Stations closer than MERGE_TOLERANCE become one, at a range end where
    there is one: the last boundary, summed element by element, can differ
    from end_pk in its last bits (and lie just beyond it, where the
    alignment has no point).
    """
    marks = [(start, -1), (end, -1)]
    marks += [(s, k) for k, s in enumerate(boundaries)
              if start - MERGE_TOLERANCE <= s <= end + MERGE_TOLERANCE]
    marks.sort()
    groups = []  # type: List[List[Tuple[float, int]]]
    for mark in marks:
        if groups and mark[0] - groups[-1][-1][0] <= MERGE_TOLERANCE:
            groups[-1].append(mark)
        else:
            groups.append([mark])
    keys = []
    for group in groups:
        ends = [s for s, k in group if k < 0]
        station = ends[0] if ends else group[0][0]
        keys.append(KeyStation(min(max(station, start), end),
                               tuple(sorted(set(k for _, k in group if k >= 0)))))
    return keys


def iter_stations(start: float, end: float, step: float,
                  keys: Sequence[KeyStation]) -> Iterator[KeyStation]:
    """Every multiple of step in [start, end] and every key station, in order.

    Keys are always kept; a multiple of step within MERGE_TOLERANCE of a key is
    dropped. Grid stations come out with no boundaries.
    """
    first, last = grid_range(start, end, step)
    i = 0
    last_key = None
    for k in range(first, last + 1):
        s = k * step
        while i < len(keys) and keys[i].station <= s + MERGE_TOLERANCE:
            last_key = keys[i].station
            yield keys[i]
            i += 1
        # Keys up to s + tolerance are out already, so only the last can be near.
        if last_key is not None and s - last_key <= MERGE_TOLERANCE:
            continue
        yield KeyStation(s, ())
    for key in keys[i:]:
        yield key


def _chunks(items: Iterator[KeyStation], size: int) -> Iterator[List[KeyStation]]:
    chunk = []  # type: List[KeyStation]
    for item in items:
        chunk.append(item)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def sample(alignment: Alignment, start: float, end: float, step: float,
           progress_label: str = "sample") -> Iterator[Sample]:
    """Points and tangent azimuths every step and at every boundary in
    [start, end], computed a chunk of stations at a time."""
    keys = key_stations(start, end, alignment.boundaries)
    first, last = grid_range(start, end, step)
    total = max(last - first + 1, 0) + len(keys)
    if total > MAX_ROWS:
        raise CommandError("--step %g gives about %d rows (at most %d); use a larger step"
                           % (step, total, MAX_ROWS))
    done = 0
    with Progress(total, progress_label) as bar:
        for chunk in _chunks(iter_stations(start, end, step, keys), CHUNK):
            stations = np.array([key.station for key in chunk])
            xy = alignment.points(stations).tolist()
            azimuths = alignment.kit.azimuth(stations).tolist()
            for key, (x, y), a in zip(chunk, xy, azimuths):
                yield Sample(key.station, x, y, a, key.boundaries)
            done += len(chunk)
            bar.update(done)


# ------------------------------------------------------------------ writers

def write_table(rows: Iterator[Sample], out: IO[str],
                chainage: Callable[[float], str] = format_chainage) -> None:
    """The samples as an aligned text table (``|`` marks an element joint)."""
    out.write("%14s  %-13s %15s %15s %14s\n" % ("station", "chainage", "x", "y", "azimuth_deg"))
    for r in rows:
        out.write("%14.3f  %-13s %15.3f %15.3f %14.6f%s\n" % (
            r.station, chainage(r.station), r.x, r.y, degrees(r.azimuth),
            "  |" if r.boundaries else ""))


def write_csv(rows: Iterator[Sample], out: IO[str],
              chainage: Callable[[float], str] = format_chainage) -> None:
    """The samples as CSV, numbers written with ``repr`` (round trip exact)."""
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["station", "chainage", "x", "y", "azimuth_rad", "azimuth_deg", "boundary"])
    for r in rows:
        w.writerow([repr(r.station), chainage(r.station), repr(r.x), repr(r.y),
                    repr(r.azimuth), repr(degrees(r.azimuth)), int(bool(r.boundaries))])


MISSING_PYPROJ = 'transforming to WGS 84 needs pyproj; install it with: pip install "curvix[gis]"'
# Vertices of the lines written to GeoJSON and DXF, all lines together.
MAX_VERTICES = 5000000


def crs_member(crs: Optional[str]) -> Optional[dict]:
    """The old-style (2008) GeoJSON ``crs`` member naming an EPSG code."""
    if crs is None:
        return None
    code = crs.split(":", 1)[1]
    return {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::%s" % code}}


def projection(crs: Optional[str], plane: bool = False) -> Tuple[Callable, Optional[dict]]:
    """``(project, crs_member)``: ``project(x, y)`` gives the coordinates to
    write. With ``crs`` and not ``plane`` they are WGS 84 longitude and
    latitude (RFC 7946) and there is no member; otherwise plane coordinates,
    with the old-style member naming ``crs`` where one is given."""
    if crs is None or plane:
        return (lambda x, y: (np.asarray(x, dtype=float), np.asarray(y, dtype=float))), \
            crs_member(crs)
    try:
        import pyproj
    except ImportError:
        raise CommandError(MISSING_PYPROJ)
    try:
        transformer = pyproj.Transformer.from_crs(crs, "EPSG:4326", always_xy=True)
    except pyproj.exceptions.CRSError as exc:
        raise CommandError("--crs %s: %s" % (crs, " ".join(str(exc).split())))

    def project(x: Any, y: Any) -> Tuple[np.ndarray, np.ndarray]:
        lon, lat = transformer.transform(np.asarray(x, dtype=float), np.asarray(y, dtype=float))
        return np.asarray(lon), np.asarray(lat)

    return project, None


class Piece(NamedTuple):
    """The part of element ``index`` between internal stations start and end."""
    index: int  # type: ignore[assignment]  # the field shadows tuple.index
    element: Any
    start: float
    end: float


def element_pieces(kit: Any, start: float, end: float) -> List[Piece]:
    """The elements of a curvixkit.Alignment clipped to [start, end], in order
    (pieces of zero length left out)."""
    out = []
    for k, e in enumerate(kit.elements):
        lo = max(e.start_station, start)
        hi = min(e.end_station, end, kit.end_station)
        if hi > lo:
            out.append(Piece(k, e, lo, hi))
    return out


def chord_stations(piece: Piece, chord_error: float, offset: float = 0.0) -> np.ndarray:
    """Stations of a polyline that stays within ``chord_error`` of the piece
    (or of its line at ``offset``): a chord c over a curve of radius r has
    sagitta c**2 / 8r, and on a clothoid the largest curvature of the piece
    counts. At an offset o the line's radius is |1/k - o| while it turns
    by k per unit of station, so a step ds keeps |k (1 - o k)| ds**2 / 8
    within the error."""
    e = piece.element
    if e.kind == "line":
        return np.array([piece.start, piece.end])

    def k_at(s: float) -> float:
        t = (s - e.start_station) / e.length if e.length > 0 else 0.0
        return e.start_curvature + (e.end_curvature - e.start_curvature) * t

    ks = [k_at(piece.start), k_at(piece.end)]
    if offset != 0.0 and min(ks) < 0.5 / offset < max(ks):
        ks.append(0.5 / offset)  # the peak of |k (1 - o k)|
    bend = max(abs(k * (1.0 - offset * k)) for k in ks)
    n = 1
    if bend > 0.0:
        n = max(int(math.ceil((piece.end - piece.start) / math.sqrt(8.0 * chord_error / bend))), 1)
    if n > MAX_VERTICES:
        raise CommandError("--chord-error %g needs %d vertices on element %d (at most %d); "
                           "use a larger --chord-error" % (chord_error, n, piece.index + 1,
                                                           MAX_VERTICES))
    s = piece.start + (piece.end - piece.start) * (np.arange(n + 1) / n)
    s[-1] = piece.end
    return s


def check_finite(kit: Any, stations: Any, xs: Any, ys: Any) -> None:
    """Raise :class:`CommandError` naming the station of the first point
    that is not finite (GeoJSON has no NaN)."""
    bad = ~(np.isfinite(xs) & np.isfinite(ys))
    if np.any(bad):
        i = np.unravel_index(int(np.argmax(bad)), bad.shape)
        raise CommandError("%s: the point at station %r is not finite (x=%r, y=%r); "
                           "GeoJSON needs finite coordinates"
                           % (kit.path, float(np.asarray(stations)[i[0]]), float(xs[i]),
                              float(ys[i])))


def _radius_or_none(r: float) -> Optional[float]:
    return None if math.isinf(r) else r


def line_features(kit: Any, start: float, end: float, chord_error: float,
                  project: Callable, offsets: Sequence[float] = (),
                  style: str = "k") -> Iterator[dict]:
    """GeoJSON features of a curvixkit.Alignment between start and end: the
    whole line, one line per element (kind, stations, radii, turn, A) and
    one line per non-zero offset, with vertices within ``chord_error``."""
    from curvixkit.stations import format_station

    pieces = element_pieces(kit, start, end)
    smap = kit.stations
    name = kit.name or (os.path.splitext(os.path.basename(kit.path))[0] if kit.path else None)

    def coordinates(stations: np.ndarray, offset: float) -> List[List[float]]:
        xy = kit.point(stations, offset)
        xs, ys = project(xy[:, 0], xy[:, 1])
        check_finite(kit, stations, xs, ys)
        return np.stack([xs, ys], axis=1).tolist()

    per_piece = [chord_stations(p, chord_error) for p in pieces]
    if sum(len(s) for s in per_piece) > MAX_VERTICES:
        raise CommandError("--chord-error %g needs more than %d vertices; use a larger "
                           "--chord-error" % (chord_error, MAX_VERTICES))
    lines = [coordinates(s, 0.0) for s in per_piece]
    whole = [v for i, line in enumerate(lines) for v in (line if i == 0 else line[1:])]
    d0, d1 = smap.to_display(start), smap.to_display(end)
    yield {"type": "Feature", "geometry": {"type": "LineString", "coordinates": whole},
           "properties": {"role": "alignment", "name": name, "start_station": start,
                          "end_station": end, "start_chainage": format_station(d0, style),
                          "end_chainage": format_station(d1, style),
                          "chord_error": chord_error}}
    for p, line in zip(pieces, lines):
        e = p.element
        yield {"type": "Feature", "geometry": {"type": "LineString", "coordinates": line},
               "properties": {"role": "element", "element": p.index + 1, "kind": e.kind,
                              "start_station": p.start, "end_station": p.end,
                              "start_chainage": format_station(smap.to_display(p.start), style),
                              "end_chainage": format_station(smap.to_display(p.end), style),
                              "length": p.end - p.start,
                              "start_radius": _radius_or_none(e.start_radius),
                              "end_radius": _radius_or_none(e.end_radius),
                              "turn": e.turn, "A": e.A}}
    for o in offsets:
        if o == 0.0:
            continue
        parts = [coordinates(chord_stations(p, chord_error, o), o) for p in pieces]
        yield {"type": "Feature",
               "geometry": {"type": "LineString",
                            "coordinates": [v for i, line in enumerate(parts)
                                            for v in (line if i == 0 else line[1:])]},
               "properties": {"role": "offset", "offset": o, "start_station": start,
                              "end_station": end}}


def geojson_document(alignment: Alignment, start: float, end: float,
                     crs: Optional[str] = None, plane: bool = False,
                     chord_error: float = 0.001) -> dict:
    """A FeatureCollection of [start, end]: the whole line and one line per
    element with vertices within ``chord_error``, then one Point per element
    boundary. With ``crs`` (and not ``plane``) coordinates are WGS 84
    longitude and latitude; ``plane`` keeps plane coordinates and names
    ``crs`` in an old-style member."""
    kit = alignment.kit
    project, member = projection(crs, plane)
    features = list(line_features(kit, start, end, chord_error, project))
    kinds = [e["kind"] for e in alignment.elements]
    keys = key_stations(start, end, alignment.boundaries)
    stations = np.array([key.station for key in keys])
    xy = alignment.points(stations)
    xs, ys = project(xy[:, 0], xy[:, 1])
    check_finite(kit, stations, xs, ys)
    azimuths = np.atleast_1d(kit.azimuth(stations)).tolist()
    for key, x, y, a in zip(keys, xs.tolist(), ys.tolist(), azimuths):
        for k in key.boundaries:
            features.append({
                "type": "Feature",
                "geometry": {"type": "Point", "coordinates": [x, y]},
                "properties": {
                    "role": "boundary", "boundary": k, "station": key.station,
                    "chainage": alignment.chainage(key.station), "azimuth_deg": degrees(a),
                    "before": kinds[k - 1] if k > 0 else None,
                    "after": kinds[k] if k < len(kinds) else None,
                },
            })
    doc = {"type": "FeatureCollection"}  # type: dict
    if member is not None:
        doc["crs"] = member
    doc["features"] = features
    return doc


def write_geojson(doc: dict, out: IO[str]) -> None:
    """Write a GeoJSON document (refusing NaN, which JSON cannot hold)."""
    json.dump(doc, out, indent=1, allow_nan=False)
    out.write("\n")
