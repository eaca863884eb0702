"""GeoJSON of an alignment: its line, one line per element and per offset
with vertices within a chord error, and points (element joints, stakes),
in plane coordinates or in WGS 84 longitude and latitude through pyproj
(the ``gis`` extra), which also checks that a CRS fits the coordinates.
"""

from __future__ import annotations

import json
import math
import os
import warnings
from typing import IO, Any, Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from curvixkit.errors import CrsError, CrsWarning, missing_extra, one_line
from curvixkit.io.landxml.units import meters_per_unit
from curvixkit.angles import angle_value
from curvixkit.stations import merge_marks

# Vertices of the lines written to GeoJSON and DXF, all lines together.
MAX_VERTICES = 5000000


def crs_member(crs: Optional[str]) -> Optional[dict]:
    """The old-style (2008) GeoJSON ``crs`` member naming an EPSG code."""
    if crs is None:
        return None
    code = crs.split(":", 1)[1]
    return {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::%s" % code}}


def _pyproj() -> Any:
    try:
        import pyproj
    except ImportError:
        raise missing_extra("gis", "transforming to WGS 84") from None
    return pyproj


def check_crs_unit(crs: str, units: Any) -> None:
    """Raise :class:`CrsError` where the linear unit of ``crs`` is not the
    alignment's (``units``, a :class:`curvixkit.results.Units`; nothing is
    checked where the alignment's unit is not known)."""
    pyproj = _pyproj()
    try:
        system = pyproj.CRS.from_user_input(crs)
    except pyproj.exceptions.CRSError as exc:
        raise CrsError("%s: %s" % (crs, one_line(exc))) from None
    ours = meters_per_unit(units)
    axes = [a for a in system.axis_info if a.unit_conversion_factor]
    if ours is None or not axes or not system.is_projected:
        return
    theirs = axes[0].unit_conversion_factor
    if abs(theirs - ours) > 1e-9 * ours:
        raise CrsError("%s is in %s (%r m), but the alignment's coordinates are in %s (%r m); "
                       "give a CRS in the alignment's unit" % (crs, axes[0].unit_name, theirs,
                                                               units.linear, ours))


def warn_outside_area(crs: str, x: Any, y: Any) -> None:
    """Issue a :class:`CrsWarning` where points (plane coordinates in
    ``crs``) fall outside the CRS's area of use, which usually means the
    CRS is not the one the coordinates are in."""
    pyproj = _pyproj()
    system = pyproj.CRS.from_user_input(crs)
    area = system.area_of_use
    if area is None:
        return
    to_lonlat = pyproj.Transformer.from_crs(system, "EPSG:4326", always_xy=True)
    lon, lat = to_lonlat.transform(np.asarray(x, dtype=float), np.asarray(y, dtype=float))
    lon, lat = np.atleast_1d(lon), np.atleast_1d(lat)
    outside = ~((lon >= area.west) & (lon <= area.east) & (lat >= area.south) & (lat <= area.north))
    if np.any(outside):
        i = int(np.argmax(outside))
        warnings.warn("%d of %d points lie outside the area of use of %s (%s: longitude %g to %g, "
                      "latitude %g to %g), the first at x %r, y %r (longitude %.6f, latitude "
                      "%.6f); are the coordinates in that CRS?"
                      % (int(outside.sum()), outside.size, crs, area.name, area.west, area.east,
                         area.south, area.north, float(np.atleast_1d(x)[i]),
                         float(np.atleast_1d(y)[i]), lon[i], lat[i]), CrsWarning, stacklevel=3)


def projection(crs: Optional[str], plane: bool = False,
               units: Any = None) -> Tuple[Callable, Optional[dict]]:
    """``(project, crs_member)``: ``project(x, y)`` gives the coordinates to
    write. With ``crs`` and not ``plane`` they are WGS 84 longitude and
    latitude (RFC 7946) and there is no member; otherwise plane coordinates,
    with the old-style member naming ``crs`` where one is given. A ``crs``
    in another linear unit than ``units`` raises :class:`CrsError`."""
    if crs is not None and units is not None and not (plane and not _has_pyproj()):
        check_crs_unit(crs, units)  # (a CRS only named, without pyproj, is not checked)
    if crs is None or plane:
        return (lambda x, y: (np.asarray(x, dtype=float), np.asarray(y, dtype=float))), \
            crs_member(crs)
    pyproj = _pyproj()
    try:
        transformer = pyproj.Transformer.from_crs(crs, "EPSG:4326", always_xy=True)
    except pyproj.exceptions.CRSError as exc:
        raise CrsError("%s: %s" % (crs, one_line(exc))) from None

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


def element_pieces(alignment: Any, start: float, end: float) -> List[Piece]:
    """The elements of an alignment clipped to [start, end], in order
    (pieces of zero length left out)."""
    out = []
    for k, e in enumerate(alignment.elements):
        lo = max(e.start_station, start)
        hi = min(e.end_station, end, alignment.end_station)
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
        raise ValueError("a chord error of %g needs %d vertices on element %d (at most %d); "
                         "use a larger chord error" % (chord_error, n, piece.index + 1,
                                                       MAX_VERTICES))
    s = piece.start + (piece.end - piece.start) * (np.arange(n + 1) / n)
    s[-1] = piece.end
    return s


def check_finite(path: Optional[str], stations: Any, xs: Any, ys: Any) -> None:
    """Raise ``ValueError`` naming the station of the first point that is
    not finite (GeoJSON has no NaN)."""
    bad = ~(np.isfinite(xs) & np.isfinite(ys))
    if np.any(bad):
        i = np.unravel_index(int(np.argmax(bad)), bad.shape)
        raise ValueError("%s: the point at station %r is not finite (x=%r, y=%r); "
                           "GeoJSON needs finite coordinates"
                           % (path, float(np.asarray(stations)[i[0]]), float(xs[i]),
                              float(ys[i])))


def _radius_or_none(r: float) -> Optional[float]:
    return None if math.isinf(r) else r


def _merged(lines: List[List[List[float]]]) -> List[List[float]]:
    """Consecutive lines as one, each shared vertex once."""
    return [v for i, line in enumerate(lines) for v in (line if i == 0 else line[1:])]


def line_features(alignment: Any, start: float, end: float, chord_error: float,
                  project: Callable, offsets: Sequence[float] = ()) -> Iterator[dict]:
    """GeoJSON features of an alignment between internal stations start and
    end: the whole line, one line per element (kind, stations, radii, turn,
    A) and one line per non-zero offset, with vertices within
    ``chord_error``; chainages in the alignment's own style."""
    pieces = element_pieces(alignment, start, end)
    smap = alignment.stations
    path = alignment.path
    name = alignment.name or (os.path.splitext(os.path.basename(path))[0] if path else None)

    def coordinates(stations: np.ndarray, offset: float) -> List[List[float]]:
        xy = alignment.point(stations, offset)
        xs, ys = project(xy[:, 0], xy[:, 1])
        check_finite(path, stations, xs, ys)
        return np.stack([xs, ys], axis=1).tolist()

    per_piece = [chord_stations(p, chord_error) for p in pieces]
    if sum(len(s) for s in per_piece) > MAX_VERTICES:
        raise ValueError("a chord error of %g needs more than %d vertices; use a larger chord "
                         "error" % (chord_error, MAX_VERTICES))
    lines = [coordinates(s, 0.0) for s in per_piece]
    yield {"type": "Feature", "geometry": {"type": "LineString", "coordinates": _merged(lines)},
           "properties": {"role": "alignment", "name": name, "start_station": start,
                          "end_station": end, "start_chainage": smap.format(start),
                          "end_chainage": smap.format(end), "chord_error": chord_error}}
    for p, line in zip(pieces, lines):
        e = p.element
        yield {"type": "Feature", "geometry": {"type": "LineString", "coordinates": line},
               "properties": {"role": "element", "element": p.index + 1, "kind": e.kind,
                              "start_station": p.start, "end_station": p.end,
                              "start_chainage": smap.format(p.start),
                              "end_chainage": smap.format(p.end),
                              "length": p.end - p.start,
                              "start_radius": _radius_or_none(e.start_radius),
                              "end_radius": _radius_or_none(e.end_radius),
                              "turn": e.turn, "A": e.A}}
    for o in offsets:
        if o == 0.0:
            continue
        parts = [coordinates(chord_stations(p, chord_error, o), o) for p in pieces]
        yield {"type": "Feature", "geometry": {"type": "LineString", "coordinates": _merged(parts)},
               "properties": {"role": "offset", "offset": o, "start_station": start,
                              "end_station": end}}


def _has_pyproj() -> bool:
    try:
        import pyproj  # noqa: F401
    except ImportError:
        return False
    return True


def _warn_outside(alignment: Any, crs: Optional[str], plane: bool = False) -> None:
    if crs is not None and (not plane or _has_pyproj()):
        ends = np.array([e.start for e in alignment.elements] + [alignment.elements[-1].end])
        warn_outside_area(crs, ends[:, 0], ends[:, 1])


def geojson_document(alignment: Any, start: Optional[float] = None, end: Optional[float] = None,
                     crs: Optional[str] = None, plane: bool = False,
                     chord_error: float = 0.001) -> dict:
    """A FeatureCollection of the alignment between internal stations start
    and end (the whole of it by default): the whole line and one line per
    element with vertices within ``chord_error``, then one Point per element
    joint. With ``crs`` (and not ``plane``) coordinates are WGS 84 longitude
    and latitude; ``plane`` keeps plane coordinates and names ``crs`` in an
    old-style member. A ``crs`` in another unit than the alignment's raises
    :class:`CrsError`; points outside its area of use give a :class:`CrsWarning`."""
    start = alignment.start_station if start is None else start
    end = alignment.end_station if end is None else end
    project, member = projection(crs, plane, alignment.units)
    _warn_outside(alignment, crs, plane)
    features = list(line_features(alignment, start, end, chord_error, project))
    elements = alignment.elements
    kinds = [e.kind for e in elements]
    joints = [(e.start_station, k) for k, e in enumerate(elements)]
    joints.append((alignment.end_station, len(elements)))
    smap = alignment.stations
    stations, labels = merge_marks(start, end, joints)
    keep = [i for i, label in enumerate(labels) if label]
    if keep:
        s = stations[keep]
        xy = alignment.point(s)
        xs, ys = project(xy[:, 0], xy[:, 1])
        check_finite(alignment.path, s, xs, ys)
        azimuths = np.atleast_1d(alignment.azimuth(s)).tolist()
        chainages = smap.format(s)
        for i, x, y, a, text in zip(keep, xs.tolist(), ys.tolist(), azimuths, chainages):
            for k in labels[i]:
                features.append({
                    "type": "Feature",
                    "geometry": {"type": "Point", "coordinates": [x, y]},
                    "properties": {
                        "role": "boundary", "boundary": k, "station": float(stations[i]),
                        "chainage": text, "azimuth_deg": math.degrees(a),
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


def stake_writer(alignment: Any, plan: Any, angles: str = "deg", crs: Optional[str] = None,
                 plane: bool = False, chord_error: float = 0.001) -> Callable[..., None]:
    """``write(chunks, out)`` for a FeatureCollection of a stake-out plan
    (:mod:`curvixkit.setting_out`): the alignment's line and element lines,
    the offset lines, then one Point per stake as it is computed. The lines
    are made here, so that what can fail fails before any output."""
    project, member = projection(crs, plane, alignment.units)
    _warn_outside(alignment, crs, plane)
    lines = [json.dumps(f, allow_nan=False) for f in line_features(
        alignment, plan.start, plan.end, chord_error, project, plan.offsets)]

    def write(chunks: Iterator[Any], out: IO[str]) -> None:
        out.write('{"type": "FeatureCollection",\n')
        if member is not None:
            out.write(' "crs": %s,\n' % json.dumps(member))
        out.write(' "features": [\n' + ",\n".join(lines))
        for c in chunks:
            xs, ys = project(c.xy[..., 0], c.xy[..., 1])
            check_finite(alignment.path, c.station, xs, ys)
            for i, (s, chain, name) in enumerate(zip(c.station.tolist(), c.chainage, c.names)):
                for j, o in enumerate(plan.offsets):
                    r = float(c.radius[i, j])
                    feature = {"type": "Feature",
                               "geometry": {"type": "Point",
                                            "coordinates": [float(xs[i, j]), float(ys[i, j])]},
                               "properties": {"role": "stake", "station": s, "chainage": chain,
                                              "key": name, "offset": o,
                                              "azimuth_" + angles: angle_value(
                                                  float(c.azimuth[i, j]), angles),
                                              "radius": None if math.isinf(r) else r}}
                    out.write(",\n" + json.dumps(feature, ensure_ascii=False, allow_nan=False))
        out.write("\n]}\n")

    return write
