"""Stations along an alignment and the table, CSV and GeoJSON written from them."""

from __future__ import annotations

import csv
import json
import math
import os
from typing import IO, Iterator, List, NamedTuple, Optional, Sequence, Tuple

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
    station: float
    x: float
    y: float
    azimuth: float  # radians
    boundaries: Tuple[int, ...]  # indices k of the element boundaries S[k] at this row


class KeyStation(NamedTuple):
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

def write_table(rows: Iterator[Sample], out: IO[str]) -> None:
    out.write("%14s  %-13s %15s %15s %14s\n" % ("station", "chainage", "x", "y", "azimuth_deg"))
    for r in rows:
        out.write("%14.3f  %-13s %15.3f %15.3f %14.6f%s\n" % (
            r.station, format_chainage(r.station), r.x, r.y, degrees(r.azimuth),
            "  |" if r.boundaries else ""))


def write_csv(rows: Iterator[Sample], out: IO[str]) -> None:
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["station", "chainage", "x", "y", "azimuth_rad", "azimuth_deg", "boundary"])
    for r in rows:
        w.writerow([repr(r.station), format_chainage(r.station), repr(r.x), repr(r.y),
                    repr(r.azimuth), repr(degrees(r.azimuth)), int(bool(r.boundaries))])


def crs_member(crs: Optional[str]) -> Optional[dict]:
    if crs is None:
        return None
    code = crs.split(":", 1)[1]
    return {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::%s" % code}}


def geojson_document(alignment: Alignment, rows: List[Sample], step: float,
                     crs: Optional[str] = None) -> dict:
    """A FeatureCollection: the sampled LineString, then one Point per element
    boundary in the sampled range, in the file's plane coordinates."""
    for r in rows:
        if not (math.isfinite(r.x) and math.isfinite(r.y)):
            raise CommandError("%s: the point at station %r is not finite (x=%r, y=%r); "
                               "GeoJSON needs finite coordinates" % (alignment.path, r.station, r.x, r.y))
    start, end = rows[0].station, rows[-1].station
    line = {
        "type": "Feature",
        "geometry": {"type": "LineString", "coordinates": [[r.x, r.y] for r in rows]},
        "properties": {
            "name": os.path.splitext(os.path.basename(alignment.path))[0],
            "start_station": start, "end_station": end,
            "start_chainage": format_chainage(start), "end_chainage": format_chainage(end),
            "step": step,
        },
    }
    kinds = [e["kind"] for e in alignment.elements]
    points = []
    for r in rows:
        for k in r.boundaries:
            points.append({
                "type": "Feature",
                "geometry": {"type": "Point", "coordinates": [r.x, r.y]},
                "properties": {
                    "boundary": k, "station": r.station, "chainage": format_chainage(r.station),
                    "azimuth_deg": degrees(r.azimuth),
                    "before": kinds[k - 1] if k > 0 else None,
                    "after": kinds[k] if k < len(kinds) else None,
                },
            })
    doc = {"type": "FeatureCollection"}
    member = crs_member(crs)
    if member is not None:
        doc["crs"] = member
    doc["features"] = [line] + points
    return doc


def write_geojson(doc: dict, out: IO[str]) -> None:
    json.dump(doc, out, indent=1, allow_nan=False)
    out.write("\n")
